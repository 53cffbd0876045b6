// Entry of vardokeep-setup.exe: self-test mode or the installer window.
#include <objbase.h>
#include <windows.h>

#include <cwchar>

#include "setup_state.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR command_line, int show_command) {
    // The folder picker needs a single-threaded apartment; its result changes nothing.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    // Whole-string and case-sensitive: anything else opens the window.
    if (std::wcscmp(command_line, L"--self-test") == 0) return run_self_test();

    WNDCLASSW window_class = {};
    window_class.style = 0;
    window_class.lpfnWndProc = main_window_procedure;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    window_class.lpszClassName = L"VardokeepSetup";
    if (RegisterClassW(&window_class) == 0) return 1;

    // Caption, system menu and minimise box only: fixed size, no maximise.
    const DWORD style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    HWND window = CreateWindowExW(0, L"VardokeepSetup", L"Instalar Vardokeep", style, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 770, 590, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 1;
    ShowWindow(window, show_command);

    // No IsDialogMessage: Tab does not move between controls.
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    CoUninitialize();
    return 0;
}
