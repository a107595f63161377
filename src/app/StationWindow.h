#pragma once
// The station window (`korvalin --station [FILE]`): many testers at once, one row per port. It
// draws a CStationModel and hands it the operator's commands: the settings every port shares
// (update file, accepting and rejecting lines, unit pattern, time-outs, log folder, repeat), the
// ports with their labels, Start, Stop and Abort, station files, and the selected port's
// terminal below the table. The model's station is served from Qt's event loop: a socket
// notifier on its waitable and a single-shot timer for its next due time.

#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "station/StationModel.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSocketNotifier;
class QSpinBox;
class QTableView;
class QTimer;

namespace korv {

class CStationTableModel;
class CTermWidget;

struct StationWindowOptions {
    StationModelSetup setup;
    // The names offered for a new port: serial ports and the network ports of the settings.
    std::function<std::vector<std::string>()> portSource;
    // The station file to open at start; empty: an empty station.
    std::string stationFile;
};

class CStationWindow : public QMainWindow {
  public:
    explicit CStationWindow(StationWindowOptions options);
    ~CStationWindow() override;

    CStationModel& Model() { return m_model; }
    // Opens a station file; a refusal is shown in a message box. False when it was refused.
    bool OpenStation(const std::string& path);

    // The widgets, for tests and measurements.
    QTableView* Table() const { return m_table; }
    CTermWidget* Terminal() const { return m_term; }
    QLabel* TotalsLabel() const { return m_totals; }
    QPushButton* StartButton() const { return m_start; }
    QPushButton* StopButton() const { return m_stop; }
    QPushButton* AbortButton() const { return m_abort; }
    QPushButton* AddButton() const { return m_add; }
    QPushButton* RemoveButton() const { return m_remove; }
    QLineEdit* FileEdit() const { return m_file; }
    QLineEdit* ExpectEdit() const { return m_expect; }
    QLineEdit* RejectEdit() const { return m_reject; }
    QLineEdit* UnitEdit() const { return m_unit; }
    QLineEdit* LogDirEdit() const { return m_logDir; }
    QSpinBox* VerdictTimeout() const { return m_verdictTimeout; }
    QSpinBox* PromptTimeout() const { return m_promptTimeout; }
    QCheckBox* RepeatBox() const { return m_repeat; }
    QComboBox* PortChoice() const { return m_portChoice; }
    QLineEdit* LabelEdit() const { return m_label; }
    QAction* OpenAction() const { return m_openAction; }
    QAction* SaveAction() const { return m_saveAction; }

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildMenus();
    QWidget* BuildSettings();
    QWidget* BuildPorts();
    QWidget* BuildButtons();

    void OnStart();
    void OnStop();
    void OnAbort();
    void OnAdd();
    void OnRemove();
    void OnOpen();
    bool OnSave(bool askForName);
    void BrowseFile();
    void BrowseLogDir();
    void OnSelectionChanged();
    void OnModelChange(unsigned what);
    // The fields' settings handed to the model; false (with a message box) when it refuses.
    bool ApplySettings();
    void ShowSettings();
    void UpdateButtons();
    void UpdateTitle();
    void Refuse(const std::string& message);

    // Serves the station and arms the timer for its next due time.
    void Serve();
    void ArmTimer();

    StationWindowOptions m_options;
    CStationModel m_model;
    CStationTableModel* m_tableModel = nullptr;
    QSocketNotifier* m_notifier = nullptr;
    QTimer* m_timer = nullptr;

    QTableView* m_table = nullptr;
    CTermWidget* m_term = nullptr;
    QLabel* m_totals = nullptr;
    QLineEdit* m_file = nullptr;
    QPushButton* m_browseFile = nullptr;
    QLineEdit* m_expect = nullptr;
    QLineEdit* m_reject = nullptr;
    QLineEdit* m_unit = nullptr;
    QSpinBox* m_verdictTimeout = nullptr;
    QSpinBox* m_promptTimeout = nullptr;
    QLineEdit* m_logDir = nullptr;
    QPushButton* m_browseLogDir = nullptr;
    QCheckBox* m_repeat = nullptr;
    QComboBox* m_portChoice = nullptr;
    QLineEdit* m_label = nullptr;
    QPushButton* m_add = nullptr;
    QPushButton* m_remove = nullptr;
    QPushButton* m_start = nullptr;
    QPushButton* m_stop = nullptr;
    QPushButton* m_abort = nullptr;
    QAction* m_openAction = nullptr;
    QAction* m_saveAction = nullptr;
    QAction* m_saveAsAction = nullptr;
};

}  // namespace korv
