// The Win32 adapter of apply-metadata with failures injected through win32_api:
// each failing call reaches its fatal line with its own Windows error code, and
// AdjustTokenPrivileges' quiet "not all assigned" is caught through the error slot.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "agent/platform/win32/win32_api.h"
#include "agent/run_control/agent_main.h"
#include "tests/metadata_restore/metadata_file_builder.h"

namespace {

class MetadataRestoreAdapter : public testing::Test {
 protected:
  void TearDown() override { win32_api_restore(); }
};

std::wstring temp_directory() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  return temp;
}

void write_file(const std::wstring& path, const Bytes& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD written = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
}

// A root with one file b.txt and a metadata file naming it.
struct Fixture {
  std::wstring root, metadata;
};
Fixture make_fixture() {
  Fixture f;
  std::wstring base = temp_directory() + L"vk-adapter-metadata";
  CreateDirectoryW(base.c_str(), nullptr);
  f.root = base + L"\\root";
  f.metadata = base + L"\\meta.bin";
  CreateDirectoryW(f.root.c_str(), nullptr);
  write_file(f.root + L"\\b.txt", {'x'});
  write_file(f.metadata, build_metadata_file({{"b.txt", test_descriptor(), 1, 0x20, 1, 2}}));
  return f;
}

int run_apply(const Fixture& f, bool owner) {
  std::wstring args[] = {L"vardokeep-agent.exe", L"apply-metadata", L"--source", f.root, L"--metadata", f.metadata,
                         L"--owner"};
  wchar16* argv[8] = {};
  int argc = owner ? 7 : 6;
  for (int i = 0; i < argc; ++i) argv[i] = reinterpret_cast<wchar16*>(args[i].data());
  return agent_main(argc, argv);
}

BOOL WINAPI not_all_assigned(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD) {
  SetLastError(ERROR_NOT_ALL_ASSIGNED);
  return TRUE;
}
BOOL WINAPI short_read(HANDLE, LPVOID, DWORD length, LPDWORD read, LPOVERLAPPED) {
  *read = length - 1;
  return TRUE;
}
BOOL WINAPI seek_fails(HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD) {
  SetLastError(ERROR_NEGATIVE_SEEK);
  return FALSE;
}
BOOL WINAPI security_fails(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
BOOL WINAPI times_fail(HANDLE, const FILETIME*, const FILETIME*, const FILETIME*) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}
BOOL WINAPI attributes_fail(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD) {
  SetLastError(ERROR_WRITE_PROTECT);
  return FALSE;
}
}  // namespace

TEST_F(MetadataRestoreAdapter, RunsCleanWithTheRealCalls) {
  Fixture f = make_fixture();
  EXPECT_EQ(0, run_apply(f, false));
}

TEST_F(MetadataRestoreAdapter, InjectedFailuresReachTheirFatalLinesWithTheirCodes) {
  Fixture f = make_fixture();
  EXPECT_EXIT({ win32_api.AdjustTokenPrivileges = not_all_assigned; run_apply(f, true); },
              testing::ExitedWithCode(1),
              "vardokeep-agent: Restore ownership requires SeRestorePrivilege \\(Windows error=1300\\)");
  EXPECT_EXIT({ win32_api.ReadFile = short_read; run_apply(f, false); }, testing::ExitedWithCode(1),
              "vardokeep-agent: Windows metadata read \\(Windows error=");
  EXPECT_EXIT({ win32_api.SetFilePointerEx = seek_fails; run_apply(f, false); }, testing::ExitedWithCode(1),
              "vardokeep-agent: Windows metadata read \\(Windows error=131\\)");
  EXPECT_EXIT({ win32_api.SetKernelObjectSecurity = security_fails; run_apply(f, false); },
              testing::ExitedWithCode(1), "vardokeep-agent: Restore DACL/owner \\(Windows error=5\\)");
  EXPECT_EXIT({ win32_api.SetFileTime = times_fail; run_apply(f, false); }, testing::ExitedWithCode(1),
              "vardokeep-agent: Restore file times \\(Windows error=87\\)");
  EXPECT_EXIT({ win32_api.SetFileInformationByHandle = attributes_fail; run_apply(f, false); },
              testing::ExitedWithCode(1), "vardokeep-agent: Restore file attributes \\(Windows error=19\\)");
}
