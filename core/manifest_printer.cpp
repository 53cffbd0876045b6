// Text form of a manifest, one line per entry, for people and for tests that
// compare what a capture recorded.
#include <cinttypes>
#include <cstring>
#include <vector>

#include "core/manifest_reader.h"

namespace {

void print_quoted_path(FILE* out, const char* path, uint32_t length) {
  fputc('"', out);
  for (uint32_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (c == '"' || c == '\\') {
      fputc('\\', out);
      fputc(c, out);
    } else if (c < 0x20 || c == 0x7F) {
      fprintf(out, "\\x%02X", c);
    } else {
      fputc(c, out);
    }
  }
  fputc('"', out);
}

bool print_hex_value(FILE* out, const ManifestReader* reader, uint64_t offset, uint32_t length) {
  if (length == 0) {
    fputc('-', out);
    return true;
  }
  std::vector<uint8_t> value(length);
  if (!manifest_read_bytes(reader, offset, value.data(), length)) return false;
  for (uint8_t byte : value) fprintf(out, "%02x", byte);
  return true;
}

bool print_entry(FILE* out, const ManifestReader* reader, const ManifestEntry* e) {
  fprintf(out, "entry offset=%" PRIu64 " path=", e->offset);
  print_quoted_path(out, e->path, e->path_length);
  const char* kind = e->is_directory ? "directory" : e->is_reparse ? "reparse" : e->is_stream ? "stream" : "file";
  fprintf(out, " kind=%s mode=%06o size=%" PRIu64 " mtime=%" PRId64 ".%09" PRIu32, kind, e->mode, e->size, e->mtime_sec,
          e->mtime_nsec);
  fprintf(out, " attributes=0x%08" PRIX32 " created=%" PRIu64 " modified=%" PRIu64, e->windows_attributes,
          e->created, e->modified);
  fprintf(out, " fileid=0x%08" PRIX32 ":0x%08" PRIX32 ":0x%08" PRIX32, e->volume_serial, e->file_index_high,
          e->file_index_low);
  fputs(" reparse=", out);
  if (!print_hex_value(out, reader, e->reparse_offset, e->reparse_length)) return false;
  fputs(" security=", out);
  if (!print_hex_value(out, reader, e->security_offset, e->security_length)) return false;
  fputs(" chunks=", out);
  if (e->slot_count == 0) fputc('-', out);
  uint64_t ids[512];
  for (uint64_t first = 0; first < e->slot_count; first += 512) {
    const uint64_t n = e->slot_count - first < 512 ? e->slot_count - first : 512;
    if (!manifest_read_slots(reader, e, first, n, ids)) return false;
    for (uint64_t k = 0; k < n; ++k) fprintf(out, first + k == 0 ? "%" PRIu64 : ",%" PRIu64, ids[k]);
  }
  fputc('\n', out);
  return true;
}

}  // namespace

ManifestStatus manifest_print(const ManifestSource* source, ManifestSlotRule slot_rule, FILE* out,
                              std::string* error_text) {
  ManifestReader reader;
  std::vector<ManifestEntry> entry(1);
  ManifestStatus status = manifest_reader_open(&reader, source, slot_rule);
  while (status == ManifestStatus::ok) {
    status = manifest_reader_next(&reader, entry.data());
    if (status == ManifestStatus::ok && !print_entry(out, &reader, entry.data())) {
      reader.status = status = ManifestStatus::read_failed;
      reader.error_offset = entry[0].offset;
    }
  }
  if (status == ManifestStatus::end) {
    fprintf(out, "end entries=%" PRIu64 " bytes=%" PRIu64 "\n", reader.entry_count, source->length);
    return ManifestStatus::ok;
  }
  if (error_text) *error_text = manifest_error_text(&reader);
  return status;
}
