#include "platform/net/NetPortName.h"

#include <algorithm>
#include <charconv>

namespace korv {

namespace {

constexpr struct {
    const char* scheme;
    NetPortKind kind;
} kSchemes[] = {{"rfc2217://", NetPortKind::Rfc2217}, {"socket://", NetPortKind::Raw}};

bool StartsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

std::string Trim(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    const size_t last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

}  // namespace

bool IsNetworkPortName(const std::string& name) {
    return std::any_of(std::begin(kSchemes), std::end(kSchemes),
                       [&](const auto& s) { return StartsWith(name, s.scheme); });
}

std::optional<NetPortName> ParseNetPortName(const std::string& name) {
    for (const auto& s : kSchemes) {
        if (!StartsWith(name, s.scheme))
            continue;
        const std::string rest = name.substr(std::char_traits<char>::length(s.scheme));
        NetPortName out;
        out.kind = s.kind;
        size_t colon;
        if (!rest.empty() && rest[0] == '[') {
            const size_t close = rest.find(']');
            if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
                return std::nullopt;
            out.host = rest.substr(1, close - 1);
            colon = close + 1;
        } else {
            colon = rest.find(':');
            if (colon == std::string::npos || rest.find(':', colon + 1) != std::string::npos)
                return std::nullopt;
            out.host = rest.substr(0, colon);
        }
        if (out.host.empty() || out.host.find_first_of(" \t/\\?#@") != std::string::npos)
            return std::nullopt;
        const char* first = rest.data() + colon + 1;
        const char* last = rest.data() + rest.size();
        unsigned port = 0;
        const auto [end, ec] = std::from_chars(first, last, port);
        if (first == last || ec != std::errc() || end != last || port == 0 || port > 65535)
            return std::nullopt;
        out.port = static_cast<uint16_t>(port);
        return out;
    }
    return std::nullopt;
}

std::vector<std::string> SplitNetPortList(const std::string& value) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find(';', start);
        if (end == std::string::npos)
            end = value.size();
        const std::string name = Trim(value.substr(start, end - start));
        if (ParseNetPortName(name) && std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
        start = end + 1;
    }
    return names;
}

}  // namespace korv
