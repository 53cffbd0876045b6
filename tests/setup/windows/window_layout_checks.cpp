// The window as the user meets it: class, caption, the twelve controls with
// their texts, styles, IDs and places, the text limits and both pickers.
#include <windows.h>

#include "driver_checks.h"
#include "driver_support.h"

namespace {

struct ExpectedControl {
    const wchar_t* window_class;
    const wchar_t* text;
    DWORD style;
    int x, y, width, height;
    int id;
};

const wchar_t notice[] =
    L"Requer Microsoft OpenSSH Client. Instala em Program Files e cria tarefa desativada.\r\n"
    L"Nao altera permanentemente a politica PowerShell. O instalador usa Bypass apenas no seu processo.\r\n"
    L"Esta versao copia arquivos; nao e uma imagem de recuperacao do Windows.";

// Styles written out as numbers, as the layout gives them.
const ExpectedControl expected_controls[12] = {
    {L"Static", L"Vardokeep - agente Windows x64", 0x50000000, 20, 16, 700, 24, 0},
    {L"Static", L"Configuracao JSON baixada em Windows > Instalar / registrar", 0x50000000, 20, 48, 700, 20, 0},
    {L"Edit", L"", 0x50800080, 20, 72, 570, 25, 0},
    {L"Button", L"Escolher JSON", 0x50010000, 600, 72, 130, 25, 10},
    {L"Static", L"Pasta de origem", 0x50000000, 20, 108, 700, 20, 0},
    {L"Edit", L"", 0x50800080, 20, 132, 570, 25, 0},
    {L"Button", L"Escolher pasta", 0x50010000, 600, 132, 130, 25, 11},
    {L"Static", L"Horario diario local (HH:MM)", 0x50000000, 20, 174, 250, 20, 0},
    {L"Edit", L"02:00", 0x50800080, 270, 170, 70, 25, 0},
    {L"Button", L"VSS (snapshot do volume, sem writers de bancos)", 0x50010003, 20, 210, 680, 25, 0},
    {L"Button", L"Instalar", 0x50010000, 20, 248, 130, 30, 12},
    {L"Edit", notice, 0x50A00844, 20, 295, 710, 245, 0},
};

void check_main_window(HWND main) {
    check(window_text(main) == L"Instalar Vardokeep", "main window title is \"Instalar Vardokeep\"");
    const DWORD style = static_cast<DWORD>(GetWindowLongPtrW(main, GWL_STYLE));
    // Windows adds WS_CLIPSIBLINGS to every top-level window and WS_VISIBLE once shown.
    check((style & ~(WS_CLIPSIBLINGS | WS_VISIBLE)) == 0x00CA0000,
          "main window style is caption, system menu and minimise box (0x%08lx)", style);
    check((style & (WS_MAXIMIZEBOX | WS_THICKFRAME)) == 0, "main window can neither be maximised nor resized");
    check(GetWindowLongPtrW(main, GWL_EXSTYLE) == 0 || GetWindowLongPtrW(main, GWL_EXSTYLE) == WS_EX_WINDOWEDGE,
          "main window extended style is 0 (0x%08lx)", static_cast<DWORD>(GetWindowLongPtrW(main, GWL_EXSTYLE)));
    check(GetMenu(main) == nullptr, "main window has no menu");
    RECT outer;
    GetWindowRect(main, &outer);
    check(outer.right - outer.left == 770 && outer.bottom - outer.top == 590, "main window is 770 by 590 (%ldx%ld)",
          outer.right - outer.left, outer.bottom - outer.top);
    check(GetClassLongPtrW(main, GCL_STYLE) == 0, "window class style is 0");
    check(GetClassLongPtrW(main, GCL_CBCLSEXTRA) == 0 && GetClassLongPtrW(main, GCL_CBWNDEXTRA) == 0,
          "window class has no extra bytes");
}

void check_controls(HWND main) {
    HWND child = GetWindow(main, GW_CHILD);
    for (int i = 0; i < 12; ++i, child = GetWindow(child, GW_HWNDNEXT)) {
        const ExpectedControl& e = expected_controls[i];
        if (!check(child != nullptr, "control %d exists", i + 1)) return;
        check(lstrcmpiW(class_name(child).c_str(), e.window_class) == 0, "control %d class is %s (%s)", i + 1,
              utf8(e.window_class).c_str(), utf8(class_name(child)).c_str());
        const std::wstring text = window_text(child);
        check(text == e.text, "control %d text is \"%s\" (%s)", i + 1, utf8(e.text).c_str(), shown(text).c_str());
        const DWORD style = static_cast<DWORD>(GetWindowLongPtrW(child, GWL_STYLE));
        const DWORD ex_style = static_cast<DWORD>(GetWindowLongPtrW(child, GWL_EXSTYLE));
        // An edit control created with WS_BORDER drops that bit and draws its border itself.
        const bool bordered_edit = lstrcmpiW(e.window_class, L"Edit") == 0 && (e.style & WS_BORDER) != 0;
        const bool style_as_created =
            style == e.style || (bordered_edit && style == (e.style & ~WS_BORDER));
        check(style_as_created, "control %d style is 0x%08lx (0x%08lx, extended 0x%08lx)", i + 1, e.style, style,
              ex_style);
        check(ex_style == 0 || (bordered_edit && ex_style == WS_EX_CLIENTEDGE),
              "control %d extended style is 0 (0x%08lx)", i + 1, ex_style);
        check(GetDlgCtrlID(child) == e.id, "control %d ID is %d (%d)", i + 1, e.id, GetDlgCtrlID(child));
        check(GetParent(child) == main, "control %d is a child of the main window", i + 1);
        RECT rect;
        GetWindowRect(child, &rect);
        MapWindowPoints(HWND_DESKTOP, main, reinterpret_cast<POINT*>(&rect), 2);
        check(rect.left == e.x && rect.top == e.y && rect.right - rect.left == e.width &&
                  rect.bottom - rect.top == e.height,
              "control %d is at %d,%d size %dx%d (%ld,%ld %ldx%ld)", i + 1, e.x, e.y, e.width, e.height, rect.left,
              rect.top, rect.right - rect.left, rect.bottom - rect.top);
    }
    check(child == nullptr, "the main window has exactly twelve controls");
}

// WM_GETFONT does not cross processes under Wine, so the font is judged by the
// drawing: each label and button must look exactly like a control of ours with
// the same class, text, style and size drawn with DEFAULT_GUI_FONT, and not
// like one drawn with the system font. Edit controls are left to the screenshot.
void check_fonts(HWND main) {
    WNDCLASSW replica_class = {};
    replica_class.lpfnWndProc = DefWindowProcW;
    replica_class.hInstance = GetModuleHandleW(nullptr);
    replica_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    replica_class.lpszClassName = L"VardokeepSetupReplica";
    RegisterClassW(&replica_class);
    HWND parent = CreateWindowExW(0, L"VardokeepSetupReplica", L"", WS_POPUP, 0, 0, 800, 600, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    pause_ms(500);
    HWND child = GetWindow(main, GW_CHILD);
    for (int i = 0; i < 12 && child != nullptr; ++i, child = GetWindow(child, GW_HWNDNEXT)) {
        const ExpectedControl& e = expected_controls[i];
        if (lstrcmpiW(e.window_class, L"Edit") == 0) continue;
        RECT rect;
        GetWindowRect(child, &rect);
        const std::vector<DWORD> shown = screen_pixels(rect);
        size_t same[2] = {};
        for (int with_font = 0; with_font < 2; ++with_font) {
            HWND replica = CreateWindowExW(0, e.window_class, e.text, e.style, 0, 0, e.width, e.height, parent,
                                           nullptr, GetModuleHandleW(nullptr), nullptr);
            if (with_font) SendMessageW(replica, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
            const std::vector<DWORD> drawn = printed_pixels(replica, e.width, e.height);
            for (size_t p = 0; p < shown.size() && p < drawn.size(); ++p) same[with_font] += shown[p] == drawn[p];
            DestroyWindow(replica);
        }
        check(same[1] == shown.size() && same[0] < same[1],
              "control %d is drawn with DEFAULT_GUI_FONT (%zu of %zu pixels as expected, %zu with the system font)",
              i + 1, same[1], shown.size(), same[0]);
    }
    DestroyWindow(parent);
}

// Typing goes through WM_CHAR, which the edit control bounds by its limit;
// WM_SETTEXT is not bounded, so it prepares the field up to the last place.
void check_limits(const SetupControls& c) {
    check(SendMessageW(c.json, EM_GETLIMITTEXT, 0, 0) == 1023, "JSON field limit is 1023");
    check(SendMessageW(c.source, EM_GETLIMITTEXT, 0, 0) == 1023, "source field limit is 1023");
    check(SendMessageW(c.time, EM_GETLIMITTEXT, 0, 0) == 5, "time field limit is 5");

    SendMessageW(c.time, EM_SETSEL, 5, 5);
    SendMessageW(c.time, WM_CHAR, L'7', 0);
    check(window_text(c.time) == L"02:00", "time field refuses a sixth typed character");
    SetWindowTextW(c.time, L"02:0");
    SendMessageW(c.time, EM_SETSEL, 4, 4);
    SendMessageW(c.time, WM_CHAR, L'5', 0);
    check(window_text(c.time) == L"02:05", "time field takes a fifth typed character");
    SetWindowTextW(c.time, L"02:00");

    for (HWND field : {c.json, c.source}) {
        const std::wstring prefix(1022, L'p');
        SetWindowTextW(field, prefix.c_str());
        SendMessageW(field, EM_SETSEL, 1022, 1022);
        SendMessageW(field, WM_CHAR, L'a', 0);
        SendMessageW(field, EM_SETSEL, 1023, 1023);
        SendMessageW(field, WM_CHAR, L'b', 0);
        check(window_text(field) == prefix + L"a", "%s field takes a 1023rd and refuses a 1024th typed character",
              field == c.json ? "JSON" : "source");
        SetWindowTextW(field, L"");
    }
}

void check_pickers(HWND main, const SetupControls& c) {
    SetWindowTextW(c.json, L"C:\\antes\\enroll.json");
    SetWindowTextW(c.source, L"C:\\antes");
    struct Picker {
        int command;
        HWND field;
        const wchar_t* before;
        const char* name;
    };
    for (const Picker& p : {Picker{10, c.json, L"C:\\antes\\enroll.json", "JSON"},
                            Picker{11, c.source, L"C:\\antes", "folder"}}) {
        PostMessageW(main, WM_COMMAND, p.command, 0);
        HWND dialog = wait_for_owned_dialog(main, 15000);
        if (!check(dialog != nullptr, "%s picker opens, owned by the main window", p.name)) continue;
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        check(wait_until_gone(dialog, 10000), "%s picker closes on IDCANCEL", p.name);
        pause_ms(200);
        check(window_text(p.field) == p.before, "cancelled %s picker leaves its field unchanged (%s)", p.name,
              shown(window_text(p.field)).c_str());
    }
}

// A confirmed JSON pick fills the field with the chosen path.
void check_json_pick(HWND main, const SetupControls& c) {
    const std::wstring chosen = temp_directory() + L"vk-enrollment-pick.json";
    write_file(chosen, "{}");
    PostMessageW(main, WM_COMMAND, 10, 0);
    HWND dialog = wait_for_owned_dialog(main, 15000);
    if (!check(dialog != nullptr, "JSON picker opens for a confirmed pick")) return;
    // The file name box: combo box cmb13 in the explorer-style dialog, edt1 otherwise.
    HWND name_box = GetDlgItem(dialog, 0x47c);
    if (name_box == nullptr) name_box = GetDlgItem(dialog, 0x480);
    SetWindowTextW(name_box, chosen.c_str());
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    check(wait_until_gone(dialog, 10000), "JSON picker closes on IDOK");
    pause_ms(200);
    check(lstrcmpiW(window_text(c.json).c_str(), chosen.c_str()) == 0, "confirmed JSON pick fills the field (%s)",
          shown(window_text(c.json)).c_str());
    DeleteFileW(chosen.c_str());
}

}  // namespace

SetupControls find_controls(HWND main) {
    SetupControls c = {};
    HWND child = GetWindow(main, GW_CHILD);
    for (int i = 0; i < 12 && child != nullptr; ++i, child = GetWindow(child, GW_HWNDNEXT)) {
        if (i == 2) c.json = child;
        if (i == 5) c.source = child;
        if (i == 8) c.time = child;
        if (i == 9) c.vss = child;
        if (i == 10) c.install = child;
        if (i == 11) c.log = child;
    }
    return c;
}

int run_form_checks(const std::wstring& setup, const std::wstring& shot_directory) {
    SetupProcess s = {};
    if (!check(start_setup(setup, L"", &s.process), "setup starts")) return 1;
    s.main = wait_for_main_window(s.process, 20000);
    if (!check(s.main != nullptr, "main window appears")) return 1;
    const SetupControls c = find_controls(s.main);

    check_main_window(s.main);
    check_controls(s.main);
    check_fonts(s.main);
    check(SendMessageW(c.vss, BM_GETCHECK, 0, 0) == BST_UNCHECKED, "VSS checkbox starts unchecked");
    check(IsWindowEnabled(c.install) != 0, "Install button starts enabled");
    request_screenshot(shot_directory, L"setup-form");
    check_limits(c);
    check_pickers(s.main, c);
    check_json_pick(s.main, c);

    check(close_setup(s) == 0, "closing the idle window ends the program with exit code 0");
    return failure_count() == 0 ? 0 : 1;
}
