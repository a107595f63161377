#pragma once
// The main window: fixed size, caption "KORVALIN" whatever happens, a menu bar with the two
// commands Exit and About, and the form as its only content. Every way of closing it asks the
// document first.

#include <QMainWindow>
#include <functional>

class QAction;

namespace korv {

class CProgDoc;
class CProgForm;

class CMainFrame : public QMainWindow {
  public:
    explicit CMainFrame(CProgDoc& doc);

    CProgForm& Form() const { return *m_form; }
    QAction* ExitAction() const { return m_exit; }
    QAction* AboutAction() const { return m_about; }
    QAction* NewAction() const { return m_new; }
    QAction* OpenAction() const { return m_open; }

    // Ctrl+N and Ctrl+O.
    void SetFileNew(std::function<void()> handler) { m_onFileNew = std::move(handler); }
    void SetFileOpen(std::function<void()> handler) { m_onFileOpen = std::move(handler); }
    // Follows the document: Exit is enabled exactly while the document may close.
    void UpdateCommandUI();
    // Takes the form's size and keeps it.
    void FitToForm();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    CProgDoc& m_doc;
    CProgForm* m_form;
    QAction* m_exit;
    QAction* m_about;
    QAction* m_new;
    QAction* m_open;
    std::function<void()> m_onFileNew;
    std::function<void()> m_onFileOpen;
};

}  // namespace korv
