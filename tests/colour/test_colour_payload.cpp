// The JPEG payload walk as the picture modules see it: the same walk as the
// image-format module's, except that the first two bytes are not tested.
#include "colour_codec_helpers.h"
#include "orvo/colour/colour_pixelbuffer.h"
#include "support/image/image_writers.h"

#include <gtest/gtest.h>

using namespace orvo;
using colour_test::Block;
using lumivane_test::Bytes;

TEST(JpegPayload, MarkerSequences)
{
    Bytes trailing = {0xFF, 0xD8, 0xFF, 0xD9};
    trailing.resize(104, 0x55);
    struct Case
    {
        const char* name;
        Bytes bytes;
        u64 payload;
    };
    const Case cases[] = {
        {"minimal", {0xFF, 0xD8, 0xFF, 0xD9}, 4},
        {"trailing bytes", trailing, 4},
        {"no FF after SOI", {0xFF, 0xD8, 0x00, 0xFF, 0xD9}, 0},
        {"fill bytes", {0xFF, 0xD8, 0xFF, 0xFF, 0xFF, 0xD9}, 6},
        {"fill to the end", {0xFF, 0xD8, 0xFF, 0xFF, 0xFF}, 0},
        {"segment past the end", {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x01, 0x02}, 0},
        {"length cut off", {0xFF, 0xD8, 0xFF, 0xE0, 0x00}, 0},
        {"standalone markers", {0xFF, 0xD8, 0xFF, 0x01, 0xFF, 0xD3, 0xFF, 0xD9}, 8},
        {"segment", {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x04, 0xFF, 0xD9, 0xFF, 0xD9}, 10},
        {"scan", {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x12, 0xFF, 0x00, 0xFF, 0xD0, 0x34, 0xFF, 0xD9}, 14},
        {"scan without end", {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x12, 0xFF, 0x00}, 0},
        {"second SOI has a length", {0xFF, 0xD8, 0xFF, 0xD8, 0x00, 0x02, 0xFF, 0xD9}, 8},
        // The leading bytes are not tested: any two bytes stand for SOI.
        {"no SOI", {0x00, 0x00, 0xFF, 0xD9}, 4},
        {"three bytes", {0xFF, 0xD8, 0xFF}, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(jpeg_compute_payload(Block(c.bytes)), c.payload);
        // The format module's walk agrees wherever the block starts with SOI.
        bool soi = c.bytes.size() >= 2 && c.bytes[0] == 0xFF && c.bytes[1] == 0xD8;
        EXPECT_EQ(image_compute_payload(Block(c.bytes)), soi ? c.payload : 0u);
    }
    EXPECT_EQ(jpeg_compute_payload(memory_t{nullptr, 10}), 0u);
}

TEST(JpegPayload, RealFiles)
{
    Bytes files[] = {lumivane_test::WriteJpeg(33, 17, 3, 75), lumivane_test::WriteJpeg(8, 8, 1, 50, true),
                     lumivane_test::InsertExif(lumivane_test::WriteJpeg(16, 16, 3, 90),
                                               lumivane_test::WriteExifOrientation(3, 6))};
    for (const Bytes& file : files)
    {
        SCOPED_TRACE(file.size());
        EXPECT_EQ(jpeg_compute_payload(Block(file)), file.size());
        Bytes padded = file;
        padded.insert(padded.end(), {0x00, 0xFF, 0xD9, 0x12});
        EXPECT_EQ(jpeg_compute_payload(Block(padded)), file.size());
        Bytes cut(file.begin(), file.end() - 1);
        EXPECT_EQ(jpeg_compute_payload(Block(cut)), 0u);
    }
}
