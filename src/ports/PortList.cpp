// The port list: serial port names from the system's device map, in ascending order of their
// trailing number or in the map's own order, with the fallback pair when the system lists none.

#include "ports/PortList.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "platform/DeviceMap.h"
#include "platform/net/NetPortName.h"
#include "ports/IProfile.h"

namespace korv {

namespace {
// A registry value name has at most 16,383 UTF-16 units; each takes at most 3 bytes in UTF-8.
constexpr size_t kMaxValueNameBytes = 16383 * 3 + 1;
}  // namespace

void CPortList::AddPort(const char* name) {
    auto* node = new (std::nothrow) PortNode{};
    if (node == nullptr) {
        return;
    }
    const size_t len = ::strnlen(name, sizeof(node->szName) - 1);
    std::memcpy(node->szName, name, len);
    node->szName[len] = '\0';
    node->pNext = m_pPortList;
    m_pPortList = node;
}

void CPortList::FreePortList() {
    while (m_pPortList != nullptr) {
        PortNode* next = m_pPortList->pNext;
        delete m_pPortList;
        m_pPortList = next;
    }
}

uint32_t CPortList::PortNumber(const char* name) {
    uint32_t value = 0;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p >= '0' && *p <= '9') {
            value = value * 10u + static_cast<uint32_t>(*p - '0');
        } else {
            value = 0;
        }
    }
    return value;
}

void CPortList::BuildPortList(ISerialDeviceMap& map) {
    FreePortList();
    if (map.Open() == ERROR_SUCCESS) {
        // The value's name (the driver's device) is not used, but it must fit for its data to
        // be read: room for the longest name the registry allows, in UTF-8.
        std::vector<char> valueName(kMaxValueNameBytes);
        for (uint32_t index = 0;; ++index) {
            uint32_t nameCap = static_cast<uint32_t>(valueName.size());
            uint32_t type = REG_NONE;
            uint8_t data[16];
            uint32_t dataCap = sizeof(data);
            const long result =
                map.EnumValue(index, valueName.data(), &nameCap, &type, data, &dataCap);
            if (result == ERROR_MORE_DATA) {
                // A port name too long for an entry: left out, and the ports after it still
                // listed.
                continue;
            }
            if (result != ERROR_SUCCESS) {
                break;
            }
            if (type != REG_SZ) {
                continue;
            }
            // Data that fills all 16 bytes without a terminator is cut to 15 characters.
            char name[16];
            const size_t len = dataCap < sizeof(name) ? dataCap : sizeof(name) - 1;
            std::memcpy(name, data, len);
            name[len] = '\0';
            AddPort(name);
        }
        map.Close();
    }
    if (m_pPortList != nullptr && map.Order() == PortOrder::AsListed) {
        ReverseList();  // each name went to the head
        return;
    }
    if (m_pPortList == nullptr) {
        AddPort("COM1");
        AddPort("COM2");
    }
    SortByPortNumber();
}

void CPortList::ReverseList() {
    PortNode* reversed = nullptr;
    while (m_pPortList != nullptr) {
        PortNode* next = m_pPortList->pNext;
        m_pPortList->pNext = reversed;
        reversed = m_pPortList;
        m_pPortList = next;
    }
    m_pPortList = reversed;
}

void CPortList::SortByPortNumber() {
    // Exchanges only on a strictly greater number: names with equal numbers keep their order.
    bool exchanged = m_pPortList != nullptr;
    while (exchanged) {
        exchanged = false;
        for (PortNode* node = m_pPortList; node != nullptr && node->pNext != nullptr;
             node = node->pNext) {
            if (PortNumber(node->szName) > PortNumber(node->pNext->szName)) {
                char tmp[16];
                std::memcpy(tmp, node->szName, sizeof(tmp));
                std::memcpy(node->szName, node->pNext->szName, sizeof(tmp));
                std::memcpy(node->pNext->szName, tmp, sizeof(tmp));
                exchanged = true;
            }
        }
    }
}

std::vector<std::string> CurrentPortNames(ISerialDeviceMap& map) {
    CPortList list;
    list.BuildPortList(map);
    std::vector<std::string> names;
    for (const PortNode* node = list.Head(); node != nullptr; node = node->pNext) {
        names.emplace_back(node->szName);
    }
    return names;
}

std::vector<std::string> PortChoices(std::vector<std::string> listed,
                                     const std::string& commandLine, const std::string& chosen) {
    for (const std::string* keep : {&commandLine, &chosen}) {
        if (!keep->empty() && std::find(listed.begin(), listed.end(), *keep) == listed.end()) {
            listed.push_back(*keep);
        }
    }
    return listed;
}

std::vector<std::string> ProfileNetPorts(IProfile& profile) {
    return SplitNetPortList(profile.GetProfileString("SETTINGS", kNetPortsEntry, ""));
}

std::vector<std::string> WithProfileNetPorts(std::vector<std::string> names, IProfile& profile) {
    for (std::string& name : ProfileNetPorts(profile)) {
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            names.push_back(std::move(name));
        }
    }
    return names;
}

}  // namespace korv
