// The VSS adapter's free functions, rewired through win32_vss_api inside the
// real agent under Wine: the arguments each one receives, and the exit handler
// really running CoUninitialize after the fatal line has ended the process.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "agent/platform/win32/win32_vss_api.h"
#include "agent/run_control/agent_main.h"

namespace {

// Each fake leaves "[call arguments]" on standard error and forwards.
BOOL WINAPI traced_volume_path(LPCWSTR path, LPWSTR buffer, DWORD capacity) {
  fprintf(stderr, "[GetVolumePathNameW %ls %lu]", path, capacity);
  return GetVolumePathNameW(path, buffer, capacity);
}

BOOL WINAPI traced_volume_name(LPCWSTR mount_point, LPWSTR buffer, DWORD capacity) {
  fprintf(stderr, "[GetVolumeNameForVolumeMountPointW %ls %lu]", mount_point, capacity);
  return GetVolumeNameForVolumeMountPointW(mount_point, buffer, capacity);
}

HRESULT WINAPI traced_com_init(LPVOID reserved, DWORD concurrency) {
  fprintf(stderr, "[CoInitializeEx %s %lu]", reserved == nullptr ? "null" : "set", concurrency);
  return CoInitializeEx(reserved, concurrency);
}

HRESULT WINAPI traced_com_security(PSECURITY_DESCRIPTOR descriptor, LONG services, SOLE_AUTHENTICATION_SERVICE* list,
                                   void* reserved1, DWORD authentication, DWORD impersonation, void* authentication_list,
                                   DWORD capabilities, void* reserved3) {
  fprintf(stderr, "[CoInitializeSecurity %d %ld %d %d %lu %lu %d %lu %d]", descriptor == nullptr, services,
          list == nullptr, reserved1 == nullptr, authentication, impersonation, authentication_list == nullptr,
          capabilities, reserved3 == nullptr);
  return CoInitializeSecurity(descriptor, services, list, reserved1, authentication, impersonation,
                              authentication_list, capabilities, reserved3);
}

HRESULT WINAPI traced_create(IVssBackupComponents** requester) {
  fprintf(stderr, "[CreateVssBackupComponentsInternal]");
  return CreateVssBackupComponentsInternal(requester);
}

void WINAPI traced_com_uninit() {
  fprintf(stderr, "[CoUninitialize]");
  CoUninitialize();
}

int run_backup(const std::wstring& source) {
  std::wstring args[] = {L"vardokeep-agent.exe", L"backup", L"--source", source, L"--stdio", L"--vss-writers"};
  wchar16* argv[7] = {};
  for (int i = 0; i < 6; ++i) argv[i] = reinterpret_cast<wchar16*>(args[i].data());
  return agent_main(6, argv);
}

TEST(VssAdapterCallTable, FreeFunctionsGetTheirArgumentsAndTheExitHandlerUninitialisesCom) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring source = std::wstring(temp) + L"vk-vss-adapter-source";
  CreateDirectoryW(source.c_str(), nullptr);
  EXPECT_EXIT(
      {
        win32_vss_api.GetVolumePathNameW = traced_volume_path;
        win32_vss_api.GetVolumeNameForVolumeMountPointW = traced_volume_name;
        win32_vss_api.CoInitializeEx = traced_com_init;
        win32_vss_api.CoInitializeSecurity = traced_com_security;
        win32_vss_api.CreateVssBackupComponentsInternal = traced_create;
        win32_vss_api.CoUninitialize = traced_com_uninit;
        run_backup(source);
      },
      testing::ExitedWithCode(1),
      "^\\[GetVolumePathNameW C:.*vk-vss-adapter-source 32768\\]"
      "\\[GetVolumeNameForVolumeMountPointW C:\\\\ 32768\\]"
      "\\[CoInitializeEx null 0\\]"
      "\\[CoInitializeSecurity 1 -1 1 1 6 3 1 0 1\\]"
      "\\[CreateVssBackupComponentsInternal\\]"
      "vardokeep-agent: VSS create requester HRESULT=0x80004001 \\(Windows error=\\d+\\)\\s+"
      "\\[CoUninitialize\\]$");
}

}  // namespace
