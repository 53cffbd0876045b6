// The setup program's one process-wide record. Only the UI thread touches it.
#pragma once

#include <windows.h>

#include "../package_table.h"

struct SetupState {
    HWND main_window;
    HWND json_field;
    HWND source_field;
    HWND time_field;
    HWND vss_checkbox;
    HWND install_button;
    HWND log_field;
    // hProcess is non-null exactly while an installer process runs.
    PROCESS_INFORMATION installer;
    // Empty until a package has been extracted; kept after its removal.
    char16_t package_directory[package_path_capacity];
    char16_t install_log_path[package_path_capacity];
    // The open package directory, from its creation until just before its
    // removal: without delete sharing, neither it nor a folder above it can be
    // renamed meanwhile. Null while no package is held.
    HANDLE package_directory_handle;
};

extern SetupState setup_state;

// Command IDs of the main window's buttons.
constexpr int command_json_picker = 10;
constexpr int command_folder_picker = 11;
constexpr int command_install = 12;
constexpr UINT_PTR installer_timer_id = 1;

// Every message box of the program carries this title.
inline constexpr wchar_t message_title[] = L"Vardokeep";

// The Win32 interfaces take wchar_t; our buffers are UTF-16 char16_t.
inline wchar_t* wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }
inline const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

LRESULT CALLBACK main_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
void open_json_picker();
void open_folder_picker();
bool extract_package();
void remove_package();
void start_installer();
void poll_installer();
int run_self_test();
