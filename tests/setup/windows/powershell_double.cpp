// Stands in for Windows PowerShell at System32\WindowsPowerShell\v1.0 in the
// test prefix. It records how the setup program started it, writes the install
// log that the plan asks for, waits until the test releases it, and exits with
// the planned code. Its directory comes from VARDOKEEP_DOUBLE_DIR.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "big_log.h"

namespace {

std::wstring double_directory() {
    wchar_t value[1024] = {};
    const DWORD length = GetEnvironmentVariableW(L"VARDOKEEP_DOUBLE_DIR", value, 1024);
    return length > 0 && length < 1024 ? std::wstring(value) : std::wstring();
}

bool write_new(const std::wstring& path, const void* data, size_t size) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(file);
    return true;
}

std::string read_plan(const std::wstring& path) {
    std::string plan;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return plan;
    char block[512];
    DWORD got = 0;
    while (ReadFile(file, block, sizeof block, &got, nullptr) && got > 0) plan.append(block, got);
    CloseHandle(file);
    return plan;
}

std::string plan_value(const std::string& plan, const std::string& key) {
    const size_t at = plan.find(key + "=");
    if (at == std::string::npos) return {};
    const size_t start = at + key.size() + 1;
    return plan.substr(start, plan.find('\n', start) - start);
}

// The install log in the form the plan names; "none" writes no file at all.
void write_log(const std::wstring& path, const std::string& kind) {
    std::string bytes;
    if (kind == "success") {
        bytes = "Paste this public key into the Vardokeep Windows enrollment form:\r\n"
                "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIHZhcmRva2VlcCB0ZXN0IGtleQ root@maquina\r\n"
                "Configura\xc3\xa7\xc3\xa3o conclu\xc3\xad" "da \xe2\x9c\x93\r\n";
    } else if (kind == "failure") {
        bytes = "Machine already installed. Review the existing configuration before replacing it.\r\n";
    } else if (kind == "big") {
        bytes = big_log_head() + "\xc3\xa9";
        bytes.append(70000 - bytes.size(), 'b');
    } else if (kind == "empty") {
        bytes.clear();
    } else {
        return;
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

int wmain() {
    const std::wstring directory = double_directory();
    if (directory.empty()) return 90;

    int call = 1;
    const wchar_t* command_line = GetCommandLineW();
    while (!write_new(directory + L"\\call-" + std::to_wstring(call) + L".cmd", command_line,
                      wcslen(command_line) * sizeof(wchar_t)))
        if (++call > 100) return 91;
    wchar_t current[MAX_PATH + 1] = {};
    const DWORD current_length = GetCurrentDirectoryW(MAX_PATH + 1, current);
    write_new(directory + L"\\call-" + std::to_wstring(call) + L".cwd", current, current_length * sizeof(wchar_t));

    const std::string plan = read_plan(directory + L"\\plan.txt");
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(command_line, &count);
    for (int i = 0; argv != nullptr && i + 1 < count; ++i)
        if (std::wstring(argv[i]) == L"-Log") write_log(argv[i + 1], plan_value(plan, "log"));

    // Hold the install open until the test has looked at the window.
    const std::wstring release = directory + L"\\release";
    for (int waited = 0; waited < 60000 && GetFileAttributesW(release.c_str()) == INVALID_FILE_ATTRIBUTES;
         waited += 50)
        Sleep(50);
    return std::atoi(plan_value(plan, "exit").c_str());
}
