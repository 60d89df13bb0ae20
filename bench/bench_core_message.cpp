// In-process messages between threads. Request/response round trips and the
// fan-out of one event to 3 threads, each measured twice:
//  - against message threads, which run a pass every 34 ms and are woken
//    between passes by a message from another thread, printed beside the
//    bound of that period (34,000 us: a message never waits longer than one
//    pass before its thread sees it; woken, it waits only for the wake-up);
//  - against threads that pump without pause, printed beside a reference in
//    the same run: the same bytes carried by bare channels (channel_t) to
//    threads that copy them back or count them, i.e. the transport without
//    queues, processors, routing or framing.
// The threads and queues are set up once for the whole run: a process can
// link only 16 queues.
#include "orvo/core/core_channel.h"
#include "orvo/core/core_distributor.h"
#include "orvo/core/core_location.h"
#include "orvo/core/core_message_thread.h"
#include "orvo/core/core_thread.h"
#include "orvo/core/core_time.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>

using namespace orvo;

namespace
{
const i32 FIELD_KEY = 1;
// Message threads and spinning threads listen on channels of their own.
const char* const THREAD_CHANNEL = "BROADCAST::BenchThreads";
const char* const SPINNER_CHANNEL = "BROADCAST::BenchSpinners";
const double DESIGN_BOUND_US = static_cast<double>(MESSAGETHREAD_PERIOD_US);

// Answers every request and counts the channel's events.
class Echo : public MessageProcessor
{
public:
    explicit Echo(const char* channel) : MessageProcessor("Bench::Echo", false), channel(channel) {}
    bool ProcessorInitialise() override { return Subscribe(channel); }
    void ReceiveRequest(const Message& message) override
    {
        const MessageHeader request = *message.GetHeader();
        MessageEncoder* encoder = GetQueue()->GetEncoder();
        encoder->Begin();
        encoder->AddField(FIELD_KEY, static_cast<int>(request.refNum));
        Message response = encoder->End();
        SendResponse(response, request);
    }
    void ReceiveEvent(const Message&) override { events.fetch_add(1, std::memory_order_release); }
    const char* channel;
    std::atomic<u64> events{0};
};

// The benchmark thread's side: counts the responses it pumps in.
class Client : public MessageProcessor
{
public:
    Client() : MessageProcessor("Bench::Client", false) {}
    void ReceiveResponse(const Message&) override { ++responses; }
    u64 responses = 0;
};

// A queue on a thread of its own that pumps without pause while busy is set
// (and every millisecond otherwise, so that idle benchmarks cost nothing).
struct Spinner
{
    thread_t thread;
    MessageQueue queue;
    Echo echo{SPINNER_CHANNEL};
    std::atomic<bool> stop{false};
    std::atomic<bool> ready{false};
    std::atomic<bool>* busy = nullptr;

    static void Run(void* user)
    {
        Spinner& self = *static_cast<Spinner*>(user);
        self.queue.SetName("SPINNER");
        if (self.queue.Initialise() && self.queue.Register(&self.echo) && self.echo.ProcessorInitialise())
            self.ready.store(true, std::memory_order_release);
        while (!self.stop.load(std::memory_order_acquire))
        {
            self.queue.Pump();
            if (self.busy->load(std::memory_order_acquire))
                thread_yield();
            else
                thread_sleep(1, TIMEUNIT_MILLISECONDS);
        }
        self.queue.Unregister(&self.echo);
        self.queue.Release();
    }
};

// The reference: bare channels. A request goes out on one channel and comes
// back on another; an event is one write per reader.
struct RawPeer
{
    thread_t thread;
    channel_t in;
    channel_t out;
    std::atomic<bool> echo{true}; // false: count and drop
    std::atomic<u64> received{0};
    std::atomic<bool> stop{false};
    std::atomic<bool>* busy = nullptr;

    static void Run(void* user)
    {
        RawPeer& self = *static_cast<RawPeer*>(user);
        while (!self.stop.load(std::memory_order_acquire))
        {
            void* data;
            u64 length;
            bool any = false;
            while (channel_read_begin(self.in, data, length))
            {
                if (self.echo.load(std::memory_order_acquire))
                    channel_write(self.out, data, length);
                channel_read_end(self.in);
                self.received.fetch_add(1, std::memory_order_release);
                any = true;
            }
            if (any || self.busy->load(std::memory_order_acquire))
                thread_yield();
            else
                thread_sleep(1, TIMEUNIT_MILLISECONDS);
        }
        channel_detach_reader(self.in);
    }
};

struct Topology
{
    std::atomic<bool> busy{false};
    MessageQueue queue; // the benchmark thread's
    Client client;
    MessageThread threads[3];
    Echo* thread_echoes[3] = {};
    Spinner spinners[3];
    RawPeer raw[3];

    bool Start()
    {
        if (!Distributor::Initialise() || !Distributor::Start())
            return false;
        queue.SetName("BENCH");
        if (!queue.Initialise() || !queue.Register(&client))
            return false;
        static const char* const names[3] = {"BENCH_A", "BENCH_B", "BENCH_C"};
        for (int i = 0; i < 3; ++i)
        {
            thread_echoes[i] = new Echo(THREAD_CHANNEL);
            threads[i].Add(thread_echoes[i]);
            if (!threads[i].Start(names[i], nullptr, nullptr))
                return false;
        }
        for (Spinner& spinner : spinners)
        {
            spinner.busy = &busy;
            thread_initialise(spinner.thread);
            thread_set(spinner.thread, &Spinner::Run, &spinner, string_make("SPINNER"));
            if (!thread_run(spinner.thread))
                return false;
            while (!spinner.ready.load(std::memory_order_acquire))
            {
                if (!thread_is_running(spinner.thread))
                    return false;
                thread_yield();
            }
        }
        for (RawPeer& peer : raw)
        {
            peer.busy = &busy;
            if (!channel_initialise(peer.in) || !channel_initialise(peer.out))
                return false;
            channel_attach_reader(peer.in);
            thread_initialise(peer.thread);
            thread_set(peer.thread, &RawPeer::Run, &peer, string_make("RAWPEER"));
            if (!thread_run(peer.thread))
                return false;
        }
        return true;
    }

    void Stop()
    {
        for (MessageThread& thread : threads)
            thread.Stop(nullptr, nullptr);
        for (Spinner& spinner : spinners)
        {
            spinner.stop.store(true, std::memory_order_release);
            thread_wait(spinner.thread, nullptr, nullptr);
        }
        for (RawPeer& peer : raw)
        {
            peer.stop.store(true, std::memory_order_release);
            thread_wait(peer.thread, nullptr, nullptr);
            channel_detach_reader(peer.out);
            channel_release(peer.in);
            channel_release(peer.out);
        }
        queue.Unregister(&client);
        queue.Release();
        Distributor::Stop();
        Distributor::Release();
    }
};

Topology* topology = nullptr;

// Holds the spinning threads busy for one benchmark. Idle threads sleep a
// millisecond between looks, so each benchmark wakes them before timing.
struct Busy
{
    Busy()
    {
        topology->busy.store(true, std::memory_order_release);
        thread_sleep(3, TIMEUNIT_MILLISECONDS);
    }
    ~Busy() { topology->busy.store(false, std::memory_order_release); }
};

Message Build(int key)
{
    MessageEncoder* encoder = topology->queue.GetEncoder();
    encoder->Begin();
    encoder->AddField(FIELD_KEY, key);
    return encoder->End();
}

// One request, then pump until its response is in; the time it took in us.
u64 RoundTrip(u16 destination, int key)
{
    u64 start = time_get_ticks();
    u64 expected = topology->client.responses + 1;
    Message request = Build(key);
    topology->client.SendRequest(request, destination);
    while (topology->client.responses < expected)
    {
        topology->queue.Pump();
        thread_yield();
    }
    return time_get_ticks() - start;
}

// One event to the channel, then wait until all three echoes have it.
u64 Fanout(Echo* const echoes[3], const char* channel, int key)
{
    u64 start = time_get_ticks();
    u64 before[3];
    for (int i = 0; i < 3; ++i)
        before[i] = echoes[i]->events.load(std::memory_order_acquire);
    Message event = Build(key);
    topology->client.SendEvent(event, Location::GetSubscriptionId(channel));
    for (int i = 0; i < 3; ++i)
    {
        while (echoes[i]->events.load(std::memory_order_acquire) == before[i])
            thread_yield();
    }
    return time_get_ticks() - start;
}

void Report(benchmark::State& state, u64 total_us, u64 worst_us, bool bounded)
{
    double iterations = static_cast<double>(state.iterations() ? state.iterations() : 1);
    state.counters["measured_us"] = static_cast<double>(total_us) / iterations;
    state.counters["worst_us"] = static_cast<double>(worst_us);
    if (bounded)
        state.counters["bound_us"] = DESIGN_BOUND_US;
}

// --- message threads pumping once per pass, beside the period's bound ------------

void BM_RoundTrip_MessageThread(benchmark::State& state)
{
    u64 total = 0, worst = 0;
    int key = 0;
    for (auto _ : state)
    {
        u64 us = RoundTrip(topology->thread_echoes[0]->GetLocationId(), key++);
        total += us;
        worst = us > worst ? us : worst;
    }
    Report(state, total, worst, true);
}
BENCHMARK(BM_RoundTrip_MessageThread)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_EventFanout3_MessageThreads(benchmark::State& state)
{
    u64 total = 0, worst = 0;
    int key = 0;
    for (auto _ : state)
    {
        u64 us = Fanout(topology->thread_echoes, THREAD_CHANNEL, key++);
        total += us;
        worst = us > worst ? us : worst;
    }
    Report(state, total, worst, true);
}
BENCHMARK(BM_EventFanout3_MessageThreads)->UseRealTime()->Unit(benchmark::kMillisecond);

// --- threads pumping without pause, beside bare channels ----------------------------

void BM_RoundTrip_Spinning(benchmark::State& state)
{
    Busy busy;
    u64 total = 0, worst = 0;
    int key = 0;
    for (auto _ : state)
    {
        u64 us = RoundTrip(topology->spinners[0].echo.GetLocationId(), key++);
        total += us;
        worst = us > worst ? us : worst;
    }
    Report(state, total, worst, false);
}
BENCHMARK(BM_RoundTrip_Spinning)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_RoundTrip_Reference_RawChannel(benchmark::State& state)
{
    Busy busy;
    RawPeer& peer = topology->raw[0];
    peer.echo.store(true, std::memory_order_release);
    Message message = Build(0); // the same 48 bytes
    u64 total = 0, worst = 0;
    for (auto _ : state)
    {
        u64 start = time_get_ticks();
        channel_write(peer.in, message.GetData(), message.GetNumBytes());
        void* data;
        u64 length;
        while (!channel_read_begin(peer.out, data, length))
            thread_yield();
        benchmark::DoNotOptimize(data);
        channel_read_end(peer.out);
        u64 us = time_get_ticks() - start;
        total += us;
        worst = us > worst ? us : worst;
    }
    Report(state, total, worst, false);
}
BENCHMARK(BM_RoundTrip_Reference_RawChannel)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_EventFanout3_Spinning(benchmark::State& state)
{
    Busy busy;
    Echo* echoes[3] = {&topology->spinners[0].echo, &topology->spinners[1].echo, &topology->spinners[2].echo};
    u64 total = 0, worst = 0;
    int key = 0;
    for (auto _ : state)
    {
        u64 us = Fanout(echoes, SPINNER_CHANNEL, key++);
        total += us;
        worst = us > worst ? us : worst;
    }
    Report(state, total, worst, false);
}
BENCHMARK(BM_EventFanout3_Spinning)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_EventFanout3_Reference_RawChannels(benchmark::State& state)
{
    Busy busy;
    Message message = Build(0);
    for (RawPeer& peer : topology->raw)
        peer.echo.store(false, std::memory_order_release);
    u64 total = 0, worst = 0;
    for (auto _ : state)
    {
        u64 start = time_get_ticks();
        u64 before[3];
        for (int i = 0; i < 3; ++i)
            before[i] = topology->raw[i].received.load(std::memory_order_acquire);
        for (RawPeer& peer : topology->raw)
            channel_write(peer.in, message.GetData(), message.GetNumBytes());
        for (int i = 0; i < 3; ++i)
        {
            while (topology->raw[i].received.load(std::memory_order_acquire) == before[i])
                thread_yield();
        }
        u64 us = time_get_ticks() - start;
        total += us;
        worst = us > worst ? us : worst;
    }
    for (RawPeer& peer : topology->raw)
        peer.echo.store(true, std::memory_order_release);
    Report(state, total, worst, false);
}
BENCHMARK(BM_EventFanout3_Reference_RawChannels)->UseRealTime()->Unit(benchmark::kMicrosecond);
} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Topology setup;
    topology = &setup;
    bool started = setup.Start();
    if (started)
        benchmark::RunSpecifiedBenchmarks();
    setup.Stop();
    topology = nullptr;
    benchmark::Shutdown();
    return started ? 0 : 1;
}
