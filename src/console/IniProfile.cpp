#include "console/IniProfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace korv {

namespace {

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

bool ReadLines(const std::string& path, std::vector<std::string>& lines) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return true;
}

// True for a "[NAME]" line, with NAME in name.
bool SectionName(const std::string& line, std::string& name) {
    const std::string t = Trim(line);
    if (t.size() >= 2 && t.front() == '[' && t.back() == ']') {
        name = Trim(t.substr(1, t.size() - 2));
        return true;
    }
    return false;
}

bool KeyOf(const std::string& line, std::string& key, std::string& rawValue) {
    const std::string t = Trim(line);
    if (t.empty() || t.front() == ';' || t.front() == '#') {
        return false;
    }
    const auto eq = t.find('=');
    if (eq == std::string::npos) {
        return false;
    }
    key = Trim(t.substr(0, eq));
    rawValue = Trim(t.substr(eq + 1));
    return true;
}

bool MakeDirs(const std::string& dir) {
    if (dir.empty()) {
        return true;
    }
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode);
    }
    const auto slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirs(dir.substr(0, slash))) {
        return false;
    }
    return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::string CIniProfile::DefaultPath(const char* xdgConfigHome, const char* home) {
    std::string base;
    if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/') {
        base = xdgConfigHome;
    } else if (home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.config";
    } else {
        return {};
    }
    return base + "/QUENDAL/KORVALIN.conf";
}

std::string CIniProfile::EscapeValue(const std::string& value) {
    std::string out;
    bool needsQuotes = false;
    bool escapeNextIfHex = false;
    // A leading '@' marks a typed value in this format; a plain string starting with it doubles it.
    if (!value.empty() && value.front() == '@') {
        out += '@';
    }
    for (const char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (c == ';' || c == ',' || c == '=') {
            needsQuotes = true;
        }
        if (escapeNextIfHex && HexValue(c) >= 0) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%x", u);
            out += buf;
            continue;
        }
        escapeNextIfHex = false;
        switch (c) {
            case '\0':
                out += "\\0";
                escapeNextIfHex = true;
                break;
            case '\a':
                out += "\\a";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\v':
                out += "\\v";
                break;
            case '"':
            case '\\':
                out += '\\';
                out += c;
                break;
            default:
                if (u <= 0x1F || u == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\x%x", u);
                    out += buf;
                    escapeNextIfHex = true;
                } else {
                    out += c;  // UTF-8 bytes pass unchanged
                }
        }
    }
    if (needsQuotes || (!out.empty() && (out.front() == ' ' || out.back() == ' '))) {
        out = "\"" + out + "\"";
    }
    return out;
}

std::string CIniProfile::UnescapeValue(const std::string& text) {
    std::string out;
    bool inQuotes = false;
    size_t kept = 0;  // out up to here came from quotes or escapes and is never trimmed
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            inQuotes = !inQuotes;
            kept = out.size();
            continue;
        }
        if (c == ';' && !inQuotes) {
            break;  // the rest of the line is a comment
        }
        if (c != '\\' || i + 1 == text.size()) {
            out += c;
            if (inQuotes) {
                kept = out.size();
            }
            continue;
        }
        kept = out.size() + 1;
        const char e = text[++i];
        switch (e) {
            case 'a':
                out += '\a';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'v':
                out += '\v';
                break;
            case 'x': {
                unsigned v = 0;
                while (i + 1 < text.size() && HexValue(text[i + 1]) >= 0) {
                    v = v * 16 + static_cast<unsigned>(HexValue(text[++i]));
                }
                out += static_cast<char>(v & 0xFF);
                break;
            }
            case '0':
                out += '\0';
                break;
            default:
                out += e;  // \" \\ and any other escaped character stand for themselves
        }
    }
    while (out.size() > kept && (out.back() == ' ' || out.back() == '\t')) {
        out.pop_back();
    }
    if (out.starts_with("@@")) {
        out.erase(0, 1);
    }
    return out;
}

std::string CIniProfile::GetProfileString(const std::string& section, const std::string& entry,
                                          const std::string& defaultValue) {
    std::vector<std::string> lines;
    if (m_path.empty() || !ReadLines(m_path, lines)) {
        return defaultValue;
    }
    std::string current;
    std::string found;
    bool have = false;
    for (const auto& line : lines) {
        std::string name;
        std::string key;
        std::string raw;
        if (SectionName(line, name)) {
            current = name;
        } else if (current == section && KeyOf(line, key, raw) && key == entry) {
            found = UnescapeValue(raw);
            have = true;  // the last of repeated keys wins, as a re-read of the file would show
        }
    }
    return have ? found : defaultValue;
}

void CIniProfile::WriteProfileString(const std::string& section, const std::string& entry,
                                     const std::string& value) {
    m_lastWriteError = 0;
    if (m_path.empty()) {
        m_lastWriteError = ENOENT;
        return;
    }
    std::vector<std::string> lines;
    ReadLines(m_path, lines);

    const std::string newLine = entry + "=" + EscapeValue(value);
    std::string current;
    bool inSection = false;
    bool sectionSeen = false;
    bool written = false;
    std::vector<std::string> out;
    out.reserve(lines.size() + 2);
    for (const auto& line : lines) {
        std::string name;
        std::string key;
        std::string raw;
        if (SectionName(line, name)) {
            if (inSection && !written) {
                // Insert before the blank lines that close the section.
                size_t pos = out.size();
                while (pos > 0 && Trim(out[pos - 1]).empty()) {
                    --pos;
                }
                out.insert(out.begin() + static_cast<long>(pos), newLine);
                written = true;
            }
            inSection = name == section;
            sectionSeen = sectionSeen || inSection;
            out.push_back(line);
            continue;
        }
        if (inSection && KeyOf(line, key, raw) && key == entry) {
            if (!written) {
                out.push_back(newLine);
                written = true;
            }
            continue;  // drop repeats of the key
        }
        out.push_back(line);
    }
    if (!written) {
        if (!sectionSeen) {
            if (!out.empty() && !Trim(out.back()).empty()) {
                out.emplace_back();
            }
            out.push_back("[" + section + "]");
        }
        out.push_back(newLine);
    }

    const auto slash = m_path.find_last_of('/');
    if (slash != std::string::npos && !MakeDirs(m_path.substr(0, slash))) {
        m_lastWriteError = errno != 0 ? errno : ENOTDIR;
        return;
    }
    const std::string tmp = m_path + ".tmp." + std::to_string(::getpid());
    std::string text;
    for (const auto& line : out) {
        text += line;
        text += '\n';
    }
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        m_lastWriteError = errno;
        return;
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            m_lastWriteError = errno;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (m_lastWriteError == 0 && ::fsync(fd) != 0) {
        m_lastWriteError = errno;
    }
    ::close(fd);
    if (m_lastWriteError == 0 && ::rename(tmp.c_str(), m_path.c_str()) != 0) {
        m_lastWriteError = errno;
    }
    if (m_lastWriteError != 0) {
        ::unlink(tmp.c_str());
    }
}

}  // namespace korv
