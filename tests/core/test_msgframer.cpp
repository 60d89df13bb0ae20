// msgframer_t: partial messages, several per chunk, foreign bytes that block
// until a reset, sizes below the header, and the storage kept across locks.
#include "orvo/core/core_msgbuilder.h"
#include "orvo/core/core_msgframer.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace orvo;
using lumivane_test::FailingAllocator;
using lumivane_test::LogCapture;

namespace
{
struct MsgFramer : ::testing::Test
{
    LogCapture capture;
    msgframer_t f;
    void SetUp() override { msgframer_initialise(f); }
    void TearDown() override
    {
        msgframer_release(f);
        msgframer_release(f);
        EXPECT_EQ(f.buffer.buf, nullptr);
    }

    // A message with one string field, as bytes.
    static std::vector<u8> message(const char* text, u32 ref_num)
    {
        msgbuilder_t b;
        msgbuilder_initialise(b);
        msgbuilder_begin(b, MSGFIELD_TEST_MSG);
        msgbuilder_add(b, MSGFIELD_TEST_STRING, string_make(text));
        msg_t* msg = msgbuilder_end(b);
        msg->ref_num = ref_num;
        std::vector<u8> bytes(reinterpret_cast<u8*>(msg), reinterpret_cast<u8*>(msg) + msg->num_bytes);
        msgbuilder_release(b);
        return bytes;
    }

    void feed(const u8* bytes, u64 n)
    {
        u8* out = nullptr;
        ASSERT_TRUE(msgframer_lock(f, n, out));
        if (n)
            std::memcpy(out, bytes, n);
        msgframer_unlock(f, n);
    }
    void feed(const std::vector<u8>& bytes) { feed(bytes.data(), bytes.size()); }
};
} // namespace

TEST_F(MsgFramer, HandsOutAMessageOnlyOnceItIsComplete)
{
    std::vector<u8> header(32, 0);
    std::memcpy(header.data(), "orvo", 4);
    header[4] = 32;
    feed(header.data(), 31);
    EXPECT_EQ(msgframer_next(f), nullptr);
    EXPECT_EQ(f.read_position, 0u);
    feed(header.data() + 31, 1);
    const msg_t* msg = msgframer_next(f);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->num_bytes, 32u);
    EXPECT_EQ(f.read_position, 32u);
    EXPECT_EQ(msgframer_next(f), nullptr);

    // A message split at every byte boundary comes out whole, once.
    std::vector<u8> bytes = message("split", 4);
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        SCOPED_TRACE(i);
        feed(&bytes[i], 1);
        msg = msgframer_next(f);
        if (i + 1 < bytes.size())
        {
            EXPECT_EQ(msg, nullptr);
            continue;
        }
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(msg->ref_num, 4u);
        EXPECT_TRUE(msg_validate(msg));
    }
    EXPECT_EQ(msgframer_next(f), nullptr);
}

TEST_F(MsgFramer, SeveralMessagesInOneChunkAndTheTailKeptForTheNext)
{
    std::vector<u8> chunk;
    for (u32 ref = 1; ref <= 3; ++ref)
    {
        std::vector<u8> bytes = message(ref == 2 ? "a longer text with odd length" : "x", ref);
        chunk.insert(chunk.end(), bytes.begin(), bytes.end());
    }
    const size_t cut = chunk.size() - 5;
    feed(chunk.data(), cut);
    for (u32 ref = 1; ref <= 2; ++ref)
    {
        const msg_t* msg = msgframer_next(f);
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(msg->ref_num, ref);
        // Readers never assume alignment: a message after an odd-sized one
        // is read in place.
        EXPECT_TRUE(msg_validate(msg));
    }
    EXPECT_EQ(msgframer_next(f), nullptr);
    // The next lock drops the bytes handed out and keeps the unread tail.
    const u64 tail = cut - f.read_position;
    feed(chunk.data() + cut, 5);
    EXPECT_EQ(f.read_position, 0u);
    EXPECT_EQ(f.buffer.num_bytes, tail + 5);
    const msg_t* msg = msgframer_next(f);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->ref_num, 3u);
    EXPECT_TRUE(msg_validate(msg));
}

TEST_F(MsgFramer, ForeignBytesBlockUntilReset)
{
    struct Case
    {
        const char* name;
        std::vector<u8> head;
    };
    std::vector<u8> small = message("x", 0);
    small[4] = 16; // a size below the header would be handed out for ever
    small[5] = small[6] = small[7] = 0;
    std::vector<u8> zero = message("x", 0);
    std::memset(&zero[4], 0, 4);
    const Case cases[] = {
        {"bytes without the marker", std::vector<u8>(40, 'z')},
        {"a size below the header", small},
        {"a size of zero", zero},
    };
    const std::vector<u8> good = message("good", 9);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        msgframer_reset(f);
        feed(c.head);
        feed(good);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(msgframer_next(f), nullptr);
        EXPECT_EQ(f.read_position, 0u);
        const u8* storage = f.buffer.buf;
        msgframer_reset(f);
        EXPECT_EQ(f.buffer.num_bytes, 0u);
        EXPECT_EQ(f.buffer.buf, storage); // storage kept
        feed(good);
        const msg_t* msg = msgframer_next(f);
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(msg->ref_num, 9u);
    }
}

TEST_F(MsgFramer, QuietMessagesAreNotDumpedAndVerboseOnesAre)
{
    log_enable(LOGLEVEL_VERBOSE, LOGMODULE_MESSAGE, true);
    std::vector<u8> loud = message("loud", 1);
    std::vector<u8> quiet = message("quiet", 2);
    quiet[28] = MSG_FLAG_QUIET;
    feed(loud);
    feed(quiet);
    capture.Clear();
    ASSERT_NE(msgframer_next(f), nullptr);
    ASSERT_NE(msgframer_next(f), nullptr);
    EXPECT_TRUE(capture.Contains("New message framed:"));
    EXPECT_TRUE(capture.Contains("field 0: TestString = 'loud'"));
    EXPECT_FALSE(capture.Contains("'quiet'"));
}

TEST_F(MsgFramer, FailedLockKeepsTheHeldBytes)
{
    std::vector<u8> bytes = message("kept", 5);
    feed(bytes.data(), 10);
    u8* out = reinterpret_cast<u8*>(1);
    {
        FailingAllocator failing;
        EXPECT_FALSE(msgframer_lock(f, 1 << 20, out));
    }
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(f.buffer.num_bytes, 10u);
    feed(bytes.data() + 10, bytes.size() - 10);
    const msg_t* msg = msgframer_next(f);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->ref_num, 5u);

    // An unlock of more than was locked commits only what fits.
    msgframer_reset(f);
    ASSERT_TRUE(msgframer_lock(f, 4, out));
    msgframer_unlock(f, 1000);
    EXPECT_LE(f.buffer.num_bytes, f.buffer.capacity);
    EXPECT_FALSE(msgframer_lock(f, ~u64(0), out));
}

TEST_F(MsgFramer, AMessageArrivingInSmallPiecesGrowsTheBufferGeometrically)
{
    // One large message in network-sized pieces: growing to the exact size
    // held on every lock copies everything held once per piece.
    std::string text(1 << 20, 'p');
    const std::vector<u8> bytes = message(text.c_str(), 7);
    lumivane_test::FailingAllocator counter(1L << 40, false); // counts, never fails
    const u64 piece = 1400;
    for (u64 at = 0; at < bytes.size(); at += piece)
    {
        ASSERT_EQ(msgframer_next(f), nullptr);
        feed(bytes.data() + at, std::min<u64>(piece, bytes.size() - at));
    }
    const msg_t* msg = msgframer_next(f);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(msg->ref_num, 7u);
    EXPECT_EQ(msg->num_bytes, bytes.size());
    EXPECT_EQ(std::memcmp(msg, bytes.data(), bytes.size()), 0);
    // About log2(1 MiB / 1400) growths; one per piece would be about 750.
    EXPECT_LE(counter.Allocations(), 16);
}
