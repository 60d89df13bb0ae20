// Downloads against responder cameras: how many "USBXFER" threads start for 1,
// 3 and 6 cameras; a task walked through its seven states; the bytes and hash
// on disk against the camera's object (photos in memory and movies streamed);
// downloads that fail (transport error, short or empty object, no place to
// save) deleting nothing from the camera; disconnecting with queued and
// in-flight tasks; the queue that cannot grow; releasing the context with work
// left; the attach flags and the settings.
#include "orvo/camera/mtp_context.h"
#include "orvo/camera/mtp_download.h"
#include "orvo/camera/mtp_photofile.h"
#include "orvo/camera/mtp_update.h"
#include "orvo/camera/src/mtp_context_internal.h"
#include "orvo/camera/src/mtp_photofile_internal.h"
#include "orvo/core/core_hash.h"
#include "support/ptpsim/ptpsim_camera.h"
#include "support/ptpsim/ptpsim_clock.h"
#include "support/ptpsim/ptpsim_download_helpers.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"
#include "support/support_temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

using namespace orvo;
using lumivane_test::LogCapture;
using lumivane_test::TempDir;
using ptpsim::Camera;
using ptpsim::Content;
using ptpsim::DownloadRecorder;
using ptpsim::FinishedDownload;
namespace fs = std::filesystem;

namespace
{
std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string as_text(const ptpsim::Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

std::string hash_of(const std::string& contents)
{
    stringbuffer_t hash;
    stringbuffer_initialise(hash);
    compute_hash(hash, contents.data(), contents.size());
    std::string text(hash.str, hash.length);
    stringbuffer_release(hash);
    return text;
}

// Waits for a worker thread's progress, running the camera thread's pass
// meanwhile. The limit is only a safety net against a hang.
bool pump_until(mtp_context_t& context, const std::function<bool()>& done, bool pump = true)
{
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done())
    {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        if (pump)
            mtp_context_update(context);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Several responder cameras, each with a connected engine device, sharing one
// context: the camera thread is the test's own.
class Rig
{
public:
    explicit Rig(const std::string& folder) : m_folder(folder) { EXPECT_TRUE(mtp_context_initialise(context)); }

    ~Rig()
    {
        for (size_t i = 0; i < devices.size(); ++i)
        {
            if (devices[i]->registered)
                mtp_device_disconnect(*devices[i]);
            cameras[i]->detach();
            std::vector<std::string> violations = cameras[i]->violations();
            EXPECT_TRUE(violations.empty()) << violations.front();
        }
        mtp_context_release(context);
        for (auto& device : devices)
            mtp_device_release(*device);
    }

    // Connects n more cameras with distinct serials.
    void AddCameras(int n, const std::string& file_type = "")
    {
        for (int i = 0; i < n; ++i)
        {
            size_t index = cameras.size();
            cameras.push_back(std::make_unique<Camera>());
            Camera& camera = *cameras.back();
            camera.edit_deviceinfo(
                [&](ptpsim::DeviceInfo& info) { info.serial_number = "SN" + std::to_string(1000 + index); });
            devices.push_back(std::make_unique<mtp_device_t>());
            mtp_device_t& device = *devices.back();
            ASSERT_TRUE(mtp_device_initialise(
                device, &context, recorder.callbacks(camera, m_folder, m_folder + "/Backup", file_type)));
            camera.attach(device);
            ASSERT_TRUE(mtp_device_connect(device));
            camera.drain_events();
            ptpsim::install_poll_counter(device);
        }
    }

    // A new object on camera i: a JPEG unless another format is given.
    uint32_t AddObject(size_t i, uint64_t size, const std::string& filename, uint16_t format = ptpsim::kFormatJpeg)
    {
        ptpsim::ObjectInfo info;
        info.filename = filename;
        info.format = format;
        return cameras[i]->add_object(info, size, format == ptpsim::kFormatJpeg ? Content::kJpeg : Content::kPattern);
    }

    // Storage "Disk": the camera's copy goes once the photo is saved.
    void SetDeleteAfterDownload(size_t i)
    {
        mtp_device_lock(*devices[i]);
        devices[i]->delete_after_download = true;
        mtp_device_unlock(*devices[i]);
        cameras[i]->set_require_read_before_delete(true);
    }

    mtp_usbcontroller_t& Controller() { return *context.controllers.data[0]; }

    std::vector<int> States()
    {
        std::vector<int> states;
        mutex_lock(*context.lock);
        for (u64 i = 0; i < Controller().tasks.count; ++i)
            states.push_back(Controller().tasks.data[i]->state);
        mutex_unlock(*context.lock);
        return states;
    }

    bool PumpUntilFinished(size_t n)
    {
        return pump_until(context, [&] { return recorder.num_finished() >= n && States().empty(); });
    }

    DownloadRecorder recorder;
    mtp_context_t context = {};
    std::vector<std::unique_ptr<Camera>> cameras;
    std::vector<std::unique_ptr<mtp_device_t>> devices;

private:
    std::string m_folder;
};

struct Downloads : ::testing::Test
{
    ptpsim::TestClock clock;
    LogCapture log;
    TempDir dir;
};
} // namespace

// --- threads --------------------------------------------------------------------------------

TEST_F(Downloads, ThreadsStartOnePerPassUpToTheCamerasAndFour)
{
    struct Case
    {
        const char* why;
        int cameras;
        int photos_each;
        std::vector<u32> threads_after_pass;
    };
    const Case cases[] = {
        {"one camera's ten photos use one thread", 1, 10, {1, 1, 1, 1, 1}},
        {"three cameras get one more thread per pass, up to three", 3, 2, {1, 2, 3, 3, 3}},
        {"six cameras get no more than four", 6, 2, {1, 2, 3, 4, 4, 4}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        TempDir folder;
        log.Clear();
        size_t total = static_cast<size_t>(c.cameras * c.photos_each);
        {
            Rig rig(folder.Path());
            rig.AddCameras(c.cameras);
            std::vector<std::string> expected;
            for (int i = 0; i < c.cameras; ++i)
            {
                // The transfers wait at the camera, so every thread that
                // starts stays busy and the queue stays full.
                rig.cameras[i]->hold(ptpsim::kOpGetObject);
                for (int p = 0; p < c.photos_each; ++p)
                {
                    std::string name = "C" + std::to_string(i) + "_" + std::to_string(p) + ".JPG";
                    uint32_t handle = rig.AddObject(i, 3000 + 100 * p, name);
                    expected.push_back(as_text(rig.cameras[i]->object_bytes(handle)));
                    ASSERT_TRUE(ptpsim::queue_download(*rig.devices[i], handle));
                }
            }
            for (size_t pass = 0; pass < c.threads_after_pass.size(); ++pass)
            {
                mtp_context_update(rig.context);
                EXPECT_EQ(rig.Controller().thread_count, c.threads_after_pass[pass]) << "after pass " << pass + 1;
            }
            for (auto& camera : rig.cameras)
                camera->release(ptpsim::kOpGetObject);
            ASSERT_TRUE(rig.PumpUntilFinished(total));

            EXPECT_EQ(rig.Controller().thread_count, c.threads_after_pass.back());
            EXPECT_EQ(log.Count("USB download thread starting: slot 0"), c.threads_after_pass.back());
            std::vector<FinishedDownload> finished = rig.recorder.finished();
            ASSERT_EQ(finished.size(), total);
            size_t saved = 0;
            for (const FinishedDownload& f : finished)
                saved += f.success && !f.target.empty() ? 1 : 0;
            EXPECT_EQ(saved, total);
            std::set<std::string> on_disk;
            for (const FinishedDownload& f : finished)
                on_disk.insert(read_file(f.target));
            EXPECT_EQ(on_disk, std::set<std::string>(expected.begin(), expected.end()));
        }
        EXPECT_EQ(log.Count("USB download threads added for: slot 0"), 1u);
    }
}

// --- one task, end to end ---------------------------------------------------------------------------

TEST_F(Downloads, TaskWalksItsSevenStates)
{
    Rig rig(dir.Path());
    rig.AddCameras(1);
    rig.SetDeleteAfterDownload(0);
    mtp_device_t& device = *rig.devices[0];
    Camera& camera = *rig.cameras[0];
    uint32_t handle = rig.AddObject(0, 250000, "IMG_0042.JPG");
    std::string bytes = as_text(camera.object_bytes(handle));
    camera.hold(ptpsim::kOpGetObject);
    int photo = 0;

    // Created: counted as pending, so the camera's own update stands still.
    ASSERT_TRUE(ptpsim::queue_download(device, handle, false, &photo));
    EXPECT_EQ(rig.States(), std::vector<int>{MTP_DOWNLOAD_QUEUED});
    EXPECT_EQ(device.pending_downloads, 1);
    EXPECT_EQ(mtp_device_update(device), 0u);

    // The first pass starts a thread, which claims the task at once.
    mtp_context_update(rig.context);
    camera.wait_held(ptpsim::kOpGetObject);
    EXPECT_EQ(rig.States(), std::vector<int>{MTP_DOWNLOAD_DOWNLOADING});

    // Downloaded: waits for the camera thread; the update still does nothing.
    camera.release(ptpsim::kOpGetObject);
    ASSERT_TRUE(pump_until(rig.context, [&] { return rig.States()[0] == MTP_DOWNLOAD_DOWNLOADED; }, false));
    EXPECT_EQ(mtp_device_update(device), 0u);
    EXPECT_EQ(device.pending_downloads, 1);
    EXPECT_TRUE(camera.has_object(handle));

    // Acknowledged on this pass, with one poll of the camera; the thread then
    // saves it. The camera's copy stays until the file is saved and checked.
    int polls = ptpsim::poll_count(device);
    mtp_context_update(rig.context);
    EXPECT_EQ(device.pending_downloads, 0);
    EXPECT_EQ(ptpsim::poll_count(device), polls + 1);
    ASSERT_TRUE(pump_until(rig.context, [&] { return rig.States()[0] == MTP_DOWNLOAD_SAVED; }, false));
    EXPECT_TRUE(camera.has_object(handle));
    EXPECT_EQ(rig.recorder.num_finished(), 0u);

    // Saved: the camera's copy is deleted and the task handed back here.
    mtp_context_update(rig.context);
    ASSERT_EQ(rig.recorder.num_finished(), 1u);
    ASSERT_TRUE(pump_until(rig.context, [&] { return rig.States()[0] == MTP_DOWNLOAD_RELEASED; }, false));
    mtp_context_update(rig.context);
    EXPECT_TRUE(rig.States().empty());

    FinishedDownload f = rig.recorder.finished()[0];
    EXPECT_TRUE(f.success);
    EXPECT_EQ(f.photo, &photo);
    EXPECT_EQ(f.state, MTP_DOWNLOAD_SAVED);
    EXPECT_FALSE(f.on_camera);
    EXPECT_EQ(f.target, dir.File("IMG_0042.JPG"));
    EXPECT_EQ(read_file(f.target), bytes);
    EXPECT_EQ(f.hash, hash_of(bytes));
    EXPECT_EQ(camera.deleted_handles(), std::vector<uint32_t>{handle});
    EXPECT_GT(device.download_rate, 0.0f);
    EXPECT_NE(mtp_device_update(device), 0u);
}

// --- bytes on disk ------------------------------------------------------------------------------------

TEST_F(Downloads, BytesAndHashOnDiskAreTheCamerasObjects)
{
    Rig rig(dir.Path());
    rig.AddCameras(3);
    struct Expected
    {
        std::string bytes;
        bool streamed;
    };
    std::map<std::pair<size_t, uint32_t>, Expected> expected;
    for (size_t i = 0; i < 3; ++i)
    {
        // Short chunks make the streamed movie take many GetPartialObject reads.
        rig.cameras[i]->set_partial_chunk_limit(65536);
        for (int p = 0; p < 4; ++p)
        {
            // Every camera names its photos alike: the folder numbers them.
            uint32_t handle = rig.AddObject(i, 100000 + 7919 * p, "IMG_000" + std::to_string(p) + ".JPG");
            expected[{i, handle}] = {as_text(rig.cameras[i]->object_bytes(handle)), false};
            ASSERT_TRUE(ptpsim::queue_download(*rig.devices[i], handle));
        }
        uint32_t movie = rig.AddObject(i, 700001, "MVI_0001.MOV", ptpsim::kFormatQuickTime);
        expected[{i, movie}] = {as_text(rig.cameras[i]->object_bytes(movie)), true};
        ASSERT_TRUE(ptpsim::queue_download(*rig.devices[i], movie));
    }
    ASSERT_TRUE(rig.PumpUntilFinished(expected.size()));

    std::set<std::string> targets;
    for (const FinishedDownload& f : rig.recorder.finished())
    {
        size_t camera = 0;
        while (rig.devices[camera].get() != f.device)
            ++camera;
        SCOPED_TRACE(f.name);
        const Expected& e = expected.at({camera, f.handle});
        ASSERT_TRUE(f.success);
        EXPECT_EQ(f.written_to_file, e.streamed);
        EXPECT_EQ(read_file(f.target), e.bytes);
        EXPECT_EQ(fs::path(f.target).filename().string(), f.name);
        EXPECT_EQ(f.hash, e.streamed ? "" : hash_of(e.bytes));
        EXPECT_TRUE(f.on_camera); // storage "Both": the card keeps its copy
        targets.insert(f.target);
    }
    EXPECT_EQ(targets.size(), expected.size());
    for (auto& camera : rig.cameras)
    {
        EXPECT_GT(camera->calls(ptpsim::kOpGetPartialObject), 1);
        EXPECT_EQ(camera->calls(ptpsim::kOpGetObject), 4);
    }
    // Only the photos remain in the folder: no temporary file is left.
    size_t files = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir.Path()))
        files += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, expected.size());
}

TEST_F(Downloads, MemoryOnlyMovieIsFetchedWhole)
{
    Rig rig(dir.Path());
    rig.AddCameras(1);
    uint32_t movie = rig.AddObject(0, 300000, "MVI_0002.MOV", ptpsim::kFormatQuickTime);
    std::string bytes = as_text(rig.cameras[0]->object_bytes(movie));
    ASSERT_TRUE(ptpsim::queue_download(*rig.devices[0], movie, true));
    ASSERT_TRUE(rig.PumpUntilFinished(1));
    FinishedDownload f = rig.recorder.finished()[0];
    EXPECT_TRUE(f.success);
    EXPECT_FALSE(f.written_to_file);
    EXPECT_EQ(read_file(f.target), bytes);
    EXPECT_EQ(rig.cameras[0]->calls(ptpsim::kOpGetPartialObject), 0);
    EXPECT_EQ(rig.cameras[0]->calls(ptpsim::kOpGetObject), 1);
}

TEST_F(Downloads, PhotoOver200MiBStreamsInChunksOf30MiB)
{
    Rig rig(dir.Path());
    rig.AddCameras(1);
    const uint64_t size = 201ull << 20;
    const uint64_t edge = 1u << 20;
    uint32_t handle = rig.AddObject(0, size, "IMG_0500.JPG");
    // Its start, the seam of the first two chunks and its end.
    std::string head = as_text(rig.cameras[0]->object_bytes(handle, 0, edge));
    std::string seam = as_text(rig.cameras[0]->object_bytes(handle, (30ull << 20) - edge / 2, edge));
    std::string tail = as_text(rig.cameras[0]->object_bytes(handle, size - edge, edge));
    ASSERT_TRUE(ptpsim::queue_download(*rig.devices[0], handle));
    ASSERT_TRUE(rig.PumpUntilFinished(1));

    FinishedDownload f = rig.recorder.finished()[0];
    ASSERT_TRUE(f.success);
    EXPECT_TRUE(f.written_to_file);
    EXPECT_EQ(fs::file_size(f.target), size);
    std::ifstream file(f.target, std::ios::binary);
    std::string read(edge, '\0');
    file.read(&read[0], edge);
    EXPECT_EQ(read, head);
    file.seekg((30ull << 20) - edge / 2);
    file.read(&read[0], edge);
    EXPECT_EQ(read, seam);
    file.seekg(size - edge);
    file.read(&read[0], edge);
    EXPECT_EQ(read, tail);
    EXPECT_EQ(rig.cameras[0]->calls(ptpsim::kOpGetObject), 0);
    EXPECT_EQ(rig.cameras[0]->calls(ptpsim::kOpGetPartialObject), 7);
}

// --- failures ------------------------------------------------------------------------------------------

TEST_F(Downloads, FailedDownloadDeletesNothing)
{
    struct Case
    {
        const char* why;
        std::function<void(Camera&, uint32_t)> fault;
        bool folders_unwritable;
        int size_mismatches;
        const char* logged;
    };
    const Case cases[] = {
        {"GetObject fails", [](Camera& c, uint32_t) { c.fail(ptpsim::kOpGetObject, ptpsim::kRespGeneralError, 1); },
         false, 0, "Failed to download: IMG_0007.JPG"},
        {"the object arrives short", [](Camera& c, uint32_t h) { c.truncate_object(h, 30000); }, false, 1,
         "Camera download size mismatch: 30000 (expected 80000)"},
        {"the object arrives empty", [](Camera& c, uint32_t h) { c.truncate_object(h, 0); }, false, 0,
         "Zero sized read from camera"},
        {"neither folder can be written", [](Camera&, uint32_t) {}, true, 0, "Failed to save photo"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        TempDir folder;
        log.Clear();
        std::string download = folder.Path();
        if (c.folders_unwritable)
        {
            download = folder.File("photos");
            std::ofstream(download) << "a file";
        }
        Rig rig(download);
        rig.AddCameras(1);
        rig.SetDeleteAfterDownload(0);
        Camera& camera = *rig.cameras[0];
        uint32_t handle = rig.AddObject(0, 80000, "IMG_0007.JPG");
        c.fault(camera, handle);
        ASSERT_TRUE(ptpsim::queue_download(*rig.devices[0], handle));
        ASSERT_TRUE(rig.PumpUntilFinished(1));

        FinishedDownload f = rig.recorder.finished()[0];
        EXPECT_FALSE(f.success);
        EXPECT_TRUE(f.on_camera);
        EXPECT_TRUE(camera.has_object(handle));
        EXPECT_TRUE(camera.deleted_handles().empty());
        EXPECT_EQ(camera.calls(ptpsim::kOpDeleteObject), 0);
        EXPECT_EQ(rig.devices[0]->pending_downloads, 0);
        EXPECT_EQ(rig.devices[0]->size_mismatch_reads, c.size_mismatches);
        EXPECT_TRUE(log.Contains(c.logged));
        EXPECT_TRUE(log.Contains("Failed to download: IMG_0007.JPG") || c.folders_unwritable);
        // No photo, and nothing half-written, in the download folder.
        if (!c.folders_unwritable)
            for (const fs::directory_entry& entry : fs::directory_iterator(download))
                ADD_FAILURE() << "left behind: " << entry.path();
    }
}

TEST_F(Downloads, DisconnectReportsQueuedTasksAndWaitsForTheOneInFlight)
{
    Rig rig(dir.Path());
    rig.AddCameras(1);
    mtp_device_t& device = *rig.devices[0];
    Camera& camera = *rig.cameras[0];
    std::vector<uint32_t> handles;
    for (int p = 0; p < 3; ++p)
    {
        handles.push_back(rig.AddObject(0, 50000, "IMG_010" + std::to_string(p) + ".JPG"));
        ASSERT_TRUE(ptpsim::queue_download(device, handles.back()));
    }
    std::string first = as_text(camera.object_bytes(handles[0]));
    camera.hold(ptpsim::kOpGetObject);
    mtp_context_update(rig.context);
    camera.wait_held(ptpsim::kOpGetObject);
    ASSERT_EQ(rig.States(), (std::vector<int>{MTP_DOWNLOAD_DOWNLOADING, MTP_DOWNLOAD_QUEUED, MTP_DOWNLOAD_QUEUED}));

    // The transfer in flight ends only once the disconnect has taken the two
    // queued tasks off the queue. They are reported under the device lock, so
    // after the transfer in flight lets go of it, and before it is reported.
    std::thread camera_side([&] {
        pump_until(rig.context, [&] { return mtp_context_num_downloads(rig.context, device) == 1; }, false);
        camera.release(ptpsim::kOpGetObject);
    });
    mtp_device_disconnect(device);
    camera_side.join();

    std::vector<FinishedDownload> finished = rig.recorder.finished();
    ASSERT_EQ(finished.size(), 3u);
    EXPECT_EQ(finished[0].handle, handles[1]);
    EXPECT_EQ(finished[1].handle, handles[2]);
    EXPECT_FALSE(finished[0].success);
    EXPECT_FALSE(finished[1].success);
    EXPECT_EQ(finished[2].handle, handles[0]);
    EXPECT_TRUE(finished[2].success);
    EXPECT_EQ(read_file(finished[2].target), first);
    EXPECT_EQ(log.Count("Waiting for pending downloads to be cancelled: 1"), 1u);
    EXPECT_FALSE(log.Contains("MTP device has pending downloads"));
    EXPECT_EQ(device.pending_downloads, 0);
    EXPECT_EQ(mtp_context_num_downloads(rig.context, device), 0);
    EXPECT_FALSE(device.registered);
    EXPECT_EQ(rig.context.device_count, 0);
    EXPECT_EQ(camera.calls(ptpsim::kOpGetObject), 1);
}

TEST_F(Downloads, QueueThatCannotGrowReleasesTheCamera)
{
    Rig rig(dir.Path());
    rig.AddCameras(1);
    mtp_device_t& device = *rig.devices[0];
    Camera& camera = *rig.cameras[0];
    camera.hold(ptpsim::kOpGetObject);
    // The queue has room for four; the fifth task makes it grow.
    for (int p = 0; p < 4; ++p)
        ASSERT_TRUE(ptpsim::queue_download(device, rig.AddObject(0, 1000, "IMG_020" + std::to_string(p) + ".JPG")));
    uint32_t handle = rig.AddObject(0, 1000, "IMG_0299.JPG");
    mtp_objectinfo_t object;
    mtp_objectinfo_initialise(object, device.protocol, handle);
    object.size = 1000;
    stringbuffer_set(object.filename, "IMG_0299.JPG");
    bool queued = true;
    {
        // The growth of the queue is the only allocation of the queueing step.
        mtp_device_lock(device);
        mtp_downloadtask_t* task = mtp_downloadtask_create(device, object, false, nullptr);
        ASSERT_NE(task, nullptr);
        ++device.pending_downloads;
        lumivane_test::FailingAllocator failing(0, false);
        queued = mtp_context_async_download(rig.context, task);
        mtp_device_unlock(device);
    }
    mtp_objectinfo_release(object);

    EXPECT_FALSE(queued);
    EXPECT_TRUE(log.Contains("Failed to queue download: IMG_0299.JPG"));
    ASSERT_EQ(rig.recorder.num_finished(), 1u);
    EXPECT_FALSE(rig.recorder.finished()[0].success);
    EXPECT_EQ(device.pending_downloads, 4);
    camera.release(ptpsim::kOpGetObject);
    ASSERT_TRUE(rig.PumpUntilFinished(5));
    // Every count came back down: the camera's update runs again.
    EXPECT_EQ(device.pending_downloads, 0);
    EXPECT_NE(mtp_device_update(device), 0u);
}

TEST_F(Downloads, WithoutAControllerTheTaskRunsAtOnce)
{
    Rig rig(dir.Path());
    rig.AddCameras(1);
    mtp_device_t& device = *rig.devices[0];
    // A controller that could not be made at registration.
    mtp_usbcontroller_t* controller = &rig.Controller();
    ASSERT_TRUE(mtp_usbcontroller_stop(*controller));
    vector_remove(rig.context.controllers, 0);
    mtp_usbcontroller_destroy(controller);

    uint32_t handle = rig.AddObject(0, 40000, "IMG_0300.JPG");
    std::string bytes = as_text(rig.cameras[0]->object_bytes(handle));
    ASSERT_TRUE(ptpsim::queue_download(device, handle));

    ASSERT_EQ(rig.recorder.num_finished(), 1u);
    FinishedDownload f = rig.recorder.finished()[0];
    EXPECT_TRUE(f.success);
    EXPECT_EQ(read_file(f.target), bytes);
    EXPECT_EQ(device.pending_downloads, 0);
}

TEST_F(Downloads, ReleasingTheContextEndsEveryTask)
{
    TempDir folder;
    std::string first;
    Camera* camera = nullptr;
    mtp_device_t* device = nullptr;
    auto rig = std::make_unique<Rig>(folder.Path());
    rig->AddCameras(1);
    camera = rig->cameras[0].get();
    device = rig->devices[0].get();
    uint32_t a = rig->AddObject(0, 60000, "IMG_0400.JPG");
    uint32_t b = rig->AddObject(0, 60000, "IMG_0401.JPG");
    first = as_text(camera->object_bytes(a));
    ASSERT_TRUE(ptpsim::queue_download(*device, a));
    ASSERT_TRUE(ptpsim::queue_download(*device, b));
    // One camera, one thread: it fetches the first and waits for the camera
    // thread, so the second stays queued.
    mtp_context_update(rig->context);
    ASSERT_TRUE(pump_until(rig->context, [&] { return rig->States()[0] == MTP_DOWNLOAD_DOWNLOADED; }, false));

    mtp_context_release(rig->context);

    std::vector<FinishedDownload> finished = rig->recorder.finished();
    ASSERT_EQ(finished.size(), 2u);
    EXPECT_EQ(finished[0].handle, a);
    EXPECT_TRUE(finished[0].success);
    EXPECT_EQ(read_file(finished[0].target), first);
    EXPECT_EQ(finished[1].handle, b);
    EXPECT_FALSE(finished[1].success);
    EXPECT_EQ(device->pending_downloads, 0);
    EXPECT_EQ(camera->calls(ptpsim::kOpGetObject), 1);
    rig.reset(); // disconnecting after the release finds nothing left to do
}

// --- the pass's flags and the settings -----------------------------------------------------------------

TEST_F(Downloads, UpdateReturnsTheAttachFlagsOnce)
{
    mtp_context_t context = {};
    ASSERT_TRUE(mtp_context_initialise(context));
    mtp_context_device_attached(context);
    EXPECT_EQ(mtp_context_update(context), MTP_ATTACH_ATTACHED);
    mtp_context_device_attached(context);
    mtp_context_device_detached(context);
    EXPECT_EQ(mtp_context_update(context), MTP_ATTACH_ATTACHED | MTP_ATTACH_DETACHED);
    EXPECT_EQ(mtp_context_update(context), 0);
    mtp_context_release(context);
    mtp_context_release(context);
}

TEST_F(Downloads, DefaultNamesAreSetAndCleared)
{
    mtp_context_t context = {};
    ASSERT_TRUE(mtp_context_initialise(context));
    EXPECT_TRUE(mtp_context_set_default(context, MTP_CAMERAPROPERTY_STORAGEMODE, string_make("disk")));
    EXPECT_EQ(std::string(context.default_names[MTP_CAMERAPROPERTY_STORAGEMODE].str), "disk");
    EXPECT_TRUE(mtp_context_set_default(context, MTP_CAMERAPROPERTY_STORAGEMODE, empty_str));
    EXPECT_EQ(context.default_names[MTP_CAMERAPROPERTY_STORAGEMODE].length, 0u);
    EXPECT_FALSE(mtp_context_set_default(context, MTP_CAMERAPROPERTY_COUNT, string_make("x")));
    mtp_context_auto_sync_time(context, true);
    EXPECT_TRUE(context.auto_sync_time);
    mtp_context_release(context);
}

// --- sizes that cannot be checked, full disks, folders and leftovers ---------------------------

TEST_F(Downloads, AnUnknownSizeDeletesTheCameraCopyOnlyWhenTheContentProvesItselfWhole)
{
    // 0 and 0xFFFFFFFF announce nothing to compare with. The photo is saved
    // either way; the camera's copy goes only when a JPEG's own structure
    // shows that every byte arrived.
    struct Case
    {
        const char* why;
        uint32_t announced;
        uint64_t served; // of 80000
        uint16_t format;
        bool deleted;
    };
    const Case cases[] = {
        {"0, a whole JPEG", 0, 80000, ptpsim::kFormatJpeg, true},
        {"0xFFFFFFFF, a whole JPEG", 0xFFFFFFFF, 80000, ptpsim::kFormatJpeg, true},
        {"0, a JPEG cut short", 0, 30000, ptpsim::kFormatJpeg, false},
        {"0xFFFFFFFF, a JPEG cut short", 0xFFFFFFFF, 30000, ptpsim::kFormatJpeg, false},
        {"0, bytes that are no JPEG", 0, 80000, 0x3000, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        TempDir folder;
        log.Clear();
        Rig rig(folder.Path());
        rig.AddCameras(1);
        rig.SetDeleteAfterDownload(0);
        Camera& camera = *rig.cameras[0];
        ptpsim::ObjectInfo info;
        info.filename = "IMG_0042.JPG";
        info.format = c.format;
        info.compressed_size = c.announced ? c.announced : 80000;
        uint32_t handle = camera.add_object(info, 80000,
                                            c.format == ptpsim::kFormatJpeg ? Content::kJpeg : Content::kPattern);
        if (c.announced == 0)
        {
            // The camera's ObjectInfo says 0.
            info.compressed_size = 0;
            ptpsim::Fault fault;
            fault.kind = ptpsim::Fault::Kind::kData;
            fault.operation = ptpsim::kOpGetObjectInfo;
            fault.data = ptpsim::encode_objectinfo(info).bytes;
            camera.add_fault(fault);
        }
        const std::string sent = as_text(camera.object_bytes(handle, 0, c.served));
        if (c.served < 80000)
            camera.truncate_object(handle, c.served);
        // Held in memory: 0xFFFFFFFF would otherwise count as a large object to stream.
        ASSERT_TRUE(ptpsim::queue_download(*rig.devices[0], handle, true));
        ASSERT_TRUE(rig.PumpUntilFinished(1));

        FinishedDownload f = rig.recorder.finished()[0];
        EXPECT_TRUE(f.success) << "what arrived is saved";
        const std::string saved = read_file(f.target);
        EXPECT_EQ(saved.size(), c.served);
        EXPECT_TRUE(saved == sent);
        EXPECT_EQ(camera.has_object(handle), !c.deleted);
        EXPECT_EQ(camera.calls(ptpsim::kOpDeleteObject), c.deleted ? 1 : 0);
        EXPECT_EQ(log.Contains("Keeping photo on camera: its size is not announced"), !c.deleted);
    }
}

TEST_F(Downloads, AStreamedDownloadWhoseDiskFillsGoesToTheFallbackFolder)
{
    // A movie streams into its file; the download folder's disk fills half-way.
    // As a photo held in memory, it must land in the fallback folder whole,
    // and only then leave the camera.
    Rig rig(dir.Path());
    rig.AddCameras(1);
    rig.SetDeleteAfterDownload(0);
    Camera& camera = *rig.cameras[0];
    camera.set_partial_chunk_limit(65536);
    uint32_t movie = rig.AddObject(0, 700001, "MVI_0002.MOV", ptpsim::kFormatQuickTime);
    const std::string bytes = as_text(camera.object_bytes(movie));
    mtp_photofile_set_write_fault(dir.Path(), 300000);
    ASSERT_TRUE(ptpsim::queue_download(*rig.devices[0], movie));
    ASSERT_TRUE(rig.PumpUntilFinished(1));
    mtp_photofile_set_write_fault("", 0);

    FinishedDownload f = rig.recorder.finished()[0];
    ASSERT_TRUE(f.success);
    EXPECT_TRUE(f.written_to_file);
    EXPECT_EQ(f.target, dir.File("Backup/MVI_0002.MOV"));
    EXPECT_EQ(read_file(f.target), bytes);
    EXPECT_EQ(f.hash, "");
    EXPECT_FALSE(camera.has_object(movie));
    EXPECT_TRUE(log.Contains("Saving file to fallback location"));
    // Nothing but the fallback folder in the download folder: no partial file.
    for (const fs::directory_entry& entry : fs::directory_iterator(dir.Path()))
        EXPECT_EQ(entry.path().filename(), "Backup");
}

namespace
{
struct SyncRecord
{
    std::mutex mutex;
    std::vector<std::pair<std::string, bool>> synced; // folder, object still on the camera
    Camera* camera = nullptr;
    uint32_t handle = 0;
};

void record_sync(const std::string& folder, void* user)
{
    SyncRecord& record = *static_cast<SyncRecord*>(user);
    std::lock_guard<std::mutex> lock(record.mutex);
    record.synced.emplace_back(folder, record.camera->has_object(record.handle));
}
} // namespace

TEST_F(Downloads, AFolderCreatedWithItsParentsIsSyncedIntoThemBeforeTheCameraCopyGoes)
{
    const std::string root = fs::canonical(dir.Path()).string();
    const std::string folder = root + "/2026/12/shoot";
    Rig rig(folder);
    rig.AddCameras(1);
    rig.SetDeleteAfterDownload(0);
    uint32_t handle = rig.AddObject(0, 50000, "IMG_0100.JPG");
    SyncRecord record;
    record.camera = rig.cameras[0].get();
    record.handle = handle;
    mtp_photofile_set_sync_observer(record_sync, &record);
    ASSERT_TRUE(ptpsim::queue_download(*rig.devices[0], handle));
    ASSERT_TRUE(rig.PumpUntilFinished(1));
    mtp_photofile_set_sync_observer(nullptr, nullptr);

    ASSERT_TRUE(rig.recorder.finished()[0].success);
    EXPECT_FALSE(rig.cameras[0]->has_object(handle));
    std::lock_guard<std::mutex> lock(record.mutex);
    std::vector<std::string> synced;
    for (const auto& entry : record.synced)
    {
        synced.push_back(entry.first);
        EXPECT_TRUE(entry.second) << entry.first << " synced after the camera's copy went";
    }
    // Each new folder's entry in its parent, outermost first, then the photo's.
    const std::vector<std::string> expected = {root, root + "/2026", root + "/2026/12", folder};
    EXPECT_EQ(synced, expected);
}

TEST_F(Downloads, TemporariesLeftByACrashedRunAreSweptWhenTheContextStarts)
{
    // The default download folder below the pictures folder, and its fallback.
    const std::string pictures = fs::canonical(dir.Path()).string();
    const std::string downloads = pictures + "/Lumivane 3";
    fs::create_directories(downloads + "/Backup");
    const char* old_pictures = std::getenv("XDG_PICTURES_DIR");
    const std::string saved = old_pictures ? old_pictures : "";
    setenv("XDG_PICTURES_DIR", pictures.c_str(), 1);

    // A process id that runs no process, and one that does (this one's parent).
    pid_t dead = 4194000;
    while (kill(dead, 0) == 0 || errno != ESRCH)
        --dead;
    const std::string gone = std::to_string(dead);
    const std::string alive = std::to_string(getppid());
    struct Entry
    {
        std::string path;
        bool swept;
    };
    const std::vector<Entry> entries = {
        {downloads + "/.lumivane-" + gone + "-3.part", true},
        {downloads + "/Backup/.lumivane-" + gone + "-17.part", true},
        {downloads + "/.lumivane-" + alive + "-4.part", false}, // another instance is writing it
        {downloads + "/.lumivane-" + gone + "-x.part", false},  // not our pattern
        {downloads + "/.lumivane-" + gone + "-5.tmp", false},
        {downloads + "/lumivane-" + gone + "-6.part", false},
        {downloads + "/LVP_0001.JPG", false},
    };
    for (const Entry& entry : entries)
        std::ofstream(entry.path) << "bytes";

    mtp_context_t context = {};
    ASSERT_TRUE(mtp_context_initialise(context));
    mtp_context_release(context);
    saved.empty() && !old_pictures ? unsetenv("XDG_PICTURES_DIR") : setenv("XDG_PICTURES_DIR", saved.c_str(), 1);

    for (const Entry& entry : entries)
    {
        SCOPED_TRACE(entry.path);
        EXPECT_EQ(fs::exists(entry.path), !entry.swept);
    }
    EXPECT_TRUE(log.Contains("Removed 1 unfinished photo files left by an earlier run in: " + downloads));
}

TEST_F(Downloads, ObjectsHandedOverInUsbPacketsArriveWhole)
{
    // The responder's USB-like hand-over (a packet at a time, through the
    // camera's own buffer) must deliver exactly what the direct one does.
    Rig rig(dir.Path());
    rig.AddCameras(1);
    Camera& camera = *rig.cameras[0];
    camera.set_usb_transfer(512);
    camera.set_partial_chunk_limit(100000);
    std::map<uint32_t, std::string> sent;
    for (uint64_t size : {1ull, 511ull, 512ull, 513ull, 300001ull})
    {
        uint32_t handle = rig.AddObject(0, size, "IMG_" + std::to_string(size) + ".JPG");
        sent[handle] = as_text(camera.object_bytes(handle));
        ASSERT_TRUE(ptpsim::queue_download(*rig.devices[0], handle));
    }
    uint32_t movie = rig.AddObject(0, 400003, "MVI_0003.MOV", ptpsim::kFormatQuickTime);
    sent[movie] = as_text(camera.object_bytes(movie));
    ASSERT_TRUE(ptpsim::queue_download(*rig.devices[0], movie));
    ASSERT_TRUE(rig.PumpUntilFinished(sent.size()));
    for (const FinishedDownload& f : rig.recorder.finished())
    {
        SCOPED_TRACE(f.name);
        ASSERT_TRUE(f.success);
        EXPECT_TRUE(read_file(f.target) == sent.at(f.handle));
    }
}
