// Tests of the Linux profile: the INI file the desktop program's settings store writes, read the
// way that store writes it.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "TempDir.h"
#include "platform/Profile.h"
#include "platform/SysError.h"

namespace korv {
namespace {

using test::TempDir;

std::string WriteConf(const TempDir& dir, const std::string& text) {
    return dir.Write("KORVALIN.conf", text);
}

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        const char* old = ::getenv(name);
        m_had = old != nullptr;
        m_old = m_had ? old : "";
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (m_had) {
            ::setenv(m_name, m_old.c_str(), 1);
        } else {
            ::unsetenv(m_name);
        }
    }

  private:
    const char* m_name;
    bool m_had;
    std::string m_old;
};

TEST(UserProfile, LivesWhereTheDesktopSettingsStoreKeepsIt) {
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/x/cfg");
        ScopedEnv home("HOME", "/home/u");
        EXPECT_EQ(CUserProfile("QUENDAL", "KORVALIN").Location(), "/x/cfg/QUENDAL/KORVALIN.conf");
    }
    {
        // A relative XDG_CONFIG_HOME is invalid and ignored.
        ScopedEnv xdg("XDG_CONFIG_HOME", "rel");
        ScopedEnv home("HOME", "/home/u");
        EXPECT_EQ(CUserProfile("QUENDAL", "KORVALIN").Location(),
                  "/home/u/.config/QUENDAL/KORVALIN.conf");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
        ScopedEnv home("HOME", nullptr);
        CUserProfile nowhere("QUENDAL", "KORVALIN");
        EXPECT_EQ(nowhere.Location(), "");
        EXPECT_EQ(nowhere.GetString("SETTINGS", "COMMPORT", "COM1"), "COM1");
    }
}

TEST(UserProfile, MissingFileGivesTheDefaultAndWritingIsLeftToTheDesktopProgram) {
    TempDir dir;
    CUserProfile profile = CUserProfile::At(dir / "QUENDAL/KORVALIN.conf");
    EXPECT_EQ(profile.GetString("SETTINGS", "COMMPORT", "COM1"), "COM1");
    EXPECT_EQ(profile.WriteString("SETTINGS", "COMMPORT", "COM2"), ERR_PROFILE_READ_ONLY);
    EXPECT_FALSE(SystemErrorText(ERR_PROFILE_READ_ONLY).empty());
    EXPECT_EQ(profile.GetString("SETTINGS", "COMMPORT", "COM1"), "COM1");
}

TEST(UserProfile, ReadsOnlyItsOwnSectionAndTheLastOfRepeatedKeys) {
    TempDir dir;
    const std::string path =
        WriteConf(dir,
                  "[Other]\nCOMMPORT=COM9\n[SETTINGS]\r\n; note\r\n COMMPORT = COM3 \r\nX=1\n"
                  "[General]\nwindow=\"1, 2\"\n[SETTINGS]\nCOMMPORT=COM4\n");
    EXPECT_EQ(CUserProfile::At(path).GetString("SETTINGS", "COMMPORT", "COM1"), "COM4");
    EXPECT_EQ(CUserProfile::At(path).GetString("SETTINGS", "NONE", "d"), "d");
}

// Values as the settings store writes them, and what they stand for.
struct StoredValue {
    std::string written;
    std::string value;
};

class ProfileValues : public ::testing::TestWithParam<StoredValue> {};

TEST_P(ProfileValues, AreReadAsTheStoreMeantThem) {
    TempDir dir;
    const std::string path = WriteConf(dir, "[SETTINGS]\nCOMMPORT=" + GetParam().written + "\n");
    EXPECT_EQ(CUserProfile::At(path).GetString("SETTINGS", "COMMPORT", "unset"), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ProfileValues,
    ::testing::Values(StoredValue{"COM1", "COM1"},
                      StoredValue{"/dev/serial/by-id/usb-FTDI_FT232R-if00-port0",
                                  "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"},
                      StoredValue{"\"a;b\"", "a;b"}, StoredValue{"\"x=y\"", "x=y"},
                      StoredValue{"\" lead\"", " lead"},
                      StoredValue{"back\\\\slash \\\"q\\\"", "back\\slash \"q\""},
                      StoredValue{"tab\\there", "tab\there"}, StoredValue{"@@at", "@at"},
                      StoredValue{"\\x1\\x41", std::string("\x01"
                                                           "A",
                                                           2)},
                      StoredValue{"COM3 ;remembered", "COM3"},
                      StoredValue{"\"COM3 ;x\"", "COM3 ;x"}, StoredValue{"", ""}));

}  // namespace
}  // namespace korv
