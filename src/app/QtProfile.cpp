#include "app/QtProfile.h"

#include <QSettings>
#include <QString>

namespace korv {

namespace {

QString Key(const std::string& section, const std::string& entry) {
    return QString::fromStdString(section) + QLatin1Char('/') + QString::fromStdString(entry);
}

QSettings Settings() {
    return QSettings(QStringLiteral("QUENDAL"), QStringLiteral("KORVALIN"));
}

}  // namespace

std::string QtProfile::GetProfileString(const std::string& section, const std::string& entry,
                                        const std::string& defaultValue) {
    const QVariant value = Settings().value(Key(section, entry));
    if (!value.isValid()) {
        return defaultValue;
    }
    return value.toString().toStdString();
}

void QtProfile::WriteProfileString(const std::string& section, const std::string& entry,
                                   const std::string& value) {
    QSettings settings = Settings();
    settings.setValue(Key(section, entry), QString::fromStdString(value));
    settings.sync();
}

}  // namespace korv
