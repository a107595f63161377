#pragma once
// The system's own dialogs, as both windows of the program use them: the file dialogs and the
// message box; the width of a combo box's list, and a change of the system's colours. Each
// dialog is owned by a window of the program, which is disabled while it is up.

#include <string>

#include "view/Host.h"
#include "win/Win32.h"

namespace korv::win {

enum class FileDialogKind { Open, Save };

// Runs the system's file dialog (open: the file must exist; save: an existing file is replaced
// only when the operator agrees). True when the operator chose a file; its full path is then in
// request.fileName.
bool RunFileDialog(HWND owner, FileDialogRequest& request, FileDialogKind kind);

// A message box with the caption "KORVALIN" and the given MB_ flags (MB_OK | MB_ICONEXCLAMATION:
// a message); returns the button chosen (IDOK, IDYES, ...). Line ends at the end of the text
// are dropped.
int ShowMessageBox(HWND owner, const std::string& text, UINT flags);

// Lets a combo box's list drop down as wide as its longest item: a network port's name is longer
// than the box.
void FitDropDownWidth(HWND combo);

// Only top-level windows hear of new system colours (a contrast theme switched on or off): this
// passes WM_SYSCOLORCHANGE on to each of the window's children, so that each repaints in them.
void PassColourChangeToChildren(HWND parent);

}  // namespace korv::win
