// msgbuilder_t layout (alignment, nesting, growth, failure) and the typed
// field reader, including payloads that do not hold their declared type.
#include "orvo/core/core_msgbuilder.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace orvo;
using lumivane_test::FailingAllocator;
using lumivane_test::LogCapture;

namespace
{
struct MsgBuilder : ::testing::Test
{
    LogCapture capture;
    msgbuilder_t b;
    msgdata_helper_t h;
    void SetUp() override
    {
        msgbuilder_initialise(b);
        msgdata_helper_initialise(h);
    }
    void TearDown() override
    {
        msgdata_helper_release(h);
        msgdata_helper_release(h);
        msgbuilder_release(b);
        msgbuilder_release(b); // safe twice
        EXPECT_EQ(b.buffer, nullptr);
        EXPECT_EQ(b.capacity, 0);
    }
    const msgdata_t* at(u64 offset) const { return reinterpret_cast<const msgdata_t*>(b.buffer + offset); }
};
} // namespace

TEST_F(MsgBuilder, PayloadsAreAlignedByTheirType)
{
    ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_TEST_MSG));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_BOOL, true));   // header 32, payload 48..49
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_INT32, 5));     // header 52 (8k+4), payload 68
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_DATE_TIME, 9ull));   // header 72 (8k), payload 88
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_STRING, string_make("abc"))); // header 96, payload 112..115
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_PHOTO_FILESIZE, 7ull));            // header 116 (8k+4), payload 136
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_RAW, "xy", 2));              // header 144, payload 160..161
    const msg_t* msg = msgbuilder_end(b);
    ASSERT_NE(msg, nullptr);
    ASSERT_TRUE(msg_validate(msg));

    struct Expect
    {
        u64 header;
        i32 field;
        u32 num_bytes;
        u32 base_offset;
        u32 next_offset;
    };
    const Expect expected[] = {
        {32, MSGFIELD_TEST_BOOL, 1, 16, 20},     {52, MSGFIELD_TEST_INT32, 4, 16, 20},
        {72, MSGFIELD_DATE_TIME, 8, 16, 24},     {96, MSGFIELD_TEST_STRING, 4, 16, 20},
        {116, MSGFIELD_PHOTO_FILESIZE, 8, 20, 28}, {144, MSGFIELD_TEST_RAW, 2, 16, 0},
    };
    EXPECT_EQ(msg->data_offset, 32u);
    const msgdata_t* data = msg_next(msg, nullptr);
    for (const Expect& e : expected)
    {
        SCOPED_TRACE(e.header);
        ASSERT_EQ(data, at(e.header));
        EXPECT_EQ(data->field, e.field);
        EXPECT_EQ(data->num_bytes, e.num_bytes);
        EXPECT_EQ(data->base_offset, e.base_offset);
        EXPECT_EQ(data->next_offset, e.next_offset);
        EXPECT_EQ((e.header + e.base_offset) % (e.num_bytes == 8 ? 8 : 4), 0u);
        data = msg_next(msg, data);
    }
    EXPECT_EQ(msg->num_bytes, 162u);
    EXPECT_EQ(msg->marker, ORVO_MSG_MARKER);
    EXPECT_EQ(std::memcmp(b.buffer, "orvo", 4), 0);
    // The gaps hold zeros, never stale heap bytes.
    for (u64 i = 49; i < 52; ++i)
        EXPECT_EQ(b.buffer[i], 0) << i;
    for (u64 i = 132; i < 136; ++i)
        EXPECT_EQ(b.buffer[i], 0) << i;
}

TEST_F(MsgBuilder, NestedMessagesRestoreTheEnclosingOne)
{
    ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_TEST_MSG));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_INT32, 1));
    ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_TEST_CHILD)); // field 52, nested header 68
    EXPECT_EQ(b.open_msg, 68);
    EXPECT_EQ(b.last_field, 0);
    // While open, the nested header remembers its way back.
    EXPECT_EQ(reinterpret_cast<const msg_t*>(b.buffer + 68)->src_id, 0);
    EXPECT_EQ(reinterpret_cast<const msg_t*>(b.buffer + 68)->dst_id, 52);
    const msg_t* empty = msgbuilder_end(b);
    ASSERT_EQ(empty, reinterpret_cast<const msg_t*>(b.buffer + 68));
    EXPECT_EQ(empty->num_bytes, 32u);
    EXPECT_EQ(at(52)->num_bytes, 32u);
    EXPECT_EQ(b.open_msg, 0);
    EXPECT_EQ(b.last_field, 52);

    ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_TEST_CHILD)); // field 100, nested 116
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_STRING, string_make("in")));
    ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_TEST_CHILD)); // deeper: field 168, nested 184
    EXPECT_EQ(reinterpret_cast<const msg_t*>(b.buffer + 184)->src_id, 116);
    ASSERT_NE(msgbuilder_end(b), nullptr);
    const msg_t* child = msgbuilder_end(b);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->num_bytes, 32u + 16 + 3 + 1 + 16 + 32); // string padded to 4 before the next header
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_BOOL, false));
    const msg_t* msg = msgbuilder_end(b);
    ASSERT_EQ(msg, reinterpret_cast<const msg_t*>(b.buffer));
    EXPECT_EQ(b.open_msg, 0);
    EXPECT_EQ(b.last_field, 0);
    EXPECT_EQ(b.depth, 0);
    ASSERT_TRUE(msg_validate(msg));

    // Every nested header is left as a plain message: no traces of the links.
    std::vector<const msg_t*> nested;
    for (const msgdata_t* data = msg_find(msg, MSGFIELD_TEST_CHILD, nullptr); data;
         data = msg_find(msg, MSGFIELD_TEST_CHILD, data))
    {
        ASSERT_TRUE(msgdata_helper_get(data, h));
        nested.push_back(h.child);
        EXPECT_EQ(h.child->num_bytes, data->num_bytes);
    }
    ASSERT_EQ(nested.size(), 2u);
    for (const msg_t* n : nested)
    {
        EXPECT_EQ(n->src_id, 0);
        EXPECT_EQ(n->dst_id, 0);
        EXPECT_EQ(n->ref_num, 0u);
        EXPECT_EQ(n->flags, 0);
        EXPECT_EQ(n->type, 0);
    }
    EXPECT_EQ(msg->src_id, 0);
    EXPECT_EQ(msg->dst_id, 0);

    // A finished message must be reset before the next one begins.
    capture.Clear();
    EXPECT_FALSE(msgbuilder_begin(b, MSGFIELD_TEST_MSG));
    EXPECT_TRUE(capture.Contains("Failed to begin msg TestMsg: the builder holds a finished msg and was not reset"));
    EXPECT_EQ(msgbuilder_end(b), nullptr);
    msgbuilder_reset(b);
    EXPECT_TRUE(msgbuilder_begin(b, MSGFIELD_SHOOT_MSG));
    EXPECT_EQ(msgbuilder_end(b)->num_bytes, 32u);
}

TEST_F(MsgBuilder, NestingStopsAtThirtyTwoLevels)
{
    ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_TEST_MSG));
    for (int level = 2; level <= 32; ++level)
        ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_TEST_CHILD)) << level;
    EXPECT_FALSE(msgbuilder_begin(b, MSGFIELD_TEST_CHILD));
    EXPECT_TRUE(capture.Contains("Failed to begin msg TestChild: nesting deeper than 32 levels"));
    const msg_t* msg = nullptr;
    for (int level = 32; level >= 1; --level)
        ASSERT_NE(msg = msgbuilder_end(b), nullptr);
    EXPECT_TRUE(msg_validate(msg));
}

TEST_F(MsgBuilder, BufferGrowsByTwiceItsCapacityPlusTheBytesPlus1024)
{
    ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_TEST_MSG));
    EXPECT_EQ(b.capacity, 2 * 0 + 32 + 1024);
    // Fill up to where the next field header no longer fits with room to spare.
    std::vector<u8> raw(1056 - 32 - 16 - 16, 0xAB);
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_RAW, raw.data(), raw.size()));
    EXPECT_EQ(b.used, 1040);
    EXPECT_EQ(b.capacity, 1056);
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_INT32, 3)); // 1040 + 16 reaches the capacity
    EXPECT_EQ(b.capacity, 2 * 1056 + 16 + 1024);
    // Large payloads count whole, alignment gaps do not.
    std::vector<u8> big(10000, 1);
    const i32 capacity = b.capacity;
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_RAW, big.data(), big.size()));
    EXPECT_EQ(b.capacity, 2 * capacity + 10000 + 1024);
    const msg_t* msg = msgbuilder_end(b);
    ASSERT_TRUE(msg_validate(msg));
    const msgdata_t* data = msg_find(msg, MSGFIELD_TEST_INT32, nullptr);
    ASSERT_TRUE(msgdata_helper_get(data, h));
    EXPECT_EQ(h.int32, 3);
}

TEST_F(MsgBuilder, FailedFirstAllocationLeavesAnEmptyBuilder)
{
    {
        FailingAllocator failing;
        EXPECT_FALSE(msgbuilder_begin(b, MSGFIELD_TEST_MSG));
    }
    EXPECT_TRUE(capture.Contains("FATAL ERROR failed to allocate 1056 bytes"));
    EXPECT_EQ(b.buffer, nullptr);
    EXPECT_EQ(b.used, 0);
    EXPECT_EQ(b.depth, 0);
    EXPECT_EQ(msgbuilder_end(b), nullptr);
    ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_TEST_MSG));
    EXPECT_TRUE(msg_validate(msgbuilder_end(b)));
}

TEST_F(MsgBuilder, FailedPayloadLeavesNoHalfLinkedHeader)
{
    // A header that fits followed by a payload that does not.
    ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_TEST_MSG));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_INT32, 11));
    u8* buffer = b.buffer;
    const i32 used = b.used;
    const i32 last = b.last_field;
    std::vector<u8> big(4000, 3);
    {
        FailingAllocator failing;
        EXPECT_FALSE(msgbuilder_add(b, MSGFIELD_TEST_RAW, big.data(), big.size()));
        EXPECT_FALSE(msgbuilder_begin(b, MSGFIELD_TEST_CHILD) && msgbuilder_add(b, MSGFIELD_TEST_RAW, big.data(), big.size()));
    }
    EXPECT_TRUE(capture.Contains("FATAL ERROR failed to allocate"));
    EXPECT_EQ(b.buffer, buffer); // the old buffer and its bytes are kept
    if (b.depth == 2)
    {
        ASSERT_NE(msgbuilder_end(b), nullptr); // the nested begin fitted in place
    }
    ASSERT_EQ(b.depth, 1);
    msgbuilder_reset(b);
    ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_TEST_MSG));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_INT32, 11));
    {
        FailingAllocator failing;
        EXPECT_FALSE(msgbuilder_add(b, MSGFIELD_TEST_RAW, big.data(), big.size()));
    }
    EXPECT_EQ(b.used, used);
    EXPECT_EQ(b.last_field, last);
    EXPECT_EQ(at(u64(last))->next_offset, 0u);
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_BOOL, true));
    const msg_t* msg = msgbuilder_end(b);
    ASSERT_TRUE(msg_validate(msg));
    int fields = 0;
    for (const msgdata_t* data = msg_next(msg, nullptr); data; data = msg_next(msg, data))
        ++fields;
    EXPECT_EQ(fields, 2);
}

TEST_F(MsgBuilder, FieldsNeedABegunMessage)
{
    EXPECT_FALSE(msgbuilder_add(b, MSGFIELD_TEST_INT32, 1));
    EXPECT_TRUE(capture.Contains("Failed to add msg field TestInt32: no message begun"));
    EXPECT_EQ(msgbuilder_end(b), nullptr);
    EXPECT_EQ(b.buffer, nullptr);
}

TEST_F(MsgBuilder, StringsListsAndRawRoundTripThroughTheReader)
{
    stringarray_t list;
    stringarray_initialise(list);
    for (const char* text : {"one", "", "three"})
        ASSERT_TRUE(stringarray_append(list, string_make(text)));
    stringarray_t none;
    stringarray_initialise(none);
    const char view[] = "abcdef"; // a view that is not terminated where it ends

    ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_TEST_MSG));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_STRING, string_make(view, 3)));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_CAMERA_NAME, empty_str));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_CAMERA_KEYS, list));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_PHOTO_KEYS, none));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_RAW, nullptr, 0));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_FLOAT, -2.5f));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_CAMERA_DATE_TIME_OFFSET, -(i64(1) << 40)));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TRANSFER_OFFSET, u32(0xFFFFFFFFu)));
    const msg_t* msg = msgbuilder_end(b);
    ASSERT_TRUE(msg_validate(msg));

    const msgdata_t* data = msg_next(msg, nullptr);
    ASSERT_TRUE(msgdata_helper_get(data, h));
    EXPECT_EQ(h.type, MSGDATA_TYPE_STRING);
    EXPECT_EQ(std::string(h.string.str, h.string.length), "abc");
    EXPECT_EQ(h.string.str[h.string.length], 0);

    data = msg_next(msg, data);
    EXPECT_EQ(data->num_bytes, 1u); // the empty string is its zero byte
    ASSERT_TRUE(msgdata_helper_get(data, h));
    EXPECT_EQ(h.string.length, 0u);

    data = msg_next(msg, data);
    EXPECT_EQ(data->num_bytes, 4u + 1 + 6);
    ASSERT_TRUE(msgdata_helper_get(data, h));
    ASSERT_EQ(h.stringlist.strings.count, 3u);
    EXPECT_STREQ(h.stringlist.strings.data[0].str, "one");
    EXPECT_EQ(h.stringlist.strings.data[1].length, 0u);
    EXPECT_STREQ(h.stringlist.strings.data[2].str, "three");

    data = msg_next(msg, data);
    EXPECT_EQ(data->num_bytes, 0u);
    ASSERT_TRUE(msgdata_helper_get(data, h)); // the empty list is refilled, not kept
    EXPECT_EQ(h.stringlist.strings.count, 0u);

    data = msg_next(msg, data);
    ASSERT_TRUE(msgdata_helper_get(data, h));
    EXPECT_EQ(h.raw.num_bytes, 0u);

    data = msg_next(msg, data);
    ASSERT_TRUE(msgdata_helper_get(data, h));
    EXPECT_EQ(h.float32, -2.5f);
    data = msg_next(msg, data);
    ASSERT_TRUE(msgdata_helper_get(data, h));
    EXPECT_EQ(h.int64, -(i64(1) << 40));
    data = msg_next(msg, data);
    ASSERT_TRUE(msgdata_helper_get(data, h));
    EXPECT_EQ(h.uint32, 0xFFFFFFFFu);
    stringarray_release(none);
    stringarray_release(list);
}

TEST_F(MsgBuilder, ArrayFieldsAndCopies)
{
    ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_TEST_MSG));
    array_t<long long> wide;
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_RAW, 3, wide));
    ASSERT_EQ(wide.count, 3u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(wide.data) % 8, 0u);
    for (u64 i = 0; i < 3; ++i)
        wide.data[i] = -1 - static_cast<long long>(i);
    array_t<bool> flags;
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_RAW, 5, flags));
    EXPECT_EQ(flags.count, 5u);
    msg_t* msg = msgbuilder_end(b);
    ASSERT_TRUE(msg_validate(msg));
    EXPECT_EQ(msg_next(msg, nullptr)->num_bytes, 24u);

    const u32 size = msg->num_bytes;
    msg_t* copy = msgbuilder_copy(b, msg); // from the builder's own buffer, which may move
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(copy) % 4, 0u);
    ASSERT_TRUE(msg_validate(copy));
    EXPECT_EQ(std::memcmp(copy, b.buffer, size), 0);

    msgbuilder_t other;
    msgbuilder_initialise(other);
    msg_t* outside = msgbuilder_copy(other, copy);
    ASSERT_NE(outside, nullptr);
    EXPECT_EQ(outside->num_bytes, size);
    msgbuilder_release(other);

    u8 short_header[32] = {'o', 'r', 'v', 'o', 8};
    EXPECT_EQ(msgbuilder_copy(b, reinterpret_cast<const msg_t*>(short_header)), nullptr);
}

TEST_F(MsgBuilder, ReaderRefusesPayloadsThatDoNotHoldTheDeclaredType)
{
    // Each field is built with bytes that a peer could send under that id.
    u8 child_no_marker[32] = {'x', 'r', 'v', 'o', 32};
    u8 child_too_long[32] = {'o', 'r', 'v', 'o', 33};
    u8 child_too_short[32] = {'o', 'r', 'v', 'o', 16};
    struct Case
    {
        const char* name;
        msgfield_t id;
        std::vector<u8> payload;
        msgdata_type_t type;
    };
    const Case cases[] = {
        {"string of size 0", MSGFIELD_FILENAME, {}, MSGDATA_TYPE_STRING},
        {"string without its final zero", MSGFIELD_FILENAME, {'a', 'b', 'c', 'd'}, MSGDATA_TYPE_STRING},
        {"64-bit value in 1 byte", MSGFIELD_DATE_TIME, {1}, MSGDATA_TYPE_UINT64},
        {"64-bit value in 4 bytes", MSGFIELD_CAMERA_DATE_TIME_OFFSET, {1, 2, 3, 4}, MSGDATA_TYPE_INT64},
        {"32-bit value in 3 bytes", MSGFIELD_TEST_INT32, {1, 2, 3}, MSGDATA_TYPE_INT32},
        {"float in 2 bytes", MSGFIELD_TEST_FLOAT, {1, 2}, MSGDATA_TYPE_FLOAT32},
        {"uint32 in 0 bytes", MSGFIELD_TRANSFER_SIZE, {}, MSGDATA_TYPE_UINT32},
        {"bool in 0 bytes", MSGFIELD_RESULT, {}, MSGDATA_TYPE_BOOL},
        {"string list whose last string is open", MSGFIELD_CAMERA_KEYS, {'a', 0, 'b'}, MSGDATA_TYPE_STRINGLIST},
        {"nested message shorter than a header", MSGFIELD_ERROR_MSG, std::vector<u8>(20, 0), MSGDATA_TYPE_MSG},
        {"nested message without the marker", MSGFIELD_ERROR_MSG,
         std::vector<u8>(child_no_marker, child_no_marker + 32), MSGDATA_TYPE_MSG},
        {"nested message longer than its field", MSGFIELD_ERROR_MSG,
         std::vector<u8>(child_too_long, child_too_long + 32), MSGDATA_TYPE_MSG},
        {"nested message shorter than its own header", MSGFIELD_ERROR_MSG,
         std::vector<u8>(child_too_short, child_too_short + 32), MSGDATA_TYPE_MSG},
        {"id 0", MSGFIELD_UNKNOWN, {1, 2, 3, 4}, MSGDATA_TYPE_NONE},
        {"reserved id", MSGFIELD_RESERVED_67, {1, 2, 3, 4}, MSGDATA_TYPE_NONE},
        {"id outside the catalogue", static_cast<msgfield_t>(179), {1, 2, 3, 4}, MSGDATA_TYPE_NONE},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        msgbuilder_reset(b);
        ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_TEST_MSG));
        ASSERT_TRUE(msgbuilder_add(b, c.id, c.payload.data(), c.payload.size()));
        const msg_t* msg = msgbuilder_end(b);
        // Copied to a heap block of exactly the message's size, so a read
        // past the payload is caught by AddressSanitizer, not hidden in the
        // builder's spare capacity.
        std::vector<u8> exact(reinterpret_cast<const u8*>(msg), reinterpret_cast<const u8*>(msg) + msg->num_bytes);
        const msg_t* copy = reinterpret_cast<const msg_t*>(exact.data());
        const msgdata_t* data = msg_next(copy, nullptr);
        ASSERT_NE(data, nullptr);
        EXPECT_FALSE(msgdata_helper_get(data, h));
        EXPECT_EQ(h.type, c.type);
        EXPECT_EQ(h.child, nullptr);
    }
    EXPECT_FALSE(msgdata_helper_get(nullptr, h));
}

TEST_F(MsgBuilder, ReaderTakesFixedWidthsFromTheDeclaredType)
{
    // An int32 payload read under a uint64 id would be a silent truncation;
    // an int32 under an int32 id after a 64-bit one is fine.
    ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_TEST_MSG));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_DATE_TIME, 5));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_TEST_BOOL, std::vector<u8>{2}.data(), 1));
    const msg_t* msg = msgbuilder_end(b);
    const msgdata_t* data = msg_next(msg, nullptr);
    EXPECT_FALSE(msgdata_helper_get(data, h));
    EXPECT_EQ(h.type, MSGDATA_TYPE_UINT64);
    data = msg_next(msg, data);
    ASSERT_TRUE(msgdata_helper_get(data, h)); // any byte other than 0 is true
    EXPECT_TRUE(h.boolean);
}
