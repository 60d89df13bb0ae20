// Waking a queue's owner when a message comes: a wait on a queue ends when
// another thread sends to it, also when the message came before the wait, and
// only then; a message thread delivers a message from another thread between
// its passes instead of holding it until the next pass. The limits only keep
// a broken build from hanging; nothing is measured.
#include "test_message_support.h"

#include "orvo/core/core_message_thread.h"
#include "orvo/core/core_thread.h"
#include "orvo/core/core_time.h"

#include <atomic>
#include <functional>
#include <thread>

using namespace message_test;

namespace
{
const u64 LIMIT_US = u64(20) * 1000000;

struct MessageWake : DistributorFixture
{
    MessageQueue queue;
    RecordingProcessor receiver{"Test::WakeReceiver"};
    void SetUp() override
    {
        DistributorFixture::SetUp();
        queue.SetName("WAITER");
        ASSERT_TRUE(queue.Initialise());
        ASSERT_TRUE(queue.Register(&receiver));
    }
    void TearDown() override
    {
        queue.Unregister(&receiver);
        queue.Release();
        DistributorFixture::TearDown();
    }
};

// A queue of its own on a second thread that sends `count` requests to the
// receiver, the first once `go` is set.
void send_from_another_thread(u16 destination, int count, const std::atomic<bool>& go, std::atomic<int>& sent)
{
    MessageQueue other;
    other.SetName("SENDER");
    if (!other.Initialise())
        return;
    RecordingProcessor sender("Test::WakeSender");
    if (other.Register(&sender))
    {
        while (!go.load(std::memory_order_acquire))
            thread_sleep(1, TIMEUNIT_MILLISECONDS);
        for (int k = 0; k < count; ++k)
        {
            Message request = Build(other, k);
            if (sender.SendRequest(request, destination))
                sent.fetch_add(1, std::memory_order_release);
        }
        other.Unregister(&sender);
    }
    other.Release();
}
} // namespace

TEST_F(MessageWake, AWaitEndsWhenAnotherThreadSendsAndOnlyThen)
{
    // Nothing sent: the wait runs out.
    EXPECT_FALSE(queue.Wait(1000));

    std::atomic<bool> go{false};
    std::atomic<int> sent{0};
    std::thread sender(send_from_another_thread, receiver.GetLocationId(), 1, std::cref(go), std::ref(sent));
    go.store(true, std::memory_order_release);
    // Woken by the message, which the pump then delivers.
    const bool woken = queue.Wait(LIMIT_US);
    sender.join();
    EXPECT_TRUE(woken);
    EXPECT_EQ(sent.load(), 1);
    queue.Pump();
    ASSERT_EQ(receiver.requests.size(), 1u);
    EXPECT_EQ(receiver.requests[0].Int(FIELD_KEY), 0);
    // The news was used up by the wait that heard it.
    EXPECT_FALSE(queue.Wait(1000));
}

TEST_F(MessageWake, MessagesSentBeforeTheWaitEndItAtOnceAndKeepTheirOrder)
{
    std::atomic<bool> go{true};
    std::atomic<int> sent{0};
    std::thread sender(send_from_another_thread, receiver.GetLocationId(), 5, std::cref(go), std::ref(sent));
    sender.join();
    ASSERT_EQ(sent.load(), 5);
    // All five came while nobody waited: the first wait still hears of them.
    EXPECT_TRUE(queue.Wait(LIMIT_US));
    queue.Pump();
    ASSERT_EQ(receiver.requests.size(), 5u);
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ(receiver.requests[k].Int(FIELD_KEY), k);
    EXPECT_FALSE(queue.Wait(1000));
}

namespace
{
// Answers every request and counts its passes.
class Answerer : public MessageProcessor
{
public:
    Answerer() : MessageProcessor("Test::Answerer", false) {}
    void ReceiveRequest(const Message& message) override
    {
        const MessageHeader request = *message.GetHeader();
        Message response = Build(*GetQueue(), 0);
        SendResponse(response, request);
    }
    void ProcessorUpdate() override { passes.fetch_add(1, std::memory_order_acq_rel); }
    std::atomic<int> passes{0};
};
} // namespace

TEST_F(MessageWake, AMessageThreadAnswersBetweenItsPasses)
{
    MessageThread thread;
    Answerer* answerer = new Answerer();
    const u16 id = thread.Add(answerer);
    ASSERT_TRUE(thread.Start("ANSWERER", nullptr, nullptr));

    // One request at a time, each sent only once the last was answered. A
    // thread that delivered only at the start of its passes would need a pass
    // for each; delivered as they come, they all fit in a few passes.
    const int rounds = 40;
    const int passes_before = answerer->passes.load(std::memory_order_acquire);
    bool answered = true;
    for (int k = 0; k < rounds && answered; ++k)
    {
        Message request = Build(queue, k);
        ASSERT_TRUE(receiver.SendRequest(request, id));
        const size_t expected = static_cast<size_t>(k + 1);
        answered = false;
        for (int tries = 0; tries < 1000 && !answered; ++tries)
        {
            queue.Wait(LIMIT_US / 1000);
            queue.Pump();
            answered = receiver.responses.size() == expected;
        }
    }
    const int passes = answerer->passes.load(std::memory_order_acquire) - passes_before;
    EXPECT_TRUE(answered);
    EXPECT_EQ(receiver.responses.size(), static_cast<size_t>(rounds));
    EXPECT_LT(passes, rounds / 2);

    // Stopping wakes the thread out of its sleep; it ends within the limit.
    thread.Stop(nullptr, nullptr);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_FALSE(log.Contains("Forcing thread termination"));
}
