// The GUI tests' entry point: one QApplication for all tests, on the offscreen platform unless
// told otherwise, with settings kept in a private folder.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>

#include "TempDir.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // The program's settings must never touch the user's own, nor those of a test process
    // running beside this one (CTest runs them in parallel): a private folder per process. The
    // standard-paths test mode would share one folder among all processes.
    korv::test::TempDir config;
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.path()));
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
