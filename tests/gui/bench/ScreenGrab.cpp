// Saves the whole screen of the current display as a PNG: screenshots of the program running
// under a virtual X server. Usage: korv_screen_grab FILE.png

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: korv_screen_grab FILE.png\n");
        return 2;
    }
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr || !screen->grabWindow(0).save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "korv_screen_grab: cannot grab the screen into %s\n", argv[1]);
        return 1;
    }
    return 0;
}
