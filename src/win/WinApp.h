#pragma once
// The Windows desktop program as a whole: the port list, the profile, the document, the main
// window with its form, and the update controller the form hosts. Owns all of them for the run.

#include <memory>
#include <string>
#include <vector>

#include "ports/PortList.h"
#include "view/ProgView.h"
#include "view/UserProfile.h"

#include "win/WinForm.h"
#include "win/WinFrame.h"

namespace korv::win {

struct WinOptions {
    std::string portOverride;  // --port: chosen without touching the profile
    std::string initialFile;   // --file: where the first file dialog starts
    std::string programPath;   // the program's own path; the update files' default folder
};

class CWinProgApp {
  public:
    explicit CWinProgApp(WinOptions options);
    ~CWinProgApp();
    CWinProgApp(const CWinProgApp&) = delete;
    CWinProgApp& operator=(const CWinProgApp&) = delete;

    // Builds the port list, registers the terminal class, creates the frame, the form and the
    // controller, runs the initial update (which opens the chosen port) and shows the frame.
    // False when the window cannot be created; the program then ends.
    bool InitInstance(HINSTANCE instance);
    // The message loop; returns the exit code.
    int Run();

  private:
    void BuildPortList();
    // Ctrl+N, and Ctrl+O after its file-open dialog: a fresh port list, then the initial update
    // again; never while a file is being sent.
    void OnFileCommand(int id);
    // Stops the controller (it closes the port and ends both workers) before its windows go.
    void CloseFrame();

    WinOptions m_options;
    CPortList m_portList;
    // The remembered port: HKEY_CURRENT_USER\Software\QUENDAL\KORVALIN, section SETTINGS.
    CProfileAdapter m_profile{CUserProfile("QUENDAL", "KORVALIN")};
    CProgDoc m_doc;
    CWinFrame m_frame{m_doc};
    CWinForm m_form;
    std::unique_ptr<CProgView> m_view;
};

}  // namespace korv::win
