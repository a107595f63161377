#include "app/AboutDlg.h"

#include <QLabel>
#include <QPushButton>
#include <algorithm>

#include "app/AppIcon.h"
#include "app/DialogUnits.h"
#include "korv_version.h"

namespace korv {

const char* const CAboutDlg::kVersionText = KORV_ABOUT_VERSION_TEXT;
const char* const CAboutDlg::kCopyrightText = "Copyright (C) 2003 QUENDAL";
const char* const CAboutDlg::kAddressText =
    "QUENDAL Instruments Ltd.\r\n"
    "Unit 7, Brackley Works\r\n"
    "Ferry Lane\r\n"
    "Hollowmere\r\n"
    "HM4 2QT\r\n"
    "Tel. 01632 960 417\r\n"
    "Fax 01632 960 418";

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About KORVALIN"));
    setModal(true);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    const DialogUnits du(font());
    setFixedSize(du.Size(224, 108));

    m_icon = new QLabel(this);
    const int side = std::max(32, std::min(du.X(20), du.Y(20)));
    m_icon->setPixmap(DrawAppIcon(side));
    du.Place(m_icon, 11, 10, 20, 20);
    m_icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* version = new QLabel(QString::fromLatin1(kVersionText), this);
    version->setTextFormat(Qt::PlainText);  // an ampersand shows as it is
    du.Place(version, 40, 10, 119, 8);

    auto* copyright = new QLabel(QString::fromLatin1(kCopyrightText), this);
    copyright->setTextFormat(Qt::PlainText);
    du.Place(copyright, 40, 22, 119, 8);

    QString address = QString::fromLatin1(kAddressText);
    address.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    auto* maker = new QLabel(address, this);
    maker->setTextFormat(Qt::PlainText);
    maker->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    du.Place(maker, 40, 35, 119, 57);

    m_ok = new QPushButton(QStringLiteral("OK"), this);
    m_ok->setDefault(true);
    du.Place(m_ok, 171, 90, 50, 14);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);

    // Only the button takes the focus.
    for (QLabel* label : {m_icon, version, copyright, maker}) {
        label->setFocusPolicy(Qt::NoFocus);
    }
    m_ok->setFocus();
}

}  // namespace korv
