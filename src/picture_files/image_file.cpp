#include "image_file.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>

namespace zelmar {
namespace {

LoadedImage failure(const QString& path, const QString& reason) {
    LoadedImage result;
    result.error =
        (QStringLiteral("Не удалось загрузить изображение\r\n") + path + QStringLiteral("\r\n") + reason)
            .toStdString();
    return result;
}

QString tooLargeReason(qint64 width, qint64 height, std::int64_t pixelLimit) {
    const QString limit = pixelLimit >= 1'000'000 ? QStringLiteral("%1 млн").arg(pixelLimit / 1'000'000)
                                                  : QString::number(pixelLimit);
    return QStringLiteral("Изображение слишком велико: %1 x %2 пикселей, допускается не более %3 пикселей.")
        .arg(width)
        .arg(height)
        .arg(limit);
}

// Transparent parts of an image are background: they become white, which is never cut.
QImage flattenedOnWhite(const QImage& image) {
    QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < argb.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(argb.scanLine(y));
        for (int x = 0; x < argb.width(); ++x) {
            const int a = qAlpha(row[x]);
            const auto blend = [a](int c) { return (c * a + 255 * (255 - a) + 127) / 255; };
            row[x] = qRgb(blend(qRed(row[x])), blend(qGreen(row[x])), blend(qBlue(row[x])));
        }
    }
    return argb.convertToFormat(QImage::Format_RGB32);
}

// A little-endian number of size bytes at a place the caller knows to be inside bytes.
quint32 le(const QByteArray& bytes, int at, int size) {
    quint32 v = 0;
    for (int i = size - 1; i >= 0; --i)
        v = v << 8 | static_cast<quint8>(bytes[at + i]);
    return v;
}

// Qt refuses a BMP whose header claims an absurd size without saying why; read the claim ourselves so the
// operator learns that the picture is too large rather than broken.
QSize sizeClaimedByBmpHeader(QIODevice& device) {
    if (!device.seek(0))
        return {};
    const QByteArray head = device.read(26);
    if (head.size() < 26 || !head.startsWith("BM"))
        return {};
    const auto width = static_cast<qint32>(le(head, 18, 4));
    const auto height = static_cast<qint32>(le(head, 22, 4));
    if (width <= 0 || height == 0 || height == std::numeric_limits<qint32>::min())
        return {};
    return QSize(width, height < 0 ? -height : height);
}

// A big-endian number of four bytes at a place the caller knows to be inside bytes.
quint32 be32(const QByteArray& bytes, int at) {
    quint32 v = 0;
    for (int i = 0; i < 4; ++i)
        v = v << 8 | static_cast<quint8>(bytes[at + i]);
    return v;
}

// A PNG chunk that claims more bytes than the file has left: libpng sets aside the whole claim before it
// reads, so a few hundred bytes could make it ask for gigabytes. Such a file is cut off (or damaged in a
// chunk's length) and is refused before it is decoded.
bool pngChunkRunsPastEnd(QIODevice& device) {
    if (!device.seek(0) || device.read(8) != QByteArray("\x89PNG\r\n\x1a\n", 8))
        return false;
    const qint64 size = device.size();
    for (qint64 at = 8; at < size;) {
        if (!device.seek(at))
            return false;
        const QByteArray head = device.read(8);
        if (head.size() < 8)
            return true;
        const qint64 end = at + 12 + qint64{be32(head, 0)};
        if (end > size)
            return true;
        if (head.mid(4, 4) == "IEND")
            return false;
        at = end;
    }
    return false;
}

// Qt fills the rows a cut-off file no longer holds with whatever it likes (black, as often as not) and reports
// success: the mill would cut a shape that is not in the picture. An uncompressed BMP must hold every row its
// header announces, and a JPEG's last scan must reach the end-of-image marker.
bool endsEarly(QIODevice& device) {
    if (!device.seek(0))
        return false;
    const QByteArray head = device.read(34);
    if (head.startsWith("BM")) {
        if (head.size() < 26)
            return false;
        const quint32 pixelsAt = le(head, 10, 4);
        const quint32 infoSize = le(head, 14, 4);
        qint64 width = 0, height = 0, bitCount = 0;
        if (infoSize == 12) {
            width = le(head, 18, 2);
            height = le(head, 20, 2);
            bitCount = le(head, 24, 2);
        } else if (head.size() >= 34 && infoSize >= 40) {
            const quint32 compression = le(head, 30, 4);
            if (compression != 0 && compression != 3 && compression != 6)
                return false; // run-length coded: no fixed size to check against
            width = static_cast<qint32>(le(head, 18, 4));
            height = static_cast<qint32>(le(head, 22, 4));
            bitCount = le(head, 28, 2);
        } else {
            return false;
        }
        const qint64 rowBytes = (std::abs(width) * bitCount + 31) / 32 * 4;
        return device.size() < qint64{pixelsAt} + rowBytes * std::abs(height);
    }
    if (head.startsWith("\xFF\xD8")) { // JPEG
        device.seek(0);
        const QByteArray all = device.readAll();
        const qsizetype lastScan = all.lastIndexOf("\xFF\xDA");
        return lastScan >= 0 && all.indexOf("\xFF\xD9", lastScan) < 0;
    }
    return false;
}

// The layer's bytes from a decoded picture of any format: flattened, converted, copied once.
std::optional<LargeArray<std::uint8_t>> layerBytesOf(QImage image) {
    image = image.hasAlphaChannel() ? flattenedOnWhite(image) : image.convertToFormat(QImage::Format_RGB32);
    if (image.isNull())
        return std::nullopt;
    const auto rowBytes = static_cast<std::size_t>(image.width()) * 4;
    auto bits = LargeArray<std::uint8_t>::shareable(rowBytes * static_cast<std::size_t>(image.height()));
    if (static_cast<std::size_t>(image.bytesPerLine()) == rowBytes) {
        std::memcpy(bits.data(), image.constBits(), bits.size());
    } else {
        for (int y = 0; y < image.height(); ++y)
            std::memcpy(bits.data() + rowBytes * static_cast<std::size_t>(y), image.constScanLine(y),
                        rowBytes);
    }
    return bits;
}

// Reads the picture from an open device; name is what the messages call it.
LoadedImage decodeImage(QIODevice& device, const QString& name, std::int64_t pixelLimit) {
    const QString cutReason =
        QStringLiteral("Файл обрезан: в нём меньше данных изображения, чем объявлено в его заголовке.");
    if (pngChunkRunsPastEnd(device))
        return failure(name, cutReason);
    device.seek(0);
    QImageReader reader(&device);
    // Our own pixel limit is checked below; Qt's default allocation cap (256 MB) would refuse images under
    // it.
    QImageReader::setAllocationLimit(static_cast<int>(maxImagePixels * 4 / (1024 * 1024) + 64));
    const QSize announced = reader.size();
    if (announced.isValid() && qint64{announced.width()} * announced.height() > pixelLimit)
        return failure(name, tooLargeReason(announced.width(), announced.height(), pixelLimit));

    // A picture that will come as 32-bit RGB (most BMP, PNG and JPEG files) is decoded straight into the
    // layer's bytes: a big picture is then written to memory once, not decoded, converted and copied.
    LargeArray<std::uint8_t> direct;
    QImage image;
    if (announced.isValid() && !announced.isEmpty() && reader.imageFormat() == QImage::Format_RGB32) {
        direct = LargeArray<std::uint8_t>::shareable(static_cast<std::size_t>(announced.width()) * 4 *
                                                     static_cast<std::size_t>(announced.height()));
        image = QImage(direct.data(), announced.width(), announced.height(), qsizetype{announced.width()} * 4,
                       QImage::Format_RGB32);
    }
    if (!reader.read(&image))
        image = QImage();
    if (image.isNull()) {
        const QSize claimed = sizeClaimedByBmpHeader(device);
        if (claimed.isValid() && qint64{claimed.width()} * claimed.height() > pixelLimit)
            return failure(name, tooLargeReason(claimed.width(), claimed.height(), pixelLimit));
    }
    if (image.isNull())
        return failure(
            name,
            QStringLiteral("Файл не является изображением или повреждён (%1).").arg(reader.errorString()));
    if (qint64{image.width()} * image.height() > pixelLimit)
        return failure(name, tooLargeReason(image.width(), image.height(), pixelLimit));
    if (endsEarly(device))
        return failure(name, cutReason);

    const BitmapHeader header{image.width(), image.height(), 32};
    // The reader may have made a picture of its own after all (another size or format than announced).
    const bool decodedInPlace = !direct.empty() && image.constBits() == direct.data() &&
                                image.format() == QImage::Format_RGB32 && image.size() == announced &&
                                image.bytesPerLine() == qsizetype{announced.width()} * 4;
    LoadedImage result;
    if (decodedInPlace) {
        image = QImage(); // it reads our bytes: let go of them before they move into the layer
        result.layer = ImageLayer(header, std::move(direct));
        return result;
    }
    direct = {};
    std::optional<LargeArray<std::uint8_t>> bits = layerBytesOf(std::move(image));
    if (!bits)
        return failure(name, QStringLiteral("Недостаточно памяти для изображения."));
    result.layer = ImageLayer(header, std::move(*bits));
    return result;
}

} // namespace

LoadedImage loadImageFile(const std::string& pathText) {
    const QString path = QString::fromStdString(pathText);
    const QFileInfo info(path);
    if (!info.exists())
        return failure(path, QStringLiteral("Файл не найден."));
    if (info.isDir())
        return failure(path, QStringLiteral("Это папка, а не файл изображения."));
    QFile file(path);
    if (!info.isReadable() || !file.open(QIODevice::ReadOnly))
        return failure(path, QStringLiteral("Нет доступа к файлу на чтение."));
    return decodeImage(file, path, maxImagePixels);
}

LoadedImage loadImageBytes(std::string_view bytes, const std::string& name, std::int64_t pixelLimit) {
    QByteArray data = QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    return decodeImage(buffer, QString::fromStdString(name), pixelLimit);
}

} // namespace zelmar
