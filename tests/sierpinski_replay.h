// One Sierpinski frame worked out step by step, independently of the
// program's code, for the tests to compare against.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

// The back buffer after one frame, from the generator state the caller has set.
inline std::vector<uint8_t> sierpinski_frame_replay(int32_t width, int32_t height, uint32_t bits_per_pixel,
                                                    uint32_t angle, uint32_t iterations)
{
    std::vector<uint8_t> image((bits_per_pixel * uint32_t(width * height)) >> 3, 0);
    const int32_t r = height / 2 - 8;
    int32_t cx[3], cy[3];
    for (int i = 0; i < 3; ++i) {
        const double theta = (double(angle + 120 * i) * 3.141592653589793) / 180.0;
        const double rc = double(r) * std::cos(theta), rs = double(r) * std::sin(theta);
        cx[i] = int32_t(std::trunc(double(width / 2) + rc));
        cy[i] = int32_t(std::trunc(double(height / 2) + rs));
    }
    int32_t px = cx[0], py = cy[0];
    for (uint32_t n = 0; n < iterations; ++n) {
        const int k = std::rand() % 3;
        px = int32_t(std::trunc(0.5 + double(px + cx[k]) * 0.5));
        py = int32_t(std::trunc(0.5 + double(py + cy[k]) * 0.5));
        for (int j = 0; j < 3; ++j) {
            const int64_t d2 = int64_t(px - cx[j]) * (px - cx[j]) + int64_t(py - cy[j]) * (py - cy[j]);
            const double side2 = (3.0 * r) * r;
            const double v = (1.0 - double(d2) / side2) * 255.0;
            const uint8_t byte = std::isnan(v) || v < 0 ? 0 : uint8_t(uint32_t(v));
            image.at(((uint32_t(px) * bits_per_pixel) >> 3) + ((uint32_t(width) * py * bits_per_pixel) >> 3) + 2 - j) =
                byte;
        }
    }
    return image;
}

