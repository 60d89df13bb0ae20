// The USB transport through the loopback backend and the responder on the
// wire: GetObject throughput for 5, 25 and 200 MiB objects beside a
// single-threaded memcpy of the same bytes and beside the responder serving
// the same object without the wire (the cost of making its bytes), and the
// GetDevicePropValue round-trip rate with CPU time per transaction beside the
// responder answering the same operation directly. Quick mode uses small
// objects.
#include "orvo/camera/src/mic/camera_mic_loopback.h"
#include "orvo/camera/src/mic/camera_mic_transport.h"
#include "support/ptpsim/ptpsim_camera.h"
#include "support/ptpsim/ptpsim_usb.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

using namespace orvo;

namespace
{
bool quick_mode()
{
    return std::getenv("LUMIVANE_BENCH_QUICK") != nullptr;
}

std::vector<int64_t> sizes_mib()
{
    return quick_mode() ? std::vector<int64_t>{1} : std::vector<int64_t>{5, 25, 200};
}

// In quick mode the "MiB" argument counts 64 KiB steps, so a run stays short.
u64 object_bytes(int64_t arg)
{
    return quick_mode() ? u64(arg) << 16 : u64(arg) << 20;
}

double cpu_seconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Rig
{
    Rig()
    {
        mic_loopback_initialise(backend);
        usb = std::make_unique<ptpsim::UsbCamera>(camera, backend);
        ok = mic_transport_initialise(transport, backend, usb->info()) && mic_transport_open_session(transport);
        mtp_buffer_initialise(buffer);
    }
    ~Rig()
    {
        mtp_buffer_release(buffer);
        mic_transport_release(transport);
        usb.reset();
        mic_backend_release(backend);
    }
    mic_backend_t backend = {};
    ptpsim::Camera camera;
    std::unique_ptr<ptpsim::UsbCamera> usb;
    mic_transport_t transport = {};
    mtp_buffer_t buffer;
    bool ok = false;
};

void BM_GetObject_Loopback(benchmark::State& state)
{
    Rig rig;
    u64 size = object_bytes(state.range(0));
    u32 handle = rig.camera.add_object(ptpsim::ObjectInfo(), size);
    if (!rig.ok)
        state.SkipWithError("no transport");
    // One untimed transfer first: the buffer's pages are then as warm as
    // memcpy's target, and the figure is the wire's, not the page faults'.
    mic_transport_transact(rig.transport, ptpsim::kOpGetObject, &handle, 1, nullptr, 0, &rig.buffer);
    for (auto _ : state)
    {
        u16 response = mic_transport_transact(rig.transport, ptpsim::kOpGetObject, &handle, 1, nullptr, 0, &rig.buffer);
        if (response != 0x2001 || rig.buffer.length != size)
            state.SkipWithError("GetObject failed");
        benchmark::DoNotOptimize(rig.buffer.data);
    }
    state.SetBytesProcessed(int64_t(state.iterations() * size));
}

void BM_GetObject_ResponderOnly(benchmark::State& state)
{
    ptpsim::Camera camera;
    u64 size = object_bytes(state.range(0));
    u32 handle = camera.add_object(ptpsim::ObjectInfo(), size);
    mtp_buffer_t buffer;
    mtp_buffer_initialise(buffer);
    ptpsim::read(MTP_PROTOCOL_GENERIC, mtp_command_t(ptpsim::kOpGetObject), &handle, 1, buffer, &camera);
    for (auto _ : state)
    {
        if (ptpsim::read(MTP_PROTOCOL_GENERIC, mtp_command_t(ptpsim::kOpGetObject), &handle, 1, buffer, &camera) !=
            0x2001)
            state.SkipWithError("GetObject failed");
        benchmark::DoNotOptimize(buffer.data);
    }
    state.SetBytesProcessed(int64_t(state.iterations() * size));
    mtp_buffer_release(buffer);
}

void BM_GetObject_Memcpy(benchmark::State& state)
{
    u64 size = object_bytes(state.range(0));
    std::vector<u8> source(size, 0x5A), target(size);
    for (auto _ : state)
    {
        std::memcpy(target.data(), source.data(), size);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations() * size));
}

void BM_GetDevicePropValue_Loopback(benchmark::State& state)
{
    Rig rig;
    const u32 code = ptpsim::kPropFNumber;
    double start = cpu_seconds();
    for (auto _ : state)
    {
        if (mic_transport_transact(rig.transport, ptpsim::kOpGetDevicePropValue, &code, 1, nullptr, 0, &rig.buffer) !=
            0x2001)
            state.SkipWithError("GetDevicePropValue failed");
    }
    double cpu = cpu_seconds() - start;
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.counters["process_cpu_us_per_txn"] = state.iterations() ? cpu * 1e6 / double(state.iterations()) : 0.0;
}

void BM_GetDevicePropValue_ResponderOnly(benchmark::State& state)
{
    ptpsim::Camera camera;
    mtp_buffer_t buffer;
    mtp_buffer_initialise(buffer);
    const u32 code = ptpsim::kPropFNumber;
    double start = cpu_seconds();
    for (auto _ : state)
    {
        if (ptpsim::read(MTP_PROTOCOL_GENERIC, mtp_command_t(ptpsim::kOpGetDevicePropValue), &code, 1, buffer,
                         &camera) != 0x2001)
            state.SkipWithError("GetDevicePropValue failed");
    }
    double cpu = cpu_seconds() - start;
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.counters["process_cpu_us_per_txn"] = state.iterations() ? cpu * 1e6 / double(state.iterations()) : 0.0;
    mtp_buffer_release(buffer);
}

void object_sizes(benchmark::internal::Benchmark* b)
{
    for (int64_t mib : sizes_mib())
        b->Arg(mib);
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}
} // namespace

BENCHMARK(BM_GetObject_Loopback)->Apply(object_sizes);
BENCHMARK(BM_GetObject_ResponderOnly)->Apply(object_sizes);
BENCHMARK(BM_GetObject_Memcpy)->Apply(object_sizes);
BENCHMARK(BM_GetDevicePropValue_Loopback)->UseRealTime();
BENCHMARK(BM_GetDevicePropValue_ResponderOnly)->UseRealTime();

BENCHMARK_MAIN();
