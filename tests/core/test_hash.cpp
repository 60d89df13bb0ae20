// The content hash against libfarmhash's own Fingerprint128 for the same
// bytes, its byte order and hex text, the text overloads, and the failures
// of the scratch block and of the targets.
#include "orvo/core/core_hash.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <farmhash.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace orvo;

namespace
{
struct ContentHash : ::testing::Test
{
    memorybuffer_t bytes;
    stringbuffer_t text;
    void SetUp() override
    {
        memorybuffer_initialise(bytes);
        stringbuffer_initialise(text);
    }
    void TearDown() override
    {
        memorybuffer_release(bytes);
        stringbuffer_release(text);
    }
};

// libfarmhash's answer written independently: low half, then high half, each
// as 16 hex digits of its bytes from least significant up.
std::string expected_text(const std::vector<char>& data)
{
    util::uint128_t f = util::Fingerprint128(data.data(), data.size());
    std::string out;
    for (uint64_t half : {util::Uint128Low64(f), util::Uint128High64(f)})
    {
        for (int i = 0; i < 8; ++i)
        {
            char digits[3];
            std::snprintf(digits, sizeof(digits), "%02x", static_cast<unsigned>((half >> (8 * i)) & 0xFF));
            out += digits;
        }
    }
    return out;
}
} // namespace

TEST_F(ContentHash, MatchesLibfarmhashForTheSameBytes)
{
    std::mt19937 random(20240611);
    // Sizes around FarmHash's internal block lengths (16, 32, 64, 128 bytes)
    // and a photo-sized block.
    for (size_t n : {0u, 1u, 3u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 64u, 65u, 127u, 128u, 129u, 1000u, 3u << 20})
    {
        SCOPED_TRACE(n);
        std::vector<char> data(n);
        for (char& c : data)
            c = static_cast<char>(random());
        const std::string expected = expected_text(data);

        ASSERT_TRUE(compute_hash(text, data.data(), n));
        EXPECT_EQ(std::string(text.str, text.length), expected);

        ASSERT_TRUE(compute_hash(bytes, data.data(), n));
        ASSERT_EQ(bytes.num_bytes, HASH_NUM_BYTES);
        std::string from_bytes;
        for (u64 i = 0; i < bytes.num_bytes; ++i)
        {
            char digits[3];
            std::snprintf(digits, sizeof(digits), "%02x", bytes.data[i]);
            from_bytes += digits;
        }
        EXPECT_EQ(from_bytes, expected);
        EXPECT_EQ(bytes.data[HASH_NUM_BYTES], 0);
    }
}

TEST_F(ContentHash, TextsAreThirtyTwoLowerCaseDigitsAndStable)
{
    const char photo[] = "IMG_0001.CR3 payload";
    ASSERT_TRUE(compute_hash(text, photo, sizeof(photo) - 1));
    const std::string first(text.str, text.length);
    ASSERT_EQ(first.size(), HASH_TEXT_LENGTH);
    EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);

    // The view overloads hash the view's length, and a hash replaces what the
    // target held.
    ASSERT_TRUE(stringbuffer_set(text, "something longer than any hash text, to be replaced"));
    ASSERT_TRUE(compute_hash(text, string_make(photo)));
    EXPECT_EQ(std::string(text.str, text.length), first);
    ASSERT_TRUE(compute_hash(bytes, string_make(photo)));
    memorybuffer_t again;
    memorybuffer_initialise(again);
    ASSERT_TRUE(compute_hash(again, photo, sizeof(photo) - 1));
    EXPECT_EQ(std::memcmp(again.data, bytes.data, HASH_NUM_BYTES), 0);
    memorybuffer_release(again);

    ASSERT_TRUE(compute_hash(text, photo, sizeof(photo) - 2));
    EXPECT_NE(std::string(text.str, text.length), first);
}

TEST_F(ContentHash, AScratchBlockThatCannotBeAllocatedGivesTheEmptyText)
{
    lumivane_test::LogCapture log;
    ASSERT_TRUE(stringbuffer_set(text, "old hash"));
    {
        lumivane_test::FailingAllocator failing;
        EXPECT_FALSE(compute_hash(text, "abc", 3));
    }
    EXPECT_EQ(text.length, 0u);
    EXPECT_EQ(text.str, empty_str.str);
    EXPECT_TRUE(log.Contains("FATAL ERROR failed to allocate 17 bytes"));
    EXPECT_TRUE(log.Contains("Failed to allocate memory: 17 bytes"));
}

TEST_F(ContentHash, AByteTargetThatCannotGrowIsLeftAsItWas)
{
    lumivane_test::LogCapture log;
    ASSERT_TRUE(memorybuffer_set(bytes, "short", 5));
    const memorybuffer_t before = bytes;
    {
        lumivane_test::FailingAllocator failing;
        EXPECT_FALSE(compute_hash(bytes, "abc", 3));
    }
    EXPECT_EQ(std::memcmp(&before, &bytes, sizeof(bytes)), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(bytes.data), "short");
}

TEST_F(ContentHash, NullDataWithALengthIsRefused)
{
    lumivane_test::LogCapture log;
    ASSERT_TRUE(stringbuffer_set(text, "old"));
    EXPECT_FALSE(compute_hash(text, nullptr, 10));
    EXPECT_EQ(text.length, 0u);
    EXPECT_FALSE(compute_hash(bytes, nullptr, 10));
    EXPECT_EQ(bytes.num_bytes, 0u);
    EXPECT_TRUE(log.Contains("compute_hash: no data for 10 bytes"));
    // No bytes at all is a valid, empty block.
    EXPECT_TRUE(compute_hash(text, nullptr, 0));
    EXPECT_EQ(std::string(text.str, text.length), expected_text({}));
}
