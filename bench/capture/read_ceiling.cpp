// The ceiling of the capture design under the same conditions as the agent:
// walks a tree and makes only the calls that check must make per chunk (one
// 4096-byte ReadFile, one seek and one 8-byte write into a private file), and
// per file the open and the end-of-file probe. Prints bytes, chunks and files.
// With --entry-calls it also makes the per-entry calls that check must make
// (attributes, handle information before and after, size, security
// descriptor, stream search, the record's one seek and write), for the ceiling
// of the whole design.
#include <windows.h>

#include <aclapi.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {
unsigned long long bytes = 0, chunks = 0, files = 0;
long long slot_end = 8;
int slots = -1;
bool entry_calls = false;

// What check asks of every entry besides its content.
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
  _lseeki64(slots, slot_end, SEEK_SET);
  _write(slots, record, sizeof record);
  slot_end += sizeof record;
}

void read_file(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         0x0A200000, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    fwprintf(stderr, L"open %ls failed\n", path.c_str());
    exit(1);
  }
  if (entry_calls) {
    LARGE_INTEGER size;
    GetFileSizeEx(h, &size);
    entry_metadata(path, h, true);
  }
  static char buffer[4096];
  static const char zero[8] = {};
  DWORD got = 0;
  for (;;) {
    if (!ReadFile(h, buffer, sizeof buffer, &got, nullptr)) exit(1);
    if (got == 0) break;  // the end-of-file probe's answer
    bytes += got;
    ++chunks;
    _lseeki64(slots, slot_end, SEEK_SET);
    _write(slots, zero, sizeof zero);
    slot_end += sizeof zero;
  }
  if (entry_calls) entry_metadata(path, h, false);
  CloseHandle(h);
  ++files;
}

void walk(const std::wstring& directory) {
  HANDLE self = INVALID_HANDLE_VALUE;
  if (entry_calls) {
    self = CreateFileW(directory.c_str(), READ_CONTROL, 7, nullptr, OPEN_EXISTING, 0x02200000, nullptr);
    entry_metadata(directory, self, true);
  }
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    std::wstring child = directory + L"\\" + name;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      walk(child);
    } else {
      read_file(child);
    }
  } while (FindNextFileW(search, &data));
  FindClose(search);
  if (entry_calls) {
    entry_metadata(directory, self, false);
    CloseHandle(self);
  }
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  entry_calls = argc == 3 && wcscmp(argv[2], L"--entry-calls") == 0;
  if (argc != 2 && !entry_calls) {
    fwprintf(stderr, L"use: read_ceiling DIRECTORY [--entry-calls]\n");
    return 2;
  }
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring slot_path = std::wstring(temp) + L"vk-ceiling-slots.tmp";
  HANDLE h = CreateFileW(slot_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  slots = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | _O_RDWR);
  LARGE_INTEGER start, end, frequency;
  QueryPerformanceCounter(&start);
  walk(std::wstring(L"\\\\?\\") + argv[1]);
  _close(slots);
  QueryPerformanceCounter(&end);
  QueryPerformanceFrequency(&frequency);
  fprintf(stderr, "files=%llu\nchunks=%llu\nbytes=%llu\nseconds=%.6f\n", files, chunks, bytes,
          static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
  return 0;
}
