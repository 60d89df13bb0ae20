// The pixel-format table, the one picture size limit and the owning pixel
// buffer. Sizes are computed in 64 bits from values checked first, so a header
// that lies about its size never reaches the allocator.
#include "orvo/colour/colour_pixelbuffer.h"

#include <cstring>

namespace orvo
{
const pixelformat_info_t pixelformat_table[PIXELFORMAT_COUNT] = {
    {PIXELFORMAT_RGB8, "RGB8", 3, 8, 3},        {PIXELFORMAT_RGBA8, "RGBA8", 4, 8, 4},
    {PIXELFORMAT_RGB16, "RGB16", 3, 16, 6},     {PIXELFORMAT_RGBA16, "RGBA16", 4, 16, 8},
    {PIXELFORMAT_L8, "L8", 1, 8, 1},            {PIXELFORMAT_LA8, "LA8", 2, 8, 2},
    {PIXELFORMAT_L16, "L16", 1, 16, 2},         {PIXELFORMAT_LA16, "LA16", 2, 16, 4},
    {PIXELFORMAT_DEPTH32, "depth32", 1, 32, 4},
};

const pixelformat_info_t* pixelformat_info(i32 format)
{
    // Ordered by the id in the low byte: 1 RGB8 .. 9 depth32.
    u32 id = static_cast<u32>(format) & 0xFF;
    if (id < 1 || id > PIXELFORMAT_COUNT)
        return nullptr;
    const pixelformat_info_t* info = &pixelformat_table[id - 1];
    return info->format == format ? info : nullptr;
}

u32 pixelformat_channels(i32 format)
{
    const pixelformat_info_t* info = pixelformat_info(format);
    return info ? info->channels : 0;
}

u32 pixelformat_bytes_per_pixel(i32 format)
{
    const pixelformat_info_t* info = pixelformat_info(format);
    return info ? info->bytes_per_pixel : 0;
}

bool image_size_is_valid(i64 width, i64 height)
{
    if (width < 1 || height < 1 || width > IMAGE_MAX_SIDE || height > IMAGE_MAX_SIDE)
        return false;
    return width * height <= IMAGE_MAX_PIXELS;
}

u64 pixelbuffer_compute_size(i32 format, i64 row_length, i64 height)
{
    u32 bytes = pixelformat_bytes_per_pixel(format);
    if (!bytes || row_length < 1 || height < 1)
        return 0;
    // Both factors are at most 2^31 and bytes at most 8: no overflow in u64.
    return static_cast<u64>(row_length) * static_cast<u64>(height) * bytes;
}

bool pixelbuffer_allocate(pixelbuffer_t& buffer, pixelformat_t format, i32 width, i32 height)
{
    if (!pixelformat_is_valid(format) || !image_size_is_valid(width, height))
        return false;
    u64 size = pixelbuffer_compute_size(format, width, height);
    if (!buffer.owns || !buffer.data || buffer.capacity < size)
    {
        u8* data = static_cast<u8*>(heap_alloc(size, 16, ORVO_HEAP_TAG));
        if (!data)
            return false;
        if (buffer.owns)
            heap_free(buffer.data, ORVO_HEAP_TAG);
        buffer.data = data;
        buffer.capacity = size;
        buffer.owns = true;
    }
    buffer.format = format;
    buffer.width = width;
    buffer.height = height;
    buffer.row_length = width;
    buffer.size = size;
    return true;
}

void pixelbuffer_release(pixelbuffer_t& buffer)
{
    if (buffer.owns)
        heap_free(buffer.data, ORVO_HEAP_TAG);
    std::memset(&buffer, 0, sizeof(buffer));
}

pixelbuffer_t pixelbuffer_view(pixelformat_t format, i32 width, i32 height, i32 row_length, u8* data)
{
    pixelbuffer_t view = {};
    view.format = format;
    view.width = width;
    view.height = height;
    view.row_length = row_length;
    view.data = data;
    view.size = data ? pixelbuffer_compute_size(format, row_length, height) : 0;
    view.capacity = view.size;
    view.owns = false;
    return view;
}
} // namespace orvo
