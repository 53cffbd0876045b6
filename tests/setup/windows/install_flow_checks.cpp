// The Install button end to end: the validations in their order, then installs
// through the PowerShell test double with the window observed at each stage.
#include <windows.h>
#include <shellapi.h>

#include "big_log.h"
#include "driver_checks.h"
#include "driver_support.h"

namespace {

const wchar_t empty_fields_text[] = L"Escolha o JSON baixado do painel e a pasta de origem.";
const wchar_t bad_time_text[] = L"Horario invalido. Use HH:MM.";
const wchar_t installing_text[] = L"Instalando... aguarde. A tarefa de backup sera criada desativada.";
const wchar_t close_refused_text[] = L"Aguarde a instalacao terminar antes de fechar.";
const wchar_t success_text[] =
    L"Instalado! Copie a chave publica do log para o painel. Depois ative a tarefa de backup.";
const wchar_t failure_text[] = L"A instalacao falhou. Consulte o log abaixo.";
const wchar_t no_log_text[] = L"Instalacao encerrada sem log. Verifique permissoes e a politica PowerShell.";

// What the double's "success" and "failure" logs read as once converted.
const wchar_t success_log[] =
    L"Paste this public key into the Vardokeep Windows enrollment form:\r\n"
    L"ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIHZhcmRva2VlcCB0ZXN0IGtleQ root@maquina\r\n"
    L"Configura\u00e7\u00e3o conclu\u00edda \u2713\r\n";
const wchar_t failure_log[] =
    L"Machine already installed. Review the existing configuration before replacing it.\r\n";

struct Session {
    SetupProcess setup;
    SetupControls c;
    std::wstring staged;
    std::wstring double_directory;
    int calls;
};

void set_form(Session& s, const wchar_t* json, const wchar_t* source, const wchar_t* time) {
    SetWindowTextW(s.c.json, json);
    SetWindowTextW(s.c.source, source);
    SetWindowTextW(s.c.time, time);
}

std::wstring call_file(const Session& s, int call, const wchar_t* kind) {
    return s.double_directory + L"\\call-" + std::to_wstring(call) + kind;
}

std::wstring read_utf16(const std::wstring& path) {
    std::string bytes;
    if (!read_file(path, &bytes)) return {};
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

void check_message(const MessageBoxSeen& seen, HWND main, const wchar_t* text, bool error, const char* when) {
    if (!check(seen.found, "%s: a message box appears", when)) return;
    check(seen.text == text, "%s: message is \"%s\" (%s)", when, utf8(text).c_str(), shown(seen.text).c_str());
    check(seen.title == L"Vardokeep", "%s: message box title is \"Vardokeep\" (%s)", when, shown(seen.title).c_str());
    check(seen.owner == main, "%s: message box is owned by the main window", when);
    check(error ? seen.error_icon : seen.information_icon, "%s: message box shows the %s icon", when,
          error ? "error" : "information");
}

// Presses Install on a form that must be refused before anything is written.
void check_refused(Session& s, const wchar_t* text, const char* when) {
    PostMessageW(s.c.install, BM_CLICK, 0, 0);
    check_message(take_message_box(s.setup.main, 10000), s.setup.main, text, true, when);
    check(package_directories().empty(), "%s: no package directory is written", when);
    check(!file_exists(call_file(s, s.calls + 1, L".cmd")), "%s: no installer is started", when);
    check(IsWindowEnabled(s.c.install) != 0, "%s: Install stays enabled", when);
}

void check_validations(Session& s) {
    set_form(s, L"", L"", L"02:00");
    check_refused(s, empty_fields_text, "both paths empty");
    set_form(s, L"C:\\dados\\enroll.json", L"", L"02:00");
    check_refused(s, empty_fields_text, "source empty");
    // The empty field is reported before the bad time.
    set_form(s, L"", L"C:\\dados", L"2:00");
    check_refused(s, empty_fields_text, "JSON empty and time bad");
    for (const wchar_t* time : {L"2:00", L"24:00", L"12:60", L"12:5x", L"12-30"}) {
        set_form(s, L"C:\\dados\\enroll.json", L"C:\\dados", time);
        const std::string when = "time \"" + utf8(time) + "\"";
        check_refused(s, bad_time_text, when.c_str());
    }
}

struct Started {
    bool ok;
    std::wstring command_line;
    std::wstring directory;
};

// Presses Install with the double told how to behave, and waits until it runs.
Started start_install(Session& s, int exit_code, const char* log) {
    DeleteFileW((s.double_directory + L"\\release").c_str());
    write_file(s.double_directory + L"\\plan.txt",
               "exit=" + std::to_string(exit_code) + "\nlog=" + std::string(log) + "\n");
    PostMessageW(s.c.install, BM_CLICK, 0, 0);
    const int call = s.calls + 1;
    Started started = {};
    for (int waited = 0; waited < 20000 && !file_exists(call_file(s, call, L".cwd")); waited += 50) Sleep(50);
    pause_ms(100);
    started.ok = check(file_exists(call_file(s, call, L".cwd")), "install %d starts the installer", call);
    if (!started.ok) return started;
    s.calls = call;
    started.command_line = read_utf16(call_file(s, call, L".cmd"));
    started.directory = read_utf16(call_file(s, call, L".cwd"));
    return started;
}

bool is_lower_hex(const std::wstring& text) {
    for (wchar_t c : text)
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
    return true;
}

// The package directory while the installer runs: the GUID name, the eleven
// files byte for byte, and the install log the double wrote.
void check_package_directory(const Session& s, const std::wstring& directory, bool has_log) {
    const std::wstring prefix = temp_directory() + L"Vardokeep-";
    const std::wstring name = directory.substr(std::min(directory.size(), prefix.size()));
    check(directory.rfind(prefix, 0) == 0 && name.size() == 35 && name[8] == L'-' && name[13] == L'-' &&
              name[18] == L'-' && is_lower_hex(name.substr(0, 8) + name.substr(9, 4) + name.substr(14, 4) +
                                               name.substr(19)),
          "package directory is the temporary directory plus Vardokeep-8-4-4-16 hex (%s)",
          shown(directory).c_str());
    std::vector<std::wstring> entries = directory_entries(directory);
    check(entries.size() == (has_log ? 12u : 11u), "package directory holds the eleven files%s (%zu entries)",
          has_log ? " and the install log" : "", entries.size());
    for (const wchar_t* file : expected_package_names) {
        std::string extracted, staged;
        const bool read = read_file(directory + L"\\" + file, &extracted) && read_file(s.staged + L"\\" + file, &staged);
        check(read && !staged.empty() && extracted == staged, "packaged %s is byte-identical to its source",
              utf8(file).c_str());
    }
}

std::wstring expected_command_line(const std::wstring& directory, const std::wstring& quoted_json,
                                   const std::wstring& quoted_source, const std::wstring& time, bool vss) {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    return L"\"" + std::wstring(windows) + L"\\System32\\WindowsPowerShell\\v1.0\\powershell.exe\" \"-NoProfile\" "
           L"\"-NonInteractive\" \"-ExecutionPolicy\" \"Bypass\" \"-File\" \"" + directory +
           L"\\Setup-Run.ps1\" \"-EnrollmentFile\" " + quoted_json + L" \"-Source\" " + quoted_source +
           L" \"-At\" \"" + time + L"\" \"-Log\" \"" + directory + L"\\installation.log\"" +
           (vss ? L" \"-UseVss\"" : L"");
}

std::wstring argument(const std::wstring& command_line, int index) {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(command_line.c_str(), &count);
    std::wstring value = argv != nullptr && index < count ? argv[index] : L"<missing>";
    if (argv != nullptr) LocalFree(argv);
    return value;
}

// Lets the double end and checks the window once the installer is over.
void finish_install(Session& s, const wchar_t* log_text, const wchar_t* message, bool error, const char* when) {
    write_file(s.double_directory + L"\\release", "");
    HWND box = wait_for_owned_dialog(s.setup.main, 30000);
    if (!check(box != nullptr, "%s: the outcome is shown", when)) return;
    const std::wstring shown_log = window_text(s.c.log);
    check(shown_log == log_text, "%s: the log field shows %s", when, shown(shown_log).c_str());
    check(package_directories().empty(), "%s: the package directory is gone", when);
    check(IsWindowEnabled(s.c.install) != 0, "%s: Install is enabled again", when);
    check_message(take_message_box(s.setup.main, 5000), s.setup.main, message, error, when);
}

void check_first_install(Session& s, const std::wstring& shots) {
    const std::wstring json = L"C:\\dados \"x\"\\enroll.json";
    const std::wstring source = L"C:\\pasta com espaco\\";
    set_form(s, json.c_str(), source.c_str(), L"23:59");
    SendMessageW(s.c.vss, BM_CLICK, 0, 0);
    check(SendMessageW(s.c.vss, BM_GETCHECK, 0, 0) == BST_CHECKED, "VSS checkbox checks on a click");

    const Started started = start_install(s, 0, "success");
    if (!started.ok) return;
    check(IsWindowEnabled(s.c.install) == 0, "Install is disabled while the installer runs");
    check(window_text(s.c.log) == installing_text, "the log field says the install is running");
    check(started.command_line == expected_command_line(started.directory, L"\"C:\\dados \\\"x\\\"\\enroll.json\"",
                                                        L"\"C:\\pasta com espaco\\\\\"", L"23:59", true),
          "installer command line is exact (%s)", shown(started.command_line).c_str());
    check(argument(started.command_line, 8) == json && argument(started.command_line, 10) == source,
          "a path with quotes or a trailing backslash reaches the script unchanged");
    check_package_directory(s, started.directory, true);

    PostMessageW(s.setup.main, WM_CLOSE, 0, 0);
    check_message(take_message_box(s.setup.main, 10000), s.setup.main, close_refused_text, true,
                  "close while installing");
    check(IsWindow(s.setup.main) && IsWindowVisible(s.setup.main), "the window stays open while installing");
    PostMessageW(s.setup.main, WM_COMMAND, 12, 0);
    check(no_message_box(s.setup.main, 1000) && !file_exists(call_file(s, s.calls + 1, L".cmd")),
          "command 12 while installing does nothing");

    finish_install(s, success_log, success_text, false, "install succeeds");
    check(window_text(s.c.json) == json && window_text(s.c.time) == L"23:59", "the form keeps its contents");
    request_screenshot(shots, L"setup-installed");
}

void check_later_installs(Session& s, const std::wstring& first_directory) {
    SendMessageW(s.c.vss, BM_CLICK, 0, 0);
    set_form(s, L"C:\\dados\\enroll.json", L"C:\\dados", L"00:00");
    Started started = start_install(s, 3, "failure");
    if (!started.ok) return;
    check(started.directory != first_directory, "a second install uses a new package directory");
    check(started.command_line == expected_command_line(started.directory, L"\"C:\\dados\\enroll.json\"",
                                                        L"\"C:\\dados\"", L"00:00", false),
          "without VSS the command line ends at the log path (%s)", shown(started.command_line).c_str());
    finish_install(s, failure_log, failure_text, true, "install fails");

    // The scan lets a leading blank or sign through; the install script refuses those later.
    for (const wchar_t* time : {L" 2:00", L"+2:00"}) {
        SetWindowTextW(s.c.time, time);
        started = start_install(s, 0, "none");
        if (!started.ok) return;
        check(argument(started.command_line, 12) == time, "time \"%s\" reaches the script", utf8(time).c_str());
        finish_install(s, no_log_text, success_text, false, "install without a log");
    }

    SetWindowTextW(s.c.time, L"02:00");
    started = start_install(s, 1, "big");
    if (!started.ok) return;
    const std::string head = big_log_head();
    finish_install(s, (std::wstring(head.begin(), head.end()) + L"\uFFFD").c_str(), failure_text, true,
                   "install with a log over 65535 bytes");
    started = start_install(s, 0, "empty");
    if (!started.ok) return;
    finish_install(s, no_log_text, success_text, false, "install with an empty log");
}

}  // namespace

int run_install_checks(const std::wstring& setup, const std::wstring& staged, const std::wstring& double_directory,
                       const std::wstring& shot_directory) {
    for (const std::wstring& name : directory_entries(double_directory)) DeleteFileW((double_directory + L"\\" + name).c_str());
    SetEnvironmentVariableW(L"VARDOKEEP_DOUBLE_DIR", double_directory.c_str());

    Session s = {};
    s.staged = staged;
    s.double_directory = double_directory;
    if (!check(start_setup(setup, L"", &s.setup.process), "setup starts")) return 1;
    s.setup.main = wait_for_main_window(s.setup.process, 20000);
    if (!check(s.setup.main != nullptr, "main window appears")) return 1;
    s.c = find_controls(s.setup.main);

    check_validations(s);
    check_first_install(s, shot_directory);
    const std::wstring first_directory = read_utf16(call_file(s, 1, L".cwd"));
    check_later_installs(s, first_directory);

    check(close_setup(s.setup) == 0, "after the installs the window closes with exit code 0");
    check(package_directories().empty(), "no package directory is left behind");
    check(!file_exists(call_file(s, s.calls + 1, L".cmd")), "no installer was started beyond the installs");
    return failure_count() == 0 ? 0 : 1;
}
