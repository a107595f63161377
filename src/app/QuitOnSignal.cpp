#include "app/QuitOnSignal.h"

#include <QCoreApplication>
#include <QSocketNotifier>

namespace korv {

CQuitOnSignal::CQuitOnSignal() {
    if (!m_signals.Valid()) {
        return;  // the signals keep their default effect
    }
    m_notifier = std::make_unique<QSocketNotifier>(m_signals.Waitable(), QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] {
        if (m_signals.Raised()) {
            // Leaves every event loop, a modal dialog's included.
            QCoreApplication::exit(130);
        }
    });
}

// The notifier goes before the pipe it watches.
CQuitOnSignal::~CQuitOnSignal() = default;

}  // namespace korv
