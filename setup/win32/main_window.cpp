// The main window: its controls, commands, timer and close protection.
#include <windows.h>

#include "setup_state.h"

namespace {

constexpr DWORD static_style = WS_CHILD | WS_VISIBLE;
constexpr DWORD path_edit_style = WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL;
constexpr DWORD push_button_style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
constexpr DWORD checkbox_style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX;
constexpr DWORD log_style =
    WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;

constexpr wchar_t notice[] =
    L"Requer Microsoft OpenSSH Client. Instala em Program Files e cria tarefa desativada.\r\n"
    L"Nao altera permanentemente a politica PowerShell. O instalador usa Bypass apenas no seu processo.\r\n"
    L"Esta versao copia arquivos; nao e uma imagem de recuperacao do Windows.";

HWND create_control(HWND parent, const wchar_t* window_class, const wchar_t* text, DWORD style, int x,
                    int y, int width, int height, int id) {
    HWND control = CreateWindowExW(0, window_class, text, style, x, y, width, height, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   GetModuleHandleW(nullptr), nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
    return control;
}

void create_controls(HWND window) {
    SetupState& s = setup_state;
    create_control(window, L"STATIC", L"Vardokeep - agente Windows x64", static_style, 20, 16, 700, 24, 0);
    create_control(window, L"STATIC", L"Configuracao JSON baixada em Windows > Instalar / registrar",
                   static_style, 20, 48, 700, 20, 0);
    s.json_field = create_control(window, L"EDIT", L"", path_edit_style, 20, 72, 570, 25, 0);
    create_control(window, L"BUTTON", L"Escolher JSON", push_button_style, 600, 72, 130, 25,
                   command_json_picker);
    create_control(window, L"STATIC", L"Pasta de origem", static_style, 20, 108, 700, 20, 0);
    s.source_field = create_control(window, L"EDIT", L"", path_edit_style, 20, 132, 570, 25, 0);
    create_control(window, L"BUTTON", L"Escolher pasta", push_button_style, 600, 132, 130, 25,
                   command_folder_picker);
    create_control(window, L"STATIC", L"Horario diario local (HH:MM)", static_style, 20, 174, 250, 20, 0);
    s.time_field = create_control(window, L"EDIT", L"02:00", path_edit_style, 270, 170, 70, 25, 0);

    // The path buffers hold 1023 characters and a terminator.
    SendMessageW(s.json_field, EM_LIMITTEXT, 1023, 0);
    SendMessageW(s.source_field, EM_LIMITTEXT, 1023, 0);
    SendMessageW(s.time_field, EM_LIMITTEXT, 5, 0);

    s.vss_checkbox = create_control(window, L"BUTTON", L"VSS (snapshot do volume, sem writers de bancos)",
                                    checkbox_style, 20, 210, 680, 25, 0);
    s.install_button =
        create_control(window, L"BUTTON", L"Instalar", push_button_style, 20, 248, 130, 30, command_install);
    s.log_field = create_control(window, L"EDIT", notice, log_style, 20, 295, 710, 245, 0);
}

bool installer_running() { return setup_state.installer.hProcess != nullptr; }

}  // namespace

LRESULT CALLBACK main_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CREATE:
            setup_state.main_window = window;
            create_controls(window);
            return 0;
        case WM_COMMAND:
            switch (LOWORD(wparam)) {
                case command_json_picker: open_json_picker(); break;
                case command_folder_picker: open_folder_picker(); break;
                case command_install:
                    // The button is disabled meanwhile, but a posted command is not.
                    if (!installer_running()) start_installer();
                    break;
                default: break;
            }
            return 0;
        case WM_TIMER:
            poll_installer();
            return 0;
        case WM_CLOSE:
            if (installer_running()) {
                MessageBoxW(window, L"Aguarde a instalacao terminar antes de fechar.", message_title,
                            MB_OK | MB_ICONERROR);
            } else {
                DestroyWindow(window);
            }
            return 0;
        case WM_DESTROY:
            if (setup_state.package_directory[0] != 0) remove_package();
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wparam, lparam);
    }
}
