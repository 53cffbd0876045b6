#include "driver_support.h"

#include <cstdarg>
#include <cstdio>

namespace {
int failures = 0;
}

bool check(bool ok, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::printf("%s ", ok ? "ok  " : "FAIL");
    std::vprintf(format, args);
    std::printf("\n");
    std::fflush(stdout);
    va_end(args);
    if (!ok) ++failures;
    return ok;
}

int failure_count() { return failures; }

std::string utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring widen(const char* text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(static_cast<size_t>(size > 0 ? size - 1 : 0), L'\0');
    if (size > 1) MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), size);
    return out;
}

std::string shown(const std::wstring& text) {
    std::string out = "\"";
    out.append(utf8(text.size() > 120 ? text.substr(0, 120) : text));
    out.append(text.size() > 120 ? "...\" (" + std::to_string(text.size()) + " units)" : "\"");
    return out;
}

std::wstring window_text(HWND window) {
    const LRESULT length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const LRESULT got = SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(got));
    return text;
}

std::wstring class_name(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

void pause_ms(DWORD ms) { Sleep(ms); }

bool start_setup(const std::wstring& setup, const std::wstring& tail, PROCESS_INFORMATION* process) {
    std::wstring command_line = L"\"" + setup + L"\"" + tail;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    return CreateProcessW(setup.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, process) != 0;
}

namespace {

struct MainSearch {
    DWORD process_id;
    HWND found;
};

BOOL CALLBACK find_main(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<MainSearch*>(context);
    DWORD owner_pid = 0;
    GetWindowThreadProcessId(window, &owner_pid);
    if (owner_pid == search->process_id && class_name(window) == L"VardokeepSetup") {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

struct DialogSearch {
    HWND owner;
    HWND found;
};

BOOL CALLBACK find_dialog(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<DialogSearch*>(context);
    if (class_name(window) == L"#32770" && GetWindow(window, GW_OWNER) == search->owner && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND wait_for_main_window(const PROCESS_INFORMATION& process, DWORD ms) {
    for (DWORD waited = 0; waited <= ms; waited += 50) {
        MainSearch search = {process.dwProcessId, nullptr};
        EnumWindows(find_main, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr && IsWindowVisible(search.found)) return search.found;
        if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) return nullptr;
    }
    return nullptr;
}

DWORD close_setup(SetupProcess& setup) {
    if (setup.main != nullptr) PostMessageW(setup.main, WM_CLOSE, 0, 0);
    DWORD code = ~0u;
    if (WaitForSingleObject(setup.process.hProcess, 15000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(setup.process.hProcess, &code);
    } else {
        TerminateProcess(setup.process.hProcess, 99);
    }
    CloseHandle(setup.process.hProcess);
    CloseHandle(setup.process.hThread);
    setup.process = {};
    return code;
}

HWND wait_for_owned_dialog(HWND owner, DWORD ms) {
    for (DWORD waited = 0; waited <= ms; waited += 50) {
        DialogSearch search = {owner, nullptr};
        EnumWindows(find_dialog, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) return search.found;
        Sleep(50);
    }
    return nullptr;
}

bool wait_until_gone(HWND window, DWORD ms) {
    for (DWORD waited = 0; waited <= ms; waited += 50) {
        if (!IsWindow(window)) return true;
        Sleep(50);
    }
    return false;
}

namespace {

// Pixels (0xRRGGBB) of a width x height bitmap after `draw` has drawn into it;
// the bitmap starts filled with `background`.
template <typename Draw>
std::vector<DWORD> drawn_pixels(int width, int height, DWORD background, Draw draw) {
    std::vector<DWORD> pixels(static_cast<size_t>(width * height), 0);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    DWORD* data = static_cast<DWORD*>(bits);
    for (size_t i = 0; i < pixels.size(); ++i) data[i] = background;
    draw(memory, screen);
    GdiFlush();
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = data[i] & 0xFFFFFF;
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

}  // namespace

std::vector<DWORD> screen_pixels(const RECT& r) {
    return drawn_pixels(r.right - r.left, r.bottom - r.top, 0, [&](HDC memory, HDC screen) {
        BitBlt(memory, 0, 0, r.right - r.left, r.bottom - r.top, screen, r.left, r.top, SRCCOPY);
    });
}

std::vector<DWORD> printed_pixels(HWND window, int width, int height) {
    return drawn_pixels(width, height, 0, [&](HDC memory, HDC) {
        SendMessageW(window, WM_PRINT, reinterpret_cast<WPARAM>(memory),
                     PRF_CLIENT | PRF_NONCLIENT | PRF_ERASEBKGND | PRF_CHILDREN);
    });
}

namespace {

// An icon drawn as a static icon control draws it: at its own size, over the
// dialog's background colour.
std::vector<DWORD> icon_pixels(HICON icon, int width, int height, DWORD background) {
    return drawn_pixels(width, height, background,
                        [&](HDC memory, HDC) { DrawIconEx(memory, 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL); });
}

size_t equal_pixels(const std::vector<DWORD>& a, const std::vector<DWORD>& b) {
    size_t same = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) same += a[i] == b[i];
    return same;
}

// Which standard icon the control shows: the one whose drawing matches the
// screen best, or nullptr when none matches most of the pixels.
LPCWSTR shown_standard_icon(HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    const std::vector<DWORD> shown = screen_pixels(r);
    if (shown.empty()) return nullptr;
    LPCWSTR best = nullptr;
    size_t best_same = shown.size() * 9 / 10;
    for (LPCWSTR icon : {IDI_ERROR, IDI_INFORMATION, IDI_WARNING, IDI_QUESTION}) {
        const size_t same = equal_pixels(
            shown, icon_pixels(LoadIconW(nullptr, icon), r.right - r.left, r.bottom - r.top, shown[0]));
        if (same > best_same) {
            best_same = same;
            best = icon;
        }
    }
    return best;
}

}  // namespace

MessageBoxSeen take_message_box(HWND owner, DWORD ms) {
    MessageBoxSeen seen = {};
    HWND box = wait_for_owned_dialog(owner, ms);
    if (box == nullptr) return seen;
    seen.found = true;
    Sleep(300);  // let it paint before its icon is read from the screen
    seen.owner = GetWindow(box, GW_OWNER);
    seen.title = window_text(box);
    LPCWSTR icon = nullptr;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if (class_name(child) != L"Static") continue;
        const LONG_PTR style = GetWindowLongPtrW(child, GWL_STYLE);
        if ((style & SS_TYPEMASK) == SS_ICON) {
            if (IsWindowVisible(child)) icon = shown_standard_icon(child);
        } else {
            const std::wstring text = window_text(child);
            if (!text.empty()) seen.text = text;
        }
    }
    seen.error_icon = icon == IDI_ERROR;
    seen.information_icon = icon == IDI_INFORMATION;
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    wait_until_gone(box, 5000);
    return seen;
}

bool no_message_box(HWND owner, DWORD ms) { return wait_for_owned_dialog(owner, ms) == nullptr; }

bool read_file(const std::wstring& path, std::string* bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bytes->clear();
    char block[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, block, sizeof block, &got, nullptr) != 0) && got > 0) bytes->append(block, got);
    CloseHandle(file);
    return ok;
}

bool write_file(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    CloseHandle(file);
    return ok;
}

bool file_exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::wstring> directory_entries(const std::wstring& directory) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

std::wstring temp_directory() {
    wchar_t path[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, path);
    return path;
}

namespace {
// Package directories that an earlier, interrupted run may have left behind.
std::vector<std::wstring> existing_packages;
}

void remember_existing_package_directories() {
    existing_packages.clear();
    for (const std::wstring& name : directory_entries(temp_directory()))
        if (name.rfind(L"Vardokeep-", 0) == 0) existing_packages.push_back(name);
    if (!existing_packages.empty())
        std::printf("note %zu package directories from earlier runs are ignored\n", existing_packages.size());
}

std::vector<std::wstring> package_directories() {
    std::vector<std::wstring> names;
    for (const std::wstring& name : directory_entries(temp_directory())) {
        if (name.rfind(L"Vardokeep-", 0) != 0) continue;
        bool earlier = false;
        for (const std::wstring& existing : existing_packages) earlier = earlier || existing == name;
        if (!earlier) names.push_back(name);
    }
    return names;
}

const wchar_t* const expected_package_names[11] = {
    L"vardokeep-agent.exe", L"Install-Vardokeep.ps1", L"Run-Backup.ps1", L"Uninstall-Vardokeep.ps1",
    L"Setup-Run.ps1",       L"README.md",             L"LICENSE-xxhash", L"LICENSE-lz4",
    L"LICENSE-blake3-CC0",  L"LICENSE-blake3-Apache", L"LICENSE-Vardokeep",
};

void request_screenshot(const std::wstring& directory, const std::wstring& name) {
    if (directory.empty()) return;
    const std::wstring done = directory + L"\\" + name + L".done";
    DeleteFileW(done.c_str());
    write_file(directory + L"\\" + name + L".request", "");
    for (int waited = 0; waited < 30000 && !file_exists(done); waited += 100) Sleep(100);
    check(file_exists(done), "screenshot %s taken", utf8(name).c_str());
}
