// The scenarios of setup_window_driver.exe; each returns its exit code.
#pragma once

#include <windows.h>

#include <string>

struct SetupControls {
    HWND json, source, time, vss, install, log;
};
SetupControls find_controls(HWND main);

int run_form_checks(const std::wstring& setup, const std::wstring& shot_directory);
int run_install_checks(const std::wstring& setup, const std::wstring& staged, const std::wstring& double_directory,
                       const std::wstring& shot_directory);
int run_mode_checks(const std::wstring& setup);
int run_self_test_checks(const std::wstring& product, const std::wstring& setup, const std::wstring& scratch);
int run_package_directory_checks(const std::wstring& scratch);
int run_resource_checks(const std::wstring& setup, const std::wstring& staged, const std::wstring& manifest);
