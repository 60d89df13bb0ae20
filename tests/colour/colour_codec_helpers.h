// Helpers of the codec tests: an opened codec that closes itself, one
// header-and-decode pass into a padded target whose padding must survive, the
// expected pixels of the fixtures, and byte surgery that damages files the way
// broken cameras and disks do.
#pragma once

#include "orvo/colour/colour_codec.h"
#include "support/image/image_writers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace colour_test
{
using lumivane_test::Bytes;

const orvo::u8 PADDING_BYTE = 0xCD;

inline orvo::memory_t Block(const Bytes& bytes)
{
    return orvo::memory_t{bytes.empty() ? nullptr : bytes.data(), bytes.size()};
}

class OpenCodec
{
public:
    explicit OpenCodec(orvo::image_codec_factory_t factory) : m_codec(factory())
    {
        EXPECT_NE(m_codec, nullptr);
        EXPECT_TRUE(orvo::image_codec_open(m_codec));
    }
    ~OpenCodec()
    {
        orvo::image_codec_close(m_codec);
        orvo::image_codec_destroy(m_codec);
    }
    OpenCodec(const OpenCodec&) = delete;
    OpenCodec& operator=(const OpenCodec&) = delete;
    orvo::image_codec_t* operator->() const { return m_codec; }
    orvo::image_codec_t* get() const { return m_codec; }

private:
    orvo::image_codec_t* m_codec;
};

struct Decoded
{
    bool header = false;
    orvo::image_desc_t desc = {};
    bool decoded = false;
    std::vector<orvo::u8> storage; // row_length x height pixels, padding 0xCD
    orvo::pixelbuffer_t target = {};
};

// read_header, then (when it succeeded) decode into a target padded by extra
// pixels per row.
inline Decoded DecodeWith(orvo::image_codec_t* codec, const Bytes& file, int padding = 0)
{
    Decoded d;
    d.header = orvo::image_codec_read_header(codec, Block(file), d.desc);
    if (!d.header)
        return d;
    orvo::i32 row_length = d.desc.width + padding;
    orvo::u64 size = orvo::pixelbuffer_compute_size(d.desc.format, row_length, d.desc.height);
    d.storage.assign(size, PADDING_BYTE);
    d.target = orvo::pixelbuffer_view(d.desc.format, d.desc.width, d.desc.height, row_length, d.storage.data());
    d.decoded = orvo::image_codec_decode(codec, d.target);
    return d;
}

// The picture of a decoded target must equal the packed rows; the padding of
// every row must be untouched unless the codec decodes packed rows first and
// spaces them out afterwards (TIFF), which leaves stale bytes there.
inline void ExpectPicture(const Decoded& d, const Bytes& packed, bool padding_kept = true)
{
    orvo::u64 bpp = orvo::pixelformat_bytes_per_pixel(d.target.format);
    orvo::u64 row_bytes = static_cast<orvo::u64>(d.target.width) * bpp;
    orvo::u64 stride = static_cast<orvo::u64>(d.target.row_length) * bpp;
    ASSERT_EQ(packed.size(), row_bytes * d.target.height);
    for (orvo::i32 y = 0; y < d.target.height; ++y)
    {
        const orvo::u8* row = d.storage.data() + y * stride;
        ASSERT_EQ(std::memcmp(row, packed.data() + y * row_bytes, row_bytes), 0) << "row " << y;
        for (orvo::u64 i = row_bytes; padding_kept && i < stride; ++i)
            ASSERT_EQ(row[i], PADDING_BYTE) << "padding of row " << y;
    }
}

// Offset of the first marker with this code in a JPEG, or 0.
inline size_t FindJpegMarker(const Bytes& jpeg, orvo::u8 code)
{
    for (size_t i = 2; i + 1 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == code)
            return i;
    return 0;
}

// The JPEG with its start-of-frame claiming another size.
inline Bytes SetJpegSize(const Bytes& jpeg, orvo::u16 width, orvo::u16 height)
{
    Bytes out = jpeg;
    size_t sof = FindJpegMarker(out, 0xC0);
    if (!sof)
        sof = FindJpegMarker(out, 0xC2);
    // FF C0, length (2), precision (1), height (2), width (2).
    out[sof + 5] = static_cast<orvo::u8>(height >> 8);
    out[sof + 6] = static_cast<orvo::u8>(height & 0xFF);
    out[sof + 7] = static_cast<orvo::u8>(width >> 8);
    out[sof + 8] = static_cast<orvo::u8>(width & 0xFF);
    return out;
}

// A little-endian TIFF whose first IFD holds the tag as one LONG of the given
// value: ImageWidth (256) to claim another width, StripByteCounts (279) to
// claim a longer strip.
inline Bytes SetTiffTag(const Bytes& tiff, orvo::u32 tag, orvo::u32 value)
{
    Bytes out = tiff;
    auto get16 = [&](size_t at) { return static_cast<orvo::u32>(out[at] | (out[at + 1] << 8)); };
    orvo::u32 ifd = get16(4) | (get16(6) << 16);
    orvo::u32 count = get16(ifd);
    for (orvo::u32 i = 0; i < count; ++i)
    {
        size_t entry = ifd + 2 + i * 12;
        if (get16(entry) != tag)
            continue;
        out[entry + 2] = 4; // LONG
        out[entry + 3] = 0;
        for (int b = 0; b < 4; ++b)
            out[entry + 8 + b] = static_cast<orvo::u8>(value >> (8 * b));
    }
    return out;
}

inline Bytes SetTiffWidth(const Bytes& tiff, orvo::u32 width)
{
    return SetTiffTag(tiff, 256, width);
}

inline Bytes Cut(const Bytes& bytes, size_t length)
{
    return Bytes(bytes.begin(), bytes.begin() + std::min(length, bytes.size()));
}
} // namespace colour_test
