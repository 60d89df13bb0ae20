// The RGB histogram: exact bin counts on a tiny picture, padding rows left
// out, the generation and object id, and buffers it must not touch.
#include "orvo/colour/colour_pixelbuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace orvo;

TEST(Histogram, ClearTakesFreshId)
{
    histogram_t a, b;
    std::memset(&a, 0x7F, sizeof(a));
    histogram_clear(a);
    histogram_clear(b);
    EXPECT_EQ(a.generation, 1);
    EXPECT_EQ(a.maximum, 0.0f);
    EXPECT_EQ(a.channels[HISTOGRAM_BLUE].bins[255], 0.0f);
    EXPECT_GT(a.object_id, 0);
    EXPECT_NE(a.object_id, b.object_id);
}

TEST(Histogram, TwoPixelRgba)
{
    u8 pixels[8] = {10, 20, 30, 255, 10, 0, 0, 0};
    pixelbuffer_t buffer = pixelbuffer_view(PIXELFORMAT_RGBA8, 2, 1, 2, pixels);
    histogram_t h;
    histogram_clear(h);
    i32 id = h.object_id;
    histogram_compute(h, buffer);

    const histogram_channel_t& r = h.channels[HISTOGRAM_RED];
    const histogram_channel_t& g = h.channels[HISTOGRAM_GREEN];
    const histogram_channel_t& b = h.channels[HISTOGRAM_BLUE];
    EXPECT_EQ(r.bins[10], 2.0f);
    EXPECT_EQ(g.bins[20], 1.0f);
    EXPECT_EQ(g.bins[0], 1.0f);
    EXPECT_EQ(b.bins[30], 1.0f);
    EXPECT_EQ(b.bins[0], 1.0f);
    EXPECT_EQ(r.bins[255], 0.0f); // the alpha byte is not counted
    float total[3] = {};
    for (int c = 0; c < 3; ++c)
        for (float bin : h.channels[c].bins)
            total[c] += bin;
    EXPECT_EQ(total[0], 2.0f);
    EXPECT_EQ(total[1], 2.0f);
    EXPECT_EQ(total[2], 2.0f);
    EXPECT_EQ(r.maximum, 2.0f);
    EXPECT_EQ(g.maximum, 1.0f);
    EXPECT_EQ(b.maximum, 1.0f);
    EXPECT_EQ(h.maximum, 2.0f);
    EXPECT_EQ(h.generation, 2);
    EXPECT_EQ(h.object_id, id);
}

TEST(Histogram, RecomputeStartsFromZeroAndSkipsPadding)
{
    // 2x2 RGB8 in rows of 3 pixels: the third pixel of each row is padding
    // filled with 200 and must not be counted.
    std::vector<u8> pixels(3 * 3 * 2, 200);
    const u8 picture[2][6] = {{1, 2, 3, 1, 2, 3}, {1, 2, 3, 4, 5, 6}};
    for (int y = 0; y < 2; ++y)
        std::memcpy(&pixels[y * 9], picture[y], 6);
    pixelbuffer_t buffer = pixelbuffer_view(PIXELFORMAT_RGB8, 2, 2, 3, pixels.data());
    histogram_t h;
    histogram_clear(h);
    histogram_compute(h, buffer);
    histogram_compute(h, buffer);
    EXPECT_EQ(h.generation, 3);
    EXPECT_EQ(h.channels[HISTOGRAM_RED].bins[1], 3.0f);
    EXPECT_EQ(h.channels[HISTOGRAM_RED].bins[4], 1.0f);
    EXPECT_EQ(h.channels[HISTOGRAM_RED].bins[200], 0.0f);
    EXPECT_EQ(h.channels[HISTOGRAM_BLUE].bins[6], 1.0f);
    EXPECT_EQ(h.maximum, 3.0f);
}

TEST(Histogram, OtherBuffersLeaveItUntouched)
{
    u8 pixels[16] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    struct Case
    {
        const char* name;
        pixelbuffer_t buffer;
    };
    const Case cases[] = {
        {"L8", pixelbuffer_view(PIXELFORMAT_L8, 4, 4, 4, pixels)},
        {"LA8", pixelbuffer_view(PIXELFORMAT_LA8, 2, 2, 2, pixels)},
        {"RGB16", pixelbuffer_view(PIXELFORMAT_RGB16, 1, 1, 1, pixels)},
        {"invalid format", pixelbuffer_view(static_cast<pixelformat_t>(0x30802), 1, 1, 1, pixels)},
        {"no data", pixelbuffer_view(PIXELFORMAT_RGB8, 1, 1, 1, nullptr)},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        histogram_t h;
        histogram_clear(h);
        h.channels[HISTOGRAM_GREEN].bins[7] = 5.0f;
        histogram_t before = h;
        histogram_compute(h, c.buffer);
        EXPECT_EQ(std::memcmp(&before, &h, sizeof(h)), 0);
    }
}
