// Taking one Nikon live-view frame (a 250 KB block, 64 KB in quick mode):
// at the model's JPEG offset, and with the offset searched first (the JPEG
// moved to 376), beside copying the same bytes into a frame buffer, which is
// the least any frame reader must do. The header decoding and the check at
// the offset should cost next to nothing; the search adds at most 512 looks.
#include "orvo/camera/mtp_nikon.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

using namespace orvo;

namespace
{
bool quick_mode()
{
    return std::getenv("LUMIVANE_BENCH_QUICK") != nullptr;
}

// A D810-shaped block: zeros, the big-endian header at 8, a JPEG at `jpeg`.
std::vector<u8> frame(u32 jpeg)
{
    std::vector<u8> bytes(quick_mode() ? (64u << 10) : (250u << 10), 0);
    const u16 fields[6] = {6016, 4016, 752, 502, 3008, 2008};
    for (int k = 0; k < 6; ++k)
    {
        bytes[8 + 4 + 2 * k] = static_cast<u8>(fields[k] >> 8);
        bytes[8 + 5 + 2 * k] = static_cast<u8>(fields[k] & 0xFF);
    }
    for (size_t i = jpeg; i < bytes.size(); ++i)
        bytes[i] = static_cast<u8>((i * 37 + 11) % 0xFE);
    bytes[jpeg] = 0xFF;
    bytes[jpeg + 1] = 0xD8;
    bytes[bytes.size() - 2] = 0xFF;
    bytes[bytes.size() - 1] = 0xD9;
    return bytes;
}

struct Rig
{
    Rig()
    {
        mtp_device_initialise(device, nullptr, mtp_device_callbacks_t{});
        device.vendor_state = &state;
        state.liveview_header_offset = 8;
    }
    ~Rig()
    {
        device.vendor_state = nullptr;
        mtp_device_release(device);
    }
    mtp_device_t device = {};
    mtp_nikon_state_t state = {};
};

void run(benchmark::State& st, u32 jpeg, i32 offset_before_each)
{
    std::vector<u8> bytes = frame(jpeg);
    const mtp_buffer_t block = {bytes.data(), bytes.size(), bytes.size(), false};
    Rig rig;
    rig.state.liveview_jpeg_offset = static_cast<i32>(jpeg);
    for (auto _ : st)
    {
        if (offset_before_each != 0)
            rig.state.liveview_jpeg_offset = offset_before_each;
        mtp_nikon_read_liveview_frame(rig.device, block);
        benchmark::DoNotOptimize(rig.device.liveview.frame.data);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(bytes.size()));
}
} // namespace

static void BM_NikonFrame_AtModelOffset(benchmark::State& st)
{
    run(st, 384, 0);
}
BENCHMARK(BM_NikonFrame_AtModelOffset);

static void BM_NikonFrame_SearchedTo376(benchmark::State& st)
{
    // The offset forgotten before every frame: the worst a moved JPEG costs.
    run(st, 376, 384);
}
BENCHMARK(BM_NikonFrame_SearchedTo376);

static void BM_Reference_CopyIntoFrameBuffer(benchmark::State& st)
{
    std::vector<u8> bytes = frame(384);
    memorybuffer_t target;
    memorybuffer_initialise(target);
    for (auto _ : st)
    {
        memorybuffer_set(target, bytes.data() + 384, bytes.size() - 384);
        benchmark::DoNotOptimize(target.data);
    }
    memorybuffer_release(target);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_Reference_CopyIntoFrameBuffer);

BENCHMARK_MAIN();
