#pragma once
// Names of network serial ports: rfc2217://HOST:PORT (a Telnet server with serial port control,
// RFC 2217) and socket://HOST:PORT (a raw TCP connection to a server whose line settings are its
// own). HOST is a name, an IPv4 address or an IPv6 address in brackets. Pure functions, used by
// the port layer to pick the port kind and by the front ends to list the profile's ports.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korv {

enum class NetPortKind { Rfc2217, Raw };

struct NetPortName {
    NetPortKind kind = NetPortKind::Rfc2217;
    std::string host;
    uint16_t port = 0;
};

// True when name starts with one of the network schemes (the rest may still be malformed).
bool IsNetworkPortName(const std::string& name);
// The parts of a well-formed network port name; nullopt for anything else.
std::optional<NetPortName> ParseNetPortName(const std::string& name);
// The network port names of a profile value: names separated by ';', blanks around each
// ignored, malformed names and repeats left out, in the order given.
std::vector<std::string> SplitNetPortList(const std::string& value);

// The profile entry (section SETTINGS) that lists the operator's network ports.
inline constexpr char kNetPortsEntry[] = "NETPORTS";

}  // namespace korv
