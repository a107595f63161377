// The port list over a fuzzed device map that keeps the map's contract (capacities respected,
// names terminated, ERROR_MORE_DATA when something does not fit, ERROR_NO_MORE_ITEMS past the
// end) but otherwise says anything: any number of values, any names, types and data, errors at
// any index, an Open that fails.
//
// Input: head:u8 (bit 0: Open fails; head >> 1: number of values), then per value:
//   type:u8  (0-1 REG_SZ, 2 REG_DWORD, 3 REG_NONE, otherwise type:u32 follows)
//   nameLen:u8  dataLen:u8 (% 24)  data[dataLen]  error:u8 (0-2: none; otherwise the value
//   answers with ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS, ERROR_FILE_NOT_FOUND or error:u32, by % 4)
//
// Properties: no crash and no leak; EnumValue is asked for 0, 1, 2, ... with room for 16 data
// bytes, past values that do not fit (ERROR_MORE_DATA) up to and never after the first other
// answer than success; Close follows a successful
// Open only; the list holds exactly the REG_SZ values answered (at most 15 characters, cut at a
// NUL) or the fallback pair; it is never empty, every name is terminated within its node, the order
// is by port number; building again gives the same list.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "platform/DeviceMap.h"
#include "ports/PortList.h"

namespace korv::fuzz {
namespace {

struct Value {
    uint32_t type = REG_SZ;
    size_t nameLen = 0;
    std::string data;  // exactly the bytes the map reports, terminator included if any
    long error = ERROR_SUCCESS;
};

struct FuzzedMap : ISerialDeviceMap {
    bool openFails = false;
    std::vector<Value> values;
    int opens = 0;
    int closes = 0;
    uint32_t nextIndex = 0;
    bool stopped = false;
    // The values answered with success since the last Open, in order.
    std::vector<const Value*> answered;

    long Open() override {
        ++opens;
        nextIndex = 0;
        stopped = false;
        answered.clear();
        return openFails ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
    }
    long EnumValue(uint32_t index, char* name, uint32_t* nameCap, uint32_t* type, uint8_t* data,
                   uint32_t* dataCap) override {
        KORV_FUZZ_CHECK(!openFails);
        KORV_FUZZ_CHECK(!stopped);
        KORV_FUZZ_CHECK(index == nextIndex);
        // Room for a name of 15 characters and its terminator.
        KORV_FUZZ_CHECK(*nameCap >= 1 && *dataCap >= 16);
        ++nextIndex;
        const long rc = Answer(index, name, nameCap, type, data, dataCap);
        stopped = rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA;
        if (rc == ERROR_SUCCESS) {
            answered.push_back(&values[index]);
        }
        return rc;
    }
    void Close() override {
        KORV_FUZZ_CHECK(!openFails);
        ++closes;
    }

  private:
    long Answer(uint32_t index, char* name, uint32_t* nameCap, uint32_t* type, uint8_t* data,
                uint32_t* dataCap) const {
        if (index >= values.size()) {
            return ERROR_NO_MORE_ITEMS;
        }
        const Value& v = values[index];
        if (v.error != ERROR_SUCCESS) {
            return v.error;
        }
        if (v.nameLen + 1 > *nameCap || v.data.size() > *dataCap) {
            return ERROR_MORE_DATA;
        }
        std::memset(name, 'v', v.nameLen);
        name[v.nameLen] = '\0';
        *nameCap = static_cast<uint32_t>(v.nameLen);
        *type = v.type;
        std::memcpy(data, v.data.data(), v.data.size());
        *dataCap = static_cast<uint32_t>(v.data.size());
        return ERROR_SUCCESS;
    }
};

// The names the list should hold, from the values the map answered, in the map's order.
std::vector<std::string> Expected(const FuzzedMap& map) {
    std::vector<std::string> names;
    for (const Value* v : map.answered) {
        if (v->type != REG_SZ) {
            continue;
        }
        const std::string kept = v->data.substr(0, 15);
        names.push_back(kept.substr(0, kept.find('\0')));
    }
    if (names.empty()) {
        names = {"COM1", "COM2"};
    }
    return names;
}

std::vector<std::string> Listed(const CPortList& list) {
    std::vector<std::string> names;
    for (const PortNode* n = list.Head(); n != nullptr; n = n->pNext) {
        KORV_FUZZ_CHECK(std::memchr(n->szName, '\0', sizeof(n->szName)) != nullptr);
        names.emplace_back(n->szName);
        KORV_FUZZ_CHECK(names.back().size() <= 15);
        KORV_FUZZ_CHECK(names.size() <= 1024);  // a cycle would never end
    }
    return names;
}

void Run(FuzzInput& in) {
    FuzzedMap map;
    const uint8_t head = in.U8();
    map.openFails = (head & 1) != 0;
    map.values.resize(head >> 1);
    static constexpr long kErrors[] = {ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS, ERROR_FILE_NOT_FOUND};
    for (Value& v : map.values) {
        const uint8_t type = in.U8();
        v.type = type < 2 ? REG_SZ : type == 2 ? REG_DWORD : type == 3 ? REG_NONE : in.U32();
        v.nameLen = in.U8();
        v.data = std::string(in.Bytes(in.U8() % 24));
        const uint8_t error = in.U8();
        if (error > 2) {
            v.error = error % 4 < 3 ? kErrors[error % 4] : static_cast<long>(in.U32());
        }
    }

    CPortList list;
    list.BuildPortList(map);
    const std::vector<std::string> first = Listed(list);
    KORV_FUZZ_CHECK(!first.empty());
    KORV_FUZZ_CHECK(map.opens == 1);
    KORV_FUZZ_CHECK(map.closes == (map.openFails ? 0 : 1));
    // Enumeration goes on past values that do not fit, to the first other answer than success
    // (the end, an error).
    KORV_FUZZ_CHECK(map.openFails || map.stopped);
    for (size_t i = 1; i < first.size(); ++i) {
        KORV_FUZZ_CHECK(CPortList::PortNumber(first[i - 1].c_str()) <=
                        CPortList::PortNumber(first[i].c_str()));
    }
    std::vector<std::string> want = Expected(map);
    std::vector<std::string> got = first;
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    KORV_FUZZ_CHECK(got == want);

    list.BuildPortList(map);
    KORV_FUZZ_CHECK(Listed(list) == first);
}

}  // namespace
}  // namespace korv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    korv::fuzz::FuzzInput in(data, size);
    korv::fuzz::Run(in);
    return 0;
}
