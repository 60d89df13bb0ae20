#include "support/ptpsim/ptpsim_download_helpers.h"

#include "orvo/camera/mtp_photofile.h"
#include "orvo/core/core_log.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace ptpsim
{
namespace
{
std::mutex g_mutex;
std::map<const orvo::mtp_device_t*, int> g_polls;
std::map<const orvo::mtp_device_t*, void (*)(orvo::mtp_device_t&)> g_vendor_polls;
DownloadRecorder* g_recorder = nullptr;

std::string text_of(const orvo::string_t& text)
{
    return text.length ? std::string(text.str, text.length) : std::string();
}

void hook_poll(orvo::mtp_device_t& device)
{
    void (*vendor)(orvo::mtp_device_t&) = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_polls[&device];
        vendor = g_vendor_polls[&device];
    }
    if (vendor)
        vendor(device);
}
} // namespace

void install_poll_counter(orvo::mtp_device_t& device)
{
    orvo::mtp_device_lock(device);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_polls[&device] = 0;
        if (device.hooks.poll != hook_poll)
            g_vendor_polls[&device] = device.hooks.poll;
    }
    device.hooks.poll = hook_poll;
    orvo::mtp_device_unlock(device);
}

int poll_count(const orvo::mtp_device_t& device)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_polls.find(&device);
    return it == g_polls.end() ? 0 : it->second;
}

bool queue_download(orvo::mtp_device_t& device, uint32_t handle, bool memory_only, void* photo)
{
    orvo::mtp_device_lock(device);
    orvo::mtp_buffer_t& buffer = orvo::mtp_device_transfer_buffer(device);
    orvo::mtp_objectinfo_t object;
    orvo::mtp_objectinfo_initialise(object, device.protocol, handle);
    orvo::u64 cursor = 0;
    orvo::u32 parameter = handle;
    bool queued = orvo::mtp_device_read(device, buffer, orvo::MTP_COMMAND_GetObjectInfo, &parameter, 1) &&
                  orvo::mtp_objectinfo_parse(object, buffer, cursor);
    object.handle = handle;
    queued = queued && orvo::mtp_device_download_locked(device, object, memory_only, photo);
    orvo::mtp_objectinfo_release(object);
    orvo::mtp_device_unlock(device);
    return queued;
}

DownloadRecorder::DownloadRecorder()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_recorder = this;
}

DownloadRecorder::~DownloadRecorder()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_recorder == this)
        g_recorder = nullptr;
}

orvo::mtp_device_callbacks_t DownloadRecorder::callbacks(Camera& camera, const std::string& folder,
                                                          const std::string& fallback, const std::string& file_type)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_targets.push_back(Target{&camera, folder, fallback, file_type});
    }
    orvo::mtp_device_callbacks_t callbacks = camera.callbacks();
    callbacks.prepare_download = prepare;
    callbacks.download_finished = finish;
    return callbacks;
}

std::vector<FinishedDownload> DownloadRecorder::finished()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_finished;
}

size_t DownloadRecorder::num_finished()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_finished.size();
}

const DownloadRecorder::Target* DownloadRecorder::find(void* user)
{
    for (const Target& target : m_targets)
        if (target.camera == user)
            return &target;
    return nullptr;
}

void DownloadRecorder::prepare(orvo::mtp_downloadtask_t& task, void* user)
{
    DownloadRecorder* recorder;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        recorder = g_recorder;
    }
    if (!recorder)
        return;
    std::lock_guard<std::mutex> lock(recorder->m_mutex);
    const Target* target = recorder->find(user);
    if (!target)
        return;
    orvo::stringbuffer_set(task.photo_name, task.object.filename);
    orvo::stringbuffer_set(task.download_folder, target->folder);
    orvo::stringbuffer_set(task.fallback_folder, target->fallback);
    orvo::stringbuffer_set(task.file_type, target->file_type);
}

void DownloadRecorder::finish(const orvo::mtp_downloadtask_t& task, void* user)
{
    DownloadRecorder* recorder;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        recorder = g_recorder;
    }
    if (!recorder)
        return;
    FinishedDownload record;
    record.handle = task.object.handle;
    record.photo = task.photo;
    record.success = task.success;
    record.written_to_file = task.written_to_file;
    record.target = task.success ? text_of(task.target.path) : std::string();
    record.name = text_of(task.photo_name);
    record.hash = text_of(task.hash);
    record.rate = task.rate;
    record.state = task.state;
    record.pending = task.device ? task.device->pending_downloads : 0;
    record.on_camera = static_cast<Camera*>(user)->has_object(task.object.handle);
    record.device = task.device;
    std::lock_guard<std::mutex> lock(recorder->m_mutex);
    recorder->m_finished.push_back(record);
}
} // namespace ptpsim
