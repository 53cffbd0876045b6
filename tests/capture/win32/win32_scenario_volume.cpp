#include "tests/capture/win32/win32_scenario_volume.h"

#include <gtest/gtest.h>


#include "agent/platform/win32/win32_api.h"
#include "agent/run_control/process_resources.h"

#include <io.h>

namespace {

std::vector<HANDLE> held_handles;
std::string manifest_copy;

// Keeps the manifest's bytes before the run's close deletes it.
int copy_manifest_then_close(int fd) {
  if (fd == manifest_fd) {
    manifest_copy.clear();
    _lseeki64(fd, 0, SEEK_SET);
    char buffer[65536];
    int n;
    while ((n = _read(fd, buffer, sizeof buffer)) > 0) manifest_copy.append(buffer, static_cast<size_t>(n));
  }
  return _close(fd);
}
std::vector<ObservedOpen> recorded_opens;
std::wstring observed_prefix;

bool starts_with_ignoring_case(const wchar_t* text, const std::wstring& prefix) {
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (text[i] == 0 || towlower(text[i]) != towlower(prefix[i])) return false;
  }
  return true;
}

HANDLE WINAPI recording_create_file(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                    DWORD disposition, DWORD flags, HANDLE model) {
  if (disposition == OPEN_EXISTING && starts_with_ignoring_case(name, observed_prefix)) {
    std::wstring rest(name + observed_prefix.size());
    if (rest.size() >= 6 && rest.compare(rest.size() - 6, 6, L":$DATA") == 0) rest.resize(rest.size() - 6);
    std::string relative;
    if (rest.empty() || rest[0] == L':') {
      relative = ".";
      relative += utf8_of(rest);
    } else {
      relative = utf8_of(rest.substr(1));
    }
    for (char& c : relative) {
      if (c == '\\') c = '/';
    }
    recorded_opens.push_back({relative, {access, share, flags}});
  }
  return CreateFileW(name, access, share, security, disposition, flags, model);
}

void release_held() {
  for (HANDLE h : held_handles) CloseHandle(h);
  held_handles.clear();
}

void create_directories(const std::wstring& long_path) {
  // "\\?\C:\..." : create every component after the drive.
  for (size_t at = long_path.find(L'\\', 7); at != std::wstring::npos; at = long_path.find(L'\\', at + 1)) {
    CreateDirectoryW(long_path.substr(0, at).c_str(), nullptr);
  }
  CreateDirectoryW(long_path.c_str(), nullptr);
}

}  // namespace

std::wstring wide_of(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

std::string utf8_of(const std::wstring& wide) {
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

void remove_tree(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &data);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = path + L"\\" + name;
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        remove_tree(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(search, &data));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

std::wstring scenario_parent() {
  static std::wstring parent;
  if (parent.empty()) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    parent = std::wstring(L"\\\\?\\") + temp + L"vk-scenarios-" + std::to_wstring(GetCurrentProcessId());
  }
  return parent;
}

void remove_all_scenario_trees() {
  release_held();
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring directory = std::wstring(L"\\\\?\\") + temp;
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW((directory + L"vk-scenarios-*").c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    remove_tree(directory + data.cFileName);
  } while (FindNextFileW(search, &data));
  FindClose(search);
}

void Win32ScenarioVolume::reset(const std::string& scenario) {
  win32_api_restore();
  release_held();
  manifest_copy.clear();
  recorded_opens.clear();
  std::wstring long_root = scenario_parent() + L"\\" + wide_of(scenario);
  remove_tree(long_root);
  create_directories(long_root);
  root = long_root.substr(4);  // as a user would give it
}

std::u16string Win32ScenarioVolume::source() const { return std::u16string(root.begin(), root.end()); }

std::wstring Win32ScenarioVolume::long_path(const std::string& relative) const {
  std::wstring path = L"\\\\?\\" + root;
  if (relative == ".") return path;
  std::wstring rest = wide_of(relative);
  for (wchar_t& c : rest) {
    if (c == L'/') c = L'\\';
  }
  return path + L"\\" + rest;
}

void Win32ScenarioVolume::directory(const std::string& path) { create_directories(long_path(path)); }

void Win32ScenarioVolume::file(const std::string& path, const std::string& content) {
  std::wstring full = long_path(path);
  create_directories(full.substr(0, full.rfind(L'\\')));
  HANDLE h = CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h) << path;
  DWORD written = 0;
  if (!content.empty()) WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(h);
}

void Win32ScenarioVolume::hold_for_writing(const std::string& path) {
  HANDLE h = CreateFileW(long_path(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  held_handles.push_back(h);
}

void Win32ScenarioVolume::stream(const std::string&, const std::string&, const std::string&) {
  ADD_FAILURE() << "Wine has no named streams";
}
void Win32ScenarioVolume::reparse_point(const std::string&, const std::vector<uint8_t>&, bool) {
  ADD_FAILURE() << "Wine has no reparse points";
}
void Win32ScenarioVolume::encrypt(const std::string&) { ADD_FAILURE() << "Wine has no encryption"; }

void Win32ScenarioVolume::observe() {
  observed_prefix = L"\\\\?\\" + root;
  recorded_opens.clear();
  win32_api.CreateFileW = recording_create_file;
  win32_api.close = copy_manifest_then_close;
}

std::string Win32ScenarioVolume::manifest() const { return manifest_copy; }

std::vector<ObservedOpen> Win32ScenarioVolume::opens() const { return recorded_opens; }
