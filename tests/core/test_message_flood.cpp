// Message threads flooding each other: every thread sends thousands of 1 KiB
// requests and events to every other one in a single pass, and answers each
// request it receives with a 1 KiB response from inside its delivery. Each
// pipe carries megabytes more than one channel's ring holds while no
// receiver pumps, the case in which senders used to wait on each other for
// ever. Every message must arrive once and in order. Also: a Stop that ends
// such traffic leaves one summary line in the log.
#include "test_message_support.h"

#include "orvo/core/core_message_thread.h"
#include "orvo/core/core_thread.h"
#include "orvo/core/core_time.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <vector>

using namespace message_test;

namespace
{
const char* const FLOOD_CHANNEL = "BROADCAST::Flood";
const u32 PAYLOAD = 1024;

// A message with its key, its sender's index and a 1 KiB payload derived from both.
Message BuildFlood(MessageQueue& queue, i32 key, i32 sender)
{
    u8 payload[PAYLOAD];
    for (u32 i = 0; i < PAYLOAD; ++i)
        payload[i] = static_cast<u8>(key * 31 + sender * 7 + i);
    MessageEncoder* encoder = queue.GetEncoder();
    encoder->Begin();
    encoder->AddField(FIELD_KEY, key);
    encoder->AddField(FIELD_SENDER, sender);
    encoder->AddField(FIELD_BLOB, payload, PAYLOAD);
    return encoder->End();
}

bool PayloadIntact(const Message& message, i32 key, i32 sender)
{
    const MessageField* field = nullptr;
    if (!message.FindField(FIELD_BLOB, field) || field->type != MESSAGEFIELD_DATA)
        return false;
    const u8* data = static_cast<const u8*>(field->GetData());
    for (u32 i = 0; i < PAYLOAD; ++i)
    {
        if (data[i] != static_cast<u8>(key * 31 + sender * 7 + i))
            return false;
    }
    return true;
}

i32 ReadInt(const Message& message, i32 id)
{
    const MessageField* field = nullptr;
    if (!message.FindField(id, field) || field->type != MESSAGEFIELD_INT)
        return -1;
    i32 value;
    std::memcpy(&value, field->GetData(), sizeof(value));
    return value;
}

// What one flooder saw of one peer, in arrival order.
struct Seen
{
    std::vector<i32> requests, events, responses;
    int damaged = 0;
};

class Flooder : public MessageProcessor
{
public:
    Flooder(int index, int count) : MessageProcessor("Test::Flooder", false), index(index), count(count) {}

    bool ProcessorInitialise() override { return Subscribe(FLOOD_CHANNEL); }

    // The test's "go" request starts the flood: everything in this one pass,
    // without pumping in between.
    void ReceiveRequest(const Message& message) override
    {
        const MessageHeader request = *message.GetHeader();
        const i32 key = ReadInt(message, FIELD_KEY);
        const i32 sender = ReadInt(message, FIELD_SENDER);
        if (sender < 0)
        {
            Flood();
            return;
        }
        Record(message, seen[sender].requests, key, sender);
        Message answer = BuildFlood(*GetQueue(), key, index);
        if (!SendResponse(answer, request))
            send_failures.fetch_add(1);
        requests_in.fetch_add(1, std::memory_order_release);
    }
    void ReceiveResponse(const Message& message) override
    {
        Record(message, seen[ReadInt(message, FIELD_SENDER)].responses, ReadInt(message, FIELD_KEY),
               ReadInt(message, FIELD_SENDER));
        responses_in.fetch_add(1, std::memory_order_release);
    }
    void ReceiveEvent(const Message& message) override
    {
        const i32 sender = ReadInt(message, FIELD_SENDER);
        if (sender == index)
            return; // its own events come back through its own queue
        Record(message, seen[sender].events, ReadInt(message, FIELD_KEY), sender);
        events_in.fetch_add(1, std::memory_order_release);
    }

    void Flood()
    {
        const u16 channel = Location::GetSubscriptionId(FLOOD_CHANNEL);
        for (i32 key = 0; key < count; ++key)
        {
            for (u16 peer : peers)
            {
                Message request = BuildFlood(*GetQueue(), key, index);
                if (!SendRequest(request, peer))
                    send_failures.fetch_add(1);
            }
            Message event = BuildFlood(*GetQueue(), key, index);
            if (!SendEvent(event, channel))
                send_failures.fetch_add(1);
        }
        flooded.store(true, std::memory_order_release);
    }

    void Record(const Message& message, std::vector<i32>& keys, i32 key, i32 sender)
    {
        keys.push_back(key);
        if (!PayloadIntact(message, key, sender))
            ++seen[sender].damaged;
    }

    const int index;
    const int count;
    std::vector<u16> peers;
    std::map<int, Seen> seen; // by sender index; read only after the thread stopped
    std::atomic<int> requests_in{0};
    std::atomic<int> responses_in{0};
    std::atomic<int> events_in{0};
    std::atomic<int> send_failures{0};
    std::atomic<bool> flooded{false};
};

void PumpCallback(void* queue)
{
    static_cast<MessageQueue*>(queue)->Pump();
}

struct MessageFlood : DistributorFixture
{
    MessageQueue queue;
    void SetUp() override
    {
        DistributorFixture::SetUp();
        queue.SetName("TEST");
        ASSERT_TRUE(queue.Initialise());
    }
    void TearDown() override
    {
        queue.Release();
        DistributorFixture::TearDown();
    }

    // Pumps the test's queue until done() holds; the limit only keeps a broken
    // build from hanging (nothing is measured).
    bool PumpUntil(const std::function<bool()>& done)
    {
        orvo::timer_t timer;
        timer_start(timer);
        while (!done())
        {
            if (timer_elapsed(timer) > time_compute_ticks(60, TIMEUNIT_SECONDS))
                return false;
            queue.Pump();
            thread_sleep(1, TIMEUNIT_MILLISECONDS);
        }
        return true;
    }

    // Runs `threads` flooders sending `count` requests to every peer and
    // `count` events to all, then checks every pipe.
    void Flood(int threads, int count)
    {
        RecordingProcessor driver("Test::FloodDriver");
        ASSERT_TRUE(queue.Register(&driver));
        std::vector<std::unique_ptr<MessageThread>> runners;
        std::vector<Flooder*> flooders;
        std::vector<u16> ids;
        for (int i = 0; i < threads; ++i)
        {
            runners.emplace_back(new MessageThread);
            flooders.push_back(new Flooder(i, count));
            ids.push_back(runners.back()->Add(flooders.back()));
        }
        for (int i = 0; i < threads; ++i)
        {
            for (int j = 0; j < threads; ++j)
            {
                if (j != i)
                    flooders[i]->peers.push_back(ids[j]);
            }
        }
        static const char* const names[] = {"FLOOD0", "FLOOD1", "FLOOD2", "FLOOD3"};
        for (int i = 0; i < threads; ++i)
            ASSERT_TRUE(runners[i]->Start(names[i], PumpCallback, &queue));

        for (int i = 0; i < threads; ++i)
        {
            MessageEncoder* encoder = queue.GetEncoder();
            encoder->Begin();
            encoder->AddField(FIELD_KEY, 0);
            encoder->AddField(FIELD_SENDER, -1);
            Message go = encoder->End();
            ASSERT_TRUE(driver.SendRequest(go, ids[i]));
        }
        const int peers = threads - 1;
        const bool arrived = PumpUntil(
            [&]
            {
                for (Flooder* flooder : flooders)
                {
                    if (!flooder->flooded.load(std::memory_order_acquire) ||
                        flooder->requests_in.load(std::memory_order_acquire) != peers * count ||
                        flooder->responses_in.load(std::memory_order_acquire) != peers * count ||
                        flooder->events_in.load(std::memory_order_acquire) != peers * count)
                        return false;
                }
                return true;
            });
        EXPECT_TRUE(arrived) << "the flood did not complete: threads wait on each other";
        for (auto& runner : runners)
            runner->Stop(PumpCallback, &queue);

        std::vector<i32> in_order;
        for (i32 key = 0; key < count; ++key)
            in_order.push_back(key);
        for (Flooder* flooder : flooders)
        {
            SCOPED_TRACE("flooder " + std::to_string(flooder->index));
            EXPECT_EQ(flooder->send_failures.load(), 0);
            for (int sender = 0; sender < threads; ++sender)
            {
                if (sender == flooder->index)
                    continue;
                SCOPED_TRACE("from " + std::to_string(sender));
                const Seen& seen = flooder->seen[sender];
                EXPECT_EQ(seen.requests, in_order);
                EXPECT_EQ(seen.events, in_order);
                EXPECT_EQ(seen.responses, in_order);
                EXPECT_EQ(seen.damaged, 0);
            }
        }
        queue.Unregister(&driver);
        EXPECT_FALSE(log.Contains("Failed to send message"));
    }
};
} // namespace

TEST_F(MessageFlood, TwoThreadsFloodingEachOtherDeliverEverythingInOrder)
{
    // 1,500 requests, answers and events of 1 KiB each way: about 4.5 MB per
    // pipe sent before the receiver pumps once.
    Flood(2, 1500);
}

TEST_F(MessageFlood, ThreeThreadsFloodingEachOtherDeliverEverythingInOrder)
{
    Flood(3, 1000);
}

namespace
{
// Sends more events than a channel's ring holds to the others on every pass,
// for ever.
class Chatter : public MessageProcessor
{
public:
    Chatter() : MessageProcessor("Test::Chatter", false) {}
    bool ProcessorInitialise() override { return Subscribe(FLOOD_CHANNEL); }
    void ProcessorUpdate() override
    {
        // Held: this thread neither pumps nor sends, as one stuck in work.
        while (hold.load(std::memory_order_acquire))
            thread_sleep(1, TIMEUNIT_MILLISECONDS);
        const u16 channel = Location::GetSubscriptionId(FLOOD_CHANNEL);
        for (int i = 0; i < 1500; ++i)
        {
            Message event = BuildFlood(*GetQueue(), i, 0);
            SendEvent(event, channel);
        }
        passes.fetch_add(1, std::memory_order_release);
    }
    void ReceiveEvent(const Message&) override {}
    std::atomic<int> passes{0};
    std::atomic<bool> hold{false};
};
} // namespace

TEST_F(MessageFlood, AStopThatEndsAFloodLogsOneSummaryLine)
{
    MessageThread runners[2];
    Chatter* chatters[2];
    for (int i = 0; i < 2; ++i)
    {
        chatters[i] = new Chatter;
        runners[i].Add(chatters[i]);
    }
    ASSERT_TRUE(runners[0].Start("CHAT0", nullptr, nullptr));
    ASSERT_TRUE(runners[1].Start("CHAT1", nullptr, nullptr));
    while (chatters[0]->passes.load(std::memory_order_acquire) < 3 ||
           chatters[1]->passes.load(std::memory_order_acquire) < 3)
        thread_sleep(1, TIMEUNIT_MILLISECONDS);

    // The second thread stops pumping; the first keeps sending to it through
    // channels that the stop has closed, which fill and then drop.
    chatters[1]->hold.store(true, std::memory_order_release);
    Distributor::Stop();
    const int after = chatters[0]->passes.load(std::memory_order_acquire);
    while (chatters[0]->passes.load(std::memory_order_acquire) < after + 20)
        thread_sleep(1, TIMEUNIT_MILLISECONDS);
    chatters[1]->hold.store(false, std::memory_order_release);
    runners[0].Stop(nullptr, nullptr);
    runners[1].Stop(nullptr, nullptr);
    queue.Release();
    Distributor::Release();

    EXPECT_EQ(log.Count("Failed to send message"), 0u);
    EXPECT_EQ(log.Count("messages sent to stopped message queues"), 1u);
    EXPECT_TRUE(log.Contains("Warning] Dropped "));
}
