// The in-process message format: how the encoder lays out each kind of field
// and chains them, growth of its buffer (with and without memory), finding
// fields, refusing damaged chains without reading past the message, and the
// printed form.
#include "orvo/core/core_location.h"
#include "orvo/core/core_message_encoder.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace orvo;

namespace
{
struct Encoder : ::testing::Test
{
    lumivane_test::LogCapture log;
    MessageEncoder encoder;
    void SetUp() override { ASSERT_TRUE(encoder.Initialise()); }

    // Offsets of every field in chain order, following next from byte 16.
    std::vector<u32> Chain(const Message& message)
    {
        std::vector<u32> offsets;
        const MessageField* field = nullptr;
        if (message.GetNumBytes() <= MESSAGE_HEADER_SIZE)
            return offsets;
        message.FindField(-12345, field); // walks to the last field
        field = reinterpret_cast<const MessageField*>(message.GetData() + MESSAGE_HEADER_SIZE);
        do
            offsets.push_back(static_cast<u32>(reinterpret_cast<const u8*>(field) - message.GetData()));
        while (message.GetNext(field));
        return offsets;
    }
};

TEST_F(Encoder, EachFieldKindHasItsTypeSizeCountPaddingAndValue)
{
    struct Record
    {
        u16 a;
        u8 b[4];
    };
    const Record records[3] = {{1, {2, 3, 4, 5}}, {6, {7, 8, 9, 10}}, {11, {12, 13, 14, 15}}};
    char mutable_text[] = "mutable";
    struct Case
    {
        const char* name;
        std::function<bool(MessageEncoder&)> add;
        i16 type;
        u16 elementSize;
        u32 count;
        u32 takes; // bytes the field adds to the message
        std::vector<u8> payload;
    };
    auto bytes_of = [](const void* data, size_t n)
    {
        const u8* p = static_cast<const u8*>(data);
        return std::vector<u8>(p, p + n);
    };
    i32 minus_seven = -7, one = 1, zero = 0;
    float pi = 3.25f;
    const Case cases[] = {
        {"int", [](MessageEncoder& e) { return e.AddField(1, -7); }, MESSAGEFIELD_INT, 4, 1, 32,
         bytes_of(&minus_seven, 4)},
        {"bool true is 1", [](MessageEncoder& e) { return e.AddField(1, true); }, MESSAGEFIELD_BOOL, 4, 1, 32,
         bytes_of(&one, 4)},
        {"bool false is 0", [](MessageEncoder& e) { return e.AddField(1, false); }, MESSAGEFIELD_BOOL, 4, 1, 32,
         bytes_of(&zero, 4)},
        {"float", [](MessageEncoder& e) { return e.AddField(1, 3.25f); }, MESSAGEFIELD_FLOAT, 4, 1, 32,
         bytes_of(&pi, 4)},
        {"string keeps its zero", [](MessageEncoder& e) { return e.AddField(1, "abc"); }, MESSAGEFIELD_STRING, 1, 4, 32,
         bytes_of("abc", 4)},
        {"empty string is count 1 in 32 bytes", [](MessageEncoder& e) { return e.AddField(1, ""); },
         MESSAGEFIELD_STRING, 1, 1, 32, bytes_of("", 1)},
        {"null text is the empty string",
         [](MessageEncoder& e) { return e.AddField(1, static_cast<const char*>(nullptr)); }, MESSAGEFIELD_STRING, 1, 1,
         32, bytes_of("", 1)},
        {"non-const text is a string", [&](MessageEncoder& e) { return e.AddField(1, mutable_text); },
         MESSAGEFIELD_STRING, 1, 8, 32, bytes_of("mutable", 8)},
        {"16 characters pad to the next 16", [](MessageEncoder& e) { return e.AddField(1, "0123456789abcdef"); },
         MESSAGEFIELD_STRING, 1, 17, 48, bytes_of("0123456789abcdef", 17)},
        {"records keep their element size",
         [&](MessageEncoder& e) { return e.AddField(1, records, 3, sizeof(Record)); }, MESSAGEFIELD_DATA,
         sizeof(Record), 3, 16 + 32, bytes_of(records, sizeof(records))},
        {"bytes by default", [](MessageEncoder& e) { return e.AddField(1, "xyz", 3); }, MESSAGEFIELD_DATA, 1, 3, 32,
         bytes_of("xyz", 3)},
        {"no data takes the header only",
         [](MessageEncoder& e) { return e.AddField(1, nullptr, 0, 8); },
         MESSAGEFIELD_DATA,
         8,
         0,
         16,
         {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(encoder.Begin());
        // A leftover of an earlier, longer message must not show in the padding.
        ASSERT_TRUE(encoder.AddField(1, "the quick brown fox jumps over the lazy dog"));
        ASSERT_TRUE(encoder.Begin());
        ASSERT_TRUE(c.add(encoder));
        Message message = encoder.End();
        ASSERT_FALSE(message.IsNull());
        EXPECT_EQ(message.GetNumBytes(), MESSAGE_HEADER_SIZE + c.takes);
        const MessageField* field = nullptr;
        ASSERT_TRUE(message.FindField(1, field));
        EXPECT_EQ(reinterpret_cast<const u8*>(field) - message.GetData(), 16);
        EXPECT_EQ(field->type, c.type);
        EXPECT_EQ(field->elementSize, c.elementSize);
        EXPECT_EQ(field->count, c.count);
        EXPECT_EQ(field->next, 0u);
        EXPECT_EQ(std::vector<u8>(field->GetData(), field->GetData() + field->GetNumBytes()), c.payload);
        for (u32 i = static_cast<u32>(c.payload.size()); i < c.takes - 16; ++i)
            EXPECT_EQ(field->GetData()[i], 0) << "padding byte " << i;
    }
}

TEST_F(Encoder, BeginWritesAZeroHeaderAndEndItsSize)
{
    ASSERT_TRUE(encoder.Begin());
    Message message = encoder.End();
    ASSERT_FALSE(message.IsNull());
    const MessageHeader& header = *message.GetHeader();
    EXPECT_EQ(header.numBytes, 16u);
    EXPECT_EQ(header.refNum, 0u);
    EXPECT_EQ(header.srcId, 0);
    EXPECT_EQ(header.dstId, 0);
    EXPECT_EQ(header.messageType, MESSAGETYPE_UNKNOWN);
    EXPECT_EQ(header.flags, 0);
    // Exactly 16 bytes: no fields at all.
    const MessageField* field = nullptr;
    EXPECT_FALSE(message.FindField(0, field));
    EXPECT_EQ(field, nullptr);
}

TEST_F(Encoder, FieldsChainInOrderAndTheFirstMatchingIdIsFound)
{
    ASSERT_TRUE(encoder.Begin());
    ASSERT_TRUE(encoder.AddField(5, 1));
    ASSERT_TRUE(encoder.AddField(6, "six"));
    ASSERT_TRUE(encoder.AddField(5, 2)); // a repeated id: the first one wins
    ASSERT_TRUE(encoder.AddField(7, 7.5f));
    Message message = encoder.End();
    EXPECT_EQ(Chain(message), (std::vector<u32>{16, 48, 80, 112}));
    EXPECT_EQ(message.GetNumBytes(), 144u);

    const MessageField* field = nullptr;
    ASSERT_TRUE(message.FindField(5, field));
    i32 value;
    std::memcpy(&value, field->GetData(), 4);
    EXPECT_EQ(value, 1);
    ASSERT_TRUE(message.FindField(7, field));
    EXPECT_EQ(field->type, MESSAGEFIELD_FLOAT);
    // Not found: false, and the field stands on the last one of the chain.
    ASSERT_FALSE(message.FindField(8, field));
    EXPECT_EQ(reinterpret_cast<const u8*>(field) - message.GetData(), 112);
    EXPECT_FALSE(message.GetNext(field));
}

TEST_F(Encoder, AllocateFieldHandsOutTheZeroedPayloadForTheCaller)
{
    ASSERT_TRUE(encoder.Begin());
    ASSERT_TRUE(encoder.AddField(1, 10));
    MessageField* field = nullptr;
    ASSERT_TRUE(encoder.AllocateField(field, 2, MESSAGEFIELD_DATA, 4, 5));
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->id, 2);
    EXPECT_EQ(field->count, 5u);
    for (u32 i = 0; i < 20; ++i)
        EXPECT_EQ(field->GetData()[i], 0);
    const i32 values[5] = {9, 8, 7, 6, 5};
    std::memcpy(field->GetData(), values, sizeof(values));
    ASSERT_TRUE(encoder.AddField(3, 30));
    Message message = encoder.End();

    const MessageField* found = nullptr;
    ASSERT_TRUE(message.FindField(2, found));
    EXPECT_EQ(std::memcmp(found->GetData(), values, sizeof(values)), 0);
    ASSERT_TRUE(message.FindField(3, found));
    EXPECT_EQ(message.GetNumBytes(), 16u + 32u + 16u + 32u + 32u);
}

TEST_F(Encoder, GrowsToTwiceItsCapacityPlusTheRequestKeepingEveryField)
{
    ASSERT_TRUE(encoder.Begin());
    ASSERT_TRUE(encoder.AddField(1, "before"));
    const u32 capacity = encoder.GetCapacity();
    EXPECT_EQ(capacity, MESSAGEENCODER_INITIAL_CAPACITY);
    std::vector<u8> blob(capacity, 0xAB);
    ASSERT_TRUE(encoder.AddField(2, blob.data(), static_cast<u32>(blob.size())));
    EXPECT_EQ(encoder.GetCapacity(), 16u + capacity + 2u * capacity);
    ASSERT_TRUE(encoder.AddField(3, "after"));
    Message message = encoder.End();

    const MessageField* field = nullptr;
    ASSERT_TRUE(message.FindField(1, field));
    EXPECT_STREQ(reinterpret_cast<const char*>(field->GetData()), "before");
    ASSERT_TRUE(message.FindField(2, field));
    EXPECT_EQ(std::vector<u8>(field->GetData(), field->GetData() + field->GetNumBytes()), blob);
    ASSERT_TRUE(message.FindField(3, field));
    EXPECT_STREQ(reinterpret_cast<const char*>(field->GetData()), "after");
}

TEST_F(Encoder, AFailedGrowthLosesTheFieldButKeepsTheMessageSoFar)
{
    ASSERT_TRUE(encoder.Begin());
    ASSERT_TRUE(encoder.AddField(1, 11));
    std::vector<u8> blob(MESSAGEENCODER_INITIAL_CAPACITY, 1);
    {
        lumivane_test::FailingAllocator failing;
        EXPECT_FALSE(encoder.AddField(2, blob.data(), static_cast<u32>(blob.size())));
        EXPECT_TRUE(log.Contains("FATAL ERROR failed to allocate"));
        // Still room in the old buffer: the next small field goes in.
        EXPECT_TRUE(encoder.AddField(3, 33));
    }
    Message message = encoder.End();
    EXPECT_EQ(message.GetNumBytes(), 16u + 32u + 32u);
    const MessageField* field = nullptr;
    EXPECT_TRUE(message.FindField(1, field));
    EXPECT_FALSE(message.FindField(2, field));
    EXPECT_TRUE(message.FindField(3, field));
    EXPECT_EQ(field->next, 0u);
}

TEST_F(Encoder, RefusesFieldsItCannotEncode)
{
    // Nothing begun: no header to hang a field on, and no message to end.
    MessageEncoder fresh;
    ASSERT_TRUE(fresh.Initialise());
    EXPECT_FALSE(fresh.AddField(1, 1));
    EXPECT_TRUE(log.Contains("Failed to add message field 1: no message begun"));
    EXPECT_TRUE(fresh.End().IsNull());

    ASSERT_TRUE(encoder.Begin());
    u8 byte = 0;
    EXPECT_FALSE(encoder.AddField(2, &byte, 1, 65536));
    EXPECT_TRUE(log.Contains("element size 65536"));
    EXPECT_FALSE(encoder.AddField(3, nullptr, 4, 1));
    EXPECT_TRUE(log.Contains("no data for 4 bytes"));
    EXPECT_EQ(encoder.End().GetNumBytes(), 16u);
}

TEST_F(Encoder, FormattedFieldsAreCutTo2047Characters)
{
    ASSERT_TRUE(encoder.Begin());
    ASSERT_TRUE(encoder.AddFieldf(1, "%s-%d", "camera", 12));
    std::string long_text(3000, 'x');
    ASSERT_TRUE(encoder.AddFieldf(2, "%s", long_text.c_str()));
    Message message = encoder.End();
    const MessageField* field = nullptr;
    ASSERT_TRUE(message.FindField(1, field));
    EXPECT_STREQ(reinterpret_cast<const char*>(field->GetData()), "camera-12");
    ASSERT_TRUE(message.FindField(2, field));
    EXPECT_EQ(field->count, 2048u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(field->GetData())), std::string(2047, 'x'));
}

TEST_F(Encoder, ReleaseIsSafeTwiceAndBeginAfterItStillWorks)
{
    encoder.Release();
    encoder.Release();
    EXPECT_EQ(encoder.GetCapacity(), 0u);
    ASSERT_TRUE(encoder.Begin()); // grows from nothing
    ASSERT_TRUE(encoder.AddField(1, 1));
    EXPECT_EQ(encoder.End().GetNumBytes(), 48u);
}

// Damaged chains: each case spoils one message and the walk must stop at the
// damage, logged, without touching a byte beyond numBytes (ASan watches the
// exact-size copy).
TEST_F(Encoder, DamagedChainsEndTheWalkInsteadOfReadingPastTheMessage)
{
    struct Case
    {
        const char* name;
        std::function<void(std::vector<u8>&)> spoil;
        bool first_found; // field 1 is still found
        const char* logged;
    };
    auto field_at = [](std::vector<u8>& bytes, u32 offset)
    { return reinterpret_cast<MessageField*>(bytes.data() + offset); };
    const Case cases[] = {
        {"next points back to the first field", [&](std::vector<u8>& b) { field_at(b, 48)->next = 16; }, true,
         "points back"},
        {"next points at itself", [&](std::vector<u8>& b) { field_at(b, 16)->next = 16; }, true, "points back"},
        {"next beyond the message", [&](std::vector<u8>& b) { field_at(b, 16)->next = 4096; }, true,
         "lies outside the message"},
        {"next off the 16-byte grid", [&](std::vector<u8>& b) { field_at(b, 16)->next = 52; }, true,
         "lies outside the message"},
        {"payload longer than the message", [&](std::vector<u8>& b) { field_at(b, 48)->count = 1000; }, true,
         "payload past the message"},
        {"first payload longer than the message", [&](std::vector<u8>& b) { field_at(b, 16)->elementSize = 4000; },
         false, "payload past the message"},
        {"numBytes shorter than the first field",
         [&](std::vector<u8>& b)
         {
             reinterpret_cast<MessageHeader*>(b.data())->numBytes = 24;
             b.resize(24);
         },
         false, "lies outside the message"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        log.Clear();
        ASSERT_TRUE(encoder.Begin());
        ASSERT_TRUE(encoder.AddField(1, 1));
        ASSERT_TRUE(encoder.AddField(2, 2));
        ASSERT_TRUE(encoder.AddField(3, 3));
        Message built = encoder.End();
        std::vector<u8> bytes(built.GetData(), built.GetData() + built.GetNumBytes());
        c.spoil(bytes);
        Message message(bytes.data());

        const MessageField* field = nullptr;
        EXPECT_EQ(message.FindField(1, field), c.first_found);
        EXPECT_FALSE(message.FindField(3, field));
        stringbuffer_t text;
        stringbuffer_initialise(text);
        EXPECT_TRUE(message.Print(text, 0));
        EXPECT_EQ(std::string(text.str).find("\n3: 3"), std::string::npos);
        stringbuffer_release(text);
        EXPECT_TRUE(log.Contains(c.logged));
    }
}

struct Printing : Encoder
{
    std::string Print(const Message& message, u32 indent)
    {
        stringbuffer_t text;
        stringbuffer_initialise(text);
        stringbuffer_set(text, "old text is replaced");
        EXPECT_TRUE(message.Print(text, indent));
        std::string result(text.str, text.length);
        stringbuffer_release(text);
        return result;
    }
};

TEST_F(Printing, HeaderLinesThenOneLinePerFieldWithLocationNames)
{
    u16 camera = Location::GetLocationId("orvo::CameraProcessor", true);
    ASSERT_TRUE(encoder.Begin());
    ASSERT_TRUE(encoder.AddField(0, 19));
    ASSERT_TRUE(encoder.AddField(2, true));
    ASSERT_TRUE(encoder.AddField(29, 1.5f));
    ASSERT_TRUE(encoder.AddField(12, "1/250"));
    const u32 records[3] = {1, 2, 3};
    ASSERT_TRUE(encoder.AddField(4, records, 3, sizeof(u32)));
    MessageField* odd = nullptr;
    ASSERT_TRUE(encoder.AllocateField(odd, 9, 77, 1, 4)); // unknown type: no line
    Message message = encoder.End();
    MessageHeader& header = *message.GetHeader();
    header.refNum = 3;
    header.srcId = 0;
    header.dstId = camera;
    header.messageType = MESSAGETYPE_REQUEST;
    header.flags = 0x1f;

    EXPECT_EQ(Print(message, 2), std::string("  numBytes:    208\n"
                                 "  refNum:      3\n"
                                 "  srcId:       0 - BROADCAST\n"
                                 "  dstId:       " + std::to_string(camera) + " - orvo::CameraProcessor\n"
                                 "  messageType: Request\n"
                                 "  flags:       0x1f\n"
                                 "  0: 19\n"
                                 "  2: true\n"
                                 "  29: 1.500000\n"
                                 "  12: 1/250\n"
                                 "  4: 12 bytes data"));
}

TEST_F(Printing, BareHeaderUnknownNamesCappedIndentAndUnterminatedText)
{
    Location::GetLocationId("Printing::Test", false); // the registry holds "BROADCAST" from here on
    ASSERT_TRUE(encoder.Begin());
    Message bare = encoder.End();
    bare.GetHeader()->dstId = 999; // never registered
    bare.GetHeader()->messageType = 9;
    const std::string pad(16, ' ');
    EXPECT_EQ(Print(bare, 40), pad + "numBytes:    16\n" + pad + "refNum:      0\n" + pad +
                                   "srcId:       0 - BROADCAST\n" + pad + "dstId:       999 - \n" + pad +
                                   "messageType: Unknown\n" + pad + "flags:       0x0");

    // A string field that lost its zero prints its own bytes and stops there.
    ASSERT_TRUE(encoder.Begin());
    MessageField* field = nullptr;
    ASSERT_TRUE(encoder.AllocateField(field, 3, MESSAGEFIELD_STRING, 1, 16));
    std::memset(field->GetData(), 'z', 16);
    Message message = encoder.End();
    std::vector<u8> exact(message.GetData(), message.GetData() + message.GetNumBytes());
    std::string text = Print(Message(exact.data()), 0);
    EXPECT_NE(text.find("\n3: zzzzzzzzzzzzzzzz"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 20), "\n3: zzzzzzzzzzzzzzzz");
}
} // namespace
