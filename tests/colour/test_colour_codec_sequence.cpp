// Codecs over several files and calls: a damaged file followed by a good one,
// one header after another, the PNG row-pointer array growing and shrinking,
// targets that do not fit the header, decode without a header, dispatchers
// over missing functions and factories without memory.
#include "colour_codec_helpers.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"

using namespace orvo;
using namespace colour_test;

namespace
{
Bytes PatternRgb(int width, int height)
{
    return lumivane_test::PatternPixels(width, height, 3, 8);
}

Bytes Png(int width, int height)
{
    lumivane_test::PngOptions o;
    o.width = width;
    o.height = height;
    return lumivane_test::WritePng(o);
}

Bytes JpegReference(const Bytes& jpeg)
{
    int width = 0, height = 0;
    return lumivane_test::DecodeJpegReference(jpeg, width, height);
}
} // namespace

TEST(CodecSequence, DamagedFileThenGoodFile)
{
    Bytes jpeg = lumivane_test::WriteJpeg(30, 20, 3, 90);
    Bytes bad_jpeg = jpeg;
    bad_jpeg[FindJpegMarker(bad_jpeg, 0xDA) + 6] = 0x33;
    Bytes png = Png(21, 11);
    Bytes bad_png = Cut(png, png.size() - 30);
    Bytes tiff = lumivane_test::WriteTiff(24, 24, 3);
    Bytes preview = lumivane_test::WriteJpeg(32, 16, 3, 80);
    Bytes dng = lumivane_test::WriteDng(preview, 32, 16, 6);
    Bytes bitmap_dng = lumivane_test::WriteDng(preview, 32, 16, 6, true);

    struct Case
    {
        const char* name;
        image_codec_factory_t factory;
        Bytes bad, good;
        bool bad_header; // the damage shows in the header already
        Bytes expected;
    };
    Bytes tiff_expected;
    Bytes rgb = PatternRgb(24, 24);
    for (size_t i = 0; i < 24 * 24; ++i)
    {
        tiff_expected.insert(tiff_expected.end(), rgb.begin() + i * 3, rgb.begin() + i * 3 + 3);
        tiff_expected.push_back(0xFF);
    }
    const Case cases[] = {
        {"jpeg", jpeg_codec_create, bad_jpeg, jpeg, false, JpegReference(jpeg)},
        {"png", png_codec_create, bad_png, png, false, PatternRgb(21, 11)},
        {"tiff", tiff_codec_create, SetTiffWidth(tiff, 0), tiff, true, tiff_expected},
        {"raw", raw_codec_create, bitmap_dng, dng, true, JpegReference(preview)},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        lumivane_test::LogCapture log;
        OpenCodec codec(c.factory);
        for (int round = 0; round < 2; ++round)
        {
            Decoded bad = DecodeWith(codec.get(), c.bad, 3);
            EXPECT_FALSE(bad.header && bad.decoded);
            EXPECT_EQ(bad.header, !c.bad_header);
            Decoded good = DecodeWith(codec.get(), c.good, 3);
            ASSERT_TRUE(good.header);
            ASSERT_TRUE(good.decoded);
            ExpectPicture(good, c.expected, c.factory != tiff_codec_create);
        }
    }
}

TEST(CodecSequence, SecondHeaderDecidesWhatIsDecoded)
{
    Bytes first = lumivane_test::WriteJpeg(64, 48, 3, 90);
    Bytes second = lumivane_test::WriteJpeg(17, 9, 1, 70);
    OpenCodec codec(jpeg_codec_create);
    image_desc_t desc = {};
    ASSERT_TRUE(image_codec_read_header(codec.get(), Block(first), desc));
    EXPECT_EQ(desc.width, 64);
    Decoded d = DecodeWith(codec.get(), second, 2);
    ASSERT_TRUE(d.decoded);
    EXPECT_EQ(d.desc.width, 17);
    ExpectPicture(d, JpegReference(second));

    // A refused file in between leaves nothing behind to decode.
    lumivane_test::LogCapture log;
    ASSERT_TRUE(image_codec_read_header(codec.get(), Block(first), desc));
    Bytes png = Png(4, 4);
    EXPECT_FALSE(image_codec_read_header(codec.get(), Block(png), desc));
    std::vector<u8> storage(64 * 48 * 3);
    pixelbuffer_t target = pixelbuffer_view(PIXELFORMAT_RGB8, 64, 48, 64, storage.data());
    EXPECT_FALSE(image_codec_decode(codec.get(), target));
    EXPECT_TRUE(log.Contains("without a header"));
}

TEST(CodecSequence, PngRowPointersFollowThePictureHeight)
{
    OpenCodec codec(png_codec_create);
    const int heights[] = {5, 40, 3, 41, 41};
    for (int height : heights)
    {
        SCOPED_TRACE(height);
        Decoded d = DecodeWith(codec.get(), Png(9, height), 1);
        ASSERT_TRUE(d.decoded);
        ExpectPicture(d, PatternRgb(9, height));
    }
}

TEST(CodecSequence, TargetsThatDoNotFitAreRefused)
{
    Bytes jpeg = lumivane_test::WriteJpeg(20, 10, 3, 90);
    Bytes png = Png(20, 10);
    Bytes tiff = lumivane_test::WriteTiff(20, 10, 3);
    struct Target
    {
        const char* name;
        pixelformat_t format;
        i32 width, height, row_length;
        u64 size_cut; // bytes taken off the size the view would have
        bool null_data;
    };
    const Target targets[] = {
        {"other format", PIXELFORMAT_RGBA16, 20, 10, 20, 0, false},
        {"narrower", PIXELFORMAT_INVALID, 19, 10, 19, 0, false},
        {"shorter", PIXELFORMAT_INVALID, 20, 9, 20, 0, false},
        {"row length below width", PIXELFORMAT_INVALID, 20, 10, 19, 0, false},
        {"storage one byte short", PIXELFORMAT_INVALID, 20, 10, 20, 1, false},
        {"no storage", PIXELFORMAT_INVALID, 20, 10, 20, 0, true},
    };
    struct CodecFile
    {
        image_codec_factory_t factory;
        const Bytes* file;
    };
    const CodecFile codecs[] = {{jpeg_codec_create, &jpeg}, {png_codec_create, &png}, {tiff_codec_create, &tiff}};
    for (const CodecFile& cf : codecs)
    {
        OpenCodec codec(cf.factory);
        SCOPED_TRACE(codec->name.str);
        for (const Target& t : targets)
        {
            SCOPED_TRACE(t.name);
            lumivane_test::LogCapture log;
            image_desc_t desc = {};
            ASSERT_TRUE(image_codec_read_header(codec.get(), Block(*cf.file), desc));
            pixelformat_t format = t.format == PIXELFORMAT_INVALID ? desc.format : t.format;
            std::vector<u8> storage(pixelbuffer_compute_size(format, 24, 12), PADDING_BYTE);
            pixelbuffer_t target =
                pixelbuffer_view(format, t.width, t.height, t.row_length, t.null_data ? nullptr : storage.data());
            target.size -= t.size_cut;
            EXPECT_FALSE(image_codec_decode(codec.get(), target));
            EXPECT_TRUE(log.Contains("does not fit the picture"));
            for (u8 byte : storage)
                ASSERT_EQ(byte, PADDING_BYTE);
        }
    }
}

TEST(CodecSequence, DecodeOnceAfterEachHeader)
{
    image_codec_factory_t factories[] = {jpeg_codec_create, png_codec_create, tiff_codec_create, raw_codec_create};
    Bytes preview = lumivane_test::WriteJpeg(16, 16, 3, 80);
    Bytes files[] = {lumivane_test::WriteJpeg(16, 16, 3, 80), Png(16, 16), lumivane_test::WriteTiff(16, 16, 3),
                     lumivane_test::WriteDng(preview, 16, 16, 1)};
    for (int i = 0; i < 4; ++i)
    {
        OpenCodec codec(factories[i]);
        SCOPED_TRACE(codec->name.str);
        lumivane_test::LogCapture log;
        std::vector<u8> storage(16 * 16 * 4);
        image_desc_t desc = {};
        pixelbuffer_t early = pixelbuffer_view(PIXELFORMAT_RGB8, 16, 16, 16, storage.data());
        EXPECT_FALSE(image_codec_decode(codec.get(), early));
        ASSERT_TRUE(image_codec_read_header(codec.get(), Block(files[i]), desc));
        pixelbuffer_t target = pixelbuffer_view(desc.format, 16, 16, 16, storage.data());
        EXPECT_TRUE(image_codec_decode(codec.get(), target));
        EXPECT_FALSE(image_codec_decode(codec.get(), target));
        EXPECT_EQ(log.Count("without a header"), 2u);
    }
}

TEST(CodecSequence, RawCodecReopensAfterClose)
{
    Bytes preview = lumivane_test::WriteJpeg(24, 8, 3, 80);
    Bytes dng = lumivane_test::WriteDng(preview, 24, 8, 8);
    OpenCodec codec(raw_codec_create);
    for (int round = 0; round < 2; ++round)
    {
        Decoded d = DecodeWith(codec.get(), dng);
        ASSERT_TRUE(d.decoded);
        EXPECT_EQ(d.desc.orientation, IMAGEORIENTATION_ROTATE270);
        ExpectPicture(d, JpegReference(preview));
        image_codec_close(codec.get());
        ASSERT_TRUE(image_codec_open(codec.get()));
    }
}

namespace
{
int g_calls = 0;
bool CountOpen(void*)
{
    ++g_calls;
    return false;
}
bool CountHeader(void*, const memory_t&, image_desc_t&)
{
    ++g_calls;
    return true;
}
} // namespace

TEST(CodecSequence, Dispatchers)
{
    image_codec_t empty;
    image_codec_initialise(empty, string_make("empty"), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    Bytes bytes = {1, 2, 3};
    image_desc_t desc = {};
    pixelbuffer_t target = {};
    EXPECT_TRUE(image_codec_open(&empty));
    image_codec_close(&empty);
    EXPECT_FALSE(image_codec_read_header(&empty, Block(bytes), desc));
    EXPECT_FALSE(image_codec_decode(&empty, target));
    image_codec_destroy(&empty);
    image_codec_release(empty);

    image_codec_t counting;
    image_codec_initialise(counting, string_make("counting"), nullptr, CountOpen, nullptr, nullptr, CountHeader,
                           nullptr);
    g_calls = 0;
    EXPECT_FALSE(image_codec_open(&counting));
    EXPECT_TRUE(image_codec_read_header(&counting, Block(bytes), desc));
    // No bytes: the codec is not asked.
    EXPECT_FALSE(image_codec_read_header(&counting, memory_t{nullptr, 0}, desc));
    EXPECT_FALSE(image_codec_read_header(&counting, memory_t{bytes.data(), 0}, desc));
    EXPECT_EQ(g_calls, 2);
    EXPECT_FALSE(image_codec_read_header(nullptr, Block(bytes), desc));
}

TEST(CodecSequence, FactoriesWithoutMemory)
{
    image_codec_factory_t factories[] = {jpeg_codec_create, png_codec_create, raw_codec_create, tiff_codec_create};
    for (image_codec_factory_t factory : factories)
    {
        lumivane_test::LogCapture log;
        {
            lumivane_test::FailingAllocator failing;
            EXPECT_EQ(factory(), nullptr);
        }
        EXPECT_TRUE(log.Contains("FATAL ERROR failed to allocate"));
    }
}
