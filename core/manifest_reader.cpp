#include "core/manifest_reader.h"

#include <cstring>

#include "core/byte_order.h"
#include "core/chunk_hash.h"
#include "core/wire_format.h"

namespace {

struct MemorySource {
  const uint8_t* data;
  uint64_t length;
};

bool read_memory(void* context, uint64_t offset, void* buffer, size_t count) {
  const auto* memory = static_cast<const uint8_t*>(context);
  std::memcpy(buffer, memory + offset, count);
  return true;
}

bool read_file(void* context, uint64_t offset, void* buffer, size_t count) {
  FILE* file = static_cast<FILE*>(context);
#ifdef _WIN32
  if (_fseeki64(file, static_cast<__int64>(offset), SEEK_SET) != 0) return false;
#else
  if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
#endif
  return count == 0 || fread(buffer, 1, count, file) == count;
}

ManifestStatus fail(ManifestReader* reader, ManifestStatus status, uint64_t offset,
                    const char* path) {
  reader->status = status;
  reader->error_offset = offset;
  reader->error_path = path ? path : "";
  return status;
}

bool read_at(const ManifestReader* reader, uint64_t offset, void* buffer, size_t count) {
  if (offset > reader->source.length || count > reader->source.length - offset) return false;
  return reader->source.read_at(reader->source.context, offset, buffer, count);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_strict_utf8(const uint8_t* s, uint32_t length) {
  uint32_t i = 0;
  while (i < length) {
    uint8_t c = s[i];
    if (c < 0x80) {
      i += 1;
      continue;
    }
    uint32_t extra;
    uint32_t code;
    uint32_t minimum;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, code = c & 0x1F, minimum = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, code = c & 0x0F, minimum = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, code = c & 0x07, minimum = 0x10000;
    } else {
      return false;
    }
    if (length - i <= extra) return false;
    for (uint32_t k = 1; k <= extra; ++k) {
      uint8_t next = s[i + k];
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

bool components_are_valid(const char* path, uint32_t length) {
  if (length == 0) return false;
  uint32_t start = 0;
  while (true) {
    uint32_t end = start;
    while (end < length && path[end] != '/') ++end;
    uint32_t n = end - start;
    if (n == 0) return false;
    if (n == 1 && path[start] == '.') return false;
    if (n == 2 && path[start] == '.' && path[start + 1] == '.') return false;
    if (end == length) return true;
    start = end + 1;
  }
}

uint32_t component_count(const char* path, uint32_t length) {
  uint32_t count = 1;
  for (uint32_t i = 0; i < length; ++i) count += path[i] == '/';
  return count;
}

// Parent directory of a non-stream path: text before the last "/", or ".".
std::string parent_of(const char* path, uint32_t length) {
  for (uint32_t i = length; i > 0; --i) {
    if (path[i - 1] == '/') return std::string(path, i - 1);
  }
  return ".";
}

struct ExpectedAttribute {
  const char* name;
  uint32_t min_length;
  uint32_t max_length;
};

constexpr ExpectedAttribute kAttributes = {kAttributeNameAttributes, 4, 4};
constexpr ExpectedAttribute kCreated = {kAttributeNameCreated, 8, 8};
constexpr ExpectedAttribute kFileId = {kAttributeNameFileId, 12, 12};
constexpr ExpectedAttribute kModified = {kAttributeNameModified, 8, 8};
constexpr ExpectedAttribute kReparse = {kAttributeNameReparse, kAttributeReparseMinLength,
                                        kAttributeReparseMaxLength};
constexpr ExpectedAttribute kSecurity = {kAttributeNameSecurity, kAttributeSecurityMinLength,
                                         kAttributeSecurityMaxLength};

ManifestStatus read_attributes(ManifestReader* reader, ManifestEntry* entry, uint64_t start) {
  const uint64_t end = start + entry->attributes_length;
  uint64_t at = start;
  // The fixed four, then reparse (optional) and security.
  const ExpectedAttribute* order[6] = {&kAttributes, &kCreated, &kFileId, &kModified, &kReparse,
                                       &kSecurity};
  uint8_t value[kAttributeFileIdLength];
  for (int index = 0; index < 6; ++index) {
    const ExpectedAttribute* expected = order[index];
    if (at == end) return fail(reader, ManifestStatus::missing_attribute, entry->offset, entry->path);
    if (end - at < kAttributeRecordHeaderSize)
      return fail(reader, ManifestStatus::bad_attribute_record, entry->offset, entry->path);
    uint8_t header[kAttributeRecordHeaderSize];
    if (!read_at(reader, at, header, sizeof header))
      return fail(reader, ManifestStatus::read_failed, entry->offset, entry->path);
    const uint32_t name_length = get_u32le(header + kAttributeNameLengthOffset);
    const uint32_t value_length = get_u32le(header + kAttributeValueLengthOffset);
    const uint64_t room = end - at - kAttributeRecordHeaderSize;
    if (name_length > room || value_length > room - name_length)
      return fail(reader, ManifestStatus::bad_attribute_record, entry->offset, entry->path);
    char name[40];
    bool name_matches = name_length == std::strlen(expected->name);
    if (name_matches) {
      if (!read_at(reader, at + kAttributeRecordHeaderSize, name, name_length))
        return fail(reader, ManifestStatus::read_failed, entry->offset, entry->path);
      name_matches = std::memcmp(name, expected->name, name_length) == 0;
    }
    if (!name_matches) {
      if (expected == &kReparse) continue;  // no reparse record: expect security next
      return fail(reader, ManifestStatus::unexpected_attribute, entry->offset, entry->path);
    }
    if (value_length < expected->min_length || value_length > expected->max_length)
      return fail(reader, ManifestStatus::bad_attribute_value_length, entry->offset, entry->path);
    const uint64_t value_offset = at + kAttributeRecordHeaderSize + name_length;
    if (value_length <= sizeof value) {
      if (!read_at(reader, value_offset, value, value_length))
        return fail(reader, ManifestStatus::read_failed, entry->offset, entry->path);
    }
    if (expected == &kAttributes) {
      entry->windows_attributes = get_u32le(value);
    } else if (expected == &kCreated) {
      entry->created = get_u64le(value);
    } else if (expected == &kFileId) {
      entry->volume_serial = get_u32le(value + kFileIdVolumeSerialOffset);
      entry->file_index_high = get_u32le(value + kFileIdIndexHighOffset);
      entry->file_index_low = get_u32le(value + kFileIdIndexLowOffset);
    } else if (expected == &kModified) {
      entry->modified = get_u64le(value);
    } else if (expected == &kReparse) {
      entry->reparse_offset = value_offset;
      entry->reparse_length = value_length;
    } else {
      entry->security_offset = value_offset;
      entry->security_length = value_length;
    }
    at = value_offset + value_length;
  }
  if (at != end) return fail(reader, ManifestStatus::bad_attributes_length, entry->offset, entry->path);
  return ManifestStatus::ok;
}

// Places the entry in the depth-first order of the walk: a directory, its whole
// subtree, then its own streams; a file, then its streams.
ManifestStatus check_walk_order(ManifestReader* reader, ManifestEntry* entry) {
  const bool first = reader->entry_count == 0;
  const bool is_root = !entry->is_stream && entry->path_length == 1 && entry->path[0] == '.';
  if (first || is_root) {
    if (!(first && is_root && entry->is_directory))
      return fail(reader, ManifestStatus::misplaced_root, entry->offset, entry->path);
    reader->open_directories.push_back({".", false});
    reader->last_plain_path.assign(1, '.');  // not = ".": GCC 12 -Wrestrict false alarm
    reader->last_plain_is_file = false;
    return ManifestStatus::ok;
  }
  auto& stack = reader->open_directories;
  if (!entry->is_stream) {
    if (component_count(entry->path, entry->path_length) > kManifestMaxDepth)
      return fail(reader, ManifestStatus::too_deep, entry->offset, entry->path);
    const std::string parent = parent_of(entry->path, entry->path_length);
    while (!stack.empty() && stack.back().path != parent) stack.pop_back();
    if (stack.empty() || stack.back().streams_started)
      return fail(reader, ManifestStatus::out_of_walk_order, entry->offset, entry->path);
    if (entry->is_directory) stack.push_back({entry->path, false});
    reader->last_plain_path.assign(entry->path, entry->path_length);
    reader->last_plain_is_file = !entry->is_directory && !entry->is_reparse;
    return ManifestStatus::ok;
  }
  const std::string owner(entry->path, entry->owner_length);
  size_t depth = stack.size();
  while (depth > 0 && stack[depth - 1].path != owner) --depth;
  if (depth > 0) {
    stack.resize(depth);
    stack.back().streams_started = true;
    return ManifestStatus::ok;
  }
  if (reader->last_plain_is_file && owner == reader->last_plain_path) return ManifestStatus::ok;
  return fail(reader, ManifestStatus::out_of_walk_order, entry->offset, entry->path);
}

ManifestStatus check_kind(ManifestReader* reader, ManifestEntry* entry) {
  const uint32_t bits = entry->windows_attributes;
  if (entry->is_reparse) {
    if (entry->is_directory || entry->is_stream || entry->size != 0 ||
        (bits & kFileAttributeReparsePoint) == 0)
      return fail(reader, ManifestStatus::misplaced_reparse, entry->offset, entry->path);
    return ManifestStatus::ok;
  }
  // The reparse bit may stand on a directory or file without a reparse record:
  // reparse points whose content a file-system filter presents (compressed,
  // deduplicated, cloud files) are captured as what they present.
  if (entry->is_directory) {
    if ((bits & kFileAttributeDirectory) == 0)
      return fail(reader, ManifestStatus::kind_mismatch, entry->offset, entry->path);
  } else if (!entry->is_stream) {
    if ((bits & kFileAttributeDirectory) != 0)
      return fail(reader, ManifestStatus::kind_mismatch, entry->offset, entry->path);
  }
  return ManifestStatus::ok;
}

ManifestStatus check_slots(ManifestReader* reader, ManifestEntry* entry) {
  if (reader->slot_rule == ManifestSlotRule::any) return ManifestStatus::ok;
  uint64_t ids[512];
  for (uint64_t first = 0; first < entry->slot_count; first += 512) {
    const uint64_t n = entry->slot_count - first < 512 ? entry->slot_count - first : 512;
    if (!manifest_read_slots(reader, entry, first, n, ids))
      return fail(reader, ManifestStatus::read_failed, entry->offset, entry->path);
    for (uint64_t k = 0; k < n; ++k) {
      const bool good = reader->slot_rule == ManifestSlotRule::zero
                            ? ids[k] == 0
                            : ids[k] >= kChunkIdMin && ids[k] <= kChunkIdMax;
      if (!good)
        return fail(reader, ManifestStatus::bad_chunk_id,
                    entry->slots_offset + (first + k) * kChunkSlotSize, entry->path);
    }
  }
  return ManifestStatus::ok;
}

}  // namespace

ManifestSource manifest_memory_source(const void* data, uint64_t length) {
  return ManifestSource{length, read_memory, const_cast<void*>(data)};
}

bool manifest_file_source(FILE* file, ManifestSource* source) {
#ifdef _WIN32
  if (_fseeki64(file, 0, SEEK_END) != 0) return false;
  const int64_t length = _ftelli64(file);
#else
  if (fseeko(file, 0, SEEK_END) != 0) return false;
  const int64_t length = ftello(file);
#endif
  if (length < 0) return false;
  *source = ManifestSource{static_cast<uint64_t>(length), read_file, file};
  return true;
}

const char* manifest_status_text(ManifestStatus status) {
  switch (status) {
    case ManifestStatus::ok: return "ok";
    case ManifestStatus::end: return "end of manifest";
    case ManifestStatus::read_failed: return "manifest could not be read";
    case ManifestStatus::too_short: return "manifest shorter than its magic";
    case ManifestStatus::bad_magic: return "manifest magic is not VARDOM06";
    case ManifestStatus::too_large: return "manifest exceeds 4 GiB";
    case ManifestStatus::truncated_header: return "entry header runs past the end";
    case ManifestStatus::bad_path_length: return "path length outside 1 to 4095";
    case ManifestStatus::reserved_not_zero: return "reserved header field is not zero";
    case ManifestStatus::bad_mode: return "mode is neither 040755 nor 0100644";
    case ManifestStatus::directory_with_size: return "directory with a non-zero size";
    case ManifestStatus::bad_mtime_nsec: return "mtime_nsec above 999999900 or not a multiple of 100";
    case ManifestStatus::truncated_path: return "path runs past the end";
    case ManifestStatus::bad_path: return "path breaks the path rules";
    case ManifestStatus::misplaced_root: return "the root \".\" must be the first entry and a directory";
    case ManifestStatus::out_of_walk_order: return "entry outside the depth-first walk order";
    case ManifestStatus::duplicate_path: return "path recorded twice";
    case ManifestStatus::too_deep: return "entry deeper than 128 levels";
    case ManifestStatus::bad_attributes_length: return "attributes_length does not match the attribute records";
    case ManifestStatus::bad_attribute_record: return "attribute record runs past attributes_length";
    case ManifestStatus::unexpected_attribute: return "attribute name out of order or unknown";
    case ManifestStatus::missing_attribute: return "attribute record missing";
    case ManifestStatus::bad_attribute_value_length: return "attribute value of the wrong length";
    case ManifestStatus::negative_modified_time: return "last-write time is negative";
    case ManifestStatus::mtime_mismatch: return "mtime fields differ from the last-write time attribute";
    case ManifestStatus::kind_mismatch: return "mode disagrees with the directory and reparse bits";
    case ManifestStatus::misplaced_reparse: return "reparse record on an entry that cannot be a reparse point";
    case ManifestStatus::truncated_slots: return "chunk-ID slots run past the end";
    case ManifestStatus::bad_chunk_id: return "chunk-ID slot breaks the slot rule";
  }
  return "unknown manifest status";
}

void filetime_to_unix_time(int64_t filetime, int64_t* seconds, uint32_t* nanoseconds) {
  const int64_t ticks = filetime - kFiletimeUnixEpochTicks;
  int64_t q = ticks / kFiletimeTicksPerSecond;
  int64_t r = ticks % kFiletimeTicksPerSecond;
  if (r < 0) {
    r += kFiletimeTicksPerSecond;
    q -= 1;
  }
  *seconds = q;
  *nanoseconds = static_cast<uint32_t>(r * 100);
}

bool manifest_path_is_valid(const char* path, uint32_t length) {
  if (length == 0 || length > kManifestMaxPathLength) return false;
  if (std::memchr(path, '\0', length) != nullptr) return false;
  if (std::memchr(path, '\\', length) != nullptr) return false;
  if (!is_strict_utf8(reinterpret_cast<const uint8_t*>(path), length)) return false;
  const char* colon = static_cast<const char*>(std::memchr(path, ':', length));
  uint32_t owner_length = length;
  if (colon != nullptr) {
    owner_length = static_cast<uint32_t>(colon - path);
    const char* stream = colon + 1;
    const uint32_t stream_length = length - owner_length - 1;
    if (stream_length == 0) return false;
    if (std::memchr(stream, ':', stream_length) != nullptr) return false;
    if (std::memchr(stream, '/', stream_length) != nullptr) return false;
  }
  if (owner_length == 1 && path[0] == '.') return true;
  return components_are_valid(path, owner_length);
}

ManifestStatus manifest_reader_open(ManifestReader* reader, const ManifestSource* source,
                                    ManifestSlotRule slot_rule) {
  reader->source = *source;
  reader->slot_rule = slot_rule;
  reader->position = 0;
  reader->entry_count = 0;
  reader->status = ManifestStatus::ok;
  reader->error_offset = 0;
  reader->error_path.clear();
  reader->open_directories.clear();
  reader->last_plain_path.clear();
  reader->last_plain_is_file = false;
  reader->seen_paths.clear();
  if (source->length > kManifestMaxSize) return fail(reader, ManifestStatus::too_large, 0, nullptr);
  if (source->length < kManifestMagicSize) return fail(reader, ManifestStatus::too_short, 0, nullptr);
  uint8_t magic[kManifestMagicSize];
  if (!read_at(reader, 0, magic, sizeof magic)) return fail(reader, ManifestStatus::read_failed, 0, nullptr);
  if (std::memcmp(magic, kManifestMagic, sizeof magic) != 0)
    return fail(reader, ManifestStatus::bad_magic, 0, nullptr);
  reader->position = kManifestMagicSize;
  return ManifestStatus::ok;
}

ManifestStatus manifest_reader_next(ManifestReader* reader, ManifestEntry* entry) {
  if (reader->status != ManifestStatus::ok) return reader->status;
  const uint64_t length = reader->source.length;
  const uint64_t at = reader->position;
  if (at == length) return ManifestStatus::end;
  std::memset(entry, 0, sizeof *entry);
  entry->offset = at;
  if (length - at < kEntryHeaderSize) return fail(reader, ManifestStatus::truncated_header, at, nullptr);
  uint8_t header[kEntryHeaderSize];
  if (!read_at(reader, at, header, sizeof header)) return fail(reader, ManifestStatus::read_failed, at, nullptr);
  entry->path_length = get_u32le(header + kEntryPathLengthOffset);
  entry->mode = get_u32le(header + kEntryModeOffset);
  entry->attributes_length = get_u32le(header + kEntryAttributesLengthOffset);
  entry->size = get_u64le(header + kEntrySizeOffset);
  entry->mtime_sec = get_i64le(header + kEntryMtimeSecOffset);
  entry->mtime_nsec = get_u32le(header + kEntryMtimeNsecOffset);
  if (entry->path_length == 0 || entry->path_length > kManifestMaxPathLength)
    return fail(reader, ManifestStatus::bad_path_length, at, nullptr);
  if (get_u32le(header + kEntryReserved0Offset) != 0 || get_u32le(header + kEntryReserved1Offset) != 0 ||
      get_u32le(header + kEntryReserved2Offset) != 0 || get_u32le(header + kEntryReserved3Offset) != 0)
    return fail(reader, ManifestStatus::reserved_not_zero, at, nullptr);
  if (entry->mode != kModeDirectory && entry->mode != kModeOther)
    return fail(reader, ManifestStatus::bad_mode, at, nullptr);
  entry->is_directory = entry->mode == kModeDirectory;
  if (entry->is_directory && entry->size != 0)
    return fail(reader, ManifestStatus::directory_with_size, at, nullptr);
  if (entry->mtime_nsec > kMtimeNsecMax || entry->mtime_nsec % 100 != 0)
    return fail(reader, ManifestStatus::bad_mtime_nsec, at, nullptr);

  const uint64_t path_offset = at + kEntryHeaderSize;
  if (length - path_offset < entry->path_length)
    return fail(reader, ManifestStatus::truncated_path, at, nullptr);
  if (!read_at(reader, path_offset, entry->path, entry->path_length))
    return fail(reader, ManifestStatus::read_failed, at, nullptr);
  entry->path[entry->path_length] = '\0';
  if (!manifest_path_is_valid(entry->path, entry->path_length))
    return fail(reader, ManifestStatus::bad_path, at, nullptr);
  const char* colon = static_cast<const char*>(std::memchr(entry->path, ':', entry->path_length));
  entry->is_stream = colon != nullptr;
  entry->owner_length = entry->is_stream ? static_cast<uint32_t>(colon - entry->path) : entry->path_length;
  if (entry->is_stream && entry->is_directory)
    return fail(reader, ManifestStatus::kind_mismatch, at, entry->path);

  const uint64_t attributes_offset = path_offset + entry->path_length;
  if (length - attributes_offset < entry->attributes_length)
    return fail(reader, ManifestStatus::bad_attributes_length, at, entry->path);
  if (read_attributes(reader, entry, attributes_offset) != ManifestStatus::ok) return reader->status;
  entry->is_reparse = entry->reparse_length != 0;

  if (static_cast<int64_t>(entry->modified) < 0)
    return fail(reader, ManifestStatus::negative_modified_time, at, entry->path);
  int64_t seconds;
  uint32_t nanoseconds;
  filetime_to_unix_time(static_cast<int64_t>(entry->modified), &seconds, &nanoseconds);
  if (seconds != entry->mtime_sec || nanoseconds != entry->mtime_nsec)
    return fail(reader, ManifestStatus::mtime_mismatch, at, entry->path);
  if (check_kind(reader, entry) != ManifestStatus::ok) return reader->status;

  entry->slots_offset = attributes_offset + entry->attributes_length;
  entry->slot_count = entry->size / kChunkSize + (entry->size % kChunkSize != 0 ? 1 : 0);
  const uint64_t room = length - entry->slots_offset;
  if (entry->slot_count > room / kChunkSlotSize)
    return fail(reader, ManifestStatus::truncated_slots, at, entry->path);
  entry->end = entry->slots_offset + entry->slot_count * kChunkSlotSize;

  if (check_walk_order(reader, entry) != ManifestStatus::ok) return reader->status;
  if (!reader->seen_paths.insert(hash_xxh3_64(entry->path, entry->path_length)).second)
    return fail(reader, ManifestStatus::duplicate_path, at, entry->path);
  if (check_slots(reader, entry) != ManifestStatus::ok) return reader->status;

  reader->position = entry->end;
  reader->entry_count += 1;
  return ManifestStatus::ok;
}

bool manifest_read_slots(const ManifestReader* reader, const ManifestEntry* entry, uint64_t first,
                         uint64_t count, uint64_t* ids) {
  if (first > entry->slot_count || count > entry->slot_count - first) return false;
  uint8_t raw[512 * kChunkSlotSize];
  uint64_t done = 0;
  while (done < count) {
    const uint64_t n = count - done < 512 ? count - done : 512;
    if (!read_at(reader, entry->slots_offset + (first + done) * kChunkSlotSize, raw, n * kChunkSlotSize))
      return false;
    for (uint64_t k = 0; k < n; ++k) ids[done + k] = get_u64le(raw + k * kChunkSlotSize);
    done += n;
  }
  return true;
}

bool manifest_read_bytes(const ManifestReader* reader, uint64_t offset, void* buffer, size_t length) {
  return read_at(reader, offset, buffer, length);
}

std::string manifest_error_text(const ManifestReader* reader) {
  std::string text = "manifest: ";
  text += manifest_status_text(reader->status);
  text += " at offset " + std::to_string(reader->error_offset);
  if (!reader->error_path.empty()) text += " (" + reader->error_path + ")";
  return text;
}

ManifestStatus manifest_validate(const ManifestSource* source, ManifestSlotRule slot_rule,
                                 std::string* error_text) {
  ManifestReader reader;
  ManifestEntry* entry = new ManifestEntry;
  ManifestStatus status = manifest_reader_open(&reader, source, slot_rule);
  while (status == ManifestStatus::ok) status = manifest_reader_next(&reader, entry);
  delete entry;
  if (status == ManifestStatus::end) return ManifestStatus::ok;
  if (error_text) *error_text = manifest_error_text(&reader);
  return status;
}
