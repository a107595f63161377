// Writes the application icon: as korvalin-<size>.png files into a folder, for the desktop entry,
// or as one Windows icon file holding every size from 16 to 256 pixels.
// Usage: korvalin-icon DIR | korvalin-icon --ico FILE

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QString>
#include <QtEndian>
#include <cstdio>
#include <cstring>

#include "app/AppIcon.h"

namespace {

void PutLE16(QByteArray& out, quint16 v) {
    const quint16 le = qToLittleEndian(v);
    out.append(reinterpret_cast<const char*>(&le), 2);
}

void PutLE32(QByteArray& out, quint32 v) {
    const quint32 le = qToLittleEndian(v);
    out.append(reinterpret_cast<const char*>(&le), 4);
}

// One icon image as a device-independent bitmap: 32-bit BGRA rows bottom-up, then the 1-bit
// transparency mask the format still expects (all visible; the alpha channel does the work).
QByteArray DibImage(const QImage& argb) {
    const int side = argb.width();
    QByteArray out;
    PutLE32(out, 40);
    PutLE32(out, static_cast<quint32>(side));
    PutLE32(out, static_cast<quint32>(side * 2));  // colour rows and mask rows together
    PutLE16(out, 1);
    PutLE16(out, 32);
    for (int i = 0; i < 6; ++i) {
        PutLE32(out, 0);
    }
    for (int y = side - 1; y >= 0; --y) {
        const auto* row = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
        for (int x = 0; x < side; ++x) {
            const QRgb p = row[x];
            const char bgra[4] = {static_cast<char>(qBlue(p)), static_cast<char>(qGreen(p)),
                                  static_cast<char>(qRed(p)), static_cast<char>(qAlpha(p))};
            out.append(bgra, 4);
        }
    }
    const int maskStride = ((side + 31) / 32) * 4;
    out.append(QByteArray(maskStride * side, '\0'));
    return out;
}

QByteArray PngImage(const QImage& argb) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    argb.save(&buffer, "PNG");
    return png;
}

int WriteIco(const QString& path) {
    const int sides[] = {16, 24, 32, 48, 64, 128, 256};
    QByteArray images[std::size(sides)];
    for (size_t i = 0; i < std::size(sides); ++i) {
        // Straight (not premultiplied) alpha is what both image kinds store.
        const QImage argb =
            korv::DrawAppIcon(sides[i]).toImage().convertToFormat(QImage::Format_ARGB32);
        // The largest size is stored compressed, as the system's own icons are.
        images[i] = sides[i] >= 256 ? PngImage(argb) : DibImage(argb);
    }
    QByteArray out;
    PutLE16(out, 0);
    PutLE16(out, 1);
    PutLE16(out, static_cast<quint16>(std::size(sides)));
    quint32 offset = 6 + 16 * static_cast<quint32>(std::size(sides));
    for (size_t i = 0; i < std::size(sides); ++i) {
        const char side = static_cast<char>(sides[i] >= 256 ? 0 : sides[i]);  // 0 means 256
        out.append(side);
        out.append(side);
        out.append('\0');  // no palette
        out.append('\0');
        PutLE16(out, 1);
        PutLE16(out, 32);
        PutLE32(out, static_cast<quint32>(images[i].size()));
        PutLE32(out, offset);
        offset += static_cast<quint32>(images[i].size());
    }
    for (const QByteArray& image : images) {
        out.append(image);
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(out) != out.size()) {
        std::fprintf(stderr, "korvalin-icon: cannot write %s\n", qPrintable(path));
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--ico") == 0) {
        return WriteIco(QString::fromLocal8Bit(argv[2]));
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: korvalin-icon DIR | korvalin-icon --ico FILE\n");
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
