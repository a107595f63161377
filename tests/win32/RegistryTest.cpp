// The port list and the profile over the real registry: a key of the test's own stands in for
// SERIALCOMM and for the program's profile key. Value names are chosen so that their order is
// the same whether the registry enumerates values in the order they were made or by name.

#include <gtest/gtest.h>

#include "Win32Support.h"
#include "platform/Profile.h"
#include "platform/SysError.h"
#include "platform/win32/RegistryDeviceMap.h"
#include "ports/PortList.h"

namespace korv {
namespace {

using test::TestKey;

std::vector<std::string> Names(const CPortList& list) {
    std::vector<std::string> names;
    for (const PortNode* n = list.Head(); n != nullptr; n = n->pNext)
        names.emplace_back(n->szName);
    return names;
}

std::vector<std::string> ListFrom(const TestKey& key) {
    auto map = MakeRegistryDeviceMap(HKEY_CURRENT_USER, key.Path());
    CPortList list;
    list.BuildPortList(*map);
    return Names(list);
}

TEST(RegistryDeviceMap, ListsStringValuesInNumericOrder) {
    TestKey key("order");
    ASSERT_TRUE(key.SetString("\\Device\\Serial9", "COM10"));
    ASSERT_TRUE(key.SetString("\\Device\\Serial1", "COM2"));
    const DWORD number = 7;
    ASSERT_TRUE(key.SetValue("\\Device\\Other", REG_DWORD, &number, sizeof number));
    ASSERT_TRUE(key.SetString("\\Device\\Serial0", "COM1"));
    EXPECT_EQ(ListFrom(key), (std::vector<std::string>{"COM1", "COM2", "COM10"}));
    // Built twice, the same list.
    EXPECT_EQ(ListFrom(key), (std::vector<std::string>{"COM1", "COM2", "COM10"}));
}

TEST(RegistryDeviceMap, AValueWhosePortNameIsTooLongIsLeftOut) {
    TestKey data("data");
    ASSERT_TRUE(data.SetString("a", "COM3"));
    ASSERT_TRUE(data.SetString("b", "COM4"));
    ASSERT_TRUE(data.SetString("c", "COM12345678901234"));  // 17 characters
    ASSERT_TRUE(data.SetString("d", "COM5"));
    EXPECT_EQ(ListFrom(data), (std::vector<std::string>{"COM3", "COM4", "COM5"}));

    // The value's name is not used: however long, it does not hide its port.
    TestKey name("name");
    ASSERT_TRUE(name.SetString("a", "COM3"));
    ASSERT_TRUE(name.SetString("b" + std::string(63, 'n'), "COM4"));     // a name of 64 characters
    ASSERT_TRUE(name.SetString("c" + std::string(16382, 'n'), "COM6"));  // the longest there is
    ASSERT_TRUE(name.SetString("d", "COM5"));
    EXPECT_EQ(ListFrom(name), (std::vector<std::string>{"COM3", "COM4", "COM5", "COM6"}));

    // 15 characters and the terminator fill the data buffer exactly.
    TestKey fits("fits");
    ASSERT_TRUE(fits.SetString("a", "COM123456789012"));
    EXPECT_EQ(ListFrom(fits), (std::vector<std::string>{"COM123456789012"}));
}

TEST(RegistryDeviceMap, MissingOrEmptyKeyGivesTheFallbackPair) {
    TestKey missing("missing");
    EXPECT_EQ(ListFrom(missing), (std::vector<std::string>{"COM1", "COM2"}));
    TestKey empty("empty");
    const DWORD number = 1;
    ASSERT_TRUE(empty.SetValue("n", REG_DWORD, &number, sizeof number));
    EXPECT_EQ(ListFrom(empty), (std::vector<std::string>{"COM1", "COM2"}));
}

TEST(RegistryDeviceMap, NonAsciiNamesArriveAsUtf8) {
    TestKey key("utf8");
    ASSERT_TRUE(key.SetString("x", "COMé7"));
    EXPECT_EQ(ListFrom(key), (std::vector<std::string>{"COMé7"}));
}

TEST(RegistryDeviceMap, TheSystemsMapCanBeRead) {
    // Whatever the machine has: the port list is never empty.
    auto map = MakeSystemDeviceMap();
    CPortList list;
    list.BuildPortList(*map);
    ASSERT_NE(list.Head(), nullptr);
    EXPECT_EQ(DescribePort("COM3").devicePath, "\\\\.\\COM3");
}

TEST(UserProfile, KeyBelowTheCurrentUser) {
    EXPECT_EQ(CUserProfile("QUENDAL", "KORVALIN").Location(), "Software\\QUENDAL\\KORVALIN");
}

TEST(UserProfile, WritesAndReadsStringsInSectionSubkeys) {
    TestKey key("profile");
    CUserProfile profile = CUserProfile::At(key.Path());
    EXPECT_EQ(profile.GetString("SETTINGS", "COMMPORT", "COM1"), "COM1");
    ASSERT_EQ(profile.WriteString("SETTINGS", "COMMPORT", "COM7"), 0);
    EXPECT_EQ(profile.GetString("SETTINGS", "COMMPORT", "COM1"), "COM7");
    EXPECT_EQ(profile.GetString("OTHER", "COMMPORT", "none"), "none");
    // A new profile object sees what the old one wrote: it is in the registry, not in memory.
    EXPECT_EQ(CUserProfile::At(key.Path()).GetString("SETTINGS", "COMMPORT", "COM1"), "COM7");

    ASSERT_EQ(profile.WriteString("SETTINGS", "COMMPORT", "COMñ3 ü"), 0);
    EXPECT_EQ(profile.GetString("SETTINGS", "COMMPORT", ""), "COMñ3 ü");
    ASSERT_EQ(profile.WriteString("SETTINGS", "COMMPORT", ""), 0);
    EXPECT_EQ(profile.GetString("SETTINGS", "COMMPORT", "default"), "");
}

TEST(UserProfile, ValuesOfOtherTypesGiveTheDefault) {
    TestKey key("types");
    TestKey section("types\\SETTINGS");
    const DWORD number = 5;
    ASSERT_TRUE(section.SetValue("COMMPORT", REG_DWORD, &number, sizeof number));
    EXPECT_EQ(CUserProfile::At(key.Path()).GetString("SETTINGS", "COMMPORT", "COM1"), "COM1");
    // Stored without a terminator, a string is still read whole.
    const wchar_t raw[] = {L'C', L'O', L'M', L'4'};
    ASSERT_TRUE(section.SetValue("COMMPORT", REG_SZ, raw, sizeof raw));
    EXPECT_EQ(CUserProfile::At(key.Path()).GetString("SETTINGS", "COMMPORT", "COM1"), "COM4");
}

}  // namespace
}  // namespace korv
