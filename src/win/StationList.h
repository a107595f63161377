#pragma once
// The station window's table of ports: a list view in report view whose rows the station model
// holds (the list asks for each cell's text as it draws it), with a progress bar drawn into the
// progress column and passed and failed rows tinted. The state column says in words what the tint
// shows; under a high-contrast theme the table draws in the system's colours only.

#include <string>

#include "station/StationModel.h"
#include "win/Win32.h"

#include <commctrl.h>

namespace korv::win {

enum StationColumn : int {
    kColLabel,
    kColPort,
    kColState,
    kColUnit,
    kColProgress,
    kColSent,
    kColAccepted,
    kColFailed,
    kColLast,
    kColumnCount
};

// The text of a row's cell, as the table shows it and hands it out (to screen readers).
std::string StationCellText(const StationRow& row, int column);

class CStationList {
  public:
    explicit CStationList(const CStationModel& model) : m_model(model) {}

    // Takes the dialog's list view: its columns and extended styles.
    void Attach(HWND list);
    HWND Handle() const { return m_hWnd; }
    // Column widths from the dialog's units; again after a change of DPI.
    void SizeColumns(HWND dialog);
    // The rows were added or removed: their count, and index selected (-1: none), anew.
    void ShowRows(int selected);
    // The figures changed: the rows are drawn again.
    void Redraw();
    // The selected row; -1 when none is.
    int Selected() const;
    // Whether a high-contrast theme is on, read again (after WM_SETTINGCHANGE and
    // WM_SYSCOLORCHANGE).
    void ReadContrast();

    // Answers to the list's WM_NOTIFY (the dialog's DWLP_MSGRESULT).
    LRESULT OnGetDispInfo(NMLVDISPINFOW* info) const;
    LRESULT OnCustomDraw(NMLVCUSTOMDRAW* draw) const;

  private:
    void DrawProgress(HDC dc, int item, const StationRow& row) const;

    const CStationModel& m_model;
    HWND m_hWnd = nullptr;
    bool m_highContrast = false;
};

}  // namespace korv::win
