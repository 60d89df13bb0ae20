// The body of the codec fuzz targets: one codec instance for the whole run
// (as the image cache keeps one), a header read, the shared size check, and a
// decode into a padded target followed by guard bytes that must survive.
#pragma once

#include "orvo/colour/colour_codec.h"
#include "orvo/core/core_log.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fuzz_colour
{
// Pictures larger than this are not decoded here: the header and size check
// still run, and the fuzzer keeps its speed and memory.
const orvo::u64 MAX_DECODE_BYTES = 48ull * 1024 * 1024;
const orvo::i32 ROW_PADDING = 3;
const size_t GUARD_BYTES = 64;
const orvo::u8 GUARD = 0xA5;

inline int FuzzCodec(orvo::image_codec_factory_t factory, const uint8_t* data, size_t size,
                     orvo::pixelformat_t only_format)
{
    using namespace orvo;
    static image_codec_t* codec = nullptr;
    if (!codec)
    {
        log_enable(0xFF, LOGMODULE_IMAGE, false); // decoder complaints are expected
        codec = factory();
        if (!codec || !image_codec_open(codec))
            __builtin_trap();
    }
    image_desc_t desc = {};
    if (!image_codec_read_header(codec, memory_t{size ? data : nullptr, size}, desc))
        return 0;
    if (!image_size_is_valid(desc.width, desc.height) || !pixelformat_is_valid(desc.format))
        __builtin_trap();
    if (only_format != PIXELFORMAT_INVALID && desc.format != only_format)
        __builtin_trap();
    if (desc.orientation < IMAGEORIENTATION_NONE || desc.orientation > IMAGEORIENTATION_UNKNOWN)
        __builtin_trap();

    i32 row_length = desc.width + ROW_PADDING;
    u64 bytes = pixelbuffer_compute_size(desc.format, row_length, desc.height);
    if (bytes == 0)
        __builtin_trap();
    if (bytes > MAX_DECODE_BYTES)
        return 0;
    std::vector<u8> storage(bytes + GUARD_BYTES, GUARD);
    pixelbuffer_t target = pixelbuffer_view(desc.format, desc.width, desc.height, row_length, storage.data());
    image_codec_decode(codec, target);
    for (size_t i = 0; i < GUARD_BYTES; ++i)
        if (storage[bytes + i] != GUARD)
            __builtin_trap();
    return 0;
}
} // namespace fuzz_colour
