// Support for setup_window_driver.exe, the test program that starts
// vardokeep-setup.exe under Wine and talks to its window with window messages.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// One line per check on standard output; failures are counted.
bool check(bool ok, const char* format, ...);
int failure_count();

std::string utf8(const std::wstring& text);
std::wstring widen(const char* text);

// Short printable form of a text for failure lines.
std::string shown(const std::wstring& text);

std::wstring window_text(HWND window);
std::wstring class_name(HWND window);

// A started setup program and its main window.
struct SetupProcess {
    PROCESS_INFORMATION process;
    HWND main;
};

// Starts `setup` with the command line "\"<setup>\"" + tail.
bool start_setup(const std::wstring& setup, const std::wstring& tail, PROCESS_INFORMATION* process);
// The process's top-level window of class "VardokeepSetup", waiting up to `ms`.
HWND wait_for_main_window(const PROCESS_INFORMATION& process, DWORD ms);
// Closes the window and waits for the process; returns its exit code or ~0u.
DWORD close_setup(SetupProcess& setup);

// A visible dialog-class window (#32770) owned by `owner`, waiting up to `ms`.
HWND wait_for_owned_dialog(HWND owner, DWORD ms);
bool wait_until_gone(HWND window, DWORD ms);
void pause_ms(DWORD ms);

// What a message box showed.
struct MessageBoxSeen {
    bool found;
    HWND owner;
    std::wstring title;
    std::wstring text;
    bool error_icon;
    bool information_icon;
};
// Waits for a message box owned by `owner`, reads it and presses OK.
MessageBoxSeen take_message_box(HWND owner, DWORD ms);
// True when no message box owned by `owner` appears within `ms`.
bool no_message_box(HWND owner, DWORD ms);

// Pixels (0xRRGGBB) of a screen rectangle as the display shows it.
std::vector<DWORD> screen_pixels(const RECT& r);
// Pixels of `window` drawn by itself into a bitmap (WM_PRINT), at `width` x `height`.
std::vector<DWORD> printed_pixels(HWND window, int width, int height);

// Files and directories.
bool read_file(const std::wstring& path, std::string* bytes);
bool write_file(const std::wstring& path, const std::string& bytes);
bool file_exists(const std::wstring& path);
std::vector<std::wstring> directory_entries(const std::wstring& directory);
std::wstring temp_directory();
// Names "Vardokeep-*" in the temporary directory, except those that were there
// when remember_existing_package_directories() ran at the driver's start.
void remember_existing_package_directories();
std::vector<std::wstring> package_directories();

// The eleven packaged names, in resource order, written out independently.
extern const wchar_t* const expected_package_names[11];

// Waits for `<dir>\<name>.done` after creating `<dir>\<name>.request`, so that
// the shell script around the driver can take a screenshot of the display.
void request_screenshot(const std::wstring& directory, const std::wstring& name);
