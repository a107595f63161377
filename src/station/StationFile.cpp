#include "station/StationFile.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/ConsoleIo.h"
#include "platform/SysError.h"
#include "station/Report.h"
#include "station/Verdict.h"

namespace korv {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

// A station file is a few lines; anything far larger is not one (a log, an update file chosen by
// mistake) and is not read into memory whole.
constexpr std::uintmax_t kMaxStationFileBytes = 1 << 20;
// The longest time-out a station file (or the command line) takes: a day.
constexpr int64_t kMaxSeconds = 86400;

fs::path PathOf(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8(const std::u8string& text) {
    return std::string(text.begin(), text.end());
}

// The refusal of one station file: "Station file 'bench.json', ports[2].name: the port is given
// twice (ports[0])."
class CRefusal {
  public:
    CRefusal(const std::string& path, std::string* error) : m_path(path), m_error(error) {}
    std::nullopt_t operator()(const std::string& key, const std::string& reason) const {
        if (m_error != nullptr) {
            *m_error = "Station file '" + m_path + "'" + (key.empty() ? "" : ", " + key) + ": " +
                       reason + ".";
        }
        return std::nullopt;
    }

  private:
    const std::string& m_path;
    std::string* m_error;
};

// The file's text; nullopt with the reason it cannot be had.
std::optional<std::string> ReadText(const std::string& path, std::string* reason) {
    const fs::path file = PathOf(path);
    std::error_code ec;
    const fs::file_status status = fs::status(file, ec);
    if (ec || !fs::exists(status)) {
        *reason = "it cannot be read: " +
                  (ec ? ec.message()
                      : std::make_error_code(std::errc::no_such_file_or_directory).message());
        return std::nullopt;
    }
    if (!fs::is_regular_file(status)) {
        *reason = fs::is_directory(status) ? "it is a folder, not a file" : "it is not a file";
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        *reason = "it cannot be read";
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxStationFileBytes) {
            *reason = "it is larger than 1 MiB, which no station file is";
            return std::nullopt;
        }
    }
    if (in.bad()) {
        *reason = "it cannot be read";
        return std::nullopt;
    }
    return text;
}

// A text of the file's own shown in a message without its control bytes.
std::string Quoted(const std::string& text) {
    return "'" + ShownTesterText(text) + "'";
}

// C0 controls, DEL, and the C1 controls U+0080..U+009F as UTF-8 (some terminals act on those
// too: U+009B starts an escape sequence).
bool HasControlBytes(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto u = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (u < 0x20 || u == 0x7F || (u == 0xC2 && next >= 0x80 && next <= 0x9F)) {
            return true;
        }
    }
    return false;
}

// A path of the file's, made relative to the file's folder unless it is absolute.
std::string Resolve(const fs::path& folder, const std::string& value) {
    if (value.empty()) {
        return value;
    }
    const fs::path given = PathOf(value);
    return Utf8((given.is_absolute() ? given : folder / given).lexically_normal().u8string());
}

// path as written in a station file in folder: relative to the folder when it lies inside it,
// otherwise absolute (a path relative to the current folder would point elsewhere once read).
std::string Relate(const fs::path& folder, const std::string& value) {
    if (value.empty()) {
        return value;
    }
    std::error_code ec;
    const fs::path path = fs::absolute(PathOf(value), ec).lexically_normal();
    const fs::path base = fs::absolute(folder.empty() ? fs::path(".") : folder, ec);
    if (ec) {
        return value;
    }
    const fs::path relative = path.lexically_relative(base.lexically_normal());
    if (relative.empty() || *relative.begin() == "..") {
        return Utf8(path.u8string());
    }
    return Utf8(relative.generic_u8string());
}

// Parses text as JSON; a key given twice in one object is refused rather than the last one
// silently taken.
std::optional<Json> ParseJson(const std::string& text, std::string* reason) {
    std::vector<std::set<std::string>> keys;
    std::string twice;
    const auto track = [&](int, Json::parse_event_t event, Json& parsed) {
        if (event == Json::parse_event_t::object_start) {
            keys.emplace_back();
        } else if (event == Json::parse_event_t::object_end && !keys.empty()) {
            keys.pop_back();
        } else if (event == Json::parse_event_t::key && !keys.empty() && parsed.is_string() &&
                   !keys.back().insert(parsed.get<std::string>()).second && twice.empty()) {
            twice = parsed.get<std::string>();
        }
        return true;
    };
    try {
        Json j = Json::parse(text, track);
        if (!twice.empty()) {
            *reason = "the key " + Quoted(twice) + " is given twice in one object";
            return std::nullopt;
        }
        return j;
    } catch (const Json::exception& e) {
        // "[json.exception.parse_error.101] parse error at line 3, column 7: ..." without the
        // library's own tag.
        std::string what = e.what();
        if (const auto tag = what.find("] "); what.starts_with("[json.") && tag != what.npos) {
            what.erase(0, tag + 2);
        }
        *reason = "it is not JSON: " + ShownTesterText(what);
        return std::nullopt;
    }
}

// The settings of one port: {"name": "...", "label": "..."}.
std::optional<StationPort> ReadPort(const Json& j, const std::string& key, const CRefusal& refuse) {
    if (!j.is_object()) {
        return refuse(key, "a port is an object with a \"name\" (and a \"label\")");
    }
    StationPort port;
    bool named = false;
    for (const auto& [name, value] : j.items()) {
        if (name != "name" && name != "label") {
            return refuse(key + "." + ShownTesterText(name),
                          "not a setting of a port (a port has a \"name\" and a \"label\")");
        }
        if (!value.is_string()) {
            return refuse(key + "." + name, "must be text");
        }
        std::string text = value.get<std::string>();
        if (HasControlBytes(text)) {
            return refuse(key + "." + name, "must not hold control characters");
        }
        if (name == "name") {
            if (text.empty()) {
                return refuse(key + ".name", "the port's name is empty");
            }
            port.name = std::move(text);
            named = true;
        } else {
            port.label = std::move(text);
        }
    }
    if (!named) {
        return refuse(key, "the port has no \"name\"");
    }
    return port;
}

// A time-out in whole seconds from least to a day.
bool ReadSeconds(const Json& value, int64_t least, int& into) {
    if (value.is_number_unsigned()) {
        const auto n = value.get<uint64_t>();
        if (n < static_cast<uint64_t>(least) || n > static_cast<uint64_t>(kMaxSeconds)) {
            return false;
        }
        into = static_cast<int>(n);
        return true;
    }
    if (value.is_number_integer()) {
        const auto n = value.get<int64_t>();
        if (n < least || n > kMaxSeconds) {
            return false;
        }
        into = static_cast<int>(n);
        return true;
    }
    return false;
}

}  // namespace

std::optional<StationConfig> LoadStationFile(const std::string& path, std::string* error) {
    const CRefusal refuse(path, error);
    std::string reason;
    const std::optional<std::string> text = ReadText(path, &reason);
    if (!text) {
        return refuse({}, reason);
    }
    const std::optional<Json> json = ParseJson(*text, &reason);
    if (!json) {
        return refuse({}, reason);
    }
    if (!json->is_object()) {
        return refuse(
            {}, "its top level must be an object { ... }, not " + std::string(json->type_name()));
    }
    const fs::path folder = PathOf(path).parent_path();
    StationConfig config;
    bool hasPorts = false;
    for (const auto& [key, value] : json->items()) {
        const std::string name = "\"" + ShownTesterText(key) + "\"";
        if (key == "ports") {
            if (!value.is_array()) {
                return refuse(name, "must be a list [ ... ] of ports");
            }
            for (size_t i = 0; i < value.size(); ++i) {
                const std::string at = "ports[" + std::to_string(i) + "]";
                std::optional<StationPort> port = ReadPort(value[i], at, refuse);
                if (!port) {
                    return std::nullopt;
                }
                for (size_t k = 0; k < config.ports.size(); ++k) {
                    if (config.ports[k].name == port->name) {
                        return refuse(at + ".name", "the port " + Quoted(port->name) +
                                                        " is given twice (also ports[" +
                                                        std::to_string(k) + "])");
                    }
                }
                config.ports.push_back(std::move(*port));
            }
            hasPorts = true;
        } else if (key == "verdict_timeout" || key == "prompt_timeout") {
            const bool verdict = key == "verdict_timeout";
            int& into = verdict ? config.verdictTimeout : config.promptTimeout;
            if (!ReadSeconds(value, verdict ? 1 : 0, into)) {
                return refuse(name, std::string("must be a whole number of seconds from ") +
                                        (verdict ? "1" : "0 (no limit)") + " to 86400, not " +
                                        ShownTesterText(value.dump()));
            }
        } else if (key == "repeat") {
            if (!value.is_boolean()) {
                return refuse(name, "must be true or false, not " + ShownTesterText(value.dump()));
            }
            config.repeat = value.get<bool>();
        } else if (key == "file" || key == "log_dir" || key == "expect" || key == "reject" ||
                   key == "unit_id" || key == "station_name") {
            if (!value.is_string()) {
                return refuse(name, "must be text, not " + std::string(value.type_name()));
            }
            const std::string setting = value.get<std::string>();
            if (key == "file" || key == "log_dir") {
                (key == "file" ? config.file : config.logDir) = Resolve(folder, setting);
            } else if (key == "station_name") {
                if (HasControlBytes(setting)) {
                    return refuse(name, "must not hold control characters");
                }
                config.stationName = setting;
            } else {
                if (!setting.empty() && !(key == "unit_id" ? CompileUnitPattern(setting, &reason)
                                                           : CompilePattern(setting, &reason))) {
                    return refuse(name, ShownTesterText(reason));
                }
                (key == "expect"   ? config.expect
                 : key == "reject" ? config.reject
                                   : config.unitId) = setting;
            }
        } else {
            return refuse(name,
                          "not a setting of a station file (those are \"ports\", \"file\", "
                          "\"expect\", \"reject\", \"unit_id\", \"verdict_timeout\", "
                          "\"prompt_timeout\", \"log_dir\", \"repeat\" and \"station_name\")");
        }
    }
    if (!hasPorts) {
        return refuse("\"ports\"", "the station has no list of ports");
    }
    if (config.ports.empty()) {
        return refuse("\"ports\"", "the list of ports is empty");
    }
    return config;
}

bool SaveStationFile(const std::string& path, const StationConfig& config, std::string* error) {
    auto fail = [&](const std::string& reason) {
        if (error != nullptr) {
            *error = "Cannot write the station file '" + path + "' : " + reason;
        }
        return false;
    };
    const fs::path file = PathOf(path);
    const fs::path folder = file.parent_path();
    nlohmann::ordered_json j;
    j["ports"] = nlohmann::ordered_json::array();
    for (const auto& port : config.ports) {
        nlohmann::ordered_json p;
        p["name"] = port.name;
        if (!port.label.empty()) {
            p["label"] = port.label;
        }
        j["ports"].push_back(std::move(p));
    }
    const std::pair<const char*, std::string> texts[] = {
        {"file", Relate(folder, config.file)},
        {"expect", config.expect},
        {"reject", config.reject},
        {"unit_id", config.unitId},
        {"station_name", config.stationName},
    };
    for (const auto& [key, value] : texts) {
        if (!value.empty()) {
            j[key] = value;
        }
    }
    j["verdict_timeout"] = config.verdictTimeout;
    j["prompt_timeout"] = config.promptTimeout;
    if (!config.logDir.empty()) {
        j["log_dir"] = Relate(folder, config.logDir);
    }
    j["repeat"] = config.repeat;
    const std::string text = j.dump(2) + "\n";

    // Written next to the file under a name of its own, then renamed over it: a crash or a full
    // disk leaves the old file as it was, never half of the new one.
    fs::path temporary = file;
    temporary += PathOf("." + CRecordIds().Next() + ".tmp");
    const std::string temporaryName = Utf8(temporary.u8string());
    int err = 0;
    std::FILE* out = OpenForAppend(temporaryName, &err);
    if (out == nullptr) {
        return fail(SystemErrorText(err));
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    err = LastSystemError();
    const bool flushed = std::fflush(out) == 0;
    if (!flushed) {
        err = LastSystemError();
    }
    const bool closed = std::fclose(out) == 0;
    std::error_code ec;
    if (!written || !flushed || !closed) {
        fs::remove(temporary, ec);
        return fail(SystemErrorText(err));
    }
    fs::rename(temporary, file, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return fail(ec.message());
    }
    return true;
}

}  // namespace korv
