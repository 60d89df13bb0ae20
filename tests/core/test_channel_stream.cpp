// Streams in a channel and through the distributor: a record of a stream is
// written only while fewer than CHANNEL_STREAM_IN_FLIGHT earlier records of
// its slot wait unread, so a reader that falls behind holds a bounded number
// of them; plain records are never left out and never count against a stream.
#include "test_message_support.h"

#include "orvo/core/core_channel.h"

#include <string>
#include <vector>

using namespace orvo;
using namespace message_test;

namespace
{
static_assert(CHANNEL_STREAM_IN_FLIGHT == 2, "the tables below assume two records of a stream in flight");

// One step of a table: "w<stream>" writes a record of that stream, "p" a
// plain record, "r" reads the oldest record; each write's result is noted.
struct StreamCase
{
    const char* name;
    std::vector<std::string> steps;
    std::vector<channelwrite_t> writes; // the result of each write, in order
};

TEST(ChannelStream, ARecordOfAStreamIsWrittenOnlyWhileFewerThanTwoOfItsSlotWaitUnread)
{
    const channelwrite_t done = CHANNEL_WRITE_DONE;
    const channelwrite_t superseded = CHANNEL_WRITE_SUPERSEDED;
    const std::vector<StreamCase> cases = {
        {"two wait, the third is left out", {"w0", "w0", "w0", "w0"}, {done, done, superseded, superseded}},
        {"each stream has room of its own", {"w0", "w0", "w1", "w1", "w1"}, {done, done, done, done, superseded}},
        {"reading the oldest makes room for one", {"w0", "w0", "r", "w0", "w0"}, {done, done, done, superseded}},
        {"plain records neither count nor are left out",
         {"w0", "p", "w0", "p", "w0", "p"},
         {done, done, done, done, superseded, done}},
        {"a plain record read ahead frees no room", {"p", "w0", "w0", "r", "w0"}, {done, done, done, superseded}},
        {"streams of one slot share its room",
         {"w3", std::string("w") + std::to_string(3 + CHANNEL_STREAM_SLOTS), "w3"},
         {done, done, superseded}},
        {"a reader that caught up takes new ones", {"w0", "w0", "r", "r", "w0", "w0", "w0"},
         {done, done, done, done, superseded}},
    };
    for (const StreamCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        channel_t channel;
        ASSERT_TRUE(channel_initialise(channel));
        std::vector<channelwrite_t> results;
        std::vector<std::string> written;
        std::vector<std::string> read;
        int n = 0;
        for (const std::string& step : c.steps)
        {
            const std::string record = step + "#" + std::to_string(n++);
            if (step == "r")
            {
                void* data = nullptr;
                u64 length = 0;
                ASSERT_TRUE(channel_read_begin(channel, data, length));
                read.emplace_back(static_cast<const char*>(data), static_cast<size_t>(length));
                channel_read_end(channel);
                continue;
            }
            channelwrite_t result;
            if (step == "p")
                result = channel_write_growing(channel, record.data(), record.size(), u64(1) << 30);
            else
                result = channel_write_stream(channel, record.data(), record.size(),
                                              static_cast<u32>(std::stoul(step.substr(1))), u64(1) << 30);
            results.push_back(result);
            if (result == CHANNEL_WRITE_DONE)
                written.push_back(record);
        }
        EXPECT_EQ(results, c.writes);
        // What was written comes out whole and in order; what was left out never does.
        void* data = nullptr;
        u64 length = 0;
        while (channel_read_begin(channel, data, length))
        {
            read.emplace_back(static_cast<const char*>(data), static_cast<size_t>(length));
            channel_read_end(channel);
        }
        EXPECT_EQ(read, written);
        EXPECT_EQ(channel_records_written(channel), written.size());
        EXPECT_EQ(channel_records_read(channel), written.size());
        channel_detach_reader(channel);
        channel_release(channel);
    }
}

// Frames of two streams to a queue that does not pump, between plain events.
struct StreamRouting : DistributorFixture
{
    MessageQueue sender;
    MessageQueue reader;
    std::unique_ptr<RecordingProcessor> source;
    std::unique_ptr<RecordingProcessor> sink;
    u16 channel = 0;

    void SetUp() override
    {
        DistributorFixture::SetUp();
        channel = Location::GetSubscriptionId("BROADCAST::StreamTest");
        sender.SetName("sender");
        reader.SetName("reader");
        ASSERT_TRUE(sender.Initialise());
        ASSERT_TRUE(reader.Initialise());
        source.reset(new RecordingProcessor("Test::StreamSource"));
        sink.reset(new RecordingProcessor("Test::StreamSink"));
        ASSERT_TRUE(sender.Register(source.get()));
        ASSERT_TRUE(reader.Register(sink.get()));
        ASSERT_TRUE(sink->Subscribe("BROADCAST::StreamTest"));
    }
    void TearDown() override
    {
        source.reset();
        sink.reset();
        sender.Release();
        reader.Release();
        DistributorFixture::TearDown();
    }
    bool SendFrame(u32 stream, i32 key)
    {
        Message message = Build(sender, key);
        return source->SendStreamEvent(message, channel, stream);
    }
    bool SendPlain(i32 key)
    {
        Message message = Build(sender, key);
        return source->SendEvent(message, channel);
    }
};

TEST_F(StreamRouting, AQueueThatDoesNotPumpGetsTwoFramesPerStreamAndEveryPlainEvent)
{
    // Keys: stream 1 frames 100.., stream 2 frames 200.., plain events 1..
    int plain = 0;
    for (int k = 0; k < 10; ++k)
    {
        EXPECT_TRUE(SendFrame(1, 100 + k));
        EXPECT_TRUE(SendFrame(2, 200 + k));
        if (k % 2 == 0)
        {
            EXPECT_TRUE(SendPlain(++plain));
        }
    }
    EXPECT_EQ(Distributor::GetSupersededCount(sender.GetId()), 16u);
    reader.Pump();
    EXPECT_EQ(Keys(sink->events), (std::vector<i32>{100, 200, 1, 101, 201, 2, 3, 4, 5}));

    // Having read them, it gets the next ones.
    sink->events.clear();
    EXPECT_TRUE(SendFrame(1, 110));
    EXPECT_TRUE(SendFrame(2, 210));
    reader.Pump();
    EXPECT_EQ(Keys(sink->events), (std::vector<i32>{110, 210}));
    EXPECT_EQ(Distributor::GetSupersededCount(sender.GetId()), 16u);
    EXPECT_EQ(Distributor::GetSendStallMicroseconds(sender.GetId()), 0u);
}

TEST_F(StreamRouting, TheSendersOwnQueueGetsEveryFrameAtOnce)
{
    RecordingProcessor local("Test::StreamLocal");
    ASSERT_TRUE(sender.Register(&local));
    ASSERT_TRUE(local.Subscribe("BROADCAST::StreamTest"));
    for (int k = 0; k < 5; ++k)
        EXPECT_TRUE(SendFrame(1, 100 + k));
    EXPECT_EQ(Keys(local.events), (std::vector<i32>{100, 101, 102, 103, 104}));
    reader.Pump();
    EXPECT_EQ(Keys(sink->events), (std::vector<i32>{100, 101}));
    sender.Unregister(&local);
}
} // namespace
