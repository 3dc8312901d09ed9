#include "rectangle.h"

void rectangle_fill(volatile uint8_t* first_row, uint32_t rect_w, uint32_t rect_h, uint32_t pixel_bytes,
                    uint32_t row_bytes, uint8_t byte2, uint8_t byte1, uint8_t byte0)
{
    // Column col starts col * pixel_bytes into its row; stepping one pointer
    // to the row's end keeps the inner loop at its three stores.
    const uint32_t rect_row_bytes = rect_w * pixel_bytes;
    volatile uint8_t* row_start = first_row;
    for (uint32_t row = 0; row < rect_h; ++row) {
        volatile uint8_t* const row_end = row_start + rect_row_bytes;
        for (volatile uint8_t* pixel = row_start; pixel != row_end; pixel += pixel_bytes) {
            pixel[2] = byte2;
            pixel[1] = byte1;
            pixel[0] = byte0;
        }
        row_start += row_bytes;
    }
}
