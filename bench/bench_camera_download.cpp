// Downloading and saving photos from four responder cameras through the PTP
// context (its "USBXFER" threads fetch, save under unique names, sync and hash;
// the camera thread passes every 34 ms as in the program), beside the ceiling
// measured in the same run: the same number of bytes written to the same disk,
// synced, and hashed, one photo after another. 200 photos of 25 MiB; a handful
// of small ones in quick mode.
#include "orvo/camera/mtp_context.h"
#include "orvo/core/core_hash.h"
#include "support/ptpsim/ptpsim_camera.h"
#include "support/ptpsim/ptpsim_download_helpers.h"
#include "support/support_temp_dir.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

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

// The ceiling's rate in bytes per second, for the engine's share of it.
double g_ceiling = 0.0;

// Four connected responder cameras sharing one context, every photo queued.
class Rig
{
public:
    explicit Rig(const std::string& folder)
    {
        mtp_context_initialise(context);
        for (int i = 0; i < kCameras; ++i)
        {
            cameras.push_back(std::make_unique<ptpsim::Camera>());
            ptpsim::Camera& camera = *cameras.back();
            camera.edit_deviceinfo([&](ptpsim::DeviceInfo& info) { info.serial_number = "SN" + std::to_string(i); });
            devices.push_back(std::make_unique<mtp_device_t>());
            mtp_device_t& device = *devices.back();
            mtp_device_initialise(device, &context, recorder.callbacks(camera, folder, folder + "/Backup"));
            camera.attach(device);
            mtp_device_connect(device);
            ptpsim::install_poll_counter(device);
        }
        for (int p = 0; p < num_photos(); ++p)
        {
            int i = p % kCameras;
            ptpsim::ObjectInfo info;
            info.filename = "IMG_" + std::to_string(1000 + p / kCameras) + ".JPG";
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

    mtp_context_t context = {};
    ptpsim::DownloadRecorder recorder;
    std::vector<std::unique_ptr<ptpsim::Camera>> cameras;
    std::vector<std::unique_ptr<mtp_device_t>> devices;
};

bool all_done(Rig& rig)
{
    if (rig.recorder.num_finished() < static_cast<size_t>(num_photos()))
        return false;
    for (const auto& device : rig.devices)
        if (mtp_context_num_downloads(rig.context, *device) != 0)
            return false;
    return true;
}
} // namespace

// The ceiling: each photo's bytes written to a new file, synced and closed,
// then hashed, one after another on one thread.
static void BM_Reference_WriteSyncAndHash(benchmark::State& state)
{
    std::vector<std::vector<u8>> photos;
    for (int i = 0; i < kCameras; ++i)
    {
        std::vector<u8> bytes(photo_bytes());
        ptpsim::generate_content(ptpsim::Content::kJpeg, 0x9E3779B97F4A7C15ull * (i + 1), bytes.size(), 0,
                                 bytes.data(), bytes.size());
        photos.push_back(std::move(bytes));
    }
    stringbuffer_t hash;
    stringbuffer_initialise(hash);
    double seconds = 0.0;
    for (auto _ : state)
    {
        lumivane_test::TempDir folder;
        auto start = std::chrono::steady_clock::now();
        for (int p = 0; p < num_photos(); ++p)
        {
            const std::vector<u8>& bytes = photos[p % kCameras];
            std::string path = folder.File("IMG_" + std::to_string(p) + ".JPG");
            int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            size_t done = 0;
            while (fd >= 0 && done < bytes.size())
            {
                ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
                if (n <= 0)
                    break;
                done += static_cast<size_t>(n);
            }
            if (fd < 0 || done != bytes.size() || fsync(fd) != 0 || close(fd) != 0)
                state.SkipWithError("writing failed");
            compute_hash(hash, bytes.data(), bytes.size());
            benchmark::DoNotOptimize(hash.str);
        }
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(elapsed);
        seconds += elapsed;
    }
    stringbuffer_release(hash);
    double bytes = static_cast<double>(state.iterations()) * num_photos() * static_cast<double>(photo_bytes());
    g_ceiling = seconds > 0.0 ? bytes / seconds : 0.0;
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["photos"] = num_photos();
}
BENCHMARK(BM_Reference_WriteSyncAndHash)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// Ours: from the first camera-thread pass to the last photo handed back.
static void BM_Engine_DownloadAndSave(benchmark::State& state)
{
    double seconds = 0.0;
    size_t saved = 0;
    for (auto _ : state)
    {
        lumivane_test::TempDir folder;
        Rig rig(folder.Path());
        auto start = std::chrono::steady_clock::now();
        auto next = start;
        while (!all_done(rig))
        {
            mtp_context_update(rig.context);
            next += kPass;
            std::this_thread::sleep_until(next);
        }
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(elapsed);
        seconds += elapsed;
        for (const ptpsim::FinishedDownload& f : rig.recorder.finished())
            saved += f.success ? 1 : 0;
    }
    double bytes = static_cast<double>(state.iterations()) * num_photos() * static_cast<double>(photo_bytes());
    if (saved != static_cast<size_t>(state.iterations()) * num_photos())
        state.SkipWithError("a photo was not saved");
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["photos"] = num_photos();
    // The share of the ceiling measured just before (goal: at least 70%).
    if (g_ceiling > 0.0 && seconds > 0.0)
        state.counters["of_ceiling_pct"] = 100.0 * (bytes / seconds) / g_ceiling;
}
BENCHMARK(BM_Engine_DownloadAndSave)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
