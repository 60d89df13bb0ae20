// The plain picture records every image-handling module shares: the pixel
// formats with their one table of channels and bytes, the pixel buffer (owning
// or a view), the header a codec reports and the one size limit every picture
// from a file or camera must pass before anything is allocated for it. This is
// the chief header of the colour library: it also brings the orientation, the
// histogram and the EXIF and JPEG stream readers.
#pragma once

#include "orvo/core/core_imageformat.h"
#include "orvo/core/core_memory.h"

#include "orvo/colour/colour_orientation.h"

namespace orvo
{
// The layout of one pixel. Channels are interleaved in the order of the name;
// 8-bit channels are unsigned bytes, 16-bit channels unsigned 16-bit values in
// the machine's byte order, depth an unsigned 32-bit value. The low byte is a
// distinct id 1..9; channel count and size come from pixelformat_table, never
// from the code's bit fields (RGB16 reads 4 in its channel field).
enum pixelformat_t : i32
{
    PIXELFORMAT_INVALID = 0,
    PIXELFORMAT_L8 = 0x10805,
    PIXELFORMAT_L16 = 0x11007,
    PIXELFORMAT_DEPTH32 = 0x12009,
    PIXELFORMAT_LA8 = 0x20806,
    PIXELFORMAT_LA16 = 0x21008,
    PIXELFORMAT_RGB8 = 0x30801,
    PIXELFORMAT_RGBA8 = 0x40802,
    PIXELFORMAT_RGB16 = 0x41003,
    PIXELFORMAT_RGBA16 = 0x41004,
};

struct pixelformat_info_t
{
    pixelformat_t format;
    const char* name; // "L8", "RGBA16", ...
    u32 channels;
    u32 bits_per_channel;
    u32 bytes_per_pixel;
};

const u32 PIXELFORMAT_COUNT = 9;
extern const pixelformat_info_t pixelformat_table[PIXELFORMAT_COUNT];

// The table's entry, or null for any value that is not a pixel format.
const pixelformat_info_t* pixelformat_info(i32 format);
inline bool pixelformat_is_valid(i32 format)
{
    return pixelformat_info(format) != nullptr;
}
// 0 for an invalid format.
u32 pixelformat_channels(i32 format);
u32 pixelformat_bytes_per_pixel(i32 format);

// A picture in memory, rows from the top down. row_length is the distance
// between two row starts in pixels (at least width; a picture inside a padded
// buffer has the padded width there). A view (owns false) points into storage
// someone else keeps; an owning buffer frees its data with
// pixelbuffer_release.
struct pixelbuffer_t
{
    pixelformat_t format;
    i32 width;
    i32 height;
    i32 row_length;
    u8* data;     // first pixel of the top row; null when empty
    u64 size;     // bytes in use: row_length * height * bytes per pixel
    u64 capacity; // bytes allocated
    bool owns;
};

// What a codec reads from a file's header.
struct image_desc_t
{
    i32 width;
    i32 height;
    pixelformat_t format;
    imageorientation_t orientation; // IMAGEORIENTATION_UNKNOWN when not known
};

// The limits of any picture that comes from a file, a camera or the network.
// A header may claim anything: 65500 x 65500 fits in 200 bytes of JPEG.
const i64 IMAGE_MAX_SIDE = 16384;
const i64 IMAGE_MAX_PIXELS = 250000000;

// True when each side lies in 1..IMAGE_MAX_SIDE and the area is at most
// IMAGE_MAX_PIXELS; computed in 64 bits, so callers pass the header's values
// before narrowing them. Logs nothing: the caller names the file.
bool image_size_is_valid(i64 width, i64 height);

// Bytes of row_length * height pixels of the format, or 0 when the format is
// invalid or a value is not positive.
u64 pixelbuffer_compute_size(i32 format, i64 row_length, i64 height);

// Sets format, width, height, row length = width and size, allocating only
// when the buffer does not own its data, has none or its capacity is below the
// new size; the old owned block is freed after the new one is obtained. False
// (buffer unchanged) for an invalid format, a size that fails
// image_size_is_valid, or an allocation failure (logged by the heap).
bool pixelbuffer_allocate(pixelbuffer_t& buffer, pixelformat_t format, i32 width, i32 height);
// Frees owned data and zeroes every field; safe twice and on a zeroed record.
void pixelbuffer_release(pixelbuffer_t& buffer);
// A view of storage the caller owns; nothing is copied or freed.
pixelbuffer_t pixelbuffer_view(pixelformat_t format, i32 width, i32 height, i32 row_length, u8* data);
} // namespace orvo

// jpeg_compute_payload, the length of the JPEG stream at the start of a block,
// comes with core_imageformat.h above: one marker walk, shared with
// image_compute_payload.

#include "orvo/colour/colour_exif.h"
#include "orvo/colour/colour_histogram.h"
