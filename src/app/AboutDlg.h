#pragma once
// The About box: icon, program name and version, copyright and the maker's address.

#include <QDialog>

class QLabel;
class QPushButton;

namespace korv {

class CAboutDlg : public QDialog {
  public:
    explicit CAboutDlg(QWidget* parent = nullptr);

    static const char* const kVersionText;
    static const char* const kCopyrightText;
    // Seven lines separated by CR LF.
    static const char* const kAddressText;

    QLabel* IconLabel() const { return m_icon; }
    QPushButton* OkButton() const { return m_ok; }

  private:
    QLabel* m_icon;
    QPushButton* m_ok;
};

}  // namespace korv
