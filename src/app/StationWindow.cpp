#include "app/StationWindow.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QSocketNotifier>
#include <QSpinBox>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include "app/AppIcon.h"
#include "app/StationTable.h"
#include "app/TermWidget.h"

namespace korv {

namespace {

constexpr int kLongestTimeout = 86400;  // a day, as the station file allows

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

std::string S(const QString& text) {
    return text.toStdString();
}

// The port choice: offered afresh each time it opens, so that an adapter plugged in since is
// there; what the operator typed stays.
class CPortCombo : public QComboBox {
  public:
    CPortCombo(std::function<std::vector<std::string>()> source, QWidget* parent)
        : QComboBox(parent), m_source(std::move(source)) {
        setEditable(true);
        setInsertPolicy(QComboBox::NoInsert);
        Refill();
    }

    void showPopup() override {
        Refill();
        QComboBox::showPopup();
    }

    void Refill() {
        const QString typed = currentText();
        clear();
        if (m_source) {
            for (const std::string& name : m_source()) {
                addItem(Q(name));
            }
        }
        setEditText(typed);
    }

  private:
    std::function<std::vector<std::string>()> m_source;
};

}  // namespace

CStationWindow::CStationWindow(StationWindowOptions options)
    : m_options(std::move(options)), m_model(m_options.setup) {
    setWindowIcon(AppIcon());
    BuildMenus();

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->addWidget(BuildSettings());
    layout->addWidget(BuildPorts());

    m_tableModel = new CStationTableModel(m_model, this);
    m_table = new QTableView(central);
    m_table->setModel(m_tableModel);
    m_table->setItemDelegateForColumn(CStationTableModel::Progress, new CProgressDelegate(m_table));
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Tab leaves the table; the arrow keys move between its rows.
    m_table->setTabKeyNavigation(false);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_table->setAccessibleName(QStringLiteral("Ports"));
    const QFontMetrics fm(m_table->font());
    const int widths[] = {8, 16, 16, 10, 22, 30, 6, 9, 7};
    for (int column = 0; column < static_cast<int>(std::size(widths)); ++column) {
        m_table->setColumnWidth(column, fm.averageCharWidth() * widths[column] + 12);
    }
    connect(m_table->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { OnSelectionChanged(); });
    auto* remove = new QShortcut(QKeySequence::Delete, m_table);
    remove->setContext(Qt::WidgetShortcut);
    connect(remove, &QShortcut::activated, this, [this] { OnRemove(); });

    m_term = new CTermWidget(central);
    m_term->SetPaintMode(CTermWidget::PaintMode::Deferred);
    m_term->setAccessibleName(QStringLiteral("Terminal of the selected port"));
    m_term->setMinimumHeight(QFontMetrics(m_term->TermFont()).height() * 8);
    m_term->installEventFilter(this);

    auto* splitter = new QSplitter(Qt::Vertical, central);
    splitter->addWidget(m_table);
    splitter->addWidget(m_term);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 1);
    splitter->setChildrenCollapsible(false);
    layout->addWidget(splitter, 1);
    layout->addWidget(BuildButtons());
    setCentralWidget(central);

    setTabOrder(m_file, m_browseFile);
    setTabOrder(m_browseFile, m_expect);
    setTabOrder(m_expect, m_reject);
    setTabOrder(m_reject, m_unit);
    setTabOrder(m_unit, m_verdictTimeout);
    setTabOrder(m_verdictTimeout, m_promptTimeout);
    setTabOrder(m_promptTimeout, m_logDir);
    setTabOrder(m_logDir, m_browseLogDir);
    setTabOrder(m_browseLogDir, m_repeat);
    setTabOrder(m_repeat, m_portChoice);
    setTabOrder(m_portChoice, m_label);
    setTabOrder(m_label, m_add);
    setTabOrder(m_add, m_remove);
    setTabOrder(m_remove, m_table);
    setTabOrder(m_table, m_term);
    setTabOrder(m_term, m_start);
    setTabOrder(m_start, m_stop);
    setTabOrder(m_stop, m_abort);

    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] { Serve(); });
    if (m_model.Valid()) {
        m_notifier = new QSocketNotifier(static_cast<qintptr>(m_model.Waitable()),
                                         QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] { Serve(); });
    }
    m_model.OnChange([this](unsigned what) { OnModelChange(what); });

    resize(fm.averageCharWidth() * 150, fm.height() * 45);
    ShowSettings();
    UpdateButtons();
    UpdateTitle();
    m_totals->setText(Q(m_model.Totals().text));
    if (!m_model.Valid()) {
        m_start->setEnabled(false);
        m_totals->setText(
            QStringLiteral("The station cannot run: its notification queue could "
                           "not be made."));
    }
    if (!m_options.stationFile.empty()) {
        OpenStation(m_options.stationFile);
    }
}

CStationWindow::~CStationWindow() {
    // The pane lets go of the port's screen before the model (and the screen) goes; the model's
    // last changes find no window.
    m_term->ShowModel(nullptr);
    m_model.OnChange({});
    m_term->removeEventFilter(this);
}

void CStationWindow::BuildMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    m_openAction = file->addAction(QStringLiteral("&Open station..."));
    m_openAction->setShortcut(QKeySequence::Open);
    connect(m_openAction, &QAction::triggered, this, [this] { OnOpen(); });
    m_saveAction = file->addAction(QStringLiteral("&Save station"));
    m_saveAction->setShortcut(QKeySequence::Save);
    connect(m_saveAction, &QAction::triggered, this, [this] { OnSave(false); });
    m_saveAsAction = file->addAction(QStringLiteral("Save station &as..."));
    m_saveAsAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    connect(m_saveAsAction, &QAction::triggered, this, [this] { OnSave(true); });
    file->addSeparator();
    QAction* exit = file->addAction(QStringLiteral("E&xit"));
    exit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(exit, &QAction::triggered, this, [this] { close(); });

    // Start and Stop from anywhere in the window, beside their buttons' mnemonics.
    auto* start = new QAction(this);
    start->setShortcut(QKeySequence(Qt::Key_F5));
    connect(start, &QAction::triggered, this, [this] {
        if (m_start->isEnabled()) {
            OnStart();
        }
    });
    auto* stop = new QAction(this);
    stop->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F5));
    connect(stop, &QAction::triggered, this, [this] {
        if (m_stop->isEnabled()) {
            OnStop();
        }
    });
    addAction(start);
    addAction(stop);
}

QWidget* CStationWindow::BuildSettings() {
    auto* box = new QGroupBox(QStringLiteral("Settings every port shares"));
    auto* grid = new QGridLayout(box);
    auto label = [box](const char* text, QWidget* buddy) {
        auto* l = new QLabel(QString::fromUtf8(text), box);
        l->setBuddy(buddy);
        return l;
    };

    m_file = new QLineEdit(box);
    m_file->setPlaceholderText(QStringLiteral("the update file every tester gets"));
    m_browseFile = new QPushButton(QStringLiteral("&Browse..."), box);
    m_browseFile->setAutoDefault(true);
    connect(m_browseFile, &QPushButton::clicked, this, [this] { BrowseFile(); });
    grid->addWidget(label("&Update file:", m_file), 0, 0);
    grid->addWidget(m_file, 0, 1, 1, 3);
    grid->addWidget(m_browseFile, 0, 4);

    m_expect = new QLineEdit(box);
    m_expect->setPlaceholderText(QStringLiteral("a line of the tester that means accepted"));
    m_reject = new QLineEdit(box);
    m_reject->setPlaceholderText(QStringLiteral("a line of the tester that means rejected"));
    grid->addWidget(label("&Accepting line:", m_expect), 1, 0);
    grid->addWidget(m_expect, 1, 1);
    grid->addWidget(label("&Rejecting line:", m_reject), 1, 2);
    grid->addWidget(m_reject, 1, 3, 1, 2);

    m_unit = new QLineEdit(box);
    m_unit->setPlaceholderText(QStringLiteral("a line naming the unit, one ( ) around its id"));
    m_verdictTimeout = new QSpinBox(box);
    m_verdictTimeout->setRange(1, kLongestTimeout);
    m_verdictTimeout->setSuffix(QStringLiteral(" s"));
    m_promptTimeout = new QSpinBox(box);
    m_promptTimeout->setRange(0, kLongestTimeout);
    m_promptTimeout->setSuffix(QStringLiteral(" s"));
    m_promptTimeout->setSpecialValueText(QStringLiteral("none"));
    auto* timeouts = new QHBoxLayout;
    timeouts->addWidget(m_verdictTimeout);
    timeouts->addWidget(label("Prompt t&ime-out:", m_promptTimeout));
    timeouts->addWidget(m_promptTimeout);
    timeouts->addStretch(1);
    grid->addWidget(label("U&nit pattern:", m_unit), 2, 0);
    grid->addWidget(m_unit, 2, 1);
    grid->addWidget(label("&Verdict time-out:", m_verdictTimeout), 2, 2);
    grid->addLayout(timeouts, 2, 3, 1, 2);

    m_logDir = new QLineEdit(box);
    m_logDir->setPlaceholderText(Q(m_options.setup.defaultLogDir));
    m_browseLogDir = new QPushButton(QStringLiteral("Bro&wse..."), box);
    m_browseLogDir->setAutoDefault(true);
    connect(m_browseLogDir, &QPushButton::clicked, this, [this] { BrowseLogDir(); });
    m_repeat = new QCheckBox(QStringLiteral("Re&peat: each port serves tester after tester"), box);
    grid->addWidget(label("Lo&g folder:", m_logDir), 3, 0);
    grid->addWidget(m_logDir, 3, 1);
    grid->addWidget(m_browseLogDir, 3, 2);
    grid->addWidget(m_repeat, 3, 3, 1, 2);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    return box;
}

QWidget* CStationWindow::BuildPorts() {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    m_portChoice = new CPortCombo(m_options.portSource, row);
    m_portChoice->setMinimumContentsLength(24);
    m_portChoice->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_label = new QLineEdit(row);
    m_label->setPlaceholderText(QStringLiteral("e.g. Bay 3"));
    m_add = new QPushButton(QStringLiteral("A&dd port"), row);
    m_add->setAutoDefault(true);
    m_remove = new QPushButton(QStringLiteral("Re&move port"), row);
    m_remove->setAutoDefault(true);
    auto* portLabel = new QLabel(QStringLiteral("Por&t:"), row);
    portLabel->setBuddy(m_portChoice);
    auto* labelLabel = new QLabel(QStringLiteral("Lab&el:"), row);
    labelLabel->setBuddy(m_label);
    layout->addWidget(portLabel);
    layout->addWidget(m_portChoice, 2);
    layout->addWidget(labelLabel);
    layout->addWidget(m_label, 1);
    layout->addWidget(m_add);
    layout->addWidget(m_remove);
    connect(m_add, &QPushButton::clicked, this, [this] { OnAdd(); });
    connect(m_remove, &QPushButton::clicked, this, [this] { OnRemove(); });
    connect(m_label, &QLineEdit::returnPressed, this, [this] { OnAdd(); });
    connect(m_portChoice->lineEdit(), &QLineEdit::returnPressed, this, [this] { OnAdd(); });
    return row;
}

QWidget* CStationWindow::BuildButtons() {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    m_start = new QPushButton(QStringLiteral("&Start"), row);
    m_stop = new QPushButton(QStringLiteral("St&op"), row);
    m_abort = new QPushButton(QStringLiteral("Abort se&lected"), row);
    m_start->setToolTip(QStringLiteral("Start every port (F5)"));
    m_stop->setToolTip(
        QStringLiteral("Stop every port; running transfers are aborted and recorded (Shift+F5)"));
    m_abort->setToolTip(QStringLiteral("Abort the selected port's transfer"));
    for (QPushButton* b : {m_start, m_stop, m_abort}) {
        b->setAutoDefault(true);
        layout->addWidget(b);
    }
    m_totals = new QLabel(row);
    m_totals->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addSpacing(16);
    layout->addWidget(m_totals, 1);
    connect(m_start, &QPushButton::clicked, this, [this] { OnStart(); });
    connect(m_stop, &QPushButton::clicked, this, [this] { OnStop(); });
    connect(m_abort, &QPushButton::clicked, this, [this] { OnAbort(); });
    return row;
}

bool CStationWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_term && event->type() == QEvent::Resize) {
        // Every port's screen gets the pane's size, so that one shown later needs no new grid.
        const QFontMetrics fm(m_term->TermFont());
        const QSize inside = m_term->contentsRect().size();
        m_model.SetTerminalGeometry(fm.horizontalAdvance(QLatin1Char('0')), fm.height(),
                                    inside.width(), inside.height());
    }
    return QMainWindow::eventFilter(watched, event);
}

void CStationWindow::Serve() {
    m_model.Serve();
    ArmTimer();
}

void CStationWindow::ArmTimer() {
    const int due = m_model.TimeoutMs();
    if (due < 0) {
        m_timer->stop();
    } else {
        m_timer->start(due);
    }
}

void CStationWindow::OnModelChange(unsigned what) {
    if ((what & CStationModel::ChangeRows) != 0) {
        m_tableModel->RowsChanged();
        const int row = m_model.SelectedRow();
        if (row >= 0) {
            m_table->setCurrentIndex(m_tableModel->index(row, 0));
        } else {
            OnSelectionChanged();
        }
    } else if ((what & CStationModel::ChangeFigures) != 0) {
        m_tableModel->FiguresChanged();
    }
    if ((what & CStationModel::ChangeState) != 0) {
        ShowSettings();
        UpdateTitle();
    }
    m_totals->setText(Q(m_model.Totals().text));
    UpdateButtons();
}

void CStationWindow::OnSelectionChanged() {
    const QModelIndex current = m_table->currentIndex();
    const int row = current.isValid() ? current.row() : -1;
    m_model.Select(row);
    m_term->ShowModel(row >= 0 ? &m_model.Terminal(static_cast<size_t>(row)) : nullptr);
    UpdateButtons();
}

void CStationWindow::UpdateButtons() {
    const bool running = m_model.Running();
    const int row = m_model.SelectedRow();
    for (QWidget* w : std::initializer_list<QWidget*>{m_file, m_browseFile, m_expect, m_reject,
                                                      m_unit, m_verdictTimeout, m_promptTimeout,
                                                      m_logDir, m_browseLogDir, m_repeat}) {
        w->setEnabled(!running);
    }
    m_start->setEnabled(!running && m_model.Valid());
    m_stop->setEnabled(running);
    m_abort->setEnabled(row >= 0 && m_model.Row(static_cast<size_t>(row)).sending);
    m_remove->setEnabled(row >= 0);
    m_openAction->setEnabled(!running);
}

void CStationWindow::UpdateTitle() {
    const std::string& path = m_model.FilePath();
    QString title = QStringLiteral("KORVALIN Station");
    if (!path.empty()) {
        title += QStringLiteral(" - ") + QFileInfo(Q(path)).fileName();
    }
    setWindowTitle(title);
}

void CStationWindow::ShowSettings() {
    const StationConfig& c = m_model.Config();
    m_file->setText(Q(c.file));
    m_expect->setText(Q(c.expect));
    m_reject->setText(Q(c.reject));
    m_unit->setText(Q(c.unitId));
    m_verdictTimeout->setValue(c.verdictTimeout);
    m_promptTimeout->setValue(c.promptTimeout);
    m_logDir->setText(Q(c.logDir));
    m_repeat->setChecked(c.repeat);
}

bool CStationWindow::ApplySettings() {
    StationConfig c = m_model.Config();
    c.file = S(m_file->text().trimmed());
    c.expect = S(m_expect->text());
    c.reject = S(m_reject->text());
    c.unitId = S(m_unit->text());
    c.verdictTimeout = m_verdictTimeout->value();
    c.promptTimeout = m_promptTimeout->value();
    c.logDir = S(m_logDir->text().trimmed());
    c.repeat = m_repeat->isChecked();
    std::string message;
    if (!m_model.SetSettings(c, &message)) {
        Refuse(message);
        return false;
    }
    return true;
}

void CStationWindow::Refuse(const std::string& message) {
    QMessageBox::warning(this, windowTitle(), Q(message));
}

void CStationWindow::OnStart() {
    if (!ApplySettings()) {
        return;
    }
    std::string message;
    if (!m_model.Start(&message)) {
        Refuse(message);
    }
    ArmTimer();
}

void CStationWindow::OnStop() {
    m_model.Stop();
    ArmTimer();
}

void CStationWindow::OnAbort() {
    const int row = m_model.SelectedRow();
    std::string message;
    if (row < 0 || !m_model.Abort(static_cast<size_t>(row), &message)) {
        Refuse(row < 0 ? "Select a port first." : message);
    }
    ArmTimer();
}

void CStationWindow::OnAdd() {
    const std::string name = S(m_portChoice->currentText().trimmed());
    std::string message;
    if (!m_model.AddPort(name, S(m_label->text().trimmed()), &message)) {
        Refuse(message);
        return;
    }
    m_label->clear();
    m_portChoice->setEditText(QString());
    m_table->setCurrentIndex(m_tableModel->index(static_cast<int>(m_model.RowCount()) - 1, 0));
    ArmTimer();
}

void CStationWindow::OnRemove() {
    const int row = m_model.SelectedRow();
    if (row < 0) {
        return;
    }
    const StationRow& r = m_model.Row(static_cast<size_t>(row));
    if (r.sending && QMessageBox::question(
                         this, windowTitle(),
                         Q("A transfer is running on " + r.name +
                           ". Abort it and remove the port? The transfer is recorded as "
                           "aborted."),
                         QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes) {
        return;
    }
    // The pane lets go of the port's screen, which goes with its row.
    m_term->ShowModel(nullptr);
    std::string message;
    if (!m_model.RemovePort(static_cast<size_t>(row), &message)) {
        Refuse(message);
    }
    OnSelectionChanged();
    ArmTimer();
}

bool CStationWindow::OpenStation(const std::string& path) {
    m_term->ShowModel(nullptr);
    std::string message;
    const bool ok = m_model.Load(path, &message);
    if (!ok) {
        Refuse(message);
    }
    OnSelectionChanged();
    ShowSettings();
    UpdateTitle();
    ArmTimer();
    return ok;
}

void CStationWindow::OnOpen() {
    if (m_model.Running()) {
        Refuse("Stop the station before opening another.");
        return;
    }
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Open station"), QFileInfo(Q(m_model.FilePath())).absolutePath(),
        QStringLiteral("Station files (*.json);;All files (*)"));
    if (!path.isEmpty()) {
        OpenStation(S(path));
    }
}

bool CStationWindow::OnSave(bool askForName) {
    if (!m_model.Running() && !ApplySettings()) {
        return false;
    }
    std::string path = m_model.FilePath();
    if (askForName || path.empty()) {
        const QString chosen = QFileDialog::getSaveFileName(
            this, QStringLiteral("Save station"),
            path.empty() ? QDir::homePath() + QStringLiteral("/station.json") : Q(path),
            QStringLiteral("Station files (*.json);;All files (*)"));
        if (chosen.isEmpty()) {
            return false;
        }
        path = S(chosen);
    }
    std::string message;
    if (!m_model.Save(path, &message)) {
        Refuse(message);
        return false;
    }
    UpdateTitle();
    return true;
}

void CStationWindow::BrowseFile() {
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Update file"), QFileInfo(m_file->text()).absolutePath(),
        QStringLiteral("Update files (*.txt);;All files (*)"));
    if (!path.isEmpty()) {
        m_file->setText(path);
    }
}

void CStationWindow::BrowseLogDir() {
    const QString dir = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Log folder"),
        m_logDir->text().isEmpty() ? QDir::homePath() : m_logDir->text());
    if (!dir.isEmpty()) {
        m_logDir->setText(dir);
    }
}

void CStationWindow::closeEvent(QCloseEvent* event) {
    if (!m_model.CanCloseWithoutAsking()) {
        const auto answer = QMessageBox::question(
            this, windowTitle(),
            QStringLiteral("Transfers are running. Stop them and close?\n\nEach running transfer "
                           "is aborted, and recorded as aborted."),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
    }
    // Ports that only wait for their next tester are stopped without asking.
    m_model.Stop();
    event->accept();
}

}  // namespace korv
