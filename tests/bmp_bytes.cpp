#include "bmp_bytes.h"

namespace zelmar::testing {
namespace {

void put16(QByteArray& out, int v) {
    out.append(static_cast<char>(v & 0xff));
    out.append(static_cast<char>((v >> 8) & 0xff));
}

void put32(QByteArray& out, qint64 v) {
    put16(out, static_cast<int>(v & 0xffff));
    put16(out, static_cast<int>((v >> 16) & 0xffff));
}

QByteArray header(int bits, int width, int height, int paletteEntries, qint64 imageBytes) {
    QByteArray out;
    const qint64 offset = 54 + qint64{paletteEntries} * 4;
    out.append("BM");
    put32(out, offset + imageBytes);
    put32(out, 0);
    put32(out, offset);
    put32(out, 40);
    put32(out, width);
    put32(out, height);
    put16(out, 1);
    put16(out, bits);
    put32(out, 0);
    put32(out, imageBytes);
    put32(out, 2835);
    put32(out, 2835);
    put32(out, paletteEntries);
    put32(out, 0);
    return out;
}

} // namespace

QByteArray bmpBytes(int bits, int width, int height, const std::function<int(int, int)>& grey) {
    const int paletteEntries = bits <= 8 ? (1 << bits) : 0;
    const int rowBytes = (width * bits + 31) / 32 * 4;
    QByteArray out = header(bits, width, height, paletteEntries, qint64{rowBytes} * height);
    for (int i = 0; i < paletteEntries; ++i) {
        const int g = bits == 1 ? i * 255 : bits == 4 ? i * 17 : i;
        out.append(static_cast<char>(g));
        out.append(static_cast<char>(g));
        out.append(static_cast<char>(g));
        out.append('\0');
    }
    for (int y = height - 1; y >= 0; --y) {
        QByteArray row(rowBytes, '\0');
        for (int x = 0; x < width; ++x) {
            const int g = grey(x, y);
            switch (bits) {
            case 1:
                if (g >= 128)
                    row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));
                break;
            case 4: {
                const int index = (g + 8) / 17;
                row[x / 2] = static_cast<char>(row[x / 2] | (x % 2 == 0 ? index << 4 : index));
                break;
            }
            case 8:
                row[x] = static_cast<char>(g);
                break;
            case 16: {
                const int c = g >> 3;
                const int v = (c << 10) | (c << 5) | c;
                row[2 * x] = static_cast<char>(v & 0xff);
                row[2 * x + 1] = static_cast<char>(v >> 8);
                break;
            }
            default:
                for (int b = 0; b < bits / 8; ++b)
                    row[x * (bits / 8) + b] = static_cast<char>(b < 3 ? g : 0);
            }
        }
        out.append(row);
    }
    return out;
}

QByteArray bmpHeaderOnly(int width, int height) {
    return header(24, width, height, 0, qint64{(width * 3 + 3) / 4 * 4} * height);
}

QByteArray blackPixelGif() {
    static const unsigned char gif[] = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01,
                                        0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff,
                                        0xff, 0x2c, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01,
                                        0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3b};
    return QByteArray(reinterpret_cast<const char*>(gif), sizeof gif);
}

} // namespace zelmar::testing
