#include "station/StationLogs.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string_view>

#include "platform/ConsoleIo.h"
#include "platform/SysError.h"
#include "station/TimeText.h"

namespace korv {

namespace {

std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Of(const std::filesystem::path& path) {
    const auto u8 = path.u8string();
    return std::string(u8.begin(), u8.end());
}

}  // namespace

std::string LogFileName(const std::string& port) {
    std::string name = port;
    for (const char* prefix : {"/dev/", "\\\\.\\"}) {
        if (name.starts_with(prefix)) {
            name.erase(0, std::char_traits<char>::length(prefix));
            break;
        }
    }
    // A network port's log is named by its scheme, host and TCP port: rfc2217-bench4-4001.log.
    if (const auto scheme = name.find("://"); scheme != std::string::npos) {
        name.replace(scheme, 3, "-");
        std::replace(name.begin(), name.end(), ':', '-');
    }
    for (char& c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (c == '/' || c == '\\') {
            c = '-';
        } else if (!plain) {
            c = '_';
        }
    }
    // Never a hidden file, "." or "..".
    while (!name.empty() && name.front() == '.') {
        name.front() = '_';
    }
    if (name.empty()) {
        name = "port";
    }
    // Windows takes CON, PRN, AUX, NUL, COM1..COM9 and LPT1..LPT9, with any extension, for its
    // devices: "COM7.log" would be the port itself. Such names get a '_', on both systems, so
    // that a port's log has the same name wherever it was written.
    const std::string stem = name.substr(0, name.find('.'));
    std::string upper;
    for (const char c : stem) {
        upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    const bool numbered = upper.size() == 4 &&
                          (upper.starts_with("COM") || upper.starts_with("LPT")) &&
                          upper[3] >= '1' && upper[3] <= '9';
    if (numbered || upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL") {
        name.insert(stem.size(), "_");
    }
    return name + ".log";
}
CLogOutput::~CLogOutput() {
    FlushOut();
}

void CLogOutput::Flush() {
    if (m_file != nullptr && std::fflush(m_file) != 0 && m_writeError == 0) {
        m_writeError = errno != 0 ? errno : EIO;
    }
}

void CLogOutput::Put(const std::string& text) {
    if (m_file == nullptr) {
        return;
    }
    if (std::fputs(text.c_str(), m_file) < 0 && m_writeError == 0) {
        m_writeError = errno != 0 ? errno : EIO;
    }
    Flush();
}

void CLogOutput::Echo(char ch) {
    if (m_terminal != nullptr) {
        m_shown.push_back(ch);
    }
    if (m_file != nullptr && std::fputc(static_cast<unsigned char>(ch), m_file) == EOF &&
        m_writeError == 0) {
        m_writeError = errno != 0 ? errno : EIO;
    }
}

void CLogOutput::FlushOut() {
    Flush();
    if (m_terminal != nullptr && !m_shown.empty()) {
        // The echo carries only bytes the model acts on, never a NUL: Write takes them whole.
        m_terminal->Write(m_shown.c_str(), true);
        m_shown.clear();
    }
}

void CLogOutput::Message(const std::string& text) {
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    std::replace(line.begin(), line.end(), '\n', ' ');
    std::replace(line.begin(), line.end(), '\r', ' ');
    Error((m_stamp ? m_stamp() : LocalTimestamp()) + " KORVALIN: " + line + "\n");
    if (m_messageObserver) {
        m_messageObserver(line);
    }
}

void CLogOutput::Error(const std::string& text) {
    FlushOut();
    Put(text);
}

CPortLog::CPortLog(std::string path, std::FILE* file)
    : m_path(std::move(path)), m_file(file), m_out(file) {}

CPortLog::~CPortLog() {
    // The output's last bytes go out before the file closes.
    m_out.FlushOut();
}

std::optional<std::string> CPortLog::NewFailure() {
    if (m_failed || m_out.WriteError() == 0) {
        return std::nullopt;
    }
    m_failed = true;
    return "Cannot write the log file '" + m_path + "' : " + SystemErrorText(m_out.WriteError());
}

CStationLogs::CStationLogs(std::string dir, std::unique_ptr<CReportFile> report)
    : m_dir(std::move(dir)), m_report(std::move(report)) {}

CStationLogs::~CStationLogs() = default;

std::unique_ptr<CStationLogs> CStationLogs::Open(const std::string& dir,
                                                 const std::string& reportPath,
                                                 std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(PathOf(dir), ec);
    if (ec) {
        *error = "Cannot make the log folder '" + dir + "' : " + ec.message();
        return nullptr;
    }
    const std::string path =
        reportPath.empty() ? Utf8Of(PathOf(dir) / kReportFileName) : reportPath;
    std::unique_ptr<CReportFile> report = CReportFile::Open(path, error);
    if (!report) {
        return nullptr;
    }
    return std::unique_ptr<CStationLogs>(new CStationLogs(dir, std::move(report)));
}

CPortLog* CStationLogs::AddPort(const std::string& port, std::string* error) {
    std::string name = LogFileName(port);
    for (int n = 2; m_names.count(name) != 0; ++n) {
        name = LogFileName(port + "-" + std::to_string(n));
    }
    const std::string path = Utf8Of(PathOf(m_dir) / name);
    // Added to, never replaced: an earlier run's log of this port is kept.
    int openError = 0;
    std::FILE* file = OpenForAppend(path, &openError);
    if (file == nullptr) {
        *error = "Cannot write the log file '" + path + "' : " + SystemErrorText(openError);
        return nullptr;
    }
    m_names.insert(name);
    m_logs.push_back(std::make_unique<CPortLog>(path, file));
    return m_logs.back().get();
}

CTransferRecorder::RecordSink CStationLogs::RecordSink(
    std::function<void(const std::string&)> failed) {
    return [this, failed = std::move(failed)](const TransferRecord& record) {
        if (m_report->Append(record)) {
            return true;
        }
        const int err = LastSystemError();
        if (!m_reportFailed) {
            m_reportFailed = true;
            if (failed) {
                failed("Cannot write to the report '" + m_report->Path() +
                       "' : " + SystemErrorText(err));
            }
        }
        return false;
    };
}

}  // namespace korv
