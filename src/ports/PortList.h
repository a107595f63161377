#pragma once
// The list of serial port names the port choice offers, in ascending order of the number that
// ends each name (COM10 after COM9), with "COM1", "COM2" when the system lists none.

#include <cstdint>

namespace korv {

class ISerialDeviceMap;

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
};

}  // namespace korv
