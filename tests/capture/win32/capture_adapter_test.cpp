// The capture calls of the Win32 adapter go through win32_api: failures
// injected there reach the fatal line with their codes, and named streams and
// reparse points that Wine lacks are played through the table.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "agent/platform/win32/win32_api.h"

#include <winioctl.h>
#include "agent/run_control/process_resources.h"
#include "core/manifest_reader.h"
#include "tests/capture/win32/win32_scenario_volume.h"

namespace {

class CaptureAdapter : public testing::Test {
 protected:
  void SetUp() override {
    volume.reset("adapter");
    volume.file("f", std::string(5000, 'f'));
  }
  void TearDown() override {
    win32_api_restore();
    remove_all_scenario_trees();
  }
  std::vector<std::u16string> check_args() const { return {u"check", u"--source", volume.source()}; }
  Win32ScenarioVolume volume;
};

bool ends_with(const wchar_t* text, const wchar_t* suffix) {
  size_t n = wcslen(text), m = wcslen(suffix);
  return n >= m && wcscmp(text + n - m, suffix) == 0;
}

struct Injection {
  const char* name;
  void (*inject)();
  const char* line;
};

TEST_F(CaptureAdapter, FailuresOfEachCaptureCallReachTheFatalLineWithTheirCodes) {
  const Injection cases[] = {
      {"ReadFile",
       [] { win32_api.ReadFile = [](HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) -> BOOL { SetLastError(23); return FALSE; }; },
       "read file: f \\(Windows error=23\\)"},
      {"GetFileInformationByHandle",
       [] { win32_api.GetFileInformationByHandle = [](HANDLE, LPBY_HANDLE_FILE_INFORMATION) -> BOOL { SetLastError(1117); return FALSE; }; },
       "file information: \\. \\(Windows error=1117\\)"},
      {"GetFileSizeEx",
       [] { win32_api.GetFileSizeEx = [](HANDLE, PLARGE_INTEGER) -> BOOL { SetLastError(1117); return FALSE; }; },
       "file size: f \\(Windows error=1117\\)"},
      {"FindFirstFileW",
       [] { win32_api.FindFirstFileW = [](LPCWSTR, LPWIN32_FIND_DATAW) -> HANDLE { SetLastError(5); return INVALID_HANDLE_VALUE; }; },
       "enumerate directory: \\. \\(Windows error=5\\)"},
      {"FindNextFileW",
       [] { win32_api.FindNextFileW = [](HANDLE, LPWIN32_FIND_DATAW) -> BOOL { SetLastError(59); return FALSE; }; },
       "enumeration interrupted: \\. \\(Windows error=59\\)"},
      {"FindFirstStreamW",
       [] { win32_api.FindFirstStreamW = [](LPCWSTR, STREAM_INFO_LEVELS, LPVOID, DWORD) -> HANDLE { SetLastError(5); return INVALID_HANDLE_VALUE; }; },
       "enumerate alternate streams: f \\(Windows error=5\\)"},
      {"GetSecurityInfo",
       [] { win32_api.GetSecurityInfo = [](HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*, PSECURITY_DESCRIPTOR*) -> DWORD { return 1307; }; },
       "read file owner and ACL: \\. \\(Windows error=1307\\)"},
      {"GetSecurityDescriptorLength",
       [] { win32_api.GetSecurityDescriptorLength = [](PSECURITY_DESCRIPTOR) -> DWORD { return 65537; }; },
       "security descriptor too large \\(Windows error="},
  };
  for (const Injection& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(
        {
          c.inject();
          run_agent_with(check_args());
        },
        testing::ExitedWithCode(1), std::string("vardokeep-agent: ") + c.line);
  }
}

// What a test fakes through the table, keyed by the handles it returned.
HANDLE faked_handle = INVALID_HANDLE_VALUE;
std::wstring stream_stand_in;
std::string manifest_copy;

HANDLE WINAPI open_stream_stand_in(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                   DWORD disposition, DWORD flags, HANDLE model) {
  if (ends_with(name, L"\\f:s:$DATA")) {
    EXPECT_EQ(static_cast<DWORD>(GENERIC_READ | READ_CONTROL), access);
    EXPECT_EQ(static_cast<DWORD>(FILE_SHARE_READ), share);
    EXPECT_EQ(0x0A200000u, flags);
    name = stream_stand_in.c_str();
  }
  return CreateFileW(name, access, share, security, disposition, flags, model);
}

HANDLE WINAPI find_first_stream(LPCWSTR path, STREAM_INFO_LEVELS level, LPVOID data, DWORD flags) {
  EXPECT_EQ(FindStreamInfoStandard, level);
  EXPECT_EQ(0u, flags);
  if (!ends_with(path, L"\\f")) {
    SetLastError(ERROR_HANDLE_EOF);
    return INVALID_HANDLE_VALUE;
  }
  auto* stream = static_cast<WIN32_FIND_STREAM_DATA*>(data);
  stream->StreamSize.QuadPart = 5000;
  wcscpy(stream->cStreamName, L"::$DATA");
  return reinterpret_cast<HANDLE>(0x5151);
}

BOOL WINAPI find_next_stream(HANDLE search, LPVOID data) {
  EXPECT_EQ(reinterpret_cast<HANDLE>(0x5151), search);
  static int calls = 0;
  if (++calls > 1) {
    calls = 0;
    SetLastError(ERROR_HANDLE_EOF);
    return FALSE;
  }
  auto* stream = static_cast<WIN32_FIND_STREAM_DATA*>(data);
  stream->StreamSize.QuadPart = 300;
  wcscpy(stream->cStreamName, L":s:$DATA");
  return TRUE;
}

BOOL WINAPI close_fake_search(HANDLE search) {
  return search == reinterpret_cast<HANDLE>(0x5151) ? TRUE : FindClose(search);
}

// Keeps the manifest's bytes before the run's close deletes it.
int copy_manifest_then_close(int fd) {
  if (fd == manifest_fd) {
    manifest_copy.clear();
    _lseeki64(fd, 0, SEEK_SET);
    char buffer[4096];
    int n;
    while ((n = _read(fd, buffer, sizeof buffer)) > 0) manifest_copy.append(buffer, static_cast<size_t>(n));
  }
  return _close(fd);
}

std::string reader_verdict(const std::string& manifest) {
  ManifestSource source = manifest_memory_source(manifest.data(), manifest.size());
  std::string error;
  return manifest_validate(&source, ManifestSlotRule::zero, &error) == ManifestStatus::ok ? "ok" : error;
}

std::map<std::string, std::string> summary_of(const std::string& err) {
  std::map<std::string, std::string> summary;
  size_t at = 0;
  while (at < err.size()) {
    size_t end = err.find('\n', at);
    std::string line = err.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t equals = line.find('=');
    if (equals != std::string::npos) summary[line.substr(0, equals)] = line.substr(equals + 1);
    at = end == std::string::npos ? err.size() : end + 1;
  }
  return summary;
}

std::map<std::string, std::string> run_check(const std::vector<std::u16string>& args) {
  testing::internal::CaptureStderr();
  int code = run_agent_with(args);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(0, code) << err;
  return summary_of(err);
}

TEST_F(CaptureAdapter, NamedStreamsReportedByTheSystemAreOpenedAndReadThroughTheTable) {
  stream_stand_in = scenario_parent() + L"\\stream-content";
  HANDLE h = CreateFileW(stream_stand_in.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD written = 0;
  WriteFile(h, std::string(300, 's').data(), 300, &written, nullptr);
  CloseHandle(h);
  win32_api.CreateFileW = open_stream_stand_in;
  win32_api.FindFirstStreamW = find_first_stream;
  win32_api.FindNextStreamW = find_next_stream;
  win32_api.FindClose = close_fake_search;
  win32_api.close = copy_manifest_then_close;
  auto summary = run_check(check_args());
  EXPECT_EQ("1", summary["files"]);
  EXPECT_EQ("1", summary["alternate_streams"]);
  EXPECT_EQ("3", summary["chunks_checked"]);  // 2 for f, 1 for f:s
  EXPECT_NE(std::string::npos, manifest_copy.find("f:s"));
  EXPECT_EQ(std::to_string(manifest_copy.size()), summary["manifest_bytes"]);
  EXPECT_EQ("ok", reader_verdict(manifest_copy));
}

const unsigned char reparse_bytes[20] = {0x03, 0, 0, 0xA0, 12, 0, 0, 0, 0, 0, 2, 0, 4, 0, 0, 0, 'x', 0, 0, 0};

DWORD WINAPI attributes_with_reparse_bit(LPCWSTR path) {
  DWORD attributes = GetFileAttributesW(path);
  return ends_with(path, L"\\f") ? attributes | FILE_ATTRIBUTE_REPARSE_POINT : attributes;
}

HANDLE WINAPI remember_f(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                         DWORD flags, HANDLE model) {
  HANDLE h = CreateFileW(name, access, share, security, disposition, flags, model);
  if (ends_with(name, L"\\f")) {
    EXPECT_EQ(static_cast<DWORD>(READ_CONTROL), access);
    EXPECT_EQ(static_cast<DWORD>(FILE_SHARE_READ), share);
    EXPECT_EQ(0x0A200000u, flags);
    faked_handle = h;
  }
  return h;
}

BOOL WINAPI information_with_reparse_bit(HANDLE h, LPBY_HANDLE_FILE_INFORMATION information) {
  BOOL ok = GetFileInformationByHandle(h, information);
  if (h == faked_handle) information->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return ok;
}

BOOL WINAPI reparse_data_of_f(HANDLE h, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                              LPDWORD returned, LPOVERLAPPED overlapped) {
  if (h != faked_handle) return DeviceIoControl(h, code, in, in_size, out, out_size, returned, overlapped);
  EXPECT_EQ(static_cast<DWORD>(FSCTL_GET_REPARSE_POINT), code);
  EXPECT_EQ(16384u, out_size);
  memcpy(out, reparse_bytes, sizeof reparse_bytes);
  *returned = sizeof reparse_bytes;
  return TRUE;
}

TEST_F(CaptureAdapter, AReparsePointIsOpenedWithoutDataAccessAndItsBufferRecorded) {
  win32_api.GetFileAttributesW = attributes_with_reparse_bit;
  win32_api.CreateFileW = remember_f;
  win32_api.GetFileInformationByHandle = information_with_reparse_bit;
  win32_api.DeviceIoControl = reparse_data_of_f;
  win32_api.close = copy_manifest_then_close;
  auto summary = run_check(check_args());
  EXPECT_EQ("0", summary["files"]);
  EXPECT_EQ("1", summary["reparse_placeholders"]);
  EXPECT_EQ("0", summary["chunks_checked"]);
  std::string value = std::string("user.vardokeep.windows.reparse") +
                      std::string(reinterpret_cast<const char*>(reparse_bytes), sizeof reparse_bytes);
  EXPECT_NE(std::string::npos, manifest_copy.find(value));
  EXPECT_EQ("ok", reader_verdict(manifest_copy));
}

TEST_F(CaptureAdapter, AReparsePointWhoseDataCannotBeReadStopsTheRun) {
  EXPECT_EXIT(
      {
        win32_api.GetFileAttributesW = attributes_with_reparse_bit;
        win32_api.CreateFileW = remember_f;
        win32_api.GetFileInformationByHandle = information_with_reparse_bit;
        run_agent_with(check_args());
      },
      testing::ExitedWithCode(1), "vardokeep-agent: read reparse metadata: f \\(Windows error=");
}

// A cloud folder whose contents the provider has not brought in says so only
// in its parent's listing: the adapter hands that bit over, and the folder is
// recorded as a placeholder without being listed itself.
const unsigned char cloud_folder_reparse[12] = {0x1A, 0x70, 0, 0x90, 4, 0, 0, 0, 1, 2, 3, 4};
bool listed_d = false;

DWORD WINAPI attributes_of_cloud_d(LPCWSTR path) {
  DWORD attributes = GetFileAttributesW(path);
  return ends_with(path, L"\\d") ? attributes | FILE_ATTRIBUTE_REPARSE_POINT : attributes;
}
HANDLE WINAPI remember_d(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                         DWORD flags, HANDLE model) {
  HANDLE h = CreateFileW(name, access, share, security, disposition, flags, model);
  if (ends_with(name, L"\\d")) faked_handle = h;
  return h;
}
BOOL WINAPI reparse_data_of_d(HANDLE h, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                              LPDWORD returned, LPOVERLAPPED overlapped) {
  if (h != faked_handle) return DeviceIoControl(h, code, in, in_size, out, out_size, returned, overlapped);
  memcpy(out, cloud_folder_reparse, sizeof cloud_folder_reparse);
  *returned = sizeof cloud_folder_reparse;
  return TRUE;
}
// Handle values are reused once closed.
BOOL WINAPI forget_d_on_close(HANDLE h) {
  if (h == faked_handle) faked_handle = INVALID_HANDLE_VALUE;
  return CloseHandle(h);
}
void mark_d_not_brought_in(WIN32_FIND_DATAW* data) {
  if (wcscmp(data->cFileName, L"d") == 0) data->dwFileAttributes |= 0x00040000;  // RECALL_ON_OPEN
}
HANDLE WINAPI find_first_listing_d(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  if (ends_with(pattern, L"\\d\\*")) listed_d = true;
  HANDLE search = FindFirstFileW(pattern, data);
  if (search != INVALID_HANDLE_VALUE) mark_d_not_brought_in(data);
  return search;
}
BOOL WINAPI find_next_listing_d(HANDLE search, LPWIN32_FIND_DATAW data) {
  BOOL ok = FindNextFileW(search, data);
  if (ok) mark_d_not_brought_in(data);
  return ok;
}

TEST_F(CaptureAdapter, AFolderListedAsNotBroughtInIsRecordedWithoutBeingListed) {
  volume.file("d/inside", "x");
  listed_d = false;
  win32_api.GetFileAttributesW = attributes_of_cloud_d;
  win32_api.CreateFileW = remember_d;
  win32_api.GetFileInformationByHandle = information_with_reparse_bit;
  win32_api.DeviceIoControl = reparse_data_of_d;
  win32_api.FindFirstFileW = find_first_listing_d;
  win32_api.FindNextFileW = find_next_listing_d;
  win32_api.CloseHandle = forget_d_on_close;
  auto summary = run_check(check_args());
  EXPECT_EQ("1", summary["reparse_placeholders"]);
  EXPECT_EQ("1", summary["directories"]);
  EXPECT_EQ("1", summary["files"]);  // f
  EXPECT_FALSE(listed_d);
}

}  // namespace
