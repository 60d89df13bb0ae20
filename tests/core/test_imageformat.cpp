// Image formats by name, extension and leading bytes, and the length of the
// JPEG stream: hand-made marker sequences (well formed, cut off, lying about
// their lengths) and real files written by libjpeg-turbo's cjpeg.
#include "orvo/core/core_imageformat.h"
#include "support/support_temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace orvo;

namespace
{
typedef std::vector<u8> Bytes;

memory_t Block(const Bytes& bytes)
{
    return memory_t{bytes.empty() ? nullptr : bytes.data(), bytes.size()};
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

const Bytes SOI = {0xFF, 0xD8};
const Bytes EOI = {0xFF, 0xD9};
const Bytes APP0 = {0xFF, 0xE0, 0x00, 0x06, 'J', 'F', 'I', 'F'};
const Bytes SOS = {0xFF, 0xDA, 0x00, 0x04, 0x01, 0x00};
// Entropy-coded data: FF is always followed by 00 or a restart marker.
const Bytes SCAN = {0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD0, 0x56};

Bytes ReadFile(const std::string& path)
{
    Bytes bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return bytes;
    u8 chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
    return bytes;
}
} // namespace

TEST(ImageFormat, Names)
{
    const char* names[] = {"JPEG", "PNG", "Raw", "TGA", "TIFF", "Unknown"};
    for (u32 format = 0; format < IMAGEFORMAT_COUNT; ++format)
    {
        SCOPED_TRACE(names[format]);
        string_t name = imageformat_to_str(format);
        EXPECT_EQ(std::string(name.str, name.length), names[format]);
        EXPECT_EQ(imageformat_from_str(names[format]), static_cast<imageformat_t>(format));
    }
    EXPECT_EQ(std::string(imageformat_to_str(99).str), "Unknown");
    for (const char* other : {"jpeg", "JPG", "RAW", "", " JPEG", "JPEG "})
    {
        SCOPED_TRACE(other);
        EXPECT_EQ(imageformat_from_str(other), IMAGEFORMAT_UNKNOWN);
    }
    EXPECT_EQ(imageformat_from_str(nullptr), IMAGEFORMAT_UNKNOWN);
}

TEST(ImageFormat, Extensions)
{
    struct Case
    {
        std::string extension;
        imageformat_t format;
    };
    const Case cases[] = {
        {".NEF", IMAGEFORMAT_RAW},   {".cr2", IMAGEFORMAT_RAW},       {".Cr1", IMAGEFORMAT_RAW},
        {".crw", IMAGEFORMAT_RAW},   {".raw", IMAGEFORMAT_RAW},       {".dng", IMAGEFORMAT_RAW},
        {".jpeg", IMAGEFORMAT_JPEG}, {".Jpg", IMAGEFORMAT_JPEG},      {".JPEG", IMAGEFORMAT_JPEG},
        {".png", IMAGEFORMAT_PNG},   {".tif", IMAGEFORMAT_TIFF},      {".TiFf", IMAGEFORMAT_TIFF},
        {".tga", IMAGEFORMAT_TGA},   {".targa", IMAGEFORMAT_TGA},
        // Near misses.
        {"JPG", IMAGEFORMAT_UNKNOWN}, {".jpe", IMAGEFORMAT_UNKNOWN}, {".JPGX", IMAGEFORMAT_UNKNOWN},
        {"", IMAGEFORMAT_UNKNOWN},    {".", IMAGEFORMAT_UNKNOWN},    {"x.jpg", IMAGEFORMAT_UNKNOWN},
        {".j\xc3\xa9g", IMAGEFORMAT_UNKNOWN},                    // UTF-8 bytes stay as they are
        {std::string(".JPG\0X", 6), IMAGEFORMAT_UNKNOWN},        // a zero byte does not end the text
        {".TARGAXXXXXXXXXXXXXXXXXX", IMAGEFORMAT_UNKNOWN},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.extension);
        EXPECT_EQ(imageformat_from_extension(string_make(c.extension.data(), c.extension.size())), c.format);
    }
}

TEST(ImageFormat, LeadingBytes)
{
    struct Case
    {
        const char* why;
        Bytes bytes;
        imageformat_t format;
    };
    const Case cases[] = {
        {"nothing", {}, IMAGEFORMAT_UNKNOWN},
        {"one byte", {0xFF}, IMAGEFORMAT_UNKNOWN},
        {"start of image alone", {0xFF, 0xD8}, IMAGEFORMAT_JPEG},
        {"TIFF little-endian", {'I', 'I', 0x2A, 0x00, 8, 0, 0, 0}, IMAGEFORMAT_TIFF},
        {"TIFF big-endian", {'M', 'M', 0x00, 0x2A, 0, 0, 0, 8}, IMAGEFORMAT_TIFF},
        {"TIFF header needs 8 bytes", {'I', 'I', 0x2A, 0x00, 8, 0, 0}, IMAGEFORMAT_UNKNOWN},
        {"TIFF with the wrong order mark", {'I', 'I', 0x00, 0x2A, 8, 0, 0, 0}, IMAGEFORMAT_UNKNOWN},
        {"PNG", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, IMAGEFORMAT_PNG},
        {"PNG cut to 7 bytes", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A}, IMAGEFORMAT_UNKNOWN},
        {"TGA with a colour map", {0x00, 0x01, 0x01, 0x00}, IMAGEFORMAT_TGA},
        {"TGA run-length true colour", {0x00, 0x01, 0x0A, 0x00, 0, 0, 0, 0, 0}, IMAGEFORMAT_TGA},
        {"TGA without a colour map", {0x00, 0x00, 0x02, 0x00}, IMAGEFORMAT_UNKNOWN},
        {"TGA of an unknown type", {0x00, 0x01, 0x04, 0x00}, IMAGEFORMAT_UNKNOWN},
        {"three bytes", {0x00, 0x01, 0x01}, IMAGEFORMAT_UNKNOWN},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(image_compute_format(Block(c.bytes)), c.format);
    }
    // A length with no bytes behind it is nothing.
    EXPECT_EQ(image_compute_format(memory_t{nullptr, 16}), IMAGEFORMAT_UNKNOWN);
    EXPECT_EQ(image_compute_payload(memory_t{nullptr, 16}), 0u);
}

TEST(ImagePayload, HandMadeStreams)
{
    const Bytes whole = Concat({SOI, APP0, SOS, SCAN, EOI});
    // An EXIF block carrying a thumbnail with its own end marker: skipped by length.
    const Bytes thumbnail = Concat({SOI, SOS, SCAN, EOI});
    Bytes app1 = {0xFF, 0xE1, 0x00, static_cast<u8>(2 + thumbnail.size())};
    app1.insert(app1.end(), thumbnail.begin(), thumbnail.end());
    const Bytes exif = Concat({SOI, app1, SOS, SCAN, EOI});

    struct Case
    {
        const char* why;
        Bytes bytes;
        u64 payload;
    };
    const Case cases[] = {
        {"only the start marker", SOI, 0},
        {"start and end", Concat({SOI, EOI}), 4},
        {"segments, scan and end", whole, whole.size()},
        {"bytes after the end marker", Concat({whole, {0x00, 0x11, 0xFF, 0xD9}}), whole.size()},
        {"embedded thumbnail", exif, exif.size()},
        {"markers without a length", Concat({SOI, {0xFF, 0x01, 0xFF, 0xD3}, EOI}), 8},
        {"fill bytes before a marker", Concat({SOI, {0xFF, 0xFF, 0xFF}, APP0, {0xFF, 0xFF, 0xD9}}), 2 + 3 + 8 + 3},
        {"cut off inside the scan", Concat({SOI, APP0, SOS, SCAN}), 0},
        {"cut off inside a segment", Concat({SOI, {0xFF, 0xE0, 0x00, 0x10, 1, 2, 3}}), 0},
        {"segment length far past the end", Concat({SOI, {0xFF, 0xE0, 0xFF, 0xFF, 0, 0}, EOI}), 0},
        {"segment ending exactly at the end", Concat({SOI, {0xFF, 0xE0, 0x00, 0x04, 0, 0}}), 0},
        {"segment length 0", Concat({SOI, {0xFF, 0xE0, 0x00, 0x00}, EOI}), 0},
        {"segment length 1", Concat({SOI, {0xFF, 0xE0, 0x00, 0x01}, EOI}), 0},
        {"length bytes missing", Concat({SOI, {0xFF, 0xE0, 0x00}}), 0},
        {"fill bytes up to the end", Concat({SOI, {0xFF, 0xFF}}), 0},
        {"marker code missing", Concat({SOI, {0x00, 0xFF}}), 0},
        {"no marker where one must start", Concat({SOI, {0x00, 0x01}, EOI}), 0},
        {"one byte left after a marker", Concat({SOI, {0xFF, 0xD0, 0xFF}}), 0},
        {"scan without an end", Concat({SOI, SOS, {0xFF}}), 0},
        {"scan ending in FF D9 right after its header", Concat({SOI, SOS, EOI}), 2 + SOS.size() + 2},
        {"scan of FF runs before its end", Concat({SOI, SOS, {0xFF, 0xFF, 0x00, 0xFF}, EOI}), 2 + SOS.size() + 4 + 2},
        {"scan whose last byte is FF", Concat({SOI, SOS, SCAN, {0xD9, 0xFF}}), 0},
        {"long scan without FF", Concat({SOI, SOS, Bytes(5000, 0x42), EOI}), 2 + SOS.size() + 5000 + 2},
        {"not a JPEG", {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0xFF, 0xD9}, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(image_compute_payload(Block(c.bytes)), c.payload);
        // The walk never needs a byte past the block: a copy of exactly that
        // size on the heap lets the sanitiser catch any overread.
        std::vector<u8> exact(c.bytes.begin(), c.bytes.end());
        exact.shrink_to_fit();
        EXPECT_EQ(image_compute_payload(Block(exact)), c.payload);
    }
}

TEST(ImagePayload, RealJpegsFromCjpeg)
{
    lumivane_test::TempDir temp;
    // A 48x32 colour gradient as binary PPM.
    const std::string ppm = temp.File("in.ppm");
    {
        std::FILE* f = std::fopen(ppm.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fprintf(f, "P6\n48 32\n255\n");
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 48; ++x)
            {
                u8 pixel[3] = {static_cast<u8>(x * 5), static_cast<u8>(y * 8), static_cast<u8>((x * y) & 0xFF)};
                std::fwrite(pixel, 1, 3, f);
            }
        ASSERT_EQ(std::fclose(f), 0);
    }
    for (const char* options : {"-quality 90", "-progressive", "-optimize -restart 1"})
    {
        SCOPED_TRACE(options);
        const std::string jpg = temp.File("out.jpg");
        std::string command = std::string("cjpeg ") + options + " -outfile '" + jpg + "' '" + ppm + "'";
        ASSERT_EQ(std::system(command.c_str()), 0) << "cjpeg (libjpeg-turbo-progs) must be installed: " << command;
        Bytes bytes = ReadFile(jpg);
        ASSERT_GT(bytes.size(), 100u);
        EXPECT_EQ(image_compute_format(Block(bytes)), IMAGEFORMAT_JPEG);
        EXPECT_EQ(image_compute_payload(Block(bytes)), bytes.size());

        Bytes padded = Concat({bytes, Bytes(333, 0xAB)});
        EXPECT_EQ(image_compute_payload(Block(padded)), bytes.size());

        for (size_t cut : {size_t(1), size_t(2), bytes.size() / 2, bytes.size() - 20})
        {
            SCOPED_TRACE(cut);
            Bytes truncated(bytes.begin(), bytes.end() - static_cast<long>(cut));
            EXPECT_EQ(image_compute_payload(Block(truncated)), 0u);
        }
    }
}
