// Log files of a batch run: added to, never replaced, and never anything but a regular file.

#include <gtest/gtest.h>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "TempDir.h"
#include "platform/ConsoleIo.h"
#include "platform/SysError.h"

namespace korv {
namespace {

TEST(LogFile, IsAddedToAcrossOpensAndRefusesWhatIsNoFile) {
    test::TempDir dir;
    const std::string path = dir / "ttyUSB0.log";
    for (const char* text : {"first run\n", "second run\n"}) {
        int err = 0;
        std::FILE* file = OpenForAppend(path, &err);
        ASSERT_NE(file, nullptr) << SystemErrorText(err);
        std::fputs(text, file);
        std::fclose(file);
    }
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "first run\nsecond run\n");

    // A FIFO in the log's place: refused at once instead of waiting for a reader.
    const std::string special = test::MakeSpecialFile(dir);
    ASSERT_FALSE(special.empty());
    int err = 0;
    EXPECT_EQ(OpenForAppend(special, &err), nullptr);
    EXPECT_EQ(err, ERR_NOT_REGULAR_FILE);

    EXPECT_EQ(OpenForAppend(dir / "no-such-folder/x.log", &err), nullptr);
    EXPECT_EQ(err, ERR_NOT_FOUND);
}

}  // namespace
}  // namespace korv
