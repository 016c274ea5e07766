// Loading the operator's image: every depth becomes 4 bytes per pixel with the light test intact, and every
// kind of bad file gets a Russian reason that names the file. The carving's preview file, written as it is drawn.

#include "picture_files/carving_image.h"
#include "picture_files/image_file.h"
#include "bmp_bytes.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

#include <tuple>

using namespace zelmar;

namespace {

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    QFile file(dir.filePath(name));
    file.open(QIODevice::WriteOnly);
    file.write(bytes);
    return file.fileName();
}

std::uint8_t byteAt(const ImageLayer& layer, int x, int y, int component) {
    return layer.bits()[static_cast<std::size_t>(layer.geometry().indexOf(x, y) - 1 + component)];
}

// Dark and light squares in a checkerboard of 3 x 3 cells, with one grey level per row band.
int pattern(int x, int y) {
    const bool dark = ((x / 3) + (y / 3)) % 2 == 0;
    return dark ? 0 : 255;
}

// A 40 x 40 picture of the checkerboard in the given format.
QByteArray encoded(const char* format) {
    QImage image(40, 40, QImage::Format_RGB32);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x)
            image.setPixel(x, y, pattern(x, y) ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, 90);
    return bytes;
}

// Every 7th byte from the given place on flipped, the last 20 bytes left alone.
QByteArray scrambled(QByteArray bytes, int from) {
    for (qsizetype i = from; i < bytes.size() - 20; i += 7)
        bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
    return bytes;
}

} // namespace

class ImageFileTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;

private slots:
    void everyBmpDepthBecomesFourBytesPerPixel_data() {
        QTest::addColumn<int>("bits");
        for (int bits : {1, 4, 8, 16, 24, 32})
            QTest::newRow(qPrintable(QString::number(bits) + " bits")) << bits;
    }
    void everyBmpDepthBecomesFourBytesPerPixel() {
        QFETCH(int, bits);
        const int w = 11; // odd widths exercise row padding of every depth
        const int h = 7;
        const QString path =
            writeFile(dir_, QString("d%1.bmp").arg(bits), testing::bmpBytes(bits, w, h, pattern));
        const LoadedImage loaded = loadImageFile(path.toStdString());
        QVERIFY2(loaded.ok(), loaded.error.c_str());
        const PixelGeometry g = loaded.layer.geometry();
        QCOMPARE(g.width, w);
        QCOMPARE(g.height, h);
        QCOMPARE(g.bytesPerPixel, 4);
        QCOMPARE(g.stride, 4 * w);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                // RGB555 keeps five bits of each component: white comes back as 248.
                const int expected = bits == 16 ? pattern(x, y) & 0xf8 : pattern(x, y);
                QCOMPARE(int(byteAt(loaded.layer, x + 1, y + 1, 0)), expected); // blue
                QCOMPARE(int(byteAt(loaded.layer, x + 1, y + 1, 2)), expected); // red
            }
    }

    // Whatever way a picture is decoded, its layer holds exactly Qt's own reading of the file in 32-bit RGB:
    // every byte of every row, of every depth and format, from disk and from memory.
    void layerBytesAreQtsPictureInRgb32_data() {
        QTest::addColumn<QByteArray>("bytes");
        const auto greys = [](int x, int y) { return (x * 37 + y * 11) % 256; };
        for (int bits : {1, 4, 8, 16, 24, 32})
            for (const auto& [w, h] :
                 {std::pair{11, 7}, std::pair{1, 1}, std::pair{333, 45}, std::pair{64, 1}})
                QTest::newRow(qPrintable(QString("BMP %1 bits %2 x %3").arg(bits).arg(w).arg(h)))
                    << testing::bmpBytes(bits, w, h, greys);
        QImage colour(203, 61, QImage::Format_RGB32);
        for (int y = 0; y < colour.height(); ++y)
            for (int x = 0; x < colour.width(); ++x)
                colour.setPixel(x, y, qRgb(x % 256, (y * 5) % 256, (x * y) % 256));
        const auto encode = [](const QImage& image, const char* format) {
            QByteArray out;
            QBuffer buffer(&out);
            buffer.open(QIODevice::WriteOnly);
            image.save(&buffer, format, 90);
            return out;
        };
        QTest::newRow("PNG colour") << encode(colour, "PNG");
        QTest::newRow("PNG grey") << encode(colour.convertToFormat(QImage::Format_Grayscale8), "PNG");
        QTest::newRow("PNG palette") << encode(colour.convertToFormat(QImage::Format_Indexed8), "PNG");
        QTest::newRow("JPEG colour") << encode(colour, "JPEG");
        QTest::newRow("JPEG grey") << encode(colour.convertToFormat(QImage::Format_Grayscale8), "JPEG");
        QTest::newRow("GIF") << testing::blackPixelGif();
    }
    void layerBytesAreQtsPictureInRgb32() {
        QFETCH(QByteArray, bytes);
        const QImage reference = QImage::fromData(bytes).convertToFormat(QImage::Format_RGB32);
        QVERIFY(!reference.isNull());
        std::vector<std::uint8_t> expected;
        for (int y = 0; y < reference.height(); ++y)
            expected.insert(expected.end(), reference.constScanLine(y),
                            reference.constScanLine(y) + std::size_t(reference.width()) * 4);

        const LoadedImage fromMemory = loadImageBytes(bytes.toStdString(), "picture");
        QVERIFY2(fromMemory.ok(), fromMemory.error.c_str());
        QCOMPARE(fromMemory.layer.header().bmWidth, reference.width());
        QCOMPARE(fromMemory.layer.header().bmHeight, reference.height());
        QVERIFY(fromMemory.layer.bits() == expected);
        const LoadedImage fromDisk = loadImageFile(writeFile(dir_, "same", bytes).toStdString());
        QVERIFY2(fromDisk.ok(), fromDisk.error.c_str());
        QVERIFY(fromDisk.layer.bits() == expected);
    }

    void greyLevelsAroundTheThresholdSurvive() {
        // 8-bit greys 100 and 101 must stay on their sides of the light test.
        const QString path = writeFile(
            dir_, "greys.bmp", testing::bmpBytes(8, 2, 1, [](int x, int) { return x == 0 ? 100 : 101; }));
        const LoadedImage loaded = loadImageFile(path.toStdString());
        QVERIFY(loaded.ok());
        QCOMPARE(int(byteAt(loaded.layer, 1, 1, 0)), 100);
        QCOMPARE(int(byteAt(loaded.layer, 2, 1, 0)), 101);
    }

    void colourOrderIsBlueGreenRed() {
        QImage image(2, 1, QImage::Format_RGB888);
        image.setPixel(0, 0, qRgb(10, 20, 30));
        image.setPixel(1, 0, qRgb(200, 150, 100));
        const QString path = dir_.filePath("colour.png");
        QVERIFY(image.save(path));
        const LoadedImage loaded = loadImageFile(path.toStdString());
        QVERIFY(loaded.ok());
        const std::vector<std::uint8_t> expected{30, 20, 10, 255, 100, 150, 200, 255};
        QCOMPARE(loaded.layer.bits(), expected);
    }

    void otherFormatsLoad() {
        QImage image(6, 4, QImage::Format_RGB32);
        image.fill(Qt::white);
        image.setPixel(1, 1, qRgb(0, 0, 0));
        const QString png = dir_.filePath("a.png");
        const QString jpg = dir_.filePath("a.jpg");
        QVERIFY(image.save(png));
        QVERIFY(image.save(jpg, "JPEG", 100));
        for (const QString& path : {png, jpg}) {
            const LoadedImage loaded = loadImageFile(path.toStdString());
            QVERIFY2(loaded.ok(), loaded.error.c_str());
            QCOMPARE(loaded.layer.header().bmWidth, 6);
            QVERIFY(byteAt(loaded.layer, 2, 2, 0) <= 100);
            QVERIFY(byteAt(loaded.layer, 5, 4, 0) > 100);
        }
        const LoadedImage gif =
            loadImageFile(writeFile(dir_, "a.gif", testing::blackPixelGif()).toStdString());
        QVERIFY2(gif.ok(), gif.error.c_str());
        QCOMPARE(gif.layer.bits(), (std::vector<std::uint8_t>{0, 0, 0, 255}));
    }

    void transparencyBecomesWhite() {
        QImage image(2, 1, QImage::Format_ARGB32);
        image.setPixel(0, 0, qRgba(0, 0, 0, 0));   // fully transparent black: background
        image.setPixel(1, 0, qRgba(0, 0, 0, 255)); // opaque black: a shape
        const QString path = dir_.filePath("alpha.png");
        QVERIFY(image.save(path));
        const LoadedImage loaded = loadImageFile(path.toStdString());
        QVERIFY(loaded.ok());
        QCOMPARE(int(byteAt(loaded.layer, 1, 1, 0)), 255);
        QCOMPARE(int(byteAt(loaded.layer, 2, 1, 0)), 0);
    }

    void badFilesAreNamedWithAReason_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << dir_.filePath("nothing.bmp") << "Файл не найден.";
        QTest::newRow("directory") << dir_.path() << "Это папка, а не файл изображения.";
        QTest::newRow("empty") << writeFile(dir_, "empty.bmp", {}) << "не является изображением";
        QTest::newRow("text") << writeFile(dir_, "text.bmp", "just some words\n")
                              << "не является изображением";
        QTest::newRow("truncated header")
            << writeFile(dir_, "cut.bmp", testing::bmpBytes(24, 8, 8, pattern).left(30))
            << "не является изображением";
        QTest::newRow("huge header") << writeFile(dir_, "huge.bmp", testing::bmpHeaderOnly(100000, 100000))
                                     << "Изображение слишком велико: 100000 x 100000 пикселей";
        QTest::newRow("just over the limit")
            << writeFile(dir_, "over.bmp", testing::bmpHeaderOnly(10001, 10000)) << "слишком велико";
    }
    void badFilesAreNamedWithAReason() {
        QFETCH(QString, path);
        QFETCH(QString, reason);
        const LoadedImage loaded = loadImageFile(path.toStdString());
        QVERIFY(!loaded.ok());
        QVERIFY(loaded.layer.isEmpty());
        const QString error = QString::fromStdString(loaded.error);
        QVERIFY2(error.startsWith("Не удалось загрузить изображение\r\n" + path + "\r\n"), qPrintable(error));
        QVERIFY2(error.contains(reason), qPrintable(error));
    }

    // Each damaged file is refused with a reason; none loads as a picture with made-up rows, which the mill
    // would cut as if they were the operator's.
    void damagedFilesAreRefused_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        const QString cut = "Файл обрезан";
        const QString broken = "не является изображением или повреждён";
        for (int bits : {1, 4, 8, 16, 24, 32}) {
            const QByteArray whole = testing::bmpBytes(bits, 40, 40, pattern);
            QTest::newRow(qPrintable(QString("BMP %1 bits, pixels cut in half").arg(bits)))
                << whole.left(whole.size() / 2) << "half.bmp" << cut;
            QTest::newRow(qPrintable(QString("BMP %1 bits, last byte missing").arg(bits)))
                << whole.left(whole.size() - 1) << "short.bmp" << cut;
        }
        QTest::newRow("BMP, header only") << testing::bmpHeaderOnly(40, 40) << "header.bmp" << broken;

        const QByteArray png = encoded("PNG");
        QTest::newRow("PNG, empty") << QByteArray() << "empty.png" << broken;
        QTest::newRow("PNG, signature only") << png.left(8) << "sig.png" << broken;
        QTest::newRow("PNG, cut in half") << png.left(png.size() / 2) << "half.png" << cut;
        // A text chunk after the image data that claims 1.8 GB in a file of a few hundred bytes: refused before
        // the decoder sets that much aside.
        QByteArray longText = png.left(png.size() - 12);
        longText += QByteArray::fromHex("6f10a092") + "tEXt" + "Comment" + QByteArray(8, '\0');
        longText += png.right(12);
        QTest::newRow("PNG, a chunk longer than the file") << longText << "long.png" << cut;
        QTest::newRow("PNG, image data scrambled") << scrambled(png, 60) << "bad.png" << broken;

        const QByteArray jpeg = encoded("JPEG");
        QTest::newRow("JPEG, empty") << QByteArray() << "empty.jpg" << broken;
        QTest::newRow("JPEG, header only") << jpeg.left(30) << "head.jpg" << broken;
        QTest::newRow("JPEG, cut in half") << jpeg.left(jpeg.size() / 2) << "half.jpg" << cut;
        QTest::newRow("JPEG, end marker missing") << jpeg.left(jpeg.size() - 2) << "noend.jpg" << cut;
        QTest::newRow("JPEG, markers scrambled") << scrambled(jpeg, 200) << "bad.jpg" << broken;
    }
    void damagedFilesAreRefused() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, name);
        QFETCH(QString, reason);
        const QString path = writeFile(dir_, name, bytes);
        const LoadedImage loaded = loadImageFile(path.toStdString());
        QVERIFY2(!loaded.ok(), "a damaged file loaded as a picture");
        QVERIFY(loaded.layer.isEmpty());
        const QString error = QString::fromStdString(loaded.error);
        QVERIFY2(error.startsWith("Не удалось загрузить изображение\r\n" + path + "\r\n"), qPrintable(error));
        QVERIFY2(error.contains(reason), qPrintable(error));
        // The same bytes from memory get the same answer, under the name given.
        const LoadedImage fromMemory = loadImageBytes(bytes.toStdString(), name.toStdString());
        QVERIFY(!fromMemory.ok());
        QVERIFY(QString::fromStdString(fromMemory.error).contains(reason));
    }

    void wholeFilesStillLoadFromMemoryAndDisk() {
        for (const char* format : {"PNG", "JPEG"}) {
            const QByteArray bytes = encoded(format);
            const LoadedImage fromMemory = loadImageBytes(bytes.toStdString(), "whole");
            QVERIFY2(fromMemory.ok(), fromMemory.error.c_str());
            QCOMPARE(fromMemory.layer.header().bmWidth, 40);
            const LoadedImage fromDisk = loadImageFile(writeFile(dir_, "whole", bytes).toStdString());
            QVERIFY(fromDisk.ok());
            QCOMPARE(fromDisk.layer.bits(), fromMemory.layer.bits());
        }
        // A JPEG with bytes after its end marker (some cameras pad their files) is whole.
        const LoadedImage padded = loadImageBytes((encoded("JPEG") + QByteArray(64, '\0')).toStdString(), "pad");
        QVERIFY2(padded.ok(), padded.error.c_str());
    }

    void aLowerPixelLimitRefusesBeforeDecoding() {
        const QByteArray bytes = testing::bmpBytes(24, 65, 64, pattern);
        const LoadedImage refused = loadImageBytes(bytes.toStdString(), "big.bmp", 64 * 64);
        QVERIFY(!refused.ok());
        QVERIFY2(QString::fromStdString(refused.error).contains("допускается не более 4096 пикселей"),
                 refused.error.c_str());
        QVERIFY(loadImageBytes(bytes.toStdString(), "big.bmp", 65 * 64).ok());
    }

    void thinImagesLoad() {
        for (const auto& [w, h] : {std::pair{1, 1}, std::pair{1, 50}, std::pair{50, 1}}) {
            const QString path =
                writeFile(dir_, QString("thin%1x%2.bmp").arg(w).arg(h), testing::bmpBytes(24, w, h, pattern));
            const LoadedImage loaded = loadImageFile(path.toStdString());
            QVERIFY(loaded.ok());
            QCOMPARE(loaded.layer.geometry().byteCount(), qint64{w} * h * 4);
        }
    }

    // The preview is written a band of rows at a time beside the tilted view: decoded, it is the two views drawn
    // whole side by side on white, whichever is the taller, over several bands and at their edges.
    void thePreviewFileIsBothViewsDrawnWhole() {
        // The last one big enough for its rows to be compressed in two parts.
        for (const auto& [w, h, depth] : {std::tuple{37, 150, 5}, std::tuple{20, 70, 120}, std::tuple{1, 1, 3},
                                          std::tuple{5, 64, 0}, std::tuple{300, 500, 40}}) {
            Carving carving(w, h, ToolProfile{});
            for (int y = 1; y <= h; y += 3)
                for (int x = 1 + y % 4; x <= w; x += 5)
                    carving.cutAt(x, y, depth * ((x + y) % 3 + 1) / 3);
            const QString path = dir_.filePath(QString("preview%1x%2.png").arg(w).arg(h));
            QVERIFY(writePreview(path.toStdString(), carving));
            const QImage read = QImage(path).convertToFormat(QImage::Format_RGB888);
            const QImage above = imageOf(pictureOf(carving, CarvingView::Above));
            const QImage tilted = imageOf(pictureOf(carving, CarvingView::Tilted));
            QCOMPARE(read.size(), QSize(w + 8 + w, std::max(above.height(), tilted.height())));
            QImage expected(read.size(), QImage::Format_RGB888);
            expected.fill(Qt::white);
            for (int y = 0; y < expected.height(); ++y)
                for (int x = 0; x < w; ++x) {
                    if (y < above.height())
                        expected.setPixel(x, y, above.pixel(x, y));
                    if (y < tilted.height())
                        expected.setPixel(w + 8 + x, y, tilted.pixel(x, y));
                }
            QCOMPARE(read, expected);
        }
        QVERIFY(!writePreview(dir_.filePath("no/such/folder/p.png").toStdString(), Carving(4, 4, ToolProfile{})));
    }
};

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    ImageFileTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_image_file.moc"
