// The two pickers only ever fill their field; cancelling leaves it as it was.
#include <windows.h>
#include <commdlg.h>
#include <shlobj.h>

#include "setup_state.h"

void open_json_picker() {
    wchar_t file[1024] = {};
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = setup_state.main_window;
    // One filter entry; the literal's own terminator supplies the second zero.
    dialog.lpstrFilter = L"Configuracao JSON\0*.json\0";
    dialog.lpstrFile = file;
    dialog.nMaxFile = 1024;
    dialog.Flags = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    if (GetOpenFileNameW(&dialog)) SetWindowTextW(setup_state.json_field, file);
}

void open_folder_picker() {
    BROWSEINFOW dialog = {};
    dialog.hwndOwner = setup_state.main_window;
    dialog.lpszTitle = L"Escolha a pasta de origem do backup";
    dialog.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&dialog);
    wchar_t path[MAX_PATH];
    if (item != nullptr && SHGetPathFromIDListW(item, path)) SetWindowTextW(setup_state.source_field, path);
    CoTaskMemFree(item);
}
