// Pixel formats, the shared picture size limit and the owning pixel buffer:
// the table that every byte count comes from, sizes at and past each limit,
// reuse of storage and a failed allocation leaving the buffer as it was.
#include "orvo/colour/colour_pixelbuffer.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace orvo;

TEST(PixelFormat, Table)
{
    struct Case
    {
        i32 code;
        const char* name;
        u32 channels;
        u32 bytes;
    };
    const Case cases[] = {
        {0x10805, "L8", 1, 1},     {0x11007, "L16", 1, 2},  {0x12009, "depth32", 1, 4},
        {0x20806, "LA8", 2, 2},    {0x21008, "LA16", 2, 4}, {0x30801, "RGB8", 3, 3},
        {0x40802, "RGBA8", 4, 4},  {0x41003, "RGB16", 3, 6}, {0x41004, "RGBA16", 4, 8},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const pixelformat_info_t* info = pixelformat_info(c.code);
        ASSERT_NE(info, nullptr);
        EXPECT_STREQ(info->name, c.name);
        EXPECT_EQ(pixelformat_channels(c.code), c.channels);
        EXPECT_EQ(pixelformat_bytes_per_pixel(c.code), c.bytes);
        EXPECT_TRUE(pixelformat_is_valid(c.code));
    }
    // A right id with wrong upper bits, a wrong id, zero and negatives.
    const i32 invalid[] = {0, 0x30802, 0x40801, 0x1080A, 0x10800, -1, 0x7FFFFFFF, 0x110805};
    for (i32 code : invalid)
    {
        SCOPED_TRACE(code);
        EXPECT_FALSE(pixelformat_is_valid(code));
        EXPECT_EQ(pixelformat_bytes_per_pixel(code), 0u);
        EXPECT_EQ(pixelformat_channels(code), 0u);
    }
}

TEST(PixelBuffer, SizeLimit)
{
    struct Case
    {
        i64 width, height;
        bool valid;
    };
    const Case cases[] = {
        {1, 1, true},           {16384, 1, true},        {1, 16384, true},      {16384, 15258, true},
        {15625, 16000, true},   {15626, 16000, false},   {16384, 16384, false}, {16385, 1, false},
        {0, 10, false},         {10, 0, false},          {-1, 10, false},       {65500, 65500, false},
        {4294967196LL, 100, false}, // a TIFF side that reads negative as i32
        {INT64_MAX, INT64_MAX, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
        EXPECT_EQ(image_size_is_valid(c.width, c.height), c.valid);
    }
}

TEST(PixelBuffer, AllocateReusesAndReleases)
{
    pixelbuffer_t buffer = {};
    ASSERT_TRUE(pixelbuffer_allocate(buffer, PIXELFORMAT_RGB16, 5, 3));
    EXPECT_TRUE(buffer.owns);
    EXPECT_EQ(buffer.row_length, 5);
    EXPECT_EQ(buffer.size, 5u * 3u * 6u);
    EXPECT_EQ(buffer.capacity, buffer.size);
    u8* first = buffer.data;
    first[buffer.size - 1] = 0xAB; // the whole size is writable

    // Smaller fits in place.
    ASSERT_TRUE(pixelbuffer_allocate(buffer, PIXELFORMAT_L8, 4, 4));
    EXPECT_EQ(buffer.data, first);
    EXPECT_EQ(buffer.size, 16u);
    EXPECT_EQ(buffer.capacity, 90u);
    EXPECT_EQ(buffer.format, PIXELFORMAT_L8);

    // Larger moves to a new block.
    ASSERT_TRUE(pixelbuffer_allocate(buffer, PIXELFORMAT_RGBA16, 10, 10));
    EXPECT_EQ(buffer.capacity, 800u);
    buffer.data[799] = 1;

    pixelbuffer_release(buffer);
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(buffer.size, 0u);
    EXPECT_EQ(buffer.capacity, 0u);
    EXPECT_FALSE(buffer.owns);
    pixelbuffer_release(buffer); // twice is safe
}

TEST(PixelBuffer, ViewIsNeverFreedAndGetsOwnStorage)
{
    u8 storage[12] = {};
    pixelbuffer_t buffer = pixelbuffer_view(PIXELFORMAT_RGB8, 2, 2, 2, storage);
    EXPECT_EQ(buffer.size, 12u);
    EXPECT_FALSE(buffer.owns);
    // A view has enough capacity but is not ours: allocate takes new storage.
    ASSERT_TRUE(pixelbuffer_allocate(buffer, PIXELFORMAT_RGB8, 2, 2));
    EXPECT_NE(buffer.data, storage);
    EXPECT_TRUE(buffer.owns);
    pixelbuffer_release(buffer);
    buffer = pixelbuffer_view(PIXELFORMAT_RGB8, 2, 2, 2, storage);
    pixelbuffer_release(buffer); // does not free the stack array
    EXPECT_EQ(buffer.data, nullptr);
}

TEST(PixelBuffer, RefusedRequestsLeaveBufferAsItWas)
{
    pixelbuffer_t buffer = {};
    ASSERT_TRUE(pixelbuffer_allocate(buffer, PIXELFORMAT_RGB8, 8, 8));
    pixelbuffer_t before = buffer;
    struct Case
    {
        const char* name;
        pixelformat_t format;
        i32 width, height;
    };
    const Case cases[] = {
        {"invalid format", static_cast<pixelformat_t>(0x30802), 4, 4},
        {"zero width", PIXELFORMAT_RGB8, 0, 4},
        {"negative height", PIXELFORMAT_RGB8, 4, -4},
        {"too many pixels", PIXELFORMAT_L8, 16384, 16384},
        {"side too long", PIXELFORMAT_L8, 20000, 1},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(pixelbuffer_allocate(buffer, c.format, c.width, c.height));
        EXPECT_EQ(std::memcmp(&before, &buffer, sizeof(buffer)), 0);
    }

    lumivane_test::LogCapture log;
    {
        lumivane_test::FailingAllocator failing;
        EXPECT_FALSE(pixelbuffer_allocate(buffer, PIXELFORMAT_RGBA8, 100, 100));
    }
    EXPECT_EQ(std::memcmp(&before, &buffer, sizeof(buffer)), 0);
    EXPECT_TRUE(log.Contains("FATAL ERROR failed to allocate 40000 bytes"));
    pixelbuffer_release(buffer);
}
