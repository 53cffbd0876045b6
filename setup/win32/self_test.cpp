// "--self-test": checks the quoting against Windows' own command-line splitting,
// then writes the full package once and removes it. Shows nothing.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include "../argument_quoting.h"
#include "../bounded_text.h"
#include "setup_state.h"

int run_self_test() {
    static const char16_t* const arguments[] = {
        u"setup.exe",
        u"C:\\pasta com espaco\\",
        u"aspas\"a\\\"b",
        u"",
        u"C:\\dados",
    };
    constexpr size_t capacity = 1024;
    char16_t buffer[capacity] = {};
    bool passed = true;
    for (const char16_t* argument : arguments)
        if (!append_bounded_argument(buffer, capacity, argument)) passed = false;

    int count = 0;
    LPWSTR* split = CommandLineToArgvW(wide(buffer), &count);
    if (split == nullptr || count != 5) {
        passed = false;
    } else {
        for (int i = 0; i < 5; ++i)
            if (!texts_equal(reinterpret_cast<const char16_t*>(split[i]), arguments[i])) passed = false;
    }
    if (split != nullptr) LocalFree(split);

    if (passed && !extract_package()) passed = false;
    if (setup_state.package_directory[0] != 0) remove_package();
    CoUninitialize();
    return passed ? 0 : 1;
}
