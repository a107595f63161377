#include "win/StationPortDialog.h"

#include "win/Dialogs.h"
#include "win/WinText.h"
#include "win/resource.h"

namespace korv::win {

namespace {

struct AddPortState {
    const std::vector<std::string>& choices;
    const AddPortFn& add;
};

INT_PTR CALLBACK AddPortProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_INITDIALOG: {
            SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
            const auto* state = reinterpret_cast<const AddPortState*>(lParam);
            const HWND combo = GetDlgItem(hwnd, IDC_ADD_PORT);
            for (const std::string& name : state->choices) {
                SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(name).c_str()));
            }
            if (!state->choices.empty()) {
                SendMessageW(combo, CB_SETCURSEL, 0, 0);
            }
            FitDropDownWidth(combo);
            return TRUE;  // the focus on the port
        }
        case WM_COMMAND: {
            const auto* state =
                reinterpret_cast<const AddPortState*>(GetWindowLongPtrW(hwnd, DWLP_USER));
            if (state == nullptr) {
                return FALSE;
            }
            if (LOWORD(wParam) == IDCANCEL) {
                EndDialog(hwnd, IDCANCEL);
                return TRUE;
            }
            if (LOWORD(wParam) != IDOK) {
                return FALSE;
            }
            const std::string name = TypedText(WindowText(GetDlgItem(hwnd, IDC_ADD_PORT)));
            const std::string label = TypedText(WindowText(GetDlgItem(hwnd, IDC_ADD_LABEL)));
            std::string message;
            if (state->add(name, label, &message)) {
                EndDialog(hwnd, IDOK);
            } else {
                ShowMessageBox(hwnd, message, MB_OK | MB_ICONEXCLAMATION);
                SendMessageW(hwnd, WM_NEXTDLGCTL,
                             reinterpret_cast<WPARAM>(GetDlgItem(hwnd, IDC_ADD_PORT)), TRUE);
            }
            return TRUE;
        }
        default:
            return FALSE;
    }
}

}  // namespace

bool RunAddPortDialog(HINSTANCE instance, HWND owner, const std::vector<std::string>& choices,
                      const AddPortFn& add) {
    AddPortState state{choices, add};
    return DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_STATION_ADD), owner, &AddPortProc,
                           reinterpret_cast<LPARAM>(&state)) == IDOK;
}

}  // namespace korv::win
