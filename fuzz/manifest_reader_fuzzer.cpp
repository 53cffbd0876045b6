// The manifest reader over hostile bytes in memory, under each slot rule, as
// the server reads an upload: every entry it accepts must lie inside the
// manifest, its attribute values and chunk IDs must be readable where it says
// they are, its slots must obey the rule, and a manifest read to its end must
// end exactly at the last entry. Printing, which reads every value again, must
// accept exactly what the walk accepts.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/manifest_reader.h"

namespace {

[[noreturn]] void broken(const char* rule, const ManifestEntry& entry) {
  fprintf(stderr, "accepted entry breaks \"%s\" (path %s, offset %llu)\n", rule, entry.path,
          static_cast<unsigned long long>(entry.offset));
  abort();
}

FILE* null_output() {
  static FILE* out = fopen("/dev/null", "w");
  return out;
}

ManifestStatus walk(const ManifestSource* source, ManifestSlotRule slot_rule) {
  ManifestReader reader;
  ManifestStatus status = manifest_reader_open(&reader, source, slot_rule);
  static ManifestEntry entry;
  uint64_t previous_end = kManifestMagicSize;
  std::vector<uint8_t> value(kAttributeSecurityMaxLength);
  uint64_t ids[64];
  while (status == ManifestStatus::ok) {
    status = manifest_reader_next(&reader, &entry);
    if (status != ManifestStatus::ok) break;
    if (entry.offset != previous_end || entry.end <= entry.offset || entry.end > source->length)
      broken("entries tile the manifest", entry);
    previous_end = entry.end;
    if (entry.path_length == 0 || entry.path_length > kManifestMaxPathLength || strlen(entry.path) != entry.path_length)
      broken("path length", entry);
    if (entry.security_length == 0 || entry.security_length > kAttributeSecurityMaxLength ||
        !manifest_read_bytes(&reader, entry.security_offset, value.data(), entry.security_length))
      broken("security descriptor readable", entry);
    if (entry.reparse_length > kAttributeReparseMaxLength ||
        (entry.reparse_length != 0 &&
         !manifest_read_bytes(&reader, entry.reparse_offset, value.data(), entry.reparse_length)))
      broken("reparse data readable", entry);
    if (entry.is_directory && (entry.size != 0 || entry.slot_count != 0)) broken("directories hold no chunks", entry);
    if (entry.slot_count != (entry.size + kChunkSize - 1) / kChunkSize) broken("one slot per chunk", entry);
    if (entry.slots_offset + entry.slot_count * 8 != entry.end) broken("slots end the entry", entry);
    for (uint64_t first = 0; first < entry.slot_count; first += 64) {
      const uint64_t n = entry.slot_count - first < 64 ? entry.slot_count - first : 64;
      if (!manifest_read_slots(&reader, &entry, first, n, ids)) broken("slots readable", entry);
      for (uint64_t k = 0; k < n; ++k) {
        if (slot_rule == ManifestSlotRule::zero && ids[k] != 0) broken("zero slots", entry);
        if (slot_rule == ManifestSlotRule::assigned && ids[k] == 0) broken("assigned slots", entry);
      }
    }
  }
  if (status == ManifestStatus::end && previous_end != source->length) broken("ends at the last entry", entry);
  return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy: a read one byte too far is an ASan report.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size == 0 ? 1 : size]);
  if (size > 0) memcpy(copy.get(), data, size);
  const ManifestSource source = manifest_memory_source(copy.get(), size);
  for (ManifestSlotRule rule : {ManifestSlotRule::any, ManifestSlotRule::zero, ManifestSlotRule::assigned}) {
    const bool read_whole = walk(&source, rule) == ManifestStatus::end;
    std::string error;
    if (rule == ManifestSlotRule::any &&
        (manifest_print(&source, rule, null_output(), &error) == ManifestStatus::ok) != read_whole) {
      fprintf(stderr, "printing and reading disagree: %s\n", error.c_str());
      abort();
    }
  }
  return 0;
}
