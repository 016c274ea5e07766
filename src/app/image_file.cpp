#include "image_file.h"

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>

#include <cstring>
#include <limits>

namespace zelmar {
namespace {

LoadedImage failure(const QString& path, const QString& reason) {
    LoadedImage result;
    result.error =
        (QStringLiteral("Не удалось загрузить изображение\r\n") + path + QStringLiteral("\r\n") + reason)
            .toStdString();
    return result;
}

QString tooLargeReason(qint64 width, qint64 height) {
    return QStringLiteral(
               "Изображение слишком велико: %1 x %2 пикселей, допускается не более %3 млн пикселей.")
        .arg(width)
        .arg(height)
        .arg(maxImagePixels / 1'000'000);
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

// Qt refuses a BMP whose header claims an absurd size without saying why; read the claim ourselves so the
// operator learns that the picture is too large rather than broken.
QSize sizeClaimedByBmpHeader(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray head = file.read(26);
    if (head.size() < 26 || !head.startsWith("BM"))
        return {};
    const auto le32 = [&head](int at) {
        return static_cast<qint32>(static_cast<quint32>(static_cast<quint8>(head[at])) |
                                   static_cast<quint32>(static_cast<quint8>(head[at + 1])) << 8 |
                                   static_cast<quint32>(static_cast<quint8>(head[at + 2])) << 16 |
                                   static_cast<quint32>(static_cast<quint8>(head[at + 3])) << 24);
    };
    const qint32 width = le32(18);
    const qint32 height = le32(22);
    if (width <= 0 || height == 0 || height == std::numeric_limits<qint32>::min())
        return {};
    return QSize(width, height < 0 ? -height : height);
}

} // namespace

LoadedImage loadImageFile(const std::string& pathText) {
    const QString path = QString::fromStdString(pathText);
    const QFileInfo info(path);
    if (!info.exists())
        return failure(path, QStringLiteral("Файл не найден."));
    if (info.isDir())
        return failure(path, QStringLiteral("Это папка, а не файл изображения."));
    if (!info.isReadable())
        return failure(path, QStringLiteral("Нет доступа к файлу на чтение."));

    QImageReader reader(path);
    // Our own pixel limit is checked below; Qt's default allocation cap (256 MB) would refuse images under
    // it.
    QImageReader::setAllocationLimit(static_cast<int>(maxImagePixels * 4 / (1024 * 1024) + 64));
    const QSize announced = reader.size();
    if (announced.isValid() && qint64{announced.width()} * announced.height() > maxImagePixels)
        return failure(path, tooLargeReason(announced.width(), announced.height()));

    QImage image = reader.read();
    if (image.isNull()) {
        const QSize claimed = sizeClaimedByBmpHeader(path);
        if (claimed.isValid() && qint64{claimed.width()} * claimed.height() > maxImagePixels)
            return failure(path, tooLargeReason(claimed.width(), claimed.height()));
    }
    if (image.isNull())
        return failure(
            path,
            QStringLiteral("Файл не является изображением или повреждён (%1).").arg(reader.errorString()));
    if (qint64{image.width()} * image.height() > maxImagePixels)
        return failure(path, tooLargeReason(image.width(), image.height()));

    image = image.hasAlphaChannel() ? flattenedOnWhite(image) : image.convertToFormat(QImage::Format_RGB32);
    if (image.isNull())
        return failure(path, QStringLiteral("Недостаточно памяти для изображения."));

    BitmapHeader header{image.width(), image.height(), 32};
    const auto rowBytes = static_cast<std::size_t>(image.width()) * 4;
    std::vector<std::uint8_t> bits(rowBytes * static_cast<std::size_t>(image.height()));
    if (static_cast<std::size_t>(image.bytesPerLine()) == rowBytes) {
        std::memcpy(bits.data(), image.constBits(), bits.size());
    } else {
        for (int y = 0; y < image.height(); ++y)
            std::memcpy(bits.data() + rowBytes * static_cast<std::size_t>(y), image.constScanLine(y),
                        rowBytes);
    }
    LoadedImage result;
    result.layer = ImageLayer(header, std::move(bits));
    return result;
}

} // namespace zelmar
