// The ceiling of a backup under Wine: a minimal client of the backup protocol
// on its standard output and input that makes only the calls a backup must
// make per chunk and per batch: per file the open and the end-of-file probe;
// per chunk a 4096-byte ReadFile, a seek and an 8-byte slot write into a
// private file, XXH3 and BLAKE3, LZ4 and a frame write when the server lacks
// the chunk, and a seek and an 8-byte ID write; per batch the header and the
// descriptors, the bitmap and the IDs. It sends no manifest: the timing ends
// after the last batch. Prints seconds, bytes, chunks and files on stderr.
// With --entry-calls it also makes the per-entry calls that the walk must make
// (attributes, handle information before and after, size, security
// descriptor, stream search, the record's one seek and write, and for
// directories their own open, held while their children are listed): the
// ceiling of the whole design rather than of its chunk path.
#include <windows.h>

#include <aclapi.h>

#include <blake3.h>
#include <fcntl.h>
#include <io.h>
#include <lz4.h>
#include <xxhash.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr uint32_t kBatch = 256;
uint8_t batch[kBatch * 4096];
uint32_t lengths[kBatch];
long long slots[kBatch];
uint8_t descriptors[kBatch * 52];
uint8_t bitmap[kBatch];
uint8_t ids[kBatch * 8];
uint8_t frame[4 + 4096];
uint32_t count = 0;
unsigned long long bytes = 0, chunks = 0, files = 0;
long long slot_end = 8;
int manifest = -1;
blake3_hasher hasher;
bool entry_calls = false;

// What the walk asks of every entry besides its content: before it, the
// attributes, the handle's information, the security descriptor and the stream
// search; after it, the information once more for the change check.
void entry_metadata(const std::wstring& path, HANDLE h, bool before) {
  BY_HANDLE_FILE_INFORMATION information;
  GetFileInformationByHandle(h, &information);
  if (!before) return;
  GetFileAttributesW(path.c_str());
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(h, SE_FILE_OBJECT, 7, nullptr, nullptr, nullptr, nullptr, &descriptor) == 0) {
    GetSecurityDescriptorLength(descriptor);
    LocalFree(descriptor);
  }
  WIN32_FIND_STREAM_DATA stream;
  HANDLE search = FindFirstStreamW(path.c_str(), FindStreamInfoStandard, &stream, 0);
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  // The entry's record, in one write: header, path and attributes are some
  // 330 bytes besides the path.
  static const char record[330 + 64] = {};
  _lseeki64(manifest, slot_end, SEEK_SET);
  _write(manifest, record, sizeof record);
  slot_end += sizeof record;
}

void write_all(const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    unsigned piece = length < 65536 ? static_cast<unsigned>(length) : 65536u;
    int n = _write(1, p, piece);
    if (n <= 0) exit(3);
    p += n;
    length -= static_cast<size_t>(n);
  }
}

void read_exact(void* buffer, size_t length) {
  char* p = static_cast<char*>(buffer);
  while (length > 0) {
    unsigned piece = length < 65536 ? static_cast<unsigned>(length) : 65536u;
    int n = _read(0, p, piece);
    if (n <= 0) exit(3);
    p += n;
    length -= static_cast<size_t>(n);
  }
}

void slot_write(long long offset, const void* data) {
  _lseeki64(manifest, offset, SEEK_SET);
  _write(manifest, data, 8);
}

void flush() {
  for (uint32_t j = 0; j < count; ++j) {
    uint8_t* d = descriptors + 52 * j;
    memcpy(d, &lengths[j], 4);
    XXH128_hash_t h = XXH3_128bits(batch + 4096 * j, lengths[j]);
    memcpy(d + 4, &h.low64, 8);
    memcpy(d + 12, &h.high64, 8);
    blake3_hasher_init(&hasher);
    blake3_hasher_update(&hasher, batch + 4096 * j, lengths[j]);
    blake3_hasher_finalize(&hasher, d + 20, 32);
  }
  uint8_t header[5] = {0x01};
  memcpy(header + 1, &count, 4);
  write_all(header, 5);
  write_all(descriptors, 52 * count);
  read_exact(bitmap, count);
  for (uint32_t j = 0; j < count; ++j) {
    if (bitmap[j] != 0) continue;
    uint32_t len = lengths[j];
    int packed = len < 2 ? 0
                         : LZ4_compress_default(reinterpret_cast<const char*>(batch + 4096 * j),
                                                reinterpret_cast<char*>(frame + 4), static_cast<int>(len),
                                                static_cast<int>(len - 1));
    uint32_t l = packed > 0 ? static_cast<uint32_t>(packed) : len;
    if (packed <= 0) memcpy(frame + 4, batch + 4096 * j, len);
    memcpy(frame, &l, 4);
    write_all(frame, 4 + l);
  }
  read_exact(ids, 8 * count);
  for (uint32_t j = 0; j < count; ++j) slot_write(slots[j], ids + 8 * j);
  count = 0;
}

void read_file(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         0x0A200000, nullptr);
  if (h == INVALID_HANDLE_VALUE) exit(4);
  if (entry_calls) {
    LARGE_INTEGER size;
    GetFileSizeEx(h, &size);
    entry_metadata(path, h, true);
  }
  static const uint8_t zero[8] = {};
  DWORD got = 0;
  for (;;) {
    if (!ReadFile(h, batch + 4096 * count, 4096, &got, nullptr)) exit(4);
    if (got == 0) break;  // the end-of-file probe's answer
    bytes += got;
    ++chunks;
    lengths[count] = got;
    slots[count] = slot_end;
    slot_write(slot_end, zero);
    slot_end += 8;
    if (++count == kBatch) flush();
    if (got < 4096) {
      ReadFile(h, frame, 1, &got, nullptr);  // the probe after a short last chunk
      break;
    }
  }
  if (entry_calls) entry_metadata(path, h, false);
  CloseHandle(h);
  ++files;
}

void walk(const std::wstring& directory) {
  // The walk's own open of a directory, held while its children are listed.
  HANDLE self = INVALID_HANDLE_VALUE;
  if (entry_calls) {
    self = CreateFileW(directory.c_str(), READ_CONTROL, 7, nullptr, OPEN_EXISTING, 0x02200000, nullptr);
    entry_metadata(directory, self, true);
  }
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &data);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L".." || name == L".complete") continue;
      std::wstring path = directory + L"\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        walk(path);
      } else {
        read_file(path);
      }
    } while (FindNextFileW(search, &data));
    FindClose(search);
  }
  if (entry_calls) {
    entry_metadata(directory, self, false);
    CloseHandle(self);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || argc > 3) return 2;
  entry_calls = argc == 3 && std::wstring(argv[2]) == L"--entry-calls";
  _setmode(0, _O_BINARY);
  _setmode(1, _O_BINARY);
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring manifest_path = std::wstring(temp) + L"vardo-ceiling-" + std::to_wstring(GetCurrentProcessId()) + L".tmp";
  HANDLE file = CreateFileW(manifest_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  manifest = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY | _O_RDWR);

  LARGE_INTEGER start, end, frequency;
  QueryPerformanceCounter(&start);
  write_all("VARDOR07\0", 9);
  char answer[8];
  read_exact(answer, 8);
  walk(argv[1]);
  if (count > 0) flush();
  QueryPerformanceCounter(&end);
  QueryPerformanceFrequency(&frequency);
  fprintf(stderr, "seconds=%.6f\nbytes=%llu\nchunks=%llu\nfiles=%llu\n",
          static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart), bytes, chunks,
          files);
  _close(manifest);
  return 0;
}
