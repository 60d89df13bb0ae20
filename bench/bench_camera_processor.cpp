// The camera processor's pass (ProcessorUpdate: system events, detection,
// download queue, every device's update, the PTP context step, every driver's
// update) with 4, 16 and 64 idle, connected scripted cameras, printed beside
// the 34 ms pass period of the "CAMERA" thread (period_us, share_of_period)
// and beside a reference measured in the same run: the other half of a
// thread's pass, pumping the thread's queue with nothing to deliver.
#include "orvo/camera/camera_processor.h"
#include "orvo/core/core_distributor.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_message_queue.h"
#include "orvo/core/core_message_thread.h"
#include "orvo/core/core_time.h"
#include "support/support_scripted_camera.h"

#include <benchmark/benchmark.h>

#include <string>

using namespace orvo;

namespace
{
const double PERIOD_US = static_cast<double>(MESSAGETHREAD_PERIOD_US);

// One queue for the whole run: a process links at most 16.
struct Setup
{
    MessageQueue queue;
    bool ready = false;
    Setup()
    {
        log_open();
        log_enable(LOGLEVEL_INFO, LOGMODULE_CAMERA, false);
        CameraProcessor::SupportPTP = false;
        ready = Distributor::Initialise() && Distributor::Start() && queue.Initialise();
    }
};

Setup& TheSetup()
{
    static Setup setup;
    return setup;
}

// Wall time per pass in microseconds, beside the pass period.
void Report(benchmark::State& state, double total_us)
{
    const double pass_us = state.iterations() ? total_us / static_cast<double>(state.iterations()) : 0.0;
    state.counters["pass_us"] = pass_us;
    state.counters["period_us"] = PERIOD_US;
    state.counters["share_of_period"] = pass_us / PERIOD_US;
}

void BM_ProcessorPassIdle(benchmark::State& state)
{
    Setup& setup = TheSetup();
    if (!setup.ready)
    {
        state.SkipWithError("message queue not available");
        return;
    }
    const int cameras = static_cast<int>(state.range(0));
    CameraProcessor* processor = new CameraProcessor();
    auto* driver = new lumivane_test::ScriptedDriver(processor);
    processor->AddDriver(driver);
    for (int i = 0; i < cameras; ++i)
    {
        lumivane_test::CameraScript script;
        script.serial = "BENCH" + std::to_string(i);
        driver->Attach(script);
    }
    setup.queue.Register(processor);
    if (!processor->ProcessorInitialise())
    {
        state.SkipWithError("processor did not initialise");
        delete processor;
        return;
    }
    processor->DetectCameras();
    for (u64 i = 0; i < processor->GetDevices().count; ++i)
        processor->GetDevices().data[i]->Connect();

    const u64 start = time_get_ticks();
    for (auto _ : state)
        processor->ProcessorUpdate();
    const double total_us = static_cast<double>(time_get_ticks() - start);

    processor->ProcessorRelease();
    setup.queue.Unregister(processor);
    delete processor;
    state.counters["cameras"] = cameras;
    Report(state, total_us);
}

// What an idle thread pass spends besides its processors.
void BM_ReferenceEmptyQueuePump(benchmark::State& state)
{
    Setup& setup = TheSetup();
    if (!setup.ready)
    {
        state.SkipWithError("message queue not available");
        return;
    }
    const u64 start = time_get_ticks();
    for (auto _ : state)
        setup.queue.Pump();
    Report(state, static_cast<double>(time_get_ticks() - start));
}
} // namespace

BENCHMARK(BM_ReferenceEmptyQueuePump);
BENCHMARK(BM_ProcessorPassIdle)->Arg(4)->Arg(16)->Arg(64);

BENCHMARK_MAIN();
