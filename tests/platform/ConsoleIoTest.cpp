// Log files of a batch run: added to, never replaced, and never anything but a regular file.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "TestSupport.h"
#include "platform/ConsoleIo.h"
#include "platform/SysError.h"

namespace korv {
namespace {

TEST(LogFile, IsAddedToAcrossOpensAndRefusesWhatIsNoFile) {
    test::TempDir dir;
    const std::string path = (dir.path() / "ttyUSB0.log").string();
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
    const std::string special = (dir.path() / "fifo.log").string();
    ASSERT_EQ(::mkfifo(special.c_str(), 0600), 0);
    int err = 0;
    EXPECT_EQ(OpenForAppend(special, &err), nullptr);
    EXPECT_EQ(err, ERR_NOT_REGULAR_FILE);

    EXPECT_EQ(OpenForAppend((dir.path() / "no-such-folder/x.log").string(), &err), nullptr);
    EXPECT_EQ(err, ERR_NOT_FOUND);
}

}  // namespace
}  // namespace korv
