#include "server/store.h"

#include <cstring>

#include "core/byte_order.h"
#include "core/chunk_hash.h"
#include "server/store_format.h"
#include "server/store_io.h"

namespace {

std::string descriptor_key(const uint8_t* descriptor) {
  return std::string(reinterpret_cast<const char*>(descriptor), kChunkDescriptorSize);
}

uint32_t header_check(const uint8_t* header) {
  return static_cast<uint32_t>(hash_xxh3_64(header + kChunkRecordIdOffset,
                                            kChunkRecordHeaderSize - kChunkRecordIdOffset));
}

void build_record_header(uint8_t* header, uint64_t id, const uint8_t* descriptor) {
  std::memset(header, 0, kChunkRecordHeaderSize);
  put_u32le(header, kChunkRecordMagic);
  put_u64le(header + kChunkRecordIdOffset, id);
  std::memcpy(header + kChunkRecordDescriptorOffset, descriptor, kChunkDescriptorSize);
  put_u32le(header + kChunkRecordCheckOffset, header_check(header));
}

bool set_error(std::string* error, const std::string& text) {
  *error = text;
  return false;
}

// A record that fails its checks is an unfinished append when nothing but
// less than one record, or only zero bytes, follow it; anything else is
// damage that must not be cut away silently.
bool is_unfinished_tail(const Store* store, uint64_t offset, uint64_t size) {
  if (size - offset < kChunkRecordHeaderSize + kMaxChunkLength) return true;
  uint8_t buffer[65536];
  for (uint64_t at = offset; at < size;) {
    const size_t n = size - at < sizeof buffer ? static_cast<size_t>(size - at) : sizeof buffer;
    if (!io_read_at(store->log_fd, at, buffer, n)) return false;
    for (size_t i = 0; i < n; ++i)
      if (buffer[i] != 0) return false;
    at += n;
  }
  return true;
}

enum class RecordState { sound, bad_header, bad_bytes };

// Reads and checks the record at `offset`: a whole header with the next
// ordinal, its bytes present, and their XXH3 as the header gives it.
RecordState read_record(const Store* store, uint64_t offset, uint64_t size, uint8_t* header,
                        uint8_t* data) {
  if (size - offset < kChunkRecordHeaderSize) return RecordState::bad_header;
  if (!io_read_at(store->log_fd, offset, header, kChunkRecordHeaderSize)) return RecordState::bad_header;
  if (get_u32le(header) != kChunkRecordMagic) return RecordState::bad_header;
  if (get_u32le(header + kChunkRecordCheckOffset) != header_check(header)) return RecordState::bad_header;
  if (get_u64le(header + kChunkRecordIdOffset) != store->chunks.size() + 1) return RecordState::bad_header;
  if (get_u32le(header + kChunkRecordReservedOffset) != 0) return RecordState::bad_header;
  const uint32_t length = get_u32le(header + kChunkRecordDescriptorOffset);
  if (length > kMaxChunkLength) return RecordState::bad_header;
  if (size - offset - kChunkRecordHeaderSize < length) return RecordState::bad_header;
  if (length > 0 && !io_read_at(store->log_fd, offset + kChunkRecordHeaderSize, data, length))
    return RecordState::bad_bytes;
  // XXH3 is enough to tell a torn record; readers re-hash both on use.
  uint8_t actual[kChunkDescriptorSize];
  chunk_descriptor_build(data, length, actual);
  return std::memcmp(actual + kDescriptorXxh3LowOffset,
                     header + kChunkRecordDescriptorOffset + kDescriptorXxh3LowOffset, 16) == 0
             ? RecordState::sound
             : RecordState::bad_bytes;
}

// The newer valid slot of chunks.count; an empty file (a store made before
// it existed) counts nothing and leaves `count_known` false.
bool read_confirmed_count(Store* store, uint64_t* end, std::string* error) {
  uint64_t size;
  if (!io_file_size(store->count_fd, &size)) return set_error(error, "cannot measure the chunk count");
  store->count_known = false;
  *end = 0;
  if (size == 0) return true;
  uint8_t slots[2 * kChunkCountSlotSize] = {};
  const size_t n = size < sizeof slots ? static_cast<size_t>(size) : sizeof slots;
  if (!io_read_at(store->count_fd, 0, slots, n))
    return set_error(error, "cannot read the chunk count: " + io_last_error_text());
  for (int i = 0; i < 2; ++i) {
    const uint8_t* slot = slots + i * kChunkCountSlotSize;
    if (get_u64le(slot + 24) != hash_xxh3_64(slot, 24)) continue;
    const uint64_t sequence = get_u64le(slot);
    if (store->count_known && sequence <= store->count_sequence) continue;
    store->count_known = true;
    store->count_sequence = sequence;
    store->confirmed_count = get_u64le(slot + 8);
    *end = get_u64le(slot + 16);
  }
  if (!store->count_known) return set_error(error, "chunk count has no valid slot");
  return true;
}

bool write_confirmed_count(Store* store, std::string* error) {
  uint8_t slot[kChunkCountSlotSize];
  const uint64_t sequence = store->count_sequence + 1;
  put_u64le(slot, sequence);
  put_u64le(slot + 8, store->chunks.size());
  put_u64le(slot + 16, store->indexed_end);
  put_u64le(slot + 24, hash_xxh3_64(slot, 24));
  if (!io_write_at(store->count_fd, (sequence % 2) * kChunkCountSlotSize, slot, sizeof slot) ||
      !io_sync(store->count_fd))
    return set_error(error, "cannot record the chunk count: " + io_last_error_text());
  store->count_sequence = sequence;
  store->confirmed_count = store->chunks.size();
  store->count_known = true;
  return true;
}

bool write_fresh_log_magic(Store* store, std::string* error) {
  if (!io_truncate(store->log_fd, 0) ||
      !io_write_at(store->log_fd, 0, kChunkLogMagic, kChunkLogMagicSize) || !io_sync(store->log_fd))
    return set_error(error, "cannot start the chunk log: " + io_last_error_text());
  store->indexed_end = kChunkLogMagicSize;
  return true;
}

}  // namespace

bool store_open(Store* store, const std::string& directory, bool create, std::string* error) {
  store->directory = directory;
  const std::string snapshots = directory + "/" + kStoreSnapshotDirectory;
  const std::string incoming = directory + "/" + kStoreIncomingDirectory;
  if (create) {
    if (!io_make_directory(directory) || !io_make_directory(snapshots) || !io_make_directory(incoming))
      return set_error(error, "cannot create store " + directory + ": " + io_last_error_text());
  } else {
    std::vector<std::string> names;
    if (!io_list_directory(snapshots, &names))
      return set_error(error, "no store at " + directory);
  }
  store->lock_fd = io_open_read_write(directory + "/" + kStoreLockName);
  if (store->lock_fd < 0) return set_error(error, "cannot open the store lock: " + io_last_error_text());
  store->log_fd = io_open_read_write(directory + "/" + kStoreChunkLogName);
  if (store->log_fd < 0) return set_error(error, "cannot open the chunk log: " + io_last_error_text());
  store->count_fd = io_open_read_write(directory + "/" + kStoreChunkCountName);
  if (store->count_fd < 0) return set_error(error, "cannot open the chunk count: " + io_last_error_text());
  store->indexed_end = 0;
  if (!store_lock(store, error)) return false;
  bool ok = store_catch_up(store, error);
  // A store made before chunks.count counts from now on what it holds.
  const bool new_count = ok && !store->count_known;
  if (new_count) ok = write_confirmed_count(store, error);
  // New files' names must survive a crash as well as their contents.
  if (ok && (create || new_count) && !io_sync_directory(directory)) {
    ok = false;
    *error = "cannot flush the store directory: " + io_last_error_text();
  }
  store_unlock(store);
  return ok;
}

void store_close(Store* store) {
  if (store->locked) store_unlock(store);
  io_close(store->log_fd);
  io_close(store->count_fd);
  io_close(store->lock_fd);
  store->log_fd = store->lock_fd = store->count_fd = -1;
}

bool store_lock(Store* store, std::string* error) {
  if (!io_lock(store->lock_fd)) return set_error(error, "cannot lock the store: " + io_last_error_text());
  store->locked = true;
  return true;
}

void store_unlock(Store* store) {
  io_unlock(store->lock_fd);
  store->locked = false;
}

bool store_catch_up(Store* store, std::string* error) {
  uint64_t size;
  if (!io_file_size(store->log_fd, &size)) return set_error(error, "cannot measure the chunk log");
  if (store->indexed_end == 0) {
    if (size < kChunkLogMagicSize) return write_fresh_log_magic(store, error);
    char magic[kChunkLogMagicSize];
    if (!io_read_at(store->log_fd, 0, magic, sizeof magic) ||
        std::memcmp(magic, kChunkLogMagic, sizeof magic) != 0)
      return set_error(error, "chunk log has no VKCLOG01 magic");
    store->indexed_end = kChunkLogMagicSize;
  }
  if (size < store->indexed_end) return set_error(error, "chunk log shrank below indexed records");
  // Other runs may have confirmed more since the last look.
  uint64_t confirmed_end;
  if (!read_confirmed_count(store, &confirmed_end, error)) return false;
  if (store->count_known && size < confirmed_end)
    return set_error(error, "chunk log ends before its confirmed records");
  uint8_t header[kChunkRecordHeaderSize];
  uint8_t data[kMaxChunkLength];
  uint64_t at = store->indexed_end;
  while (at < size) {
    const bool confirmed = store->count_known && store->chunks.size() < store->confirmed_count;
    const RecordState state = read_record(store, at, size, header, data);
    if (state == RecordState::bad_header || (state == RecordState::bad_bytes && !confirmed)) {
      // Past the confirmed count nothing was ever promised: cut. Without a
      // count, only what can be an unfinished last record is cut.
      const bool cut = store->count_known ? !confirmed : is_unfinished_tail(store, at, size);
      if (!cut) return set_error(error, "chunk log damaged at offset " + std::to_string(at));
      if (!io_truncate(store->log_fd, at) || !io_sync(store->log_fd))
        return set_error(error, "cannot cut the unfinished chunk record: " + io_last_error_text());
      break;
    }
    StoredChunk chunk;
    chunk.record_offset = at;
    std::memcpy(chunk.descriptor, header + kChunkRecordDescriptorOffset, kChunkDescriptorSize);
    store->chunks.push_back(chunk);
    // A damaged confirmed record keeps its ID but is never offered again: its
    // content, sent anew, is stored under a new ID.
    if (state == RecordState::sound)
      store->ids_by_descriptor.emplace(descriptor_key(chunk.descriptor), store->chunks.size());
    else
      store->damaged_offsets.push_back(at);
    at += kChunkRecordHeaderSize + get_u32le(chunk.descriptor + kDescriptorLengthOffset);
  }
  store->indexed_end = at;
  if (store->count_known && store->chunks.size() < store->confirmed_count)
    return set_error(error, "chunk log ends before its confirmed records");
  return true;
}

uint64_t store_find(const Store* store, const uint8_t* descriptor) {
  const auto found = store->ids_by_descriptor.find(descriptor_key(descriptor));
  return found == store->ids_by_descriptor.end() ? 0 : found->second;
}

bool store_append_chunks(Store* store, ChunkToStore* chunks, size_t count, std::string* error) {
  std::vector<uint8_t> records;
  std::vector<StoredChunk> added;
  std::unordered_map<std::string, uint64_t> added_ids;
  uint64_t next_id = store->chunks.size() + 1;
  for (size_t i = 0; i < count; ++i) {
    const std::string key = descriptor_key(chunks[i].descriptor);
    uint64_t id = store_find(store, chunks[i].descriptor);
    if (id == 0) {
      const auto found = added_ids.find(key);
      if (found != added_ids.end()) id = found->second;
    }
    if (id == 0) {
      id = next_id++;
      const uint32_t length = get_u32le(chunks[i].descriptor + kDescriptorLengthOffset);
      StoredChunk chunk;
      chunk.record_offset = store->indexed_end + records.size();
      std::memcpy(chunk.descriptor, chunks[i].descriptor, kChunkDescriptorSize);
      added.push_back(chunk);
      added_ids.emplace(key, id);
      const size_t at = records.size();
      records.resize(at + kChunkRecordHeaderSize + length);
      build_record_header(records.data() + at, id, chunks[i].descriptor);
      if (length > 0) std::memcpy(records.data() + at + kChunkRecordHeaderSize, chunks[i].data, length);
    }
    chunks[i].id = id;
  }
  if (records.empty()) return true;
  // The IDs go out only after the records are on disk.
  if (!io_write_at(store->log_fd, store->indexed_end, records.data(), records.size()) ||
      !io_sync(store->log_fd))
    return set_error(error, "cannot append to the chunk log: " + io_last_error_text());
  for (const StoredChunk& chunk : added) {
    store->chunks.push_back(chunk);
    store->ids_by_descriptor.emplace(descriptor_key(chunk.descriptor), store->chunks.size());
  }
  store->indexed_end += records.size();
  return write_confirmed_count(store, error);
}

bool store_chunk_length(const Store* store, uint64_t id, uint32_t* length) {
  if (id == 0 || id > store->chunks.size()) return false;
  *length = get_u32le(store->chunks[id - 1].descriptor + kDescriptorLengthOffset);
  return true;
}

bool store_read_chunk(const Store* store, uint64_t id, uint8_t* data, uint32_t* length,
                      std::string* error) {
  if (!store_chunk_length(store, id, length))
    return set_error(error, "no chunk with ID " + std::to_string(id));
  const StoredChunk& chunk = store->chunks[id - 1];
  if (*length > 0 && !io_read_at(store->log_fd, chunk.record_offset + kChunkRecordHeaderSize, data, *length))
    return set_error(error, "cannot read chunk " + std::to_string(id) + ": " + io_last_error_text());
  if (!chunk_descriptor_matches(data, *length, chunk.descriptor))
    return set_error(error, "chunk " + std::to_string(id) + " no longer matches its hashes");
  return true;
}
