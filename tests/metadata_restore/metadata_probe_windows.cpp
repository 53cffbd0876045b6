// metadata-probe.exe PATH...: prints, per path, the attributes and times that
// Windows reports for it, so Wine tests can see what apply-metadata left.
// metadata-probe.exe --set PATH ATTRIBUTES LAST_WRITE_TICKS...: gives source
// entries the attributes and last-write times a test wants to see carried over.
#include <windows.h>

#include <cstdio>
#include <cwchar>

static unsigned long long ticks(const FILETIME& t) {
  return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

static int set_entry(const wchar_t* path, const wchar_t* attributes_text, const wchar_t* ticks_text) {
  DWORD attributes = wcstoul(attributes_text, nullptr, 0);
  unsigned long long value = wcstoull(ticks_text, nullptr, 10);
  FILETIME time = {static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
  // Times first: a READONLY entry could not be opened for writing afterwards.
  HANDLE h = CreateFileW(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE || !SetFileTime(h, nullptr, nullptr, &time)) {
    printf("error=%lu\n", GetLastError());
    return 1;
  }
  CloseHandle(h);
  if (!SetFileAttributesW(path, attributes)) {
    printf("error=%lu\n", GetLastError());
    return 1;
  }
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  if (argc >= 2 && wcscmp(argv[1], L"--set") == 0) {
    for (int i = 2; i + 2 < argc; i += 3) {
      if (set_entry(argv[i], argv[i + 1], argv[i + 2]) != 0) return 1;
    }
    return 0;
  }
  for (int i = 1; i < argc; ++i) {
    HANDLE h = CreateFileW(argv[i], FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) {
      printf("error=%lu\n", GetLastError());
    } else {
      printf("attributes=0x%08lx created=%llu written=%llu\n", info.dwFileAttributes, ticks(info.ftCreationTime),
             ticks(info.ftLastWriteTime));
    }
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  return 0;
}
