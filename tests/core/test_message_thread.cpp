// Message threads running for real: three threads and a queue pumped by the
// test exchange requests, responses and channel events and a broadcast; the
// start-up handshake (also when a processor fails), stopping within the limit
// and abandoning a thread stuck past it, and a processor registered on a live
// queue while another thread routes to it (the case ThreadSanitizer watches).
#include "test_message_support.h"

#include "orvo/core/core_message_thread.h"
#include "orvo/core/core_thread.h"
#include "orvo/core/core_time.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

using namespace message_test;

namespace
{
const char* const CHANNEL = "BROADCAST::Test";

// Pumps the queue until the condition holds. The limit only keeps a broken
// build from hanging; nothing is measured.
bool PumpUntil(MessageQueue& queue, const std::function<bool()>& done)
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

void PumpCallback(void* queue)
{
    static_cast<MessageQueue*>(queue)->Pump();
}

// A worker of the exchange. For each request of the driver it answers,
// announces the key on the channel and passes a request on to the next
// worker; requests of other workers it just answers.
class Worker : public RecordingProcessor
{
public:
    Worker(int index, u16 driver) : RecordingProcessor("Test::Worker"), index(index), driver(driver) {}

    bool ProcessorInitialise() override { return Subscribe(CHANNEL); }

    void ReceiveRequest(const Message& message) override
    {
        RecordingProcessor::ReceiveRequest(message);
        const MessageHeader request = *message.GetHeader();
        const i32 key = requests.back().Int(FIELD_KEY);
        MessageEncoder* encoder = GetQueue()->GetEncoder();

        encoder->Begin();
        encoder->AddField(FIELD_KEY, key);
        Message response = encoder->End();
        SendResponse(response, request);
        if (request.srcId != driver)
            return;

        encoder->Begin();
        encoder->AddField(FIELD_KEY, key);
        encoder->AddField(FIELD_SENDER, index);
        Message event = encoder->End();
        const size_t before = events.size();
        SendEvent(event, Location::GetSubscriptionId(CHANNEL));
        // Subscribed on its own queue: delivered during the send.
        if (events.size() != before + 1 || events.back().Int(FIELD_SENDER) != index ||
            events.back().Int(FIELD_KEY) != key)
            late_own_events.fetch_add(1);

        Message onward = Build(*GetQueue(), key);
        SendRequest(onward, next);
    }
    void ReceiveResponse(const Message& message) override
    {
        RecordingProcessor::ReceiveResponse(message);
        responses_seen.fetch_add(1, std::memory_order_release);
    }
    void ReceiveEvent(const Message& message) override
    {
        RecordingProcessor::ReceiveEvent(message);
        events_seen.fetch_add(1, std::memory_order_release);
    }

    const int index;
    const u16 driver;
    u16 next = 0;
    std::atomic<int> responses_seen{0};
    std::atomic<int> events_seen{0};
    std::atomic<int> late_own_events{0};
};

struct MessageThreads : DistributorFixture
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
};

// The messages of one sender in arrival order: the keys 0..n-1, each once.
void ExpectSequence(const std::vector<Received>& messages, const std::function<bool(const Received&)>& from, int n,
                    bool numbered)
{
    std::vector<i32> keys;
    std::vector<u32> numbers;
    for (const Received& message : messages)
    {
        if (!from(message))
            continue;
        keys.push_back(message.Int(FIELD_KEY));
        numbers.push_back(message.header.refNum);
    }
    std::vector<i32> expected_keys;
    std::vector<u32> expected_numbers;
    for (int k = 0; k < n; ++k)
    {
        expected_keys.push_back(k);
        expected_numbers.push_back(static_cast<u32>(k + 1));
    }
    EXPECT_EQ(keys, expected_keys);
    if (numbered)
    {
        EXPECT_EQ(numbers, expected_numbers);
    }
}

TEST_F(MessageThreads, ThreeThreadsAndATestQueueExchangeRequestsResponsesAndEvents)
{
    const int n = 300;
    const u16 channel = Location::GetSubscriptionId(CHANNEL);
    RecordingProcessor driver("Test::Driver");
    ASSERT_TRUE(queue.Register(&driver));
    ASSERT_TRUE(driver.Subscribe(CHANNEL));

    static const char* const names[3] = {"CAMERA", "LOAD", "TCL"};
    MessageThread threads[3];
    Worker* workers[3];
    u16 ids[3];
    for (int i = 0; i < 3; ++i)
    {
        workers[i] = new Worker(i, driver.GetLocationId());
        ids[i] = threads[i].Add(workers[i]);
        ASSERT_EQ(ids[i], workers[i]->GetLocationId());
    }
    EXPECT_EQ(std::set<u16>(ids, ids + 3).size(), 3u) << "one id per worker";
    for (int i = 0; i < 3; ++i)
        workers[i]->next = ids[(i + 1) % 3];
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(threads[i].Start(names[i], PumpCallback, &queue));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(threads[i].IsRunning());

    for (int k = 0; k < n; ++k)
    {
        for (int i = 0; i < 3; ++i)
        {
            Message request = Build(queue, k);
            ASSERT_TRUE(driver.SendRequest(request, ids[i]));
        }
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(driver.GetContext(ids[i]).pending, n);

    ASSERT_TRUE(PumpUntil(queue,
                          [&]
                          {
                              bool done = driver.responses.size() == 3u * n && driver.events.size() == 3u * n;
                              for (Worker* worker : workers)
                                  done = done && worker->responses_seen.load(std::memory_order_acquire) == n &&
                                         worker->events_seen.load(std::memory_order_acquire) == 3 * n;
                              return done;
                          }));

    // One message to everyone: each processor once per entry it has (its own
    // id and the channel), the driver during the send.
    Message everyone = Build(queue, -1);
    ASSERT_TRUE(driver.SendEvent(everyone, 0));
    EXPECT_EQ(driver.events.size(), 3u * n + 2);
    ASSERT_TRUE(PumpUntil(queue,
                          [&]
                          {
                              bool done = true;
                              for (Worker* worker : workers)
                                  done = done && worker->events_seen.load(std::memory_order_acquire) == 3 * n + 2;
                              return done;
                          }));

    for (int i = 0; i < 3; ++i)
        threads[i].Stop(PumpCallback, &queue);
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(threads[i].IsRunning());
    queue.Pump();
    EXPECT_FALSE(log.Contains("Forcing thread termination"));

    // The driver: each worker answered every request in order, nothing pending,
    // and announced every key once, in order.
    for (int i = 0; i < 3; ++i)
    {
        SCOPED_TRACE(names[i]);
        auto from_worker = [&](const Received& message) { return message.header.srcId == ids[i]; };
        ExpectSequence(driver.responses, from_worker, n, true);
        EXPECT_EQ(driver.GetContext(ids[i]).pending, 0);
        EXPECT_EQ(driver.GetContext(ids[i]).lastRefNum, n);
        ExpectSequence(
            driver.events, [&](const Received& m) { return from_worker(m) && m.header.dstId == channel; }, n, true);
    }
    // Each worker: the driver's requests and the previous worker's in order,
    // the next worker's answers, and every worker's events (its own at once).
    for (int i = 0; i < 3; ++i)
    {
        SCOPED_TRACE(names[i]);
        Worker& worker = *workers[i];
        ExpectSequence(
            worker.requests, [&](const Received& m) { return m.header.srcId == driver.GetLocationId(); }, n, true);
        ExpectSequence(
            worker.requests, [&](const Received& m) { return m.header.srcId == ids[(i + 2) % 3]; }, n, true);
        ExpectSequence(
            worker.responses, [&](const Received& m) { return m.header.srcId == ids[(i + 1) % 3]; }, n, true);
        EXPECT_EQ(worker.GetContext(ids[(i + 1) % 3]).pending, 0);
        for (int s = 0; s < 3; ++s)
            ExpectSequence(
                worker.events, [&](const Received& m) { return m.header.dstId == channel && m.Int(FIELD_SENDER) == s; },
                n, true);
        EXPECT_EQ(worker.late_own_events.load(), 0);
        int everyone_seen = 0;
        for (const Received& event : worker.events)
            everyone_seen += event.header.dstId == 0 && event.Int(FIELD_KEY) == -1;
        EXPECT_EQ(everyone_seen, 2);
    }
    queue.Unregister(&driver);
}

// Records the calls a thread makes into its processors, in order.
struct CallLog
{
    std::mutex mutex;
    std::vector<std::string> calls;
    void Add(const std::string& call)
    {
        std::lock_guard<std::mutex> guard(mutex);
        calls.push_back(call);
    }
    std::vector<std::string> Get()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return calls;
    }
};

class LifecycleProcessor : public MessageProcessor
{
public:
    LifecycleProcessor(const char* name, CallLog& calls, bool fail = false)
        : MessageProcessor(name, false), name(name), calls(calls), fail(fail)
    {
    }
    ~LifecycleProcessor() override { calls.Add(std::string("delete ") + name); }
    bool ProcessorInitialise() override
    {
        calls.Add(std::string("initialise ") + name + (GetQueue() ? " with queue" : " without queue"));
        Subscribe(CHANNEL);
        return !fail;
    }
    void ProcessorUpdate() override { updates.fetch_add(1, std::memory_order_release); }
    void ProcessorRelease() override
    {
        calls.Add(std::string("release ") + name + (GetQueue() ? " registered" : " unregistered"));
    }

    const char* name;
    CallLog& calls;
    bool fail;
    std::atomic<int> updates{0};
};

TEST_F(MessageThreads, StartFailsWhenAProcessorFailsAndEveryProcessorIsReleased)
{
    CallLog calls;
    {
        MessageThread thread;
        thread.Add(new LifecycleProcessor("Test::Good", calls));
        thread.Add(new LifecycleProcessor("Test::Bad", calls, true));
        thread.Add(new LifecycleProcessor("Test::AlsoGood", calls));
        int waits = 0;
        EXPECT_FALSE(thread.Start(
            "FAILING", [](void* user) { ++*static_cast<int*>(user); }, &waits));
        EXPECT_FALSE(thread.IsRunning());
        EXPECT_EQ(calls.Get(), (std::vector<std::string>{
                                   "initialise Test::Good with queue",
                                   "initialise Test::Bad with queue",
                                   "initialise Test::AlsoGood with queue",
                                   "release Test::Good registered",
                                   "release Test::Bad unregistered",
                                   "release Test::AlsoGood registered",
                               }));
        EXPECT_TRUE(log.Contains("Failed to initialise message processor Test::Bad on thread FAILING"));
        EXPECT_TRUE(log.Contains("Linking message queue 1: FAILING"));
        EXPECT_TRUE(log.Contains("Unlinking message queue 1: FAILING"));
        // Nothing is routed to the failed thread's processors any more.
        RecordingProcessor driver("Test::Driver");
        ASSERT_TRUE(queue.Register(&driver));
        Message event = Build(queue, 1);
        EXPECT_FALSE(driver.SendEvent(event, Location::GetSubscriptionId(CHANNEL)));
        queue.Unregister(&driver);
    }
    EXPECT_EQ(calls.Get().size(), 9u);
    EXPECT_EQ(calls.Get().back(), "delete Test::AlsoGood");
}

TEST_F(MessageThreads, AThreadRunsPassesUntilStoppedWithinTheLimit)
{
    CallLog calls;
    MessageThread thread;
    EXPECT_EQ(thread.GetStopLimit(), MESSAGETHREAD_STOP_LIMIT_MS);
    LifecycleProcessor* processor = new LifecycleProcessor("Test::Runner", calls);
    const u16 id = thread.Add(processor);
    ASSERT_TRUE(thread.Start("RUNNER", nullptr, nullptr));
    EXPECT_TRUE(thread.IsRunning());
    ASSERT_TRUE(PumpUntil(queue, [&] { return processor->updates.load(std::memory_order_acquire) >= 3; }));

    // Running threads take no new processors: the caller keeps this one.
    RecordingProcessor refused("Test::Refused");
    EXPECT_EQ(thread.Add(&refused), 0);
    EXPECT_TRUE(log.Contains("Failed to add message processor Test::Refused: thread RUNNER is running"));
    EXPECT_FALSE(thread.Start("RUNNER", nullptr, nullptr));

    // The thread's queue answers to the processor's id and to its channel.
    RecordingProcessor driver("Test::Driver");
    ASSERT_TRUE(queue.Register(&driver));
    Message request = Build(queue, 1);
    EXPECT_TRUE(driver.SendRequest(request, id));
    // The default request handler logs a request it has no use for.
    ASSERT_TRUE(PumpUntil(queue, [&] { return log.Contains("Request not handled:"); }));

    thread.Stop(nullptr, nullptr);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_FALSE(log.Contains("Forcing thread termination"));
    EXPECT_EQ(calls.Get().back(), "release Test::Runner registered");
    // Stopped: its queue is unlinked and a second Stop does nothing.
    request = Build(queue, 2);
    EXPECT_FALSE(driver.SendRequest(request, id));
    thread.Stop(nullptr, nullptr);
    queue.Unregister(&driver);
}

class CountingProcessor : public MessageProcessor
{
public:
    CountingProcessor() : MessageProcessor("Test::Counting", false) {}
    void ReceiveRequest(const Message&) override { requests.fetch_add(1, std::memory_order_release); }
    std::atomic<int> requests{0};
};

TEST_F(MessageThreads, AStoppedThreadStartsAgainWithEachProcessorOnce)
{
    MessageThread thread;
    CountingProcessor* processor = new CountingProcessor;
    const u16 id = thread.Add(processor);
    ASSERT_TRUE(thread.Start("AGAIN", nullptr, nullptr));
    thread.Stop(nullptr, nullptr);
    ASSERT_TRUE(thread.Start("AGAIN", nullptr, nullptr));
    EXPECT_TRUE(log.Contains("Linking message queue 2: AGAIN"));

    RecordingProcessor driver("Test::Driver");
    ASSERT_TRUE(queue.Register(&driver));
    Message request = Build(queue, 1);
    ASSERT_TRUE(driver.SendRequest(request, id));
    ASSERT_TRUE(PumpUntil(queue, [&] { return processor->requests.load(std::memory_order_acquire) >= 1; }));
    thread.Stop(nullptr, nullptr);
    EXPECT_EQ(processor->requests.load(), 1);
    queue.Unregister(&driver);
}

// A thread whose update hangs cannot stop: past the limit it is logged and
// abandoned, and Stop returns.
class StuckThread : public MessageThread
{
public:
    void Process() override
    {
        MessageThread::Process();
        finished.store(true, std::memory_order_release);
    }
    std::atomic<bool> finished{false};
};

class StuckProcessor : public MessageProcessor
{
public:
    StuckProcessor() : MessageProcessor("Test::Stuck", false) {}
    void ProcessorUpdate() override
    {
        stuck.store(true, std::memory_order_release);
        while (hold.load(std::memory_order_acquire))
            thread_sleep(1, TIMEUNIT_MILLISECONDS);
    }
    std::atomic<bool> hold{true};
    std::atomic<bool> stuck{false};
};

TEST_F(MessageThreads, AThreadThatDoesNotStopWithinTheLimitIsAbandoned)
{
    StuckThread thread;
    thread.SetStopLimit(50);
    StuckProcessor* processor = new StuckProcessor;
    thread.Add(processor);
    ASSERT_TRUE(thread.Start("STUCK", nullptr, nullptr));
    ASSERT_TRUE(PumpUntil(queue, [&] { return processor->stuck.load(std::memory_order_acquire); }));

    int waits = 0;
    thread.Stop([](void* user) { ++*static_cast<int*>(user); }, &waits);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_TRUE(log.Contains("Forcing thread termination: STUCK"));
    EXPECT_GT(waits, 0);

    // Let it go; it leaves its loop on its own and releases its processors.
    processor->hold.store(false, std::memory_order_release);
    ASSERT_TRUE(PumpUntil(queue, [&] { return thread.finished.load(std::memory_order_acquire); }));
    EXPECT_TRUE(log.Contains("Unlinking message queue 1: STUCK"));
}

// A sender thread routes to the test's queue on every pass while the test
// registers a processor there, subscribes it, and later deletes it.
class LateSender : public MessageProcessor
{
public:
    LateSender() : MessageProcessor("Test::LateSender", false) {}
    bool ProcessorInitialise() override
    {
        target = Location::GetLocationId("Test::Late", true);
        channel = Location::GetSubscriptionId("BROADCAST::Late");
        return true;
    }
    void ProcessorUpdate() override
    {
        MessageEncoder* encoder = GetQueue()->GetEncoder();
        encoder->Begin();
        encoder->AddField(FIELD_KEY, key);
        Message request = encoder->End();
        SendRequest(request, target);
        encoder->Begin();
        encoder->AddField(FIELD_KEY, key);
        Message event = encoder->End();
        SendEvent(event, channel);
        ++key;
        passes.fetch_add(1, std::memory_order_release);
    }
    void ReceiveResponse(const Message&) override { responses.fetch_add(1, std::memory_order_release); }

    u16 target = 0;
    u16 channel = 0;
    i32 key = 0;
    std::atomic<int> passes{0};
    std::atomic<int> responses{0};
};

TEST_F(MessageThreads, AProcessorRegisteredLateOnALiveQueueIsReachedWithoutARace)
{
    MessageThread thread;
    LateSender* sender = new LateSender;
    thread.Add(sender);
    ASSERT_TRUE(thread.Start("SENDER", nullptr, nullptr));
    ASSERT_TRUE(PumpUntil(queue, [&] { return sender->passes.load(std::memory_order_acquire) >= 3; }));

    RecordingProcessor* late = new RecordingProcessor("Test::Late", true);
    late->onRequest = [late](const Message& message)
    {
        Message response = Build(*late->GetQueue(), -1);
        late->SendResponse(response, *message.GetHeader());
    };
    ASSERT_TRUE(queue.Register(late));
    ASSERT_TRUE(late->Subscribe("BROADCAST::Late"));
    ASSERT_TRUE(PumpUntil(queue,
                          [&]
                          {
                              return late->requests.size() >= 3 && late->events.size() >= 3 &&
                                     sender->responses.load(std::memory_order_acquire) >= 3;
                          }));
    // From its first message on, the late processor sees every pass once, in order.
    for (const std::vector<Received>* messages : {&late->requests, &late->events})
    {
        std::vector<i32> keys = Keys(*messages);
        for (size_t i = 1; i < keys.size(); ++i)
            EXPECT_EQ(keys[i], keys[0] + static_cast<i32>(i));
    }

    // Gone again while the sender keeps routing to it.
    const int passes = sender->passes.load(std::memory_order_acquire);
    delete late;
    ASSERT_TRUE(PumpUntil(queue, [&] { return sender->passes.load(std::memory_order_acquire) >= passes + 3; }));
    thread.Stop(PumpCallback, &queue);
    EXPECT_FALSE(log.Contains("Forcing thread termination"));
}
} // namespace
