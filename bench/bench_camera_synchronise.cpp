// The cost of a Synchronise with 1,000 and 10,000 photos: the processor's
// full status (one Status event with every camera and photo record, then the
// property status of every camera) encoded and sent, delivered to a data
// surface's queue and mirrored there. Printed beside the 34 ms pass period of
// the message threads (period_us, share_of_period), with the Status
// message's size, and beside a reference measured in the same run: a plain
// memcpy of as many bytes as the Status event carries.
#include "orvo/camera/camera_datasurface.h"
#include "orvo/camera/camera_processor.h"
#include "orvo/camera/camera_testdriver.h"
#include "orvo/core/core_distributor.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_message_queue.h"
#include "orvo/core/core_message_thread.h"
#include "orvo/core/core_time.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

using namespace orvo;

namespace
{
const double PERIOD_US = static_cast<double>(MESSAGETHREAD_PERIOD_US);
// A full status: the Status event and 12 property events for each of the 4 cameras.
const u64 SYNC_EVENTS = 1 + 4 * 12;

// The processor's queue and the surface's queue, both on this thread; the
// events travel between them through the distributor as between threads.
struct Setup
{
    MessageQueue processor_queue;
    MessageQueue surface_queue;
    CameraProcessor* processor = nullptr;
    CameraDataSurface* surface = nullptr;
    bool ready = false;
    u64 photos = 0;
    u64 status_bytes = 0;

    Setup()
    {
        log_open();
        log_enable(LOGLEVEL_INFO, LOGMODULE_CAMERA, false);
        log_enable(LOGLEVEL_INFO, LOGMODULE_GENERAL, false);
        CameraProcessor::SupportPTP = false;
        processor_queue.SetName("CAMERA");
        surface_queue.SetName("SURFACE");
        if (!Distributor::Initialise() || !Distributor::Start() || !processor_queue.Initialise() ||
            !surface_queue.Initialise())
            return;
        processor = new CameraProcessor();
        TestDriver* driver = new TestDriver(processor);
        processor->AddDriver(driver);
        for (int i = 0; i < 4; ++i)
            processor->AddDevice(new TestDevice(driver));
        for (CameraDevice* device : std::vector<CameraDevice*>(processor->GetDevices().data,
                                                               processor->GetDevices().data +
                                                                   processor->GetDevices().count))
            device->Connect();
        surface = new CameraDataSurface("Bench");
        surface->AddRoute(&events, [](void* target, const CameraEvent&) {
            ++*static_cast<u64*>(target);
            return true;
        });
        ready = processor_queue.Register(processor) && surface_queue.Register(surface) && surface->Initialise();
    }

    // Events the surface has taken.
    u64 events = 0;

    // Photos added before the surface listens would still reach it: drain.
    void Grow(u64 count)
    {
        const vector_t<CameraDevice*>& devices = processor->GetDevices();
        filename_t file;
        filename_initialise(file);
        filename_set(file, string_make("/card/IMG_0001.JPG"));
        while (photos < count)
        {
            CameraDevice* device = devices.data[photos % devices.count];
            processor->AddPhoto(device, new TestPhoto(static_cast<TestDevice*>(device), nullptr, file));
            ++photos;
            pending += 4;
            if (photos % 256 == 0)
                Drain();
        }
        filename_release(file);
        Drain();
    }

    // Pumps both queues until the surface has taken this many events more.
    void Await(u64 more)
    {
        const u64 target = events + more;
        while (events < target)
        {
            surface_queue.Pump();
            processor_queue.Pump();
            if (events < target)
                thread_yield();
        }
    }

    // Every photo sends four events (camera status, photo status,
    // information, photo taken).
    void Drain() { Await(pending), pending = 0; }
    u64 pending = 0;
};

Setup& TheSetup()
{
    static Setup setup;
    return setup;
}

void Report(benchmark::State& state, double total_us, u64 bytes)
{
    const double per_us = state.iterations() ? total_us / static_cast<double>(state.iterations()) : 0.0;
    state.counters["sync_us"] = per_us;
    state.counters["period_us"] = PERIOD_US;
    state.counters["share_of_period"] = per_us / PERIOD_US;
    state.counters["status_bytes"] = static_cast<double>(bytes);
}

u64 StatusBytes(u64 cameras, u64 photos)
{
    // Header, field 1 and the two record fields.
    return 16 + 24 + (16 + cameras * sizeof(camera_t)) + (16 + photos * sizeof(photo_t));
}

// Encoding and sending only: what the "CAMERA" thread spends.
void BM_SynchroniseEncode(benchmark::State& state)
{
    Setup& setup = TheSetup();
    if (!setup.ready)
    {
        state.SkipWithError("message queues not available");
        return;
    }
    setup.Grow(static_cast<u64>(state.range(0)));
    double total_us = 0.0;
    for (auto _ : state)
    {
        orvo::timer_t timer;
        timer_start(timer);
        setup.processor->BroadcastStatus();
        total_us += static_cast<double>(timer_elapsed(timer));
        state.PauseTiming();
        setup.Await(SYNC_EVENTS);
        state.ResumeTiming();
    }
    Report(state, total_us, StatusBytes(setup.processor->GetDevices().count, setup.photos));
}

// Encode, deliver and mirror: until the surface has taken every record.
void BM_SynchroniseEncodeDeliverMirror(benchmark::State& state)
{
    Setup& setup = TheSetup();
    if (!setup.ready)
    {
        state.SkipWithError("message queues not available");
        return;
    }
    setup.Grow(static_cast<u64>(state.range(0)));
    double total_us = 0.0;
    for (auto _ : state)
    {
        orvo::timer_t timer;
        timer_start(timer);
        setup.processor->BroadcastStatus();
        setup.Await(SYNC_EVENTS);
        total_us += static_cast<double>(timer_elapsed(timer));
    }
    Report(state, total_us, StatusBytes(setup.processor->GetDevices().count, setup.photos));
}

// The reference: copying as many bytes as the Status event carries.
void BM_ReferenceMemcpyStatusBytes(benchmark::State& state)
{
    const u64 bytes = StatusBytes(4, static_cast<u64>(state.range(0)));
    std::vector<u8> source(bytes, 1), target(bytes);
    for (auto _ : state)
    {
        std::memcpy(target.data(), source.data(), bytes);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["status_bytes"] = static_cast<double>(bytes);
}
} // namespace

// In this order: the processor's photo list only grows.
BENCHMARK(BM_SynchroniseEncode)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SynchroniseEncodeDeliverMirror)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SynchroniseEncode)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SynchroniseEncodeDeliverMirror)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReferenceMemcpyStatusBytes)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
