// Process, console, error-slot and text operations of the platform seam.
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>

#include "agent/platform/platform.h"
#include "agent/platform/win32/win32_api.h"

static_assert(sizeof(wchar_t) == sizeof(wchar16), "Windows wide text is UTF-16");

static const wchar_t* as_wide(const wchar16* text) { return reinterpret_cast<const wchar_t*>(text); }

void platform_console_setup() {
  win32_api.SetConsoleOutputCP(CP_UTF8);
  _setmode(0, _O_BINARY);
  _setmode(1, _O_BINARY);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

void platform_write_stdout(const void* data, size_t length) {
  fwrite(data, 1, length, stdout);
  fflush(stdout);
}

void platform_write_stderr(const void* data, size_t length) { fwrite(data, 1, length, stderr); }

uint32_t platform_last_error() { return win32_api.GetLastError(); }
void platform_set_last_error(uint32_t code) { win32_api.SetLastError(code); }

void platform_exit(int code) {
  fflush(stdout);
  exit(code);
}

uint64_t platform_tick_count() { return win32_api.GetTickCount64(); }
uint32_t platform_process_id() { return win32_api.GetCurrentProcessId(); }

void platform_enable_privilege(const wchar16* name) {
  HANDLE token = nullptr;
  if (!win32_api.OpenProcessToken(win32_api.GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                                  &token)) {
    return;
  }
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (win32_api.LookupPrivilegeValueW(nullptr, as_wide(name), &privileges.Privileges[0].Luid)) {
    win32_api.AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
  }
  win32_api.CloseHandle(token);
}

void platform_expose_placeholders() {
  HMODULE ntdll = win32_api.GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return;
  FARPROC found = win32_api.GetProcAddress(ntdll, "RtlSetProcessPlaceholderCompatibilityMode");
  if (found == nullptr) return;
  // CHAR NTAPI RtlSetProcessPlaceholderCompatibilityMode(CHAR Mode); the
  // cast goes through the generic function type, as GetProcAddress intends.
  using SetMode = CHAR(NTAPI*)(CHAR);
  constexpr CHAR PHCM_EXPOSE_PLACEHOLDERS = 2;
  reinterpret_cast<SetMode>(reinterpret_cast<void (*)()>(found))(PHCM_EXPOSE_PLACEHOLDERS);
}

int platform_utf8_to_utf16(const char* text, wchar16* out, int capacity) {
  return win32_api.MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1,
                                       reinterpret_cast<wchar_t*>(out), capacity);
}

int platform_utf16_to_utf8(const wchar16* text, char* out, int capacity) {
  return win32_api.WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, as_wide(text), -1, out, capacity,
                                       nullptr, nullptr);
}
