// The codec table: every kind of file each codec must read, refuse at the
// header or fail to decode, with the pixels compared byte for byte against
// what the file holds (PNG and TIFF: the pattern it was written from; JPEG
// and raw previews: libjpeg's own decode) and the padding of each target row
// left untouched.
#include "colour_codec_helpers.h"
#include "support/support_log_capture.h"

#include <libexif/exif-format.h>

#include <functional>
#include <string>

using namespace orvo;
using namespace colour_test;
using lumivane_test::PngOptions;

namespace
{
struct CodecCase
{
    std::string name;
    image_codec_factory_t factory;
    Bytes file;
    bool header;      // read_header's result
    image_desc_t desc; // checked when the header is read
    bool decoded;     // decode's result
    Bytes expected;   // packed rows; empty: not compared
    const char* log;  // a text the log must hold; null: not checked
};

const imageorientation_t UNKNOWN = IMAGEORIENTATION_UNKNOWN;

Bytes Png(int colour_type, int bit_depth, bool interlaced = false, bool transparency = false, int width = 13,
          int height = 7)
{
    PngOptions o;
    o.width = width;
    o.height = height;
    o.colour_type = colour_type;
    o.bit_depth = bit_depth;
    o.interlaced = interlaced;
    o.transparency = transparency;
    return lumivane_test::WritePng(o);
}

// The pattern with an alpha channel added the way tRNS expansion adds it:
// transparent where the colour equals that of the first pixel.
Bytes PatternWithKeyAlpha(int width, int height, int channels, int bits)
{
    Bytes plain = lumivane_test::PatternPixels(width, height, channels, bits);
    size_t sample = bits / 8;
    size_t pixel = channels * sample;
    Bytes out;
    for (size_t at = 0; at < plain.size(); at += pixel)
    {
        out.insert(out.end(), plain.begin() + at, plain.begin() + at + pixel);
        bool key = std::memcmp(&plain[at], &plain[0], pixel) == 0;
        out.insert(out.end(), sample, key ? 0x00 : 0xFF);
    }
    return out;
}

// TIFF pictures come back as RGBA; three-channel files get an opaque alpha.
Bytes PatternRgba(int width, int height, int channels)
{
    Bytes plain = lumivane_test::PatternPixels(width, height, channels, 8);
    if (channels == 4)
        return plain;
    Bytes out;
    for (size_t at = 0; at < plain.size(); at += 3)
    {
        out.insert(out.end(), plain.begin() + at, plain.begin() + at + 3);
        out.push_back(0xFF);
    }
    return out;
}

Bytes JpegReference(const Bytes& jpeg)
{
    int width = 0, height = 0;
    return lumivane_test::DecodeJpegReference(jpeg, width, height);
}

std::vector<CodecCase> Cases()
{
    std::vector<CodecCase> cases;
    auto png_case = [&](const std::string& name, const Bytes& file, pixelformat_t format, int channels, int bits,
                        bool key_alpha = false) {
        Bytes expected = key_alpha ? PatternWithKeyAlpha(13, 7, channels, bits)
                                   : lumivane_test::PatternPixels(13, 7, channels, bits);
        cases.push_back({name, png_codec_create, file, true, {13, 7, format, UNKNOWN}, true, expected, nullptr});
    };
    png_case("png grey 8", Png(0, 8), PIXELFORMAT_L8, 1, 8);
    png_case("png grey 16", Png(0, 16), PIXELFORMAT_L16, 1, 16);
    png_case("png grey-alpha 8", Png(4, 8), PIXELFORMAT_LA8, 2, 8);
    png_case("png grey-alpha 16", Png(4, 16), PIXELFORMAT_LA16, 2, 16);
    png_case("png RGB 8", Png(2, 8), PIXELFORMAT_RGB8, 3, 8);
    png_case("png RGB 16", Png(2, 16), PIXELFORMAT_RGB16, 3, 16);
    png_case("png RGBA 8", Png(6, 8), PIXELFORMAT_RGBA8, 4, 8);
    png_case("png RGBA 16", Png(6, 16), PIXELFORMAT_RGBA16, 4, 16);
    png_case("png interlaced RGB 8", Png(2, 8, true), PIXELFORMAT_RGB8, 3, 8);
    png_case("png interlaced grey-alpha 16", Png(4, 16, true), PIXELFORMAT_LA16, 2, 16);
    // A transparency chunk adds an alpha channel: the format must say so, or
    // libpng writes 2 or 4 bytes per pixel into rows sized for 1 or 3.
    png_case("png grey 8 with tRNS", Png(0, 8, false, true), PIXELFORMAT_LA8, 1, 8, true);
    png_case("png RGB 8 with tRNS", Png(2, 8, false, true), PIXELFORMAT_RGBA8, 3, 8, true);
    png_case("png RGB 16 with tRNS", Png(2, 16, false, true), PIXELFORMAT_RGBA16, 3, 16, true);
    png_case("png interlaced RGB 8 with tRNS", Png(2, 8, true, true), PIXELFORMAT_RGBA8, 3, 8, true);

    const char* refused = "not supported";
    cases.push_back({"png palette 8", png_codec_create, Png(3, 8), false, {}, false, {}, refused});
    cases.push_back({"png palette 8 with tRNS", png_codec_create, Png(3, 8, false, true), false, {}, false, {}, refused});
    cases.push_back({"png grey 1", png_codec_create, Png(0, 1), false, {}, false, {}, refused});
    cases.push_back({"png grey 4", png_codec_create, Png(0, 4), false, {}, false, {}, refused});

    Bytes rgb = Png(2, 8, false, false, 64, 64);
    cases.push_back({"png cut in its header", png_codec_create, Cut(rgb, 20), false, {}, false, {}, "PNG decoder error"});
    cases.push_back({"png cut in its data", png_codec_create, Cut(rgb, rgb.size() / 2), true,
                     {64, 64, PIXELFORMAT_RGB8, UNKNOWN}, false, {}, "read past the end"});
    Bytes damaged = rgb;
    damaged[damaged.size() / 2] ^= 0x55; // the IDAT CRC no longer matches
    cases.push_back({"png damaged data", png_codec_create, damaged, true, {64, 64, PIXELFORMAT_RGB8, UNKNOWN}, false,
                     {}, "PNG decoder error"});
    cases.push_back({"png claims 65500x65500", png_codec_create, lumivane_test::SetPngSize(rgb, 65500, 65500), false,
                     {}, false, {}, "PNG decoder error"});
    cases.push_back({"png claims 16000x16000", png_codec_create, lumivane_test::SetPngSize(rgb, 16000, 16000), false,
                     {}, false, {}, "out of range"});
    cases.push_back({"png claims width 0", png_codec_create, lumivane_test::SetPngSize(rgb, 0, 64), false, {}, false,
                     {}, "PNG decoder error"});

    Bytes jpeg = lumivane_test::WriteJpeg(37, 21, 3, 90);
    Bytes grey_jpeg = lumivane_test::WriteJpeg(16, 9, 1, 80);
    Bytes progressive = lumivane_test::WriteJpeg(40, 30, 3, 75, true);
    cases.push_back({"jpeg RGB", jpeg_codec_create, jpeg, true, {37, 21, PIXELFORMAT_RGB8, UNKNOWN}, true,
                     JpegReference(jpeg), nullptr});
    cases.push_back({"jpeg grey", jpeg_codec_create, grey_jpeg, true, {16, 9, PIXELFORMAT_RGB8, UNKNOWN}, true,
                     JpegReference(grey_jpeg), nullptr});
    cases.push_back({"jpeg progressive", jpeg_codec_create, progressive, true, {40, 30, PIXELFORMAT_RGB8, UNKNOWN},
                     true, JpegReference(progressive), nullptr});
    // Stray bytes between segments are a warning, not damage to the picture.
    Bytes stray = jpeg;
    stray.insert(stray.begin() + 2, {0x00, 0x00});
    cases.push_back({"jpeg stray bytes before a marker", jpeg_codec_create, stray, true,
                     {37, 21, PIXELFORMAT_RGB8, UNKNOWN}, true, JpegReference(jpeg),
                     "JPEG: Corrupt JPEG data: 2 extraneous bytes before marker 0xe0"});
    cases.push_back({"jpeg cut in its header", jpeg_codec_create, Cut(jpeg, 30), false, {}, false, {}, "no picture"});
    cases.push_back({"jpeg cut in its data", jpeg_codec_create, Cut(jpeg, jpeg.size() - 200), true,
                     {37, 21, PIXELFORMAT_RGB8, UNKNOWN}, false, {}, "data ends inside the picture"});
    Bytes bad_table = jpeg;
    bad_table[FindJpegMarker(bad_table, 0xDB) + 4] = 0x07; // quantisation table 7 does not exist
    cases.push_back({"jpeg bad quantisation table", jpeg_codec_create, bad_table, false, {}, false, {},
                     "ERROR: JPEG decoder error"});
    Bytes bad_scan = jpeg;
    size_t sos = FindJpegMarker(bad_scan, 0xDA);
    bad_scan[sos + 6] = 0x33; // the first component's Huffman tables: 3, never defined
    cases.push_back({"jpeg scan names missing tables", jpeg_codec_create, bad_scan, true,
                     {37, 21, PIXELFORMAT_RGB8, UNKNOWN}, false, {}, "ERROR: JPEG decoder error"});
    cases.push_back({"jpeg claims 65500x65500", jpeg_codec_create, SetJpegSize(jpeg, 65500, 65500), false, {}, false,
                     {}, "out of range"});
    cases.push_back({"jpeg claims 20000x1", jpeg_codec_create, SetJpegSize(jpeg, 20000, 1), false, {}, false, {},
                     "out of range"});
    cases.push_back({"jpeg claims width 0", jpeg_codec_create, SetJpegSize(jpeg, 0, 21), false, {}, false, {},
                     "JPEG decoder error"});

    Bytes tiff = lumivane_test::WriteTiff(100, 20, 3);
    Bytes tiff_rgba = lumivane_test::WriteTiff(33, 40, 4);
    cases.push_back({"tiff RGB", tiff_codec_create, tiff, true, {100, 20, PIXELFORMAT_RGBA8, UNKNOWN}, true,
                     PatternRgba(100, 20, 3), nullptr});
    cases.push_back({"tiff RGBA", tiff_codec_create, tiff_rgba, true, {33, 40, PIXELFORMAT_RGBA8, UNKNOWN}, true,
                     PatternRgba(33, 40, 4), nullptr});
    cases.push_back({"tiff width reads negative", tiff_codec_create, SetTiffWidth(tiff, 0xFFFFFF9Cu), false, {},
                     false, {}, "out of range"});
    cases.push_back({"tiff width 0", tiff_codec_create, SetTiffWidth(tiff, 0), false, {}, false, {}, nullptr});
    cases.push_back({"tiff cut in its header", tiff_codec_create, Cut(tiff, 12), false, {}, false, {}, nullptr});

    Bytes preview = lumivane_test::WriteJpeg(48, 32, 3, 85);
    struct FlipCase
    {
        int exif;
        imageorientation_t orientation;
    };
    const FlipCase flips[] = {{6, IMAGEORIENTATION_ROTATE90},
                              {8, IMAGEORIENTATION_ROTATE270},
                              {3, IMAGEORIENTATION_ROTATE180},
                              {1, IMAGEORIENTATION_NONE}};
    for (const FlipCase& flip : flips)
        cases.push_back({"raw DNG, orientation " + std::to_string(flip.exif), raw_codec_create,
                         lumivane_test::WriteDng(preview, 48, 32, flip.exif), true,
                         {48, 32, PIXELFORMAT_RGB8, flip.orientation}, true, JpegReference(preview), nullptr});
    // LibRaw would allocate whatever the file claims for its preview.
    cases.push_back({"raw DNG preview claims 2 GB", raw_codec_create,
                     SetTiffTag(lumivane_test::WriteDng(preview, 48, 32, 1), 279, 0x7FFFFFF0u), false, {}, false, {},
                     "RAW preview of 2147483632 bytes"});
    cases.push_back({"raw DNG with a bitmap preview", raw_codec_create, lumivane_test::WriteDng(preview, 48, 32, 1, true),
                     false, {}, false, {}, "not a JPEG"});
    return cases;
}
} // namespace

TEST(Codec, Table)
{
    for (const CodecCase& c : Cases())
    {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.file.empty());
        lumivane_test::LogCapture log;
        OpenCodec codec(c.factory);
        // Row length 128 for the 100-pixel TIFF: row r at r x 512 bytes.
        for (int padding : {0, 28})
        {
            SCOPED_TRACE(testing::Message() << "padding " << padding);
            Decoded d = DecodeWith(codec.get(), c.file, padding);
            ASSERT_EQ(d.header, c.header);
            if (d.header)
            {
                EXPECT_EQ(d.desc.width, c.desc.width);
                EXPECT_EQ(d.desc.height, c.desc.height);
                EXPECT_EQ(d.desc.format, c.desc.format);
                EXPECT_EQ(d.desc.orientation, c.desc.orientation);
                EXPECT_EQ(d.decoded, c.decoded);
                if (d.decoded && !c.expected.empty())
                {
                    ExpectPicture(d, c.expected, c.factory != tiff_codec_create);
                }
                else if (!d.decoded && c.factory != tiff_codec_create)
                {
                    // A failed decode still never writes outside the picture.
                    for (orvo::i32 y = 0; y < d.target.height; ++y)
                        for (orvo::i32 x = d.target.width; x < d.target.row_length; ++x)
                            ASSERT_EQ(d.storage[(static_cast<size_t>(y) * d.target.row_length + x) *
                                                pixelformat_bytes_per_pixel(d.target.format)],
                                      PADDING_BYTE);
                }
            }
        }
        if (c.log)
        {
            EXPECT_TRUE(log.Contains(c.log)) << "log lacks: " << c.log;
        }
        if (c.header && c.decoded && !c.log)
        {
            EXPECT_EQ(log.Lines().size(), 0u);
        }
    }
}

TEST(Codec, WrongFormatIsRefusedSilently)
{
    Bytes files[] = {lumivane_test::WriteJpeg(8, 8, 3, 90), Png(2, 8), lumivane_test::WriteTiff(8, 8)};
    const char* names[] = {"jpeg", "png", "tiff"};
    image_codec_factory_t factories[] = {jpeg_codec_create, png_codec_create, tiff_codec_create};
    Bytes text = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'};
    for (int codec_index = 0; codec_index < 3; ++codec_index)
    {
        OpenCodec codec(factories[codec_index]);
        for (int file_index = 0; file_index < 3; ++file_index)
        {
            if (file_index == codec_index)
                continue;
            SCOPED_TRACE(testing::Message() << names[file_index] << " file to " << names[codec_index] << " codec");
            lumivane_test::LogCapture log;
            log.Clear();
            image_desc_t desc = {};
            EXPECT_FALSE(image_codec_read_header(codec.get(), Block(files[file_index]), desc));
            EXPECT_FALSE(image_codec_read_header(codec.get(), Block(text), desc));
            EXPECT_EQ(log.Lines().size(), 0u);
        }
    }
    // LibRaw recognises none of them as a raw file.
    OpenCodec raw(raw_codec_create);
    lumivane_test::LogCapture log;
    log.Clear();
    for (const Bytes& file : files)
    {
        image_desc_t desc = {};
        EXPECT_FALSE(image_codec_read_header(raw.get(), Block(file), desc));
    }
    EXPECT_EQ(log.Lines().size(), 0u);
}
