// The core's headers come before <windows.h>, whose macros share some of their constant names.
#include "view/Strings.h"

#include "win/Dialogs.h"

#include <commdlg.h>

#include <algorithm>

#include "win/WinText.h"

namespace korv::win {

namespace {

// Room for long paths; the dialog fails on a start name longer than its buffer.
constexpr size_t kFileNameChars = 4096;

// "Description|pattern|...||" as the dialog's list of NUL-separated pairs, closed by two NULs.
std::wstring DialogFilter(const std::string& filter) {
    std::wstring out = Widen(filter);
    while (!out.empty() && out.back() == L'|') {
        out.pop_back();
    }
    std::replace(out.begin(), out.end(), L'|', L'\0');
    out.push_back(L'\0');
    out.push_back(L'\0');
    return out;
}

// Message texts may end with the system's line ends; a box wants none there.
std::wstring BoxText(const std::string& text) {
    std::wstring s = Widen(text);
    while (!s.empty() && (s.back() == L'\n' || s.back() == L'\r')) {
        s.pop_back();
    }
    return s;
}

}  // namespace

bool RunFileDialog(HWND owner, FileDialogRequest& request, FileDialogKind kind) {
    const std::wstring title = Widen(request.title);
    const std::wstring filter = DialogFilter(request.filter);
    const std::wstring defaultExt = Widen(request.defaultExt);
    const std::wstring initialDir = Widen(request.initialDir);
    std::wstring file(kFileNameChars, L'\0');
    const std::wstring start = Widen(request.fileName);
    if (start.size() < kFileNameChars) {
        std::copy(start.begin(), start.end(), file.begin());
    }

    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    // Owned by the window, which is disabled while the dialog is up: nothing can close the
    // window or start a second dialog underneath it.
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = static_cast<DWORD>(kFileNameChars);
    ofn.lpstrInitialDir = initialDir.empty() ? nullptr : initialDir.c_str();
    ofn.lpstrTitle = title.c_str();
    ofn.lpstrDefExt = defaultExt.empty() ? nullptr : defaultExt.c_str();
    ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST;
    BOOL chosen = FALSE;
    if (kind == FileDialogKind::Open) {
        ofn.Flags |= OFN_FILEMUSTEXIST;
        chosen = GetOpenFileNameW(&ofn);
    } else {
        ofn.Flags |= OFN_OVERWRITEPROMPT;
        chosen = GetSaveFileNameW(&ofn);
    }
    if (!chosen) {
        return false;
    }
    file.resize(wcsnlen(file.c_str(), kFileNameChars));
    request.fileName = Narrow(file);
    return true;
}

int ShowMessageBox(HWND owner, const std::string& text, UINT flags) {
    const std::wstring caption = Widen(LoadString(AFX_IDS_APP_TITLE));
    return MessageBoxW(owner, BoxText(text).c_str(), caption.c_str(), flags);
}

void FitDropDownWidth(HWND combo) {
    const HDC dc = GetDC(combo);
    if (dc == nullptr) {
        return;
    }
    const HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(combo, WM_GETFONT, 0, 0)));
    LONG widest = 0;
    const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        if (length <= 0) {
            continue;
        }
        std::wstring text(static_cast<size_t>(length) + 1, L'\0');
        SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i),
                     reinterpret_cast<LPARAM>(text.data()));
        SIZE size{};
        if (GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(length), &size)) {
            widest = std::max(widest, size.cx);
        }
    }
    SelectObject(dc, old);
    ReleaseDC(combo, dc);
    SendMessageW(combo, CB_SETDROPPEDWIDTH,
                 static_cast<WPARAM>(widest + 2 * GetSystemMetrics(SM_CXEDGE) +
                                     GetSystemMetrics(SM_CXVSCROLL)),
                 0);
}

void PassColourChangeToChildren(HWND parent) {
    EnumChildWindows(
        parent,
        [](HWND child, LPARAM) -> BOOL {
            SendMessageW(child, WM_SYSCOLORCHANGE, 0, 0);
            return TRUE;
        },
        0);
}

}  // namespace korv::win
