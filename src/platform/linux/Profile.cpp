// The profile on Linux: the INI file that the desktop program's settings store keeps, read the
// way that store writes it (values escaped and quoted; keys this program does not know are
// ignored). Only the desktop program writes it.

#include "platform/Profile.h"

#include <cstdlib>
#include <fstream>
#include <vector>

#include "platform/HexDigit.h"
#include "platform/SysError.h"

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

// The value as the settings store wrote it after "key=": quotes group, backslash escapes, a
// semicolon outside quotes starts a comment.
std::string UnescapeValue(const std::string& text) {
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

// The file for company/application: below $XDG_CONFIG_HOME when it is an absolute path, else
// below ~/.config; empty when neither is usable.
std::string DefaultLocation(const std::string& company, const std::string& application) {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    std::string base;
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else if (home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.config";
    } else {
        return {};
    }
    return base + "/" + company + "/" + application + ".conf";
}

}  // namespace

CUserProfile::CUserProfile(const std::string& company, const std::string& application)
    : m_location(DefaultLocation(company, application)) {}

CUserProfile CUserProfile::At(std::string location) {
    return CUserProfile(std::move(location));
}

std::string CUserProfile::GetString(const std::string& section, const std::string& entry,
                                    const std::string& defaultValue) const {
    std::vector<std::string> lines;
    if (m_location.empty() || !ReadLines(m_location, lines)) {
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

int CUserProfile::WriteString(const std::string&, const std::string&, const std::string&) {
    return ERR_PROFILE_READ_ONLY;
}

}  // namespace korv
