#pragma once
// The list of serial port names the port choice offers, with "COM1", "COM2" when the system lists
// none. Names are in ascending order of the number that ends each (COM10 after COM9), or in the
// device map's own order when it sorts them itself (Linux device names, natural order). A name
// longer than an entry holds is left out; the others are listed.

#include <cstdint>
#include <string>
#include <vector>

namespace korv {

class ISerialDeviceMap;
class IProfile;

struct PortNode {
    PortNode* pNext;
    char szName[16];
};

class CPortList {
  public:
    CPortList() = default;
    ~CPortList() { FreePortList(); }
    CPortList(const CPortList&) = delete;
    CPortList& operator=(const CPortList&) = delete;

    void BuildPortList(ISerialDeviceMap& map);
    // Puts a copy of name (at most 15 characters are kept) at the head of the list.
    void AddPort(const char* name);
    void FreePortList();
    const PortNode* Head() const { return m_pPortList; }

    // Value of the run of decimal digits that ends name; 0 when name does not end in a digit.
    static uint32_t PortNumber(const char* name);

    PortNode* m_pPortList = nullptr;

  private:
    void ReverseList();
    void SortByPortNumber();
};

// The names the device map lists now, in the port list's order (with its fallback pair).
std::vector<std::string> CurrentPortNames(ISerialDeviceMap& map);

// The names a port choice offers: the system's list, then the command-line port and the chosen
// one when the list lacks them (the system may not know the command-line port; a port that is no
// longer listed stays on offer while it is chosen). Empty names are not added.
std::vector<std::string> PortChoices(std::vector<std::string> listed,
                                     const std::string& commandLine, const std::string& chosen);

// The network ports the operator has listed in the profile (section SETTINGS, entry NETPORTS:
// rfc2217://HOST:PORT and socket://HOST:PORT names separated by ';'), in the order given,
// malformed names and repeats left out. The system cannot list these itself.
std::vector<std::string> ProfileNetPorts(IProfile& profile);
// names with the profile's network ports that it lacks added at the end.
std::vector<std::string> WithProfileNetPorts(std::vector<std::string> names, IProfile& profile);

}  // namespace korv
