// Draws the bundled sample image: dark shapes on white with holes, nested shapes, a ring with a dot inside
// and shapes at several grey levels, so that every feature of the program has something to work on.
//
//   zelmar-sample OUTPUT.bmp

#include "image/bmp_file.h"
#include "image/image_layer.h"

#include <cstdint>
#include <iostream>
#include <vector>

namespace {

class Canvas {
public:
    Canvas(int width, int height)
        : width_(width), height_(height), bits_(static_cast<std::size_t>(width) * height * 4, 255) {}

    void pixel(int x, int y, std::uint8_t grey) {
        if (x < 0 || y < 0 || x >= width_ || y >= height_)
            return;
        std::uint8_t* p = &bits_[(static_cast<std::size_t>(y) * width_ + x) * 4];
        p[0] = p[1] = p[2] = grey;
    }

    void rect(int left, int top, int width, int height, std::uint8_t grey) {
        for (int y = top; y < top + height; ++y)
            for (int x = left; x < left + width; ++x)
                pixel(x, y, grey);
    }

    // A disc of outer radius r with an empty middle of radius hole (0: full disc).
    void ring(int cx, int cy, int r, int hole, std::uint8_t grey) {
        for (int y = cy - r; y <= cy + r; ++y)
            for (int x = cx - r; x <= cx + r; ++x) {
                const int d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                if (d2 <= r * r && d2 >= hole * hole)
                    pixel(x, y, grey);
            }
    }

    void triangle(int left, int bottom, int size, std::uint8_t grey) {
        for (int row = 0; row < size; ++row)
            for (int x = left + (size - row) / 2; x <= left + (size + row) / 2; ++x)
                pixel(x, bottom - size + row, grey);
    }

    zelmar::ImageLayer layer() const {
        return zelmar::ImageLayer(zelmar::BitmapHeader{width_, height_, 32}, bits_);
    }

private:
    int width_;
    int height_;
    std::vector<std::uint8_t> bits_;
};

zelmar::ImageLayer drawSample() {
    Canvas c(480, 360);
    // A black plate with two windows; a dot stands in the first window.
    c.rect(20, 20, 140, 100, 0);
    c.rect(35, 35, 45, 70, 255);
    c.rect(95, 35, 50, 40, 255);
    c.rect(52, 62, 10, 10, 0);
    // A ring with a dot inside.
    c.ring(250, 75, 55, 35, 30);
    c.ring(250, 75, 10, 0, 30);
    // Nested squares: dark, light, dark, light, dark.
    c.rect(340, 20, 120, 120, 20);
    c.rect(355, 35, 90, 90, 230);
    c.rect(370, 50, 60, 60, 60);
    c.rect(385, 65, 30, 30, 210);
    c.rect(393, 73, 14, 14, 0);
    // Grey levels on both sides of the light threshold (a pixel is light above 100).
    const std::uint8_t greys[] = {0, 50, 100, 101, 150, 200};
    for (int i = 0; i < 6; ++i)
        c.rect(20 + i * 55, 160, 45, 60, greys[i]);
    // A diagonal joint: two squares that meet at one corner only.
    c.rect(360, 165, 30, 30, 40);
    c.rect(390, 195, 30, 30, 40);
    // A triangle and a shape touching the image's edge.
    c.triangle(30, 340, 90, 70);
    c.rect(150, 260, 120, 100, 90);
    c.ring(210, 305, 25, 12, 255);
    c.ring(400, 300, 50, 0, 10);
    c.rect(470, 240, 10, 120, 0);
    return c.layer();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: zelmar-sample OUTPUT.bmp\n";
        return 2;
    }
    if (!zelmar::writeBmp24(argv[1], drawSample())) {
        std::cerr << "cannot write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
