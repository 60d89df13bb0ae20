// The pattern, the JPEG and PNG writers (libjpeg and libpng into memory) and
// the file helpers of the picture fixtures.
#include "support/image/image_writers.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>
#include <png.h>
#include <zlib.h>

namespace lumivane_test
{
uint8_t PatternSample8(int x, int y, int c)
{
    return static_cast<uint8_t>((x * 7 + y * 13 + c * 50) & 0xFF);
}

uint16_t PatternSample16(int x, int y, int c)
{
    return static_cast<uint16_t>((x * 517 + y * 263 + c * 4099 + 0x0102) & 0xFFFF);
}

Bytes PatternPixels(int width, int height, int channels, int bits)
{
    Bytes pixels;
    pixels.reserve(static_cast<size_t>(width) * height * channels * (bits / 8));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
            {
                if (bits == 16)
                {
                    uint16_t v = PatternSample16(x, y, c);
                    uint8_t bytes[2];
                    std::memcpy(bytes, &v, 2);
                    pixels.push_back(bytes[0]);
                    pixels.push_back(bytes[1]);
                }
                else
                    pixels.push_back(PatternSample8(x, y, c));
            }
    return pixels;
}

Bytes WriteJpeg(int width, int height, int channels, int quality, bool progressive)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    jpeg_mem_dest(&cinfo, &out, &out_size);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = channels;
    cinfo.in_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (progressive)
        jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    Bytes row(static_cast<size_t>(width) * channels);
    while (cinfo.next_scanline < cinfo.image_height)
    {
        int y = cinfo.next_scanline;
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                row[x * channels + c] = PatternSample8(x, y, c);
        JSAMPROW pointer = row.data();
        jpeg_write_scanlines(&cinfo, &pointer, 1);
    }
    jpeg_finish_compress(&cinfo);
    Bytes bytes(out, out + out_size);
    jpeg_destroy_compress(&cinfo);
    free(out);
    return bytes;
}

namespace
{
struct ReferenceError
{
    jpeg_error_mgr manager;
    jmp_buf jump;
};

void ReferenceErrorExit(j_common_ptr info)
{
    longjmp(reinterpret_cast<ReferenceError*>(info->err)->jump, 1);
}
} // namespace

Bytes DecodeJpegReference(const Bytes& jpeg, int& width, int& height)
{
    jpeg_decompress_struct cinfo;
    ReferenceError error;
    cinfo.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = ReferenceErrorExit;
    jpeg_create_decompress(&cinfo);
    Bytes* pixels = new Bytes();
    if (setjmp(error.jump))
    {
        jpeg_destroy_decompress(&cinfo);
        delete pixels;
        return Bytes();
    }
    jpeg_mem_src(&cinfo, jpeg.data(), jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    width = cinfo.output_width;
    height = cinfo.output_height;
    pixels->resize(static_cast<size_t>(width) * height * 3);
    while (cinfo.output_scanline < cinfo.output_height)
    {
        JSAMPROW row = pixels->data() + static_cast<size_t>(cinfo.output_scanline) * width * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    Bytes result = std::move(*pixels);
    delete pixels;
    return result;
}

namespace
{
void PngWrite(png_structp png, png_bytep data, png_size_t length)
{
    Bytes* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void PngFlush(png_structp)
{
}

int PngChannels(int colour_type)
{
    switch (colour_type)
    {
    case PNG_COLOR_TYPE_GRAY:
    case PNG_COLOR_TYPE_PALETTE:
        return 1;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        return 2;
    case PNG_COLOR_TYPE_RGB:
        return 3;
    default:
        return 4;
    }
}
} // namespace

Bytes WritePng(const PngOptions& o)
{
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)))
    {
        png_destroy_write_struct(&png, &info);
        return Bytes();
    }
    png_set_write_fn(png, &out, PngWrite, PngFlush);
    png_set_IHDR(png, info, o.width, o.height, o.bit_depth, o.colour_type,
                 o.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    int max_value = (1 << o.bit_depth) - 1;
    if (o.colour_type == PNG_COLOR_TYPE_PALETTE)
    {
        png_color palette[256];
        for (int i = 0; i < 256; ++i)
            palette[i].red = palette[i].green = palette[i].blue = static_cast<png_byte>(i);
        png_set_PLTE(png, info, palette, max_value + 1);
        if (o.transparency)
        {
            png_byte alpha[1] = {0};
            png_set_tRNS(png, info, alpha, 1, nullptr);
        }
    }
    else if (o.transparency)
    {
        png_color_16 colour = {};
        if (o.bit_depth == 16)
        {
            colour.gray = colour.red = PatternSample16(0, 0, 0);
            colour.green = PatternSample16(0, 0, 1);
            colour.blue = PatternSample16(0, 0, 2);
        }
        else
        {
            colour.gray = colour.red = PatternSample8(0, 0, 0) & max_value;
            colour.green = PatternSample8(0, 0, 1);
            colour.blue = PatternSample8(0, 0, 2);
        }
        png_set_tRNS(png, info, nullptr, 0, &colour);
    }
    png_write_info(png, info);
    if (o.bit_depth < 8)
        png_set_packing(png);

    int channels = PngChannels(o.colour_type);
    int sample_bytes = o.bit_depth == 16 ? 2 : 1;
    std::vector<Bytes> rows(o.height, Bytes(static_cast<size_t>(o.width) * channels * sample_bytes));
    std::vector<png_bytep> pointers(o.height);
    for (int y = 0; y < o.height; ++y)
    {
        uint8_t* p = rows[y].data();
        for (int x = 0; x < o.width; ++x)
            for (int c = 0; c < channels; ++c)
            {
                if (o.bit_depth == 16)
                {
                    // PNG stores samples most significant byte first.
                    uint16_t v = PatternSample16(x, y, c);
                    *p++ = static_cast<uint8_t>(v >> 8);
                    *p++ = static_cast<uint8_t>(v & 0xFF);
                }
                else
                    *p++ = static_cast<uint8_t>(PatternSample8(x, y, c) & max_value);
            }
        pointers[y] = rows[y].data();
    }
    png_write_image(png, pointers.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

Bytes SetPngSize(const Bytes& png, uint32_t width, uint32_t height)
{
    // Signature (8), then the IHDR chunk: length (4), "IHDR", 13 data bytes, CRC.
    Bytes out = png;
    if (out.size() < 33)
        return out;
    const uint32_t values[2] = {width, height};
    for (int i = 0; i < 2; ++i)
        for (int b = 0; b < 4; ++b)
            out[16 + i * 4 + b] = static_cast<uint8_t>(values[i] >> (24 - 8 * b));
    uLong crc = crc32(0L, out.data() + 12, 17);
    for (int b = 0; b < 4; ++b)
        out[29 + b] = static_cast<uint8_t>(crc >> (24 - 8 * b));
    return out;
}

bool SaveBytes(const std::string& path, const Bytes& bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

Bytes LoadBytes(const std::string& path)
{
    Bytes bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return bytes;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
    return bytes;
}
} // namespace lumivane_test
