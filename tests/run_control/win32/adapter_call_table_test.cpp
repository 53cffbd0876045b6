// The Win32 adapter reaches Windows only through win32_api: rewiring an entry
// counts the calls, checks their arguments and injects failures into the real
// agent running under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "agent/platform/win32/win32_api.h"
#include "agent/run_control/agent_main.h"

namespace {

class AdapterCallTable : public testing::Test {
 protected:
  void TearDown() override { win32_api_restore(); }
};

struct ManifestCreate {
  int calls = 0;
  int collisions_left = 0;
  DWORD access = 0, share = 0, disposition = 0, flags = 0;
};
ManifestCreate manifest_create;

HANDLE WINAPI counting_create_file(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                   DWORD disposition, DWORD flags, HANDLE model) {
  if (disposition == CREATE_NEW) {
    ++manifest_create.calls;
    manifest_create.access = access;
    manifest_create.share = share;
    manifest_create.disposition = disposition;
    manifest_create.flags = flags;
    if (manifest_create.collisions_left > 0) {
      --manifest_create.collisions_left;
      SetLastError(ERROR_FILE_EXISTS);
      return INVALID_HANDLE_VALUE;
    }
  }
  return CreateFileW(name, access, share, security, disposition, flags, model);
}

DWORD WINAPI failing_final_path(HANDLE, LPWSTR, DWORD, DWORD) {
  SetLastError(1234);
  return 0;
}

std::wstring make_source_directory() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring dir = std::wstring(temp) + L"vk-adapter-source";
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir;
}

int run_check(const std::wstring& source) {
  std::wstring args[] = {L"vardokeep-agent.exe", L"check", L"--source", source};
  wchar16* argv[] = {reinterpret_cast<wchar16*>(args[0].data()), reinterpret_cast<wchar16*>(args[1].data()),
                     reinterpret_cast<wchar16*>(args[2].data()), reinterpret_cast<wchar16*>(args[3].data()),
                     nullptr};
  return agent_main(4, argv);
}

bool manifest_left_behind() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW((std::wstring(temp) + L"vardo-agent-*.tmp").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

TEST_F(AdapterCallTable, ManifestIsCreatedReadWriteUnsharedTemporaryDeleteOnClose) {
  std::wstring source = make_source_directory();
  win32_api.CreateFileW = counting_create_file;
  manifest_create = {};
  manifest_create.collisions_left = 99;
  ASSERT_EQ(0, run_check(source));
  EXPECT_EQ(100, manifest_create.calls);  // 99 collisions, then success
  EXPECT_EQ(static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE), manifest_create.access);
  EXPECT_EQ(0u, manifest_create.share);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE), manifest_create.flags);
  EXPECT_FALSE(manifest_left_behind());
}

TEST_F(AdapterCallTable, InjectedFailuresReachTheFatalLineWithTheirCodes) {
  std::wstring source = make_source_directory();
  EXPECT_EXIT(
      {
        win32_api.CreateFileW = counting_create_file;
        manifest_create = {};
        manifest_create.collisions_left = 1000;
        run_check(source);
      },
      testing::ExitedWithCode(1), "vardokeep-agent: temporary manifest collision \\(Windows error=80\\)");
  EXPECT_EXIT(
      {
        win32_api.GetFinalPathNameByHandleW = failing_final_path;
        run_check(source);
      },
      testing::ExitedWithCode(1), "vardokeep-agent: canonical manifest path \\(Windows error=1234\\)");
  EXPECT_FALSE(manifest_left_behind());
}

// A directory's normalized final path refused as an old SMB server refuses it:
// the agent asks again for the name as opened, with the real flag.
std::vector<DWORD> directory_final_path_flags;
DWORD WINAPI share_like_final_path(HANDLE file, LPWSTR out, DWORD capacity, DWORD flags) {
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileInformationByHandle(file, &information) && (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    directory_final_path_flags.push_back(flags);
    if ((flags & FILE_NAME_OPENED) == 0) {
      SetLastError(ERROR_ACCESS_DENIED);
      return 0;
    }
  }
  return GetFinalPathNameByHandleW(file, out, capacity, flags);
}

TEST_F(AdapterCallTable, ARefusedNormalizedSourcePathIsAskedForAsOpened) {
  std::wstring source = make_source_directory();
  win32_api.GetFinalPathNameByHandleW = share_like_final_path;
  directory_final_path_flags.clear();
  ASSERT_EQ(0, run_check(source));
  EXPECT_EQ((std::vector<DWORD>{0, FILE_NAME_OPENED}), directory_final_path_flags);
}

// Placeholders are exposed through ntdll's entry when it has one, looked up at
// run time; without it (Wine, older Windows) the run carries on.
int placeholder_mode_set = -1;
std::string looked_up;
CHAR NTAPI fake_set_placeholder_mode(CHAR mode) {
  placeholder_mode_set = mode;
  return 0;
}
FARPROC WINAPI fake_get_proc_address(HMODULE module, LPCSTR name) {
  looked_up = name;
  if (module != GetModuleHandleW(L"ntdll.dll")) return nullptr;
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(fake_set_placeholder_mode));
}
FARPROC WINAPI absent_proc_address(HMODULE, LPCSTR) {
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

TEST_F(AdapterCallTable, PlaceholdersAreExposedWhereNtdllOffersIt) {
  std::wstring source = make_source_directory();
  win32_api.GetProcAddress = fake_get_proc_address;
  ASSERT_EQ(0, run_check(source));
  EXPECT_EQ("RtlSetProcessPlaceholderCompatibilityMode", looked_up);
  EXPECT_EQ(2, placeholder_mode_set);
  win32_api.GetProcAddress = absent_proc_address;
  EXPECT_EQ(0, run_check(source));
}

}  // namespace
