// metadata-apply-recorder.exe: the agent with the Win32 calls of apply-metadata
// logged on standard output before they are made, so that Wine tests can check
// what the real adapter passes (Wine does not keep security descriptors, so the
// information value and the descriptor can only be seen on their way in).
#include <cstdarg>
#include <cstdio>

#include "agent/platform/win32/win32_api.h"
#include "agent/run_control/agent_main.h"

extern "C" {
int _dowildcard = 0;
}

static const Win32Api& real = win32_api_real;

static void log_line(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
static void log_line(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  fflush(stdout);
}

static unsigned long long ticks(const FILETIME* t) {
  return t == nullptr ? 0 : (static_cast<unsigned long long>(t->dwHighDateTime) << 32) | t->dwLowDateTime;
}

static HANDLE WINAPI create_file(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE template_file) {
  char utf8[3 * 32768];
  WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8, sizeof utf8, nullptr, nullptr);
  log_line("CreateFileW %s access=0x%08lx share=%lu disposition=%lu flags=0x%08lx\n", utf8, access, share,
           disposition, flags);
  return real.CreateFileW(path, access, share, security, disposition, flags, template_file);
}

static BOOL WINAPI set_security(HANDLE handle, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor) {
  log_line("SetKernelObjectSecurity information=0x%08lx length=%lu\n", information,
           GetSecurityDescriptorLength(descriptor));
  return real.SetKernelObjectSecurity(handle, information, descriptor);
}

static BOOL WINAPI set_time(HANDLE handle, const FILETIME* creation, const FILETIME* access, const FILETIME* write) {
  log_line("SetFileTime creation=%llu access=%s write=%llu\n", ticks(creation), access == nullptr ? "none" : "given",
           ticks(write));
  return real.SetFileTime(handle, creation, access, write);
}

static BOOL WINAPI set_information(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID data, DWORD size) {
  const auto* basic = static_cast<const FILE_BASIC_INFO*>(data);
  log_line("SetFileInformationByHandle class=%d size=%lu attributes=0x%08lx times=%lld,%lld,%lld,%lld\n",
           static_cast<int>(kind), size, basic->FileAttributes, basic->CreationTime.QuadPart,
           basic->LastAccessTime.QuadPart, basic->LastWriteTime.QuadPart, basic->ChangeTime.QuadPart);
  return real.SetFileInformationByHandle(handle, kind, data, size);
}

static BOOL WINAPI adjust_privileges(HANDLE token, BOOL disable_all, PTOKEN_PRIVILEGES privileges, DWORD length,
                                     PTOKEN_PRIVILEGES previous, PDWORD returned) {
  BOOL ok = real.AdjustTokenPrivileges(token, disable_all, privileges, length, previous, returned);
  DWORD error = GetLastError();
  log_line("AdjustTokenPrivileges count=%lu attributes=%lu result=%d error=%lu\n", privileges->PrivilegeCount,
           privileges->Privileges[0].Attributes, ok, error);
  SetLastError(error);
  return ok;
}

int wmain(int argc, wchar_t** argv) {
  win32_api.CreateFileW = create_file;
  win32_api.SetKernelObjectSecurity = set_security;
  win32_api.SetFileTime = set_time;
  win32_api.SetFileInformationByHandle = set_information;
  win32_api.AdjustTokenPrivileges = adjust_privileges;
  return agent_main(argc, reinterpret_cast<wchar16**>(argv));
}
