// The Install command: validate the form, extract the package, start Windows
// PowerShell on Setup-Run.ps1 hidden, and poll it from the window's timer.
#include <windows.h>

#include "../argument_quoting.h"
#include "../bounded_text.h"
#include "../daily_time_rule.h"
#include "setup_state.h"

namespace {

constexpr size_t command_line_capacity = 12000;
constexpr size_t path_field_capacity = 1024;
constexpr size_t time_field_capacity = 32;
constexpr DWORD log_read_limit = 65535;

// Large buffers live here, not on the UI thread's stack.
char16_t command_line[command_line_capacity];
char log_bytes[log_read_limit + 1];
char16_t log_text[log_read_limit + 1];

void show_error(const wchar_t* text) { MessageBoxW(setup_state.main_window, text, message_title, MB_OK | MB_ICONERROR); }

// "<Windows directory>\System32\WindowsPowerShell\v1.0\powershell.exe".
bool powershell_path(char16_t* out, size_t capacity) {
    char16_t windows_directory[package_path_capacity];
    const UINT length = GetWindowsDirectoryW(wide(windows_directory), package_path_capacity);
    if (length == 0 || length >= package_path_capacity) return false;
    const char16_t* const parts[] = {windows_directory, u"\\System32\\WindowsPowerShell\\v1.0\\powershell.exe"};
    return join_texts(out, capacity, parts, 2);
}

bool build_command_line(const char16_t* powershell, const char16_t* script, const char16_t* json,
                        const char16_t* source, const char16_t* time, bool use_vss) {
    for (size_t i = 0; i < command_line_capacity; ++i) command_line[i] = 0;
    const char16_t* const elements[] = {
        powershell, u"-NoProfile", u"-NonInteractive", u"-ExecutionPolicy", u"Bypass",
        u"-File", script, u"-EnrollmentFile", json, u"-Source",
        source, u"-At", time, u"-Log", setup_state.install_log_path,
    };
    for (const char16_t* element : elements)
        if (!append_bounded_argument(command_line, command_line_capacity, element)) return false;
    return !use_vss || append_bounded_argument(command_line, command_line_capacity, u"-UseVss");
}

}  // namespace

void start_installer() {
    SetupState& s = setup_state;
    char16_t json[path_field_capacity];
    char16_t source[path_field_capacity];
    char16_t time[time_field_capacity];
    GetWindowTextW(s.json_field, wide(json), path_field_capacity);
    GetWindowTextW(s.source_field, wide(source), path_field_capacity);
    GetWindowTextW(s.time_field, wide(time), time_field_capacity);

    if (json[0] == 0 || source[0] == 0) {
        show_error(L"Escolha o JSON baixado do painel e a pasta de origem.");
        return;
    }
    if (!is_valid_daily_time(time)) {
        show_error(L"Horario invalido. Use HH:MM.");
        return;
    }
    if (!extract_package()) {
        show_error(L"Nao foi possivel extrair o pacote protegido.");
        return;
    }

    char16_t powershell[package_path_capacity];
    char16_t script[package_path_capacity];
    const char16_t* const script_parts[] = {s.package_directory, u"\\Setup-Run.ps1"};
    // A Windows directory too long for the fixed path cannot be started from.
    if (!powershell_path(powershell, package_path_capacity) ||
        !join_texts(script, package_path_capacity, script_parts, 2)) {
        remove_package();
        show_error(L"Nao foi possivel iniciar a instalacao.");
        return;
    }
    const bool use_vss = SendMessageW(s.vss_checkbox, BM_GETCHECK, 0, 0) == BST_CHECKED;
    if (!build_command_line(powershell, script, json, source, time, use_vss)) {
        remove_package();
        show_error(L"Argumento muito longo.");
        return;
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(wide(powershell), wide(command_line), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, wide(s.package_directory), &startup, &process)) {
        remove_package();
        show_error(L"Nao foi possivel iniciar a instalacao.");
        return;
    }
    CloseHandle(process.hThread);
    process.hThread = nullptr;
    s.installer = process;
    EnableWindow(s.install_button, FALSE);
    SetWindowTextW(s.log_field, L"Instalando... aguarde. A tarefa de backup sera criada desativada.");
    SetTimer(s.main_window, installer_timer_id, 300, nullptr);
}

void poll_installer() {
    SetupState& s = setup_state;
    DWORD exit_code = 0;
    if (s.installer.hProcess == nullptr || !GetExitCodeProcess(s.installer.hProcess, &exit_code) ||
        exit_code == STILL_ACTIVE)
        return;

    KillTimer(s.main_window, installer_timer_id);
    CloseHandle(s.installer.hProcess);
    s.installer = {};

    DWORD read = 0;
    HANDLE log = CreateFileW(wide(s.install_log_path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log != INVALID_HANDLE_VALUE) {
        if (!ReadFile(log, log_bytes, log_read_limit, &read, nullptr)) read = 0;
        CloseHandle(log);
    }
    log_bytes[read] = 0;
    // No flags: a malformed or cut sequence shows as U+FFFD instead of failing.
    log_text[0] = 0;
    MultiByteToWideChar(CP_UTF8, 0, log_bytes, static_cast<int>(read) + 1, wide(log_text),
                        static_cast<int>(log_read_limit + 1));
    if (read > 0) {
        SetWindowTextW(s.log_field, wide(log_text));
    } else {
        SetWindowTextW(s.log_field,
                       L"Instalacao encerrada sem log. Verifique permissoes e a politica PowerShell.");
    }

    if (s.package_directory[0] != 0) remove_package();
    EnableWindow(s.install_button, TRUE);
    if (exit_code == 0) {
        MessageBoxW(s.main_window,
                    L"Instalado! Copie a chave publica do log para o painel. Depois ative a tarefa de backup.",
                    message_title, MB_OK | MB_ICONINFORMATION);
    } else {
        show_error(L"A instalacao falhou. Consulte o log abaixo.");
    }
}
