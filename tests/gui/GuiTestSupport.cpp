#include "GuiTestSupport.h"

#include <QSettings>
#include <QTest>

#include "Child.h"
#include "terminal/ReportWidget.h"

namespace korv::test {

std::string ScreenText(const CReportWidget& term) {
    std::string text;
    std::string pendingRows;
    for (int r = 0; r < term.Rows(); ++r) {
        std::string row;
        for (int c = 0; c < term.Cols(); ++c) {
            row += term.CellAt(c, r);
        }
        row.erase(row.find_last_not_of(' ') + 1);
        pendingRows += row + "\n";
        if (!row.empty()) {
            text += pendingRows;
            pendingRows.clear();
        }
    }
    return text;
}

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
    return QTest::qWaitFor(pred, timeoutMs);
}

std::optional<std::string> WaitEvent(Sim& sim, const std::string& prefix, int timeoutMs) {
    std::optional<std::string> found;
    (void)QTest::qWaitFor(
        [&] {
            found = sim.TakeEvent(prefix);
            return found.has_value();
        },
        timeoutMs);
    return found;
}

namespace {
QSettings Settings() {
    return QSettings(QStringLiteral("QUENDAL"), QStringLiteral("KORVALIN"));
}
}  // namespace

void ClearSettings() {
    QSettings s = Settings();
    s.clear();
    s.sync();
}

void WriteSetting(const QString& key, const QString& value) {
    QSettings s = Settings();
    s.setValue(key, value);
    s.sync();
}

QString ReadSetting(const QString& key) {
    return Settings().value(key).toString();
}

}  // namespace korv::test

#include <cstring>

#include "platform/DeviceMap.h"

namespace korv::test {

namespace {

class ListedDeviceMap : public ISerialDeviceMap {
  public:
    explicit ListedDeviceMap(std::vector<std::string> names) : m_names(std::move(names)) {}
    long Open() override { return ERROR_SUCCESS; }
    long EnumValue(uint32_t index, char* name, uint32_t* nameCap, uint32_t* type, uint8_t* data,
                   uint32_t* dataCap) override {
        if (index >= m_names.size()) {
            return ERROR_NO_MORE_ITEMS;
        }
        const std::string valueName = "\\Device\\Listed" + std::to_string(index);
        const std::string& port = m_names[index];
        if (valueName.size() + 1 > *nameCap || port.size() + 1 > *dataCap) {
            return ERROR_MORE_DATA;
        }
        std::memcpy(name, valueName.c_str(), valueName.size() + 1);
        std::memcpy(data, port.c_str(), port.size() + 1);
        *nameCap = static_cast<uint32_t>(valueName.size());
        *dataCap = static_cast<uint32_t>(port.size() + 1);
        *type = REG_SZ;
        return ERROR_SUCCESS;
    }
    void Close() override {}

  private:
    std::vector<std::string> m_names;
};

}  // namespace

std::unique_ptr<ISerialDeviceMap> MakeListedDeviceMap(std::vector<std::string> names) {
    return std::make_unique<ListedDeviceMap>(std::move(names));
}

uint32_t Crc32(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return crc ^ 0xFFFFFFFFu;
}

}  // namespace korv::test
