// metadata-probe.exe PATH...: prints, per path, the attributes and times that
// Windows reports for it, so Wine tests can see what apply-metadata left.
#include <windows.h>

#include <cstdio>

static unsigned long long ticks(const FILETIME& t) {
  return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

int wmain(int argc, wchar_t** argv) {
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
