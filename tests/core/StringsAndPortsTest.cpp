// Message formatting, the string table, and the port list's order and stop rules.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/DeviceMap.h"
#include "ports/PortList.h"
#include "view/Strings.h"

namespace korv {
namespace {

struct FormatCase {
    const char* format;
    std::vector<std::string> inserts;
    std::string expected;
};

class FormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatTest, Formats) {
    EXPECT_EQ(FormatMessageString(GetParam().format, GetParam().inserts), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Message, FormatTest,
    ::testing::Values(
        FormatCase{"Failed to open %1", {"COM7"}, "Failed to open COM7"},
        FormatCase{"%1%1", {"ab"}, "abab"}, FormatCase{"100%% sure%.", {}, "100% sure."},
        FormatCase{"a%nb%rc%td", {}, "a\r\nb\rc\td"}, FormatCase{"cut%0 here", {}, "cut"},
        FormatCase{"x%1!s!y", {"Q"}, "xQy"},
        FormatCase{"missing %2 stays", {"one"}, "missing %2 stays"},
        FormatCase{"no inserts %1", {}, "no inserts %1"},
        FormatCase{"'%1'", {"C:\\a %1 %n b"}, "'C:\\a %1 %n b'"},
        FormatCase{"trailing %", {}, "trailing "},
        FormatCase{"%12", {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "L"}, "L"}));

TEST(StringTable, HoldsTheProgramsTexts) {
    EXPECT_STREQ(LoadString(AFX_IDS_APP_TITLE), "KORVALIN");
    EXPECT_STREQ(LoadString(IDS_RETRY_OPEN_PORT), "Retry Opening COMM Port");
    EXPECT_STREQ(LoadString(IDS_PORT_NOT_OPEN),
                 "Cannot perform software update - COMM port is not open.");
    EXPECT_STREQ(LoadString(IDS_NOT_UPDATE_FILE),
                 "The file '%1' does not appear to be a software update file");
    const std::string instructions = LoadString(IDS_UPDATE_INSTRUCTIONS);
    EXPECT_NE(instructions.find("       * ZEM/K7 keypad  : 'BLACK' and 'F9'\n"), std::string::npos);
    EXPECT_EQ(instructions.back(), 'e');
    EXPECT_EQ(LoadString(12345), nullptr);
}

TEST(PortNumber, TrailingDigits) {
    EXPECT_EQ(CPortList::PortNumber("COM10"), 10u);
    EXPECT_EQ(CPortList::PortNumber("COM007"), 7u);
    EXPECT_EQ(CPortList::PortNumber("COM1A"), 0u);
    EXPECT_EQ(CPortList::PortNumber("LPT"), 0u);
    EXPECT_EQ(CPortList::PortNumber("2COM"), 0u);
    EXPECT_EQ(CPortList::PortNumber("COM\xb9"), 0u);
    // Unsigned 32-bit arithmetic wraps.
    EXPECT_EQ(CPortList::PortNumber("X99999999999"),
              static_cast<uint32_t>(99999999999ull & 0xffffffffu));
}

// A device map made of (type, data, name length) entries, with an optional failure.
struct FakeMap : ISerialDeviceMap {
    struct Value {
        uint32_t type;
        std::string data;
        size_t nameLen = 8;
    };
    std::vector<Value> values;
    bool missing = false;
    int closes = 0;
    PortOrder order = PortOrder::ByTrailingNumber;
    PortOrder Order() const override { return order; }
    long Open() override { return missing ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS; }
    long EnumValue(uint32_t index, char* name, uint32_t* nameCap, uint32_t* type, uint8_t* data,
                   uint32_t* dataCap) override {
        if (index >= values.size()) {
            return ERROR_NO_MORE_ITEMS;
        }
        const Value& v = values[index];
        const size_t dataLen = v.data.size() + 1;
        if (v.nameLen + 1 > *nameCap || dataLen > *dataCap) {
            return ERROR_MORE_DATA;
        }
        std::memset(name, 'n', v.nameLen);
        name[v.nameLen] = '\0';
        *nameCap = static_cast<uint32_t>(v.nameLen);
        *type = v.type;
        std::memcpy(data, v.data.c_str(), dataLen);
        *dataCap = static_cast<uint32_t>(dataLen);
        return ERROR_SUCCESS;
    }
    void Close() override { ++closes; }
};

std::vector<std::string> Names(const CPortList& list) {
    std::vector<std::string> names;
    for (const PortNode* n = list.Head(); n != nullptr; n = n->pNext) {
        names.emplace_back(n->szName);
    }
    return names;
}

using Names_t = std::vector<std::string>;

TEST(PortChoices, KeepTheCommandLineAndChosenPortsWhenUnlisted) {
    EXPECT_EQ(PortChoices({"COM1", "COM3"}, "COM9", "COM5"),
              (std::vector<std::string>{"COM1", "COM3", "COM9", "COM5"}));
    // Listed names, one name given twice and empty names are not doubled.
    EXPECT_EQ(PortChoices({"COM1", "COM3"}, "COM3", "COM1"),
              (std::vector<std::string>{"COM1", "COM3"}));
    EXPECT_EQ(PortChoices({}, "COM9", "COM9"), (std::vector<std::string>{"COM9"}));
    EXPECT_EQ(PortChoices({"COM1"}, "", ""), (std::vector<std::string>{"COM1"}));
}

TEST(PortList, FallbackPairWhenNothingIsListed) {
    FakeMap empty;
    CPortList list;
    list.BuildPortList(empty);
    EXPECT_EQ(Names(list), (Names_t{"COM1", "COM2"}));
    FakeMap missing;
    missing.missing = true;
    list.BuildPortList(missing);
    EXPECT_EQ(Names(list), (Names_t{"COM1", "COM2"}));
    EXPECT_EQ(missing.closes, 0);
}

TEST(PortList, NumericOrderAndRebuildLeavesNothingBehind) {
    FakeMap map;
    map.values = {{REG_SZ, "COM10"}, {REG_SZ, "COM2"}, {REG_SZ, "COM1"}};
    CPortList list;
    list.BuildPortList(map);
    EXPECT_EQ(Names(list), (Names_t{"COM1", "COM2", "COM10"}));
    list.BuildPortList(map);
    EXPECT_EQ(Names(list), (Names_t{"COM1", "COM2", "COM10"}));
    EXPECT_EQ(map.closes, 2);
}

TEST(PortList, OtherTypesAreSkippedAndEnumerationGoesOn) {
    FakeMap map;
    map.values = {{REG_SZ, "ttyUSB1"}, {REG_DWORD, "x"}, {REG_SZ, "ttyUSB0"}};
    CPortList list;
    list.BuildPortList(map);
    EXPECT_EQ(Names(list), (Names_t{"ttyUSB0", "ttyUSB1"}));
}

TEST(PortList, TooLongValueIsLeftOutAndTheOthersListed) {
    FakeMap map;
    map.values = {
        {REG_SZ, "COM3"}, {REG_SZ, "COM4"}, {REG_SZ, "COM1234567890123456"}, {REG_SZ, "COM5"}};
    CPortList list;
    list.BuildPortList(map);
    EXPECT_EQ(Names(list), (Names_t{"COM3", "COM4", "COM5"}));

    // The value's name is not used: however long, it does not hide its port.
    FakeMap longName;
    longName.values = {
        {REG_SZ, "COM3"}, {REG_SZ, "COM4", 64}, {REG_SZ, "COM6", 16383 * 3}, {REG_SZ, "COM5"}};
    list.BuildPortList(longName);
    EXPECT_EQ(Names(list), (Names_t{"COM3", "COM4", "COM5", "COM6"}));

    // Fifteen characters still fit.
    FakeMap fifteen;
    fifteen.values = {{REG_SZ, "ttyUSB123456789"}, {REG_SZ, "ttyUSB1234567890"}};
    list.BuildPortList(fifteen);
    EXPECT_EQ(Names(list), (Names_t{"ttyUSB123456789"}));
}

// Linux names: several kinds share numbers, and the map lists them in natural order.
TEST(PortList, MapThatSortsItsNamesKeepsItsOrder) {
    FakeMap map;
    map.order = PortOrder::AsListed;
    map.values = {{REG_SZ, "ttyACM0"}, {REG_SZ, "ttyS0"},   {REG_SZ, "ttyS1"},
                  {REG_SZ, "ttyS10"},  {REG_SZ, "ttyUSB0"}, {REG_SZ, "ttyUSB1"}};
    CPortList list;
    list.BuildPortList(map);
    EXPECT_EQ(Names(list), (Names_t{"ttyACM0", "ttyS0", "ttyS1", "ttyS10", "ttyUSB0", "ttyUSB1"}));
    // With nothing listed it still falls back to the pair, in their order.
    FakeMap empty;
    empty.order = PortOrder::AsListed;
    list.BuildPortList(empty);
    EXPECT_EQ(Names(list), (Names_t{"COM1", "COM2"}));
}

TEST(PortList, NamesWithoutNumbersComeFirstInReverseEnumerationOrder) {
    FakeMap map;
    map.values = {{REG_SZ, "COM3"}, {REG_SZ, "A"}, {REG_SZ, "B"}, {REG_SZ, "ttyS0"}};
    CPortList list;
    list.BuildPortList(map);
    EXPECT_EQ(Names(list), (Names_t{"ttyS0", "B", "A", "COM3"}));
}

TEST(PortList, AddPortKeepsAtMostFifteenCharacters) {
    CPortList list;
    list.AddPort("ABCDEFGHIJKLMNOPQRS");
    ASSERT_NE(list.Head(), nullptr);
    EXPECT_STREQ(list.Head()->szName, "ABCDEFGHIJKLMNO");
}

}  // namespace
}  // namespace korv
