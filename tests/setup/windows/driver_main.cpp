// setup_window_driver.exe SCENARIO ARGS...: one scenario per ctest entry.
//   form SETUP SHOT_DIR            window, controls, limits, pickers
//   install SETUP STAGED DOUBLE_DIR SHOT_DIR   validations and installs
//   mode SETUP                     window or self-test by command line
//   selftest PRODUCT SETUP SCRATCH_DIR   --self-test, also with a damaged package;
//                                  PRODUCT as built, SETUP with Windows' answers
//   package SCRATCH_DIR            the package directory's handle, in this process
//   resources SETUP STAGED MANIFEST   PE header, manifest and packaged files
// SHOT_DIR "-" takes no screenshots.
#include <windows.h>

#include <cstdio>
#include <string>

#include "driver_checks.h"
#include "driver_support.h"

int wmain(int argc, wchar_t** argv) {
    remember_existing_package_directories();
    const std::wstring scenario = argc > 1 ? argv[1] : L"";
    auto arg = [&](int i) { return i < argc ? std::wstring(argv[i]) : std::wstring(); };
    auto shots = [&](int i) { return arg(i) == L"-" ? std::wstring() : arg(i); };
    if (scenario == L"form" && argc == 4) return run_form_checks(arg(2), shots(3));
    if (scenario == L"install" && argc == 6) return run_install_checks(arg(2), arg(3), arg(4), shots(5));
    if (scenario == L"mode" && argc == 3) return run_mode_checks(arg(2));
    if (scenario == L"selftest" && argc == 5) return run_self_test_checks(arg(2), arg(3), arg(4));
    if (scenario == L"package" && argc == 3) return run_package_directory_checks(arg(2));
    if (scenario == L"resources" && argc == 5) return run_resource_checks(arg(2), arg(3), arg(4));
    std::fprintf(stderr, "usage: setup_window_driver form|install|mode|selftest|package|resources ARGS...\n");
    return 2;
}
