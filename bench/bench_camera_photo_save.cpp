// The save stage of the download road alone: 16 photos of 4 MiB saved by four
// threads at once as the download threads save them (a temporary file beside
// the photo, written, synced, published under a unique name, the folder
// synced; then the hash and the payload check), beside four writers writing,
// syncing and hashing the same bytes in the same kind of folder (counter
// of_reference_pct). Shows what saving costs on the road without the camera,
// the transport or the camera thread.
//
// LUMIVANE_BENCH_QUICK=1 keeps to photos of 256 KiB.
#include "bench_reference_files.h"
#include "orvo/camera/mtp_photofile.h"
#include "orvo/core/core_imageformat.h"
#include "support/support_temp_dir.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace orvo;

namespace
{
const int kPhotos = 16;
const int kThreads = 4;

using bench_reference::now_seconds;
using bench_reference::quick_mode;

u64 photo_bytes()
{
    return bench_reference::road_photo_bytes();
}

double g_reference_bytes_per_s = 0.0;

// Runs `save(thread, photo)` for every photo on four threads, thread w taking
// every fourth photo from w, in a fresh folder per iteration; the seconds.
template <typename Save>
double run(benchmark::State& state, Save save, std::atomic<bool>& failed)
{
    double seconds = 0.0;
    for (auto _ : state)
    {
        lumivane_test::TempDir folder;
        const double start = now_seconds();
        std::vector<std::thread> threads;
        for (int w = 0; w < kThreads; ++w)
            threads.emplace_back([&, w] {
                for (int p = w; p < kPhotos; p += kThreads)
                    if (!save(folder, p))
                        failed.store(true);
            });
        for (std::thread& thread : threads)
            thread.join();
        const double elapsed = now_seconds() - start;
        state.SetIterationTime(elapsed);
        seconds += elapsed;
    }
    return seconds;
}

void BM_Reference_WriteSyncAndHash(benchmark::State& state)
{
    const std::vector<std::vector<u8>> photos = bench_reference::make_photos(kPhotos, photo_bytes());
    std::atomic<bool> failed{false};
    const double seconds = run(
        state,
        [&](const lumivane_test::TempDir& folder, int p) {
            const std::string name = "IMG_" + std::to_string(p) + ".JPG";
            return bench_reference::write_sync_and_hash(folder.File(name), name, photos[p]);
        },
        failed);
    if (failed.load())
        state.SkipWithError("writing failed");
    const double bytes = double(state.iterations()) * kPhotos * double(photo_bytes());
    g_reference_bytes_per_s = seconds > 0.0 ? bytes / seconds : 0.0;
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["MB_per_s"] = g_reference_bytes_per_s / 1e6;
}

// Ours: what mtp_save_photo does with a downloaded photo's bytes.
void BM_SavePhotos(benchmark::State& state)
{
    const std::vector<std::vector<u8>> photos = bench_reference::make_photos(kPhotos, photo_bytes());
    std::atomic<bool> failed{false};
    const double seconds = run(
        state,
        [&](const lumivane_test::TempDir& folder, int p) {
            const memory_t bytes = {photos[p].data(), photos[p].size()};
            const std::string wanted = "DSC" + std::to_string(10000 + p) + ".JPG";
            stringbuffer_t name, hash;
            stringbuffer_initialise(name);
            stringbuffer_initialise(hash);
            filename_t target;
            filename_initialise(target);
            bool ok = stringbuffer_set(name, string_make(wanted.c_str())) &&
                      mtp_save_unique(string_make(folder.Path().c_str()), empty_str, name, bytes, target) &&
                      mtp_compute_hash(hash, name, bytes) && image_compute_payload(bytes) == bytes.num_bytes;
            benchmark::DoNotOptimize(hash.str);
            filename_release(target);
            stringbuffer_release(hash);
            stringbuffer_release(name);
            return ok;
        },
        failed);
    if (failed.load())
        state.SkipWithError("saving failed");
    const double bytes = double(state.iterations()) * kPhotos * double(photo_bytes());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    if (seconds > 0.0)
    {
        state.counters["MB_per_s"] = bytes / seconds / 1e6;
        if (g_reference_bytes_per_s > 0.0)
            state.counters["of_reference_pct"] = 100.0 * (bytes / seconds) / g_reference_bytes_per_s;
    }
}
} // namespace

BENCHMARK(BM_Reference_WriteSyncAndHash)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(quick_mode() ? 1 : 5);
BENCHMARK(BM_SavePhotos)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(quick_mode() ? 1 : 5);

BENCHMARK_MAIN();
