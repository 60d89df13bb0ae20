// Which kind of picture a name, a file extension or a block of bytes holds,
// and how long the JPEG stream at the start of a block really is. Pure
// functions over views the caller owns; nothing is decoded, nothing kept.
#pragma once

#include "orvo/core/core_memory.h"
#include "orvo/core/core_string.h"

namespace orvo
{
enum imageformat_t : u32
{
    IMAGEFORMAT_JPEG = 0,
    IMAGEFORMAT_PNG = 1,
    IMAGEFORMAT_RAW = 2, // a camera's raw file; only its embedded preview is ever decoded
    IMAGEFORMAT_TGA = 3,
    IMAGEFORMAT_TIFF = 4,
    IMAGEFORMAT_UNKNOWN = 5,
};

const u32 IMAGEFORMAT_COUNT = 6;

// "JPEG", "PNG", "Raw", "TGA", "TIFF", "Unknown", by value.
extern const string_t imageformat_map[IMAGEFORMAT_COUNT];

// The name of a format; a value out of range reads as "Unknown".
string_t imageformat_to_str(u32 format);
// Exact, case-sensitive match of a zero-terminated name; anything else
// (null and "Unknown" included) gives IMAGEFORMAT_UNKNOWN.
imageformat_t imageformat_from_str(const char* name);
// A file extension with its dot, in any ASCII letter case: ".jpg", ".CR2".
imageformat_t imageformat_from_extension(const string_t& extension);
// The format found in the block's leading bytes; never IMAGEFORMAT_RAW.
imageformat_t image_compute_format(const memory_t& block);
// Length of the JPEG stream at the start of the block up to and including
// its end-of-image marker; 0 when the block is no JPEG or the marker is not
// reached inside the block.
u64 image_compute_payload(const memory_t& block);
// The marker walk itself, without testing the leading FF D8: the first two
// bytes are taken to be the start-of-image marker. 0 for fewer than 4 bytes,
// a broken marker chain or no end-of-image marker inside the block; a result
// is never longer than the block and always ends in FF D9. The one walk that
// image_compute_payload and the picture modules share.
u64 jpeg_compute_payload(const memory_t& block);
} // namespace orvo
