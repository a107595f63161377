#pragma once
// The station window (korvalin.exe --station): dialog 102 as a top-level window over a station
// model. The model decides and the window draws: a table with a row per port, the selected port's
// terminal below it, the settings the ports share, the buttons that command the model, and a
// totals line. The model's OnChange tells the window what to draw again.
//
// The program's message loop serves the model (StationApp); while one of the system's modal loops
// runs instead (a message box, a file dialog, the port dialog, moving the window, the system
// menu) a timer of the window serves it, so that the testers are never kept waiting on the
// operator.

#include <string>
#include <utility>
#include <vector>

#include "station/StationModel.h"
#include "win/StationList.h"
#include "win/Win32.h"

namespace korv {
class IProfile;
}

namespace korv::win {

class CTermWindow;

class CStationWindow {
  public:
    // defaultLogDir: where the logs go when the station names no folder (the field says so).
    CStationWindow(CStationModel& model, IProfile& profile, std::string defaultLogDir)
        : m_model(model),
          m_profile(profile),
          m_defaultLogDir(std::move(defaultLogDir)),
          m_list(model) {}
    // The model stops hearing of the window and the window is destroyed, the terminal pane
    // showing its own model again first.
    ~CStationWindow();
    CStationWindow(const CStationWindow&) = delete;
    CStationWindow& operator=(const CStationWindow&) = delete;

    // Creates the window (hidden) from its template, with the model's station and settings.
    // False when the template, or a control it names, cannot be created.
    bool Create(HINSTANCE instance);
    HWND Handle() const { return m_hWnd; }
    // The window's keys (F5, Shift+F5), for the message loop.
    HACCEL Accelerators() const { return m_hAccel; }
    // Takes the station file at path as the station; a file that cannot be used is told in a
    // message box and the station shown stays as it was.
    bool Open(const std::string& path);

  private:
    // Serves the model from a timer for as long as it lives: a modal loop of the system's runs.
    class ModalServe {
      public:
        explicit ModalServe(CStationWindow& window) : m_window(window) { m_window.BeginModal(); }
        ~ModalServe() { m_window.EndModal(); }
        ModalServe(const ModalServe&) = delete;
        ModalServe& operator=(const ModalServe&) = delete;

      private:
        CStationWindow& m_window;
    };

    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void OnInitDialog();
    void OnCommand(int id, int code);
    LRESULT OnListNotify(NMHDR* header);
    void OnModelChange(unsigned what);

    void OnStart();
    void OnAbort();
    void OnAddPort();
    void OnRemove();
    void OnBrowse();
    void OnOpen();
    void OnSave();
    void RequestClose();

    // The settings fields from the model's settings, and back: false with a message and the
    // field to mend when a field cannot be read.
    void ShowSettings();
    bool ReadSettings(StationConfig* config, std::string* problem, int* field) const;
    // The fields into the model's settings; false, after a message (and with the focus on the
    // field to mend), when either refuses.
    bool ApplySettings();
    // Selects a row in the model and the table, and shows its terminal.
    void SelectRow(int index);
    void ShowSelectedTerminal();
    // Sizes every port's screen model to the terminal pane.
    void FitTerminals();
    void UpdateControls();
    void UpdateTotals();
    // "KORVALIN Station", with the station file's name once there is one.
    void UpdateCaption();
    void SetText(int id, const std::string& text);
    // A message box owned by the window; the model is served while it is up.
    int Ask(const std::string& text, UINT flags);
    void Tell(const std::string& text);
    void BeginModal();
    void EndModal();

    CStationModel& m_model;
    IProfile& m_profile;
    std::string m_defaultLogDir;
    CStationList m_list;
    HINSTANCE m_hInstance = nullptr;
    HWND m_hWnd = nullptr;
    HACCEL m_hAccel = nullptr;
    CTermWindow* m_term = nullptr;
    int m_modalDepth = 0;
    bool m_bSelecting = false;  // the table's selection is being set from the model
    bool m_bCloseBlocked = false;
};

}  // namespace korv::win
