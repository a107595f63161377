#pragma once
// CProgDoc: the program's one document. It holds no data; it only keeps the main window from
// closing while an update file is being sent.

namespace korv {

class CProgDoc {
  public:
    // Asked before the main window closes, whichever way the close was requested.
    bool CanCloseFrame() const { return m_bCanClose; }
    // Whether the Exit command is enabled.
    bool OnUpdateAppExit() const { return m_bCanClose; }

    bool m_bCanClose = true;
};

}  // namespace korv
