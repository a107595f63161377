// Writes the application icon as korvalin-<size>.png files into a folder, for the desktop entry.
// Usage: korvalin-icon DIR

#include <QGuiApplication>
#include <QString>
#include <cstdio>

#include "app/AppIcon.h"

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: korvalin-icon DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    for (int side : {32, 64, 256}) {
        const QString path = QStringLiteral("%1/korvalin-%2.png").arg(dir).arg(side);
        if (!korv::DrawAppIcon(side).save(path)) {
            std::fprintf(stderr, "korvalin-icon: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
