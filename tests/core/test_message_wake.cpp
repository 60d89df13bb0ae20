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
// receiver.
void send_from_another_thread(u16 destination, int count, std::atomic<int>& sent)
{
    MessageQueue other;
    other.SetName("SENDER");
    if (!other.Initialise())
        return;
    RecordingProcessor sender("Test::WakeSender");
    if (other.Register(&sender))
    {
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

    std::atomic<int> sent{0};
    std::thread sender(send_from_another_thread, receiver.GetLocationId(), 1, std::ref(sent));
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
    std::atomic<int> sent{0};
    std::thread sender(send_from_another_thread, receiver.GetLocationId(), 5, std::ref(sent));
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

TEST_F(MessageWake, WhatAHandlerSendsWakesTheReaderOnceItsPumpEnds)
{
    // A second queue on this thread holds the handler; the receiver's queue
    // is the reader whose news is looked at without sleeping (a wait of 0).
    MessageQueue source;
    source.SetName("SOURCE");
    ASSERT_TRUE(source.Initialise());
    RecordingProcessor handler("Test::WakeHandler");
    ASSERT_TRUE(source.Register(&handler));
    std::vector<bool> news_inside;
    handler.onRequest = [&](const Message&) {
        for (int k = 0; k < 3; ++k)
        {
            Message request = Build(source, 10 + k);
            EXPECT_TRUE(handler.SendRequest(request, receiver.GetLocationId()));
            news_inside.push_back(queue.Wait(0));
        }
    };

    Message request = Build(queue, 0);
    ASSERT_TRUE(receiver.SendRequest(request, handler.GetLocationId()));
    source.Pump();
    ASSERT_EQ(handler.requests.size(), 1u);
    EXPECT_EQ(news_inside, std::vector<bool>({false, false, false})) << "woken before the handler ended";
    EXPECT_TRUE(queue.Wait(0)) << "not woken once the pump ended";
    queue.Pump();
    ASSERT_EQ(receiver.requests.size(), 3u);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(receiver.requests[k].Int(FIELD_KEY), 10 + k);

    // Held wakes nest; a send outside any hold wakes at once.
    source.HoldWakes();
    source.HoldWakes();
    Message held = Build(source, 20);
    EXPECT_TRUE(handler.SendRequest(held, receiver.GetLocationId()));
    source.ReleaseWakes();
    EXPECT_FALSE(queue.Wait(0));
    source.ReleaseWakes();
    EXPECT_TRUE(queue.Wait(0));
    // A wait of the sender gives what it holds.
    source.HoldWakes();
    Message before_wait = Build(source, 22);
    EXPECT_TRUE(handler.SendRequest(before_wait, receiver.GetLocationId()));
    EXPECT_FALSE(queue.Wait(0));
    source.Wait(0);
    EXPECT_TRUE(queue.Wait(0));
    source.ReleaseWakes();
    Message direct = Build(source, 21);
    EXPECT_TRUE(handler.SendRequest(direct, receiver.GetLocationId()));
    EXPECT_TRUE(queue.Wait(0));
    queue.Pump();
    EXPECT_EQ(receiver.requests.size(), 6u);

    source.Unregister(&handler);
    source.Release();
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
    void ProcessorWake() override
    {
        woken_on = std::this_thread::get_id();
        wakes.fetch_add(1, std::memory_order_acq_rel);
        if (onWake)
            onWake();
    }
    std::atomic<int> passes{0};
    std::atomic<int> wakes{0};
    std::thread::id woken_on;
    std::function<void()> onWake;
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

TEST_F(MessageWake, WakeRequestsRunOnceAtTheNextPumpAndOnlyForTheProcessorAsked)
{
    Answerer first;
    Answerer second;
    ASSERT_TRUE(queue.Register(&first));
    ASSERT_TRUE(queue.Register(&second));
    // Registered under a second id too: still one call per request.
    ASSERT_TRUE(first.Subscribe("Test::WakeChannel"));

    queue.Pump();
    EXPECT_EQ(first.wakes.load(), 0);

    // Requests made before a pump come together into one call.
    std::thread other([&] {
        first.RequestWake();
        first.RequestWake();
    });
    other.join();
    first.RequestWake();
    // The requests woke the queue's owner.
    EXPECT_TRUE(queue.Wait(LIMIT_US));
    queue.Pump();
    EXPECT_EQ(first.wakes.load(), 1);
    EXPECT_EQ(first.woken_on, std::this_thread::get_id());
    EXPECT_EQ(second.wakes.load(), 0);
    queue.Pump();
    EXPECT_EQ(first.wakes.load(), 1);

    // A processor that unregisters itself from inside its wake leaves the
    // walk over the queue intact, and the other processor is still called.
    second.onWake = [&] { queue.Unregister(&second); };
    second.RequestWake();
    first.RequestWake();
    queue.Pump();
    EXPECT_EQ(second.wakes.load(), 1);
    EXPECT_EQ(first.wakes.load(), 2);
    second.RequestWake();
    queue.Pump();
    EXPECT_EQ(second.wakes.load(), 1) << "an unregistered processor is not called";
    queue.Unregister(&first);
}

TEST_F(MessageWake, AWakeFromAnotherThreadRunsOnTheMessageThreadBetweenItsPasses)
{
    MessageThread thread;
    Answerer* answerer = new Answerer();
    thread.Add(answerer);
    ASSERT_TRUE(thread.Start("WAKER", nullptr, nullptr));

    // One wake at a time, each asked only once the last has run. Woken only
    // by the passes, each would take a pass; as they come, a few passes hold
    // them all.
    const int rounds = 40;
    const int passes_before = answerer->passes.load(std::memory_order_acquire);
    bool woken = true;
    for (int k = 0; k < rounds && woken; ++k)
    {
        answerer->RequestWake();
        woken = false;
        for (int tries = 0; tries < 20000 && !woken; ++tries)
        {
            woken = answerer->wakes.load(std::memory_order_acquire) == k + 1;
            if (!woken)
                thread_sleep(50, TIMEUNIT_MICROSECONDS);
        }
    }
    const int passes = answerer->passes.load(std::memory_order_acquire) - passes_before;
    EXPECT_TRUE(woken);
    EXPECT_EQ(answerer->wakes.load(), rounds);
    EXPECT_LT(passes, rounds / 2);
    thread.Stop(nullptr, nullptr);
    EXPECT_NE(answerer->woken_on, std::this_thread::get_id());
}
