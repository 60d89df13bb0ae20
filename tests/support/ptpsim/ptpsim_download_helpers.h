// Download-side helpers for tests and benchmarks on the PTP responder: a
// counter of the vendor's poll (the downloads themselves run through the
// camera's real vendor hooks), the creation of one download task for an
// object (GetObjectInfo, then a task), and a recorder that names each photo as
// the camera layer would and keeps every finished task's result.
#pragma once

#include "support/ptpsim/ptpsim_camera.h"

#include "orvo/camera/mtp_download.h"

#include <mutex>
#include <string>
#include <vector>

namespace ptpsim
{
// Counts the runs of the device's poll hook, calling the vendor's own poll
// each time. Call after the device has connected (connecting chooses the
// vendor's hooks).
void install_poll_counter(orvo::mtp_device_t& device);
// How often the poll hook ran for the device since install_poll_counter.
int poll_count(const orvo::mtp_device_t& device);

// Reads the object's ObjectInfo and creates its download task, as a vendor's
// ObjectAdded handler does (takes the device lock). True when it was queued.
bool queue_download(orvo::mtp_device_t& device, uint32_t handle, bool memory_only = false, void* photo = nullptr);

// What download_finished saw of one task.
struct FinishedDownload
{
    uint32_t handle = 0;
    void* photo = nullptr;
    bool success = false;
    bool written_to_file = false;
    std::string target; // full path, empty when not saved
    std::string name;   // the photo name after saving
    std::string hash;
    float rate = 0.0f;
    int state = -1;       // the task's state during the callback
    int pending = 0;      // the device's pending downloads during the callback
    bool on_camera = false; // the object was still on the camera during the callback
    orvo::mtp_device_t* device = nullptr;
};

// The one recorder of a test: the prepare_download and download_finished
// callbacks of every device made with its callbacks(). Photos keep the
// camera's file name (with the folder's numbering) and the camera's file type
// unless a type is given.
class DownloadRecorder
{
public:
    DownloadRecorder();
    ~DownloadRecorder();
    DownloadRecorder(const DownloadRecorder&) = delete;
    DownloadRecorder& operator=(const DownloadRecorder&) = delete;

    // The camera's transport callbacks plus this recorder's download callbacks.
    orvo::mtp_device_callbacks_t callbacks(Camera& camera, const std::string& folder, const std::string& fallback,
                                           const std::string& file_type = "");
    std::vector<FinishedDownload> finished();
    size_t num_finished();

private:
    struct Target
    {
        Camera* camera;
        std::string folder;
        std::string fallback;
        std::string file_type;
    };
    static void prepare(orvo::mtp_downloadtask_t& task, void* user);
    static void finish(const orvo::mtp_downloadtask_t& task, void* user);
    const Target* find(void* user);

    std::mutex m_mutex;
    std::vector<Target> m_targets;
    std::vector<FinishedDownload> m_finished;
};
} // namespace ptpsim
