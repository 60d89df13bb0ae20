// Base64: the RFC 4648 vectors both ways, round trips of every byte value,
// the lenient decoding rules (padding counts, characters outside the
// alphabet) and the failures that leave an empty target.
#include "orvo/core/core_base64.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace orvo;

namespace
{
struct Base64Text : ::testing::Test
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

    std::string Decoded() const
    {
        return bytes.data ? std::string(reinterpret_cast<const char*>(bytes.data), bytes.num_bytes) : std::string();
    }
};
} // namespace

TEST_F(Base64Text, Rfc4648VectorsEncodeAndDecode)
{
    struct Case
    {
        const char* plain;
        const char* encoded;
    };
    const Case cases[] = {
        {"f", "Zg=="},       {"fo", "Zm8="},       {"foo", "Zm9v"},        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xff\xfe\xfd", "//79"}, {"\xfb\xff", "+/8="},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.plain);
        ASSERT_TRUE(memorybuffer_set(bytes, c.plain, std::strlen(c.plain)));
        ASSERT_TRUE(base64_encode(bytes, text));
        EXPECT_STREQ(text.str, c.encoded);
        EXPECT_EQ(text.length, std::strlen(c.encoded));

        ASSERT_TRUE(base64_decode(bytes, string_make(c.encoded)));
        EXPECT_EQ(Decoded(), c.plain);
        EXPECT_EQ(bytes.data[bytes.num_bytes], 0); // terminated like every buffer
    }
}

TEST_F(Base64Text, EveryByteValueAndLengthRoundTrips)
{
    std::string all;
    for (int i = 0; i < 256 * 3 + 2; ++i)
        all += static_cast<char>((i * 167 + 13) & 0xFF);
    for (size_t n : {1u, 2u, 3u, 4u, 5u, 255u, 256u, 257u, 770u})
    {
        SCOPED_TRACE(n);
        ASSERT_TRUE(memorybuffer_set(bytes, all.data(), n));
        ASSERT_TRUE(base64_encode(bytes, text));
        EXPECT_EQ(text.length, 4 * ((n + 2) / 3));
        for (u64 i = 0; i < text.length; ++i)
            ASSERT_TRUE(std::strchr(base64_alphabet, text.str[i]) || text.str[i] == '=') << i;
        ASSERT_TRUE(base64_decode(bytes, text));
        EXPECT_EQ(Decoded(), all.substr(0, n));
    }
}

TEST_F(Base64Text, DecodingIsLenientAboutPaddingAndForeignCharacters)
{
    struct Case
    {
        const char* name;
        std::string encoded;
        std::string expected;
    };
    const Case cases[] = {
        {"one '=' is padding", "QUI=", "AB"},
        {"two '=' are padding", "QQ==", "A"},
        {"three '=' are zero bits, not padding", "Q===", std::string("\x40\x00\x00", 3)},
        {"four '=' are zero bits", "====", std::string(3, '\0')},
        {"'=' inside the text is zero bits", "Q=Q=", std::string("\x40\x04", 2)},
        {"a character outside the alphabet is zero bits", "Q*JD", std::string("\x40\x02\x43", 3)},
        {"bytes from 0x80 up are zero bits", "Q\xC3\xBC" "D", std::string("\x40\x00\x03", 3)},
        {"a zero byte is zero bits", std::string("QU\0D", 4), std::string("\x41\x40\x03", 3)},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(base64_decode(bytes, string_t{c.encoded.data(), c.encoded.size()}));
        EXPECT_EQ(Decoded(), c.expected);
    }
}

TEST_F(Base64Text, RefusedInputLeavesAnEmptyTargetAndKeepsItsStorage)
{
    ASSERT_TRUE(memorybuffer_set(bytes, "previous contents", 17));
    u8* storage = bytes.buf;
    for (const char* bad : {"", "Zm9vY", "Zm9", "Zm9vYmFyZ"})
    {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(base64_decode(bytes, string_make(bad)));
        EXPECT_EQ(bytes.num_bytes, 0u);
        EXPECT_EQ(bytes.data, nullptr);
        EXPECT_EQ(bytes.buf, storage);
    }

    ASSERT_TRUE(stringbuffer_set(text, "previous text"));
    const char* text_storage = text.str;
    memorybuffer_t empty;
    memorybuffer_initialise(empty);
    EXPECT_FALSE(base64_encode(empty, text));
    EXPECT_EQ(text.length, 0u);
    EXPECT_EQ(text.str, empty_str.str);
    EXPECT_EQ(reinterpret_cast<const char*>(text.storage.buf), text_storage);
}

TEST_F(Base64Text, TargetsThatCannotGrowFailEmpty)
{
    lumivane_test::LogCapture log;
    ASSERT_TRUE(memorybuffer_set(bytes, "ab", 2));
    ASSERT_TRUE(stringbuffer_set(text, "xy"));
    {
        lumivane_test::FailingAllocator failing;
        EXPECT_FALSE(base64_encode(bytes, text)); // needs 4 characters, has room for 2
        EXPECT_FALSE(base64_decode(bytes, string_make("Zm9vYmFy"))); // needs 6 bytes, has room for 2
    }
    EXPECT_EQ(text.length, 0u);
    EXPECT_EQ(text.str, empty_str.str);
    EXPECT_EQ(bytes.num_bytes, 0u);
    EXPECT_EQ(bytes.data, nullptr);
    EXPECT_TRUE(log.Contains("FATAL ERROR failed to allocate"));
}
