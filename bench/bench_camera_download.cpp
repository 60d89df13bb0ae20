// Downloading and saving photos from responder cameras through the PTP
// context (its "USBXFER" threads fetch, save under unique names, sync and hash;
// the camera thread passes every 34 ms as in the program), beside the ceiling
// measured in the same run: the same bytes written to the same disk, synced and
// hashed by four writers at once, as many as the engine's download threads.
// Four cameras at the responder's full speed, with the bytes written straight
// into the engine's buffer and in USB packets with a copy each; then 1 to 6
// cameras paced at USB 2.0 speed, whose rate grows with the cameras up to the
// ceiling. 200 photos of 25 MiB (6 per camera when paced); a handful of small
// ones in quick mode.
#include "bench_reference_files.h"
#include "orvo/camera/mtp_context.h"
#include "orvo/core/core_hash.h"
#include "support/ptpsim/ptpsim_camera.h"
#include "support/ptpsim/ptpsim_download_helpers.h"
#include "support/support_temp_dir.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace orvo;

namespace
{
const int kCameras = 4;
// The camera thread's period.
const auto kPass = std::chrono::microseconds(34000);
// A USB 2.0 high-speed bulk packet, and what one camera sends over USB 2.0.
const u64 kUsbPacket = 512;
const u64 kUsb2Rate = 40000000;

bool quick_mode()
{
    return std::getenv("LUMIVANE_BENCH_QUICK") != nullptr;
}

int num_photos()
{
    return quick_mode() ? 8 : 200;
}

u64 photo_bytes()
{
    return quick_mode() ? (256u << 10) : (25u << 20);
}

// Photos per camera in the paced runs: each takes about 0.65 s at USB 2.0.
int paced_photos_per_camera()
{
    return quick_mode() ? 2 : 6;
}

// The ceiling's rate in bytes per second, for the engine's share of it.
double g_ceiling = 0.0;

// Connected responder cameras sharing one context, every photo queued (photo
// p on camera p % cameras). The hand-over: straight into the engine's buffer,
// or in USB packets with a copy each, optionally paced.
class Rig
{
public:
    Rig(const std::string& folder, int num_cameras, int photos, u64 packet, u64 rate) : photos(photos)
    {
        mtp_context_initialise(context);
        for (int i = 0; i < num_cameras; ++i)
        {
            cameras.push_back(std::make_unique<ptpsim::Camera>());
            ptpsim::Camera& camera = *cameras.back();
            camera.edit_deviceinfo([&](ptpsim::DeviceInfo& info) { info.serial_number = "SN" + std::to_string(i); });
            camera.set_usb_transfer(packet, rate);
            devices.push_back(std::make_unique<mtp_device_t>());
            mtp_device_t& device = *devices.back();
            mtp_device_initialise(device, &context, recorder.callbacks(camera, folder, folder + "/Backup"));
            camera.attach(device);
            mtp_device_connect(device);
            ptpsim::install_poll_counter(device);
        }
        for (int p = 0; p < photos; ++p)
        {
            int i = p % num_cameras;
            ptpsim::ObjectInfo info;
            info.filename = "IMG_" + std::to_string(1000 + p / num_cameras) + ".JPG";
            u32 handle = cameras[i]->add_object(info, photo_bytes(), ptpsim::Content::kJpeg);
            ptpsim::queue_download(*devices[i], handle);
        }
    }

    ~Rig()
    {
        for (size_t i = 0; i < devices.size(); ++i)
        {
            mtp_device_disconnect(*devices[i]);
            cameras[i]->detach();
        }
        mtp_context_release(context);
        for (auto& device : devices)
            mtp_device_release(*device);
    }

    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    const int photos;
    mtp_context_t context = {};
    ptpsim::DownloadRecorder recorder;
    std::vector<std::unique_ptr<ptpsim::Camera>> cameras;
    std::vector<std::unique_ptr<mtp_device_t>> devices;
};

bool all_done(Rig& rig)
{
    if (rig.recorder.num_finished() < static_cast<size_t>(rig.photos))
        return false;
    for (const auto& device : rig.devices)
        if (mtp_context_num_downloads(rig.context, *device) != 0)
            return false;
    return true;
}

// Runs the camera thread's passes until every photo is handed back; the
// seconds from the first pass, and whether every photo was saved.
double run_downloads(Rig& rig, bool& all_saved)
{
    auto start = std::chrono::steady_clock::now();
    auto next = start;
    while (!all_done(rig))
    {
        mtp_context_update(rig.context);
        next += kPass;
        std::this_thread::sleep_until(next);
    }
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    size_t saved = 0;
    for (const ptpsim::FinishedDownload& f : rig.recorder.finished())
        saved += f.success ? 1 : 0;
    all_saved = saved == static_cast<size_t>(rig.photos);
    return elapsed;
}

void report(benchmark::State& state, int photos, double seconds)
{
    double bytes = static_cast<double>(state.iterations()) * photos * static_cast<double>(photo_bytes());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["photos"] = photos;
    if (seconds > 0.0)
        state.counters["MB_per_s"] = bytes / seconds / 1e6;
    // The share of the ceiling measured first in this run.
    if (g_ceiling > 0.0 && seconds > 0.0)
        state.counters["of_ceiling_pct"] = 100.0 * (bytes / seconds) / g_ceiling;
}
} // namespace

// The ceiling: each photo's bytes written to a new file, synced and closed,
// then hashed, by as many writers at once as the engine has download threads
// (four), each taking every fourth photo.
static void BM_Reference_WriteSyncAndHash(benchmark::State& state)
{
    const int writers = static_cast<int>(state.range(0));
    const std::vector<std::vector<u8>> photos = bench_reference::make_photos(kCameras, photo_bytes());
    double seconds = 0.0;
    std::atomic<bool> failed{false};
    for (auto _ : state)
    {
        lumivane_test::TempDir folder;
        auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> threads;
        for (int w = 0; w < writers; ++w)
        {
            threads.emplace_back(
                [&, w]
                {
                    stringbuffer_t hash;
                    stringbuffer_initialise(hash);
                    for (int p = w; p < num_photos(); p += writers)
                    {
                        const std::vector<u8>& bytes = photos[p % kCameras];
                        std::string path = folder.File("IMG_" + std::to_string(p) + ".JPG");
                        if (!bench_reference::write_and_sync(path, bytes))
                            failed.store(true);
                        compute_hash(hash, bytes.data(), bytes.size());
                        benchmark::DoNotOptimize(hash.str);
                    }
                    stringbuffer_release(hash);
                });
        }
        for (std::thread& thread : threads)
            thread.join();
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(elapsed);
        seconds += elapsed;
    }
    if (failed.load())
        state.SkipWithError("writing failed");
    double bytes = static_cast<double>(state.iterations()) * num_photos() * static_cast<double>(photo_bytes());
    g_ceiling = seconds > 0.0 ? bytes / seconds : 0.0;
    report(state, num_photos(), seconds);
    state.counters.erase("of_ceiling_pct");
}
BENCHMARK(BM_Reference_WriteSyncAndHash)
    ->ArgName("writers")
    ->Arg(4)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Ours, four cameras as fast as the responder goes: from the first
// camera-thread pass to the last photo handed back. Arg 0 writes the bytes
// straight into the engine's buffer; otherwise they come in packets of that
// many bytes with a copy each, as over USB.
static void BM_Engine_DownloadAndSave(benchmark::State& state)
{
    const u64 packet = static_cast<u64>(state.range(0));
    double seconds = 0.0;
    bool all_saved = true;
    for (auto _ : state)
    {
        lumivane_test::TempDir folder;
        Rig rig(folder.Path(), kCameras, num_photos(), packet, 0);
        bool saved = false;
        double elapsed = run_downloads(rig, saved);
        all_saved = all_saved && saved;
        state.SetIterationTime(elapsed);
        seconds += elapsed;
    }
    if (!all_saved)
        state.SkipWithError("a photo was not saved");
    report(state, num_photos(), seconds);
}
BENCHMARK(BM_Engine_DownloadAndSave)
    ->ArgName("usb_packet")
    ->Arg(0)
    ->Arg(static_cast<int64_t>(kUsbPacket))
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Cameras paced at USB 2.0 speed (40 MB/s each): the rate grows with the
// number of cameras until the download threads (four) or the disk-and-hash
// ceiling above stop it.
static void BM_Engine_PacedAtUsb2(benchmark::State& state)
{
    const int cameras = static_cast<int>(state.range(0));
    const int photos = cameras * paced_photos_per_camera();
    double seconds = 0.0;
    bool all_saved = true;
    for (auto _ : state)
    {
        lumivane_test::TempDir folder;
        Rig rig(folder.Path(), cameras, photos, kUsbPacket, kUsb2Rate);
        bool saved = false;
        double elapsed = run_downloads(rig, saved);
        all_saved = all_saved && saved;
        state.SetIterationTime(elapsed);
        seconds += elapsed;
    }
    if (!all_saved)
        state.SkipWithError("a photo was not saved");
    report(state, photos, seconds);
    state.counters["cameras_x_40MBps"] = cameras * kUsb2Rate / 1e6;
}
BENCHMARK(BM_Engine_PacedAtUsb2)
    ->ArgName("cameras")
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(6)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
