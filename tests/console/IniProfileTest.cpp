#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "ChildProcess.h"
#include "console/IniProfile.h"

namespace korv {
namespace {

using test::ReadWholeFile;
using test::TempDir;
using test::WriteWholeFile;

TEST(IniProfilePath, FollowsTheDesktopSettingsLocation) {
    EXPECT_EQ(CIniProfile::DefaultPath("/x/cfg", "/home/u"), "/x/cfg/QUENDAL/KORVALIN.conf");
    EXPECT_EQ(CIniProfile::DefaultPath(nullptr, "/home/u"),
              "/home/u/.config/QUENDAL/KORVALIN.conf");
    // A relative XDG_CONFIG_HOME is invalid and ignored.
    EXPECT_EQ(CIniProfile::DefaultPath("rel", "/home/u"), "/home/u/.config/QUENDAL/KORVALIN.conf");
    EXPECT_EQ(CIniProfile::DefaultPath(nullptr, nullptr), "");
}

TEST(IniProfile, MissingFileGivesTheDefault) {
    TempDir dir;
    CIniProfile profile(dir / "QUENDAL/KORVALIN.conf");
    EXPECT_EQ(profile.GetProfileString("SETTINGS", "COMMPORT", "COM1"), "COM1");
}

TEST(IniProfile, WritesTheFormatTheDesktopSettingsRead) {
    TempDir dir;
    const std::string path = dir / "QUENDAL/KORVALIN.conf";
    CIniProfile profile(path);
    profile.WriteProfileString("SETTINGS", "COMMPORT", "ttyUSB0");
    EXPECT_EQ(profile.LastWriteError(), 0);
    EXPECT_EQ(ReadWholeFile(path), "[SETTINGS]\nCOMMPORT=ttyUSB0\n");
    profile.WriteProfileString("SETTINGS", "COMMPORT", "COM2");
    EXPECT_EQ(ReadWholeFile(path), "[SETTINGS]\nCOMMPORT=COM2\n");
    EXPECT_EQ(profile.GetProfileString("SETTINGS", "COMMPORT", "COM1"), "COM2");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(IniProfile, KeepsWhatOthersWrote) {
    TempDir dir;
    const std::string path = dir / "KORVALIN.conf";
    WriteWholeFile(path,
                   "[General]\nwindow=\"1, 2\"\n\n[SETTINGS]\nOTHER=x\nCOMMPORT=COM1\n\n"
                   "[Later]\nk=v\n");
    CIniProfile profile(path);
    profile.WriteProfileString("SETTINGS", "COMMPORT", "/dev/ttyACM0");
    EXPECT_EQ(ReadWholeFile(path),
              "[General]\nwindow=\"1, 2\"\n\n[SETTINGS]\nOTHER=x\nCOMMPORT=/dev/ttyACM0\n\n"
              "[Later]\nk=v\n");
    // A section without the key gets it before the blank line that ends the section.
    WriteWholeFile(path, "[SETTINGS]\nOTHER=x\n\n[Later]\nk=v\n");
    profile.WriteProfileString("SETTINGS", "COMMPORT", "COM4");
    EXPECT_EQ(ReadWholeFile(path), "[SETTINGS]\nOTHER=x\nCOMMPORT=COM4\n\n[Later]\nk=v\n");
    WriteWholeFile(path, "[Later]\nk=v\n");
    profile.WriteProfileString("SETTINGS", "COMMPORT", "COM5");
    EXPECT_EQ(ReadWholeFile(path), "[Later]\nk=v\n\n[SETTINGS]\nCOMMPORT=COM5\n");
}

TEST(IniProfile, KeysOfOtherSectionsAreNotTaken) {
    TempDir dir;
    const std::string path = dir / "KORVALIN.conf";
    WriteWholeFile(path, "[Other]\nCOMMPORT=COM9\n[SETTINGS]\r\n; note\r\n COMMPORT = COM3 \r\n");
    CIniProfile profile(path);
    EXPECT_EQ(profile.GetProfileString("SETTINGS", "COMMPORT", "COM1"), "COM3");
}

struct EscapeCase {
    std::string value;
    std::string written;
};

class IniEscaping : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(IniEscaping, RoundTrips) {
    EXPECT_EQ(CIniProfile::EscapeValue(GetParam().value), GetParam().written);
    EXPECT_EQ(CIniProfile::UnescapeValue(GetParam().written), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Values, IniEscaping,
    ::testing::Values(EscapeCase{"COM1", "COM1"},
                      EscapeCase{"/dev/serial/by-id/usb-FTDI_FT232R-if00-port0",
                                 "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"},
                      EscapeCase{"a;b", "\"a;b\""}, EscapeCase{"a,b", "\"a,b\""},
                      EscapeCase{"x=y", "\"x=y\""}, EscapeCase{" lead", "\" lead\""},
                      EscapeCase{"back\\slash \"q\"", "back\\\\slash \\\"q\\\""},
                      EscapeCase{"tab\there", "tab\\there"}, EscapeCase{"@at", "@@at"},
                      EscapeCase{std::string("\x01"
                                             "A",
                                             2),
                                 "\\x1\\x41"},
                      EscapeCase{"", ""}));

TEST(IniProfile, ReadsACommentAfterAnUnquotedValueAsAComment) {
    EXPECT_EQ(CIniProfile::UnescapeValue("COM3 ;remembered"), "COM3");
    EXPECT_EQ(CIniProfile::UnescapeValue("\"COM3 ;x\""), "COM3 ;x");
}

TEST(IniProfile, AFailedWriteLeavesTheOldFile) {
    TempDir dir;
    // The folder the file should be in is a file: it cannot be made.
    WriteWholeFile(dir / "QUENDAL", "not a folder");
    CIniProfile profile(dir / "QUENDAL/KORVALIN.conf");
    profile.WriteProfileString("SETTINGS", "COMMPORT", "COM2");
    EXPECT_NE(profile.LastWriteError(), 0);
    EXPECT_EQ(ReadWholeFile(dir / "QUENDAL"), "not a folder");
}

}  // namespace
}  // namespace korv
