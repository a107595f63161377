#pragma once
// The desktop program as a whole: the port list, the profile, the document, the main frame with
// its form, and the update controller the form hosts. Owns all of them for the run.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/QtProfile.h"
#include "platform/SerialPort.h"
#include "ports/PortList.h"
#include "view/ProgDoc.h"

namespace korv {

class CMainFrame;
class CProgForm;
class CProgView;
class ISerialDeviceMap;

struct AppOptions {
    std::string portOverride;  // --port: chosen without touching the profile
    std::string initialFile;   // --file: where the first file dialog starts
    std::string programPath;   // the program's own path; the update files' default folder
    SerialPortFactory portFactory = MakeSerialPort;
    // The system's serial devices; the system's own map when unset.
    std::function<std::unique_ptr<ISerialDeviceMap>()> deviceMap;
    // Runs once the form exists, before the initial update opens the port.
    std::function<void(CProgForm&)> prepareForm;
};

class CProgApp {
  public:
    explicit CProgApp(AppOptions options);
    ~CProgApp();
    CProgApp(const CProgApp&) = delete;
    CProgApp& operator=(const CProgApp&) = delete;

    // Builds the port list, creates the frame, the form and the controller, runs the initial
    // update (which opens the chosen port) and shows the frame.
    void InitInstance();
    // Ctrl+N and Ctrl+O: unless the controller refuses (a file is being sent) or the open
    // dialog is cancelled, a fresh port list, then the initial update again.
    void OnFileNew();
    void OnFileOpen();

    CMainFrame& Frame() const { return *m_frame; }
    CProgForm& Form() const;
    CProgView& View() const { return *m_view; }
    CProgDoc& Doc() { return m_doc; }

  private:
    void BuildPortList();
    void Reinitialize(CProgView& view);

    AppOptions m_options;
    CPortList m_portList;
    QtProfile m_profile;
    CProgDoc m_doc;
    std::unique_ptr<CMainFrame> m_frame;
    std::unique_ptr<CProgView> m_view;
};

}  // namespace korv
