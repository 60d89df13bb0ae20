// The device's side of a download: creating and destroying tasks, and the
// steps a task goes through under its device's lock (fetching through the
// vendor, checking the bytes against the announced size, acknowledging,
// deleting the camera's copy once the photo is saved, handing it back to the
// camera layer). Where and when each step runs is the context's (mtp_context.cpp).
#include "orvo/camera/mtp_download.h"

#include "orvo/camera/mtp_context.h"
#include "orvo/camera/mtp_photofile.h"
#include "orvo/camera/src/mtp_photofile_internal.h"
#include "orvo/core/core_file.h"
#include "orvo/core/core_imageformat.h"
#include "orvo/core/core_log.h"

#include <cstdio>
#include <new>

#include <sys/stat.h>

namespace orvo
{
namespace
{
const char* const g_state_names[] = {"queued", "downloading", "downloaded", "acknowledged",
                                     "saved",  "finished",    "released"};

const char* object_name(const mtp_downloadtask_t& task)
{
    return task.object.filename.length ? task.object.filename.str : "";
}

const char* device_serial(const mtp_device_t& device)
{
    return device.deviceinfo.serial_number.length ? device.deviceinfo.serial_number.str : "";
}

// The bytes that arrived: in the buffer, or in the streamed file.
bool received_size(const mtp_downloadtask_t& task, u64& size)
{
    if (!task.written_to_file)
    {
        size = task.transfer_buffer ? task.transfer_buffer->length : 0;
        return true;
    }
    struct stat info;
    if (!task.partial.length || stat(task.partial.str, &info) != 0)
        return false;
    size = static_cast<u64>(info.st_size);
    return true;
}

// Content that proves its own length: a JPEG whose walk from marker to marker
// ends exactly at its last byte. Anything else (raw files, movies, a JPEG cut
// short or with bytes behind its end) cannot tell a cut transfer from a whole one.
bool proves_whole(const mtp_downloadtask_t& task, u64 received)
{
    if (!task.written_to_file)
    {
        memory_t bytes = {task.transfer_buffer ? task.transfer_buffer->data : nullptr, received};
        return bytes.data && image_compute_format(bytes) == IMAGEFORMAT_JPEG &&
               image_compute_payload(bytes) == received;
    }
    // A streamed file is read back only when it starts as a JPEG.
    u8 head[4] = {};
    FILE* file = std::fopen(task.partial.str, "rb");
    if (!file)
        return false;
    size_t got = std::fread(head, 1, sizeof(head), file);
    std::fclose(file);
    if (image_compute_format(memory_t{head, got}) != IMAGEFORMAT_JPEG)
        return false;
    filecontents_t contents;
    filecontents_initialise(contents);
    bool whole = filecontents_load_silent(contents, task.partial) &&
                 image_compute_payload(memorybuffer_view(contents.buffer)) == received &&
                 contents.buffer.num_bytes == received;
    filecontents_release(contents);
    return whole;
}

// What the camera sent must be what it announced: a short object (a transfer
// cut off, a camera that gave up) saved as if whole would be deleted from the
// camera as if safe. The size field holds 0xFFFFFFFF for objects of 4 GiB and
// more, and some cameras leave it 0; neither can be checked.
bool check_received(mtp_device_t& device, mtp_downloadtask_t& task)
{
    u64 received = 0;
    if (!received_size(task, received))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to download, file missing: %s", object_name(task));
        return false;
    }
    if (received == 0)
    {
        // mtp_device_read has counted the zero-length read.
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to download, empty object: %s", object_name(task));
        return false;
    }
    u64 announced = task.object.size;
    if (announced == 0 || announced == MTP_OBJECT_SIZE_UNKNOWN)
    {
        // Saved either way, but the camera's copy may go only when the bytes
        // show themselves whole: a cut transfer would otherwise lose the photo.
        if (task.delete_after_download && !proves_whole(task, received))
        {
            task.delete_after_download = false;
            log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA,
                       "Keeping photo on camera: its size is not announced and %llu bytes do not show it whole - %s - %s",
                       static_cast<unsigned long long>(received), device_serial(device), object_name(task));
        }
        return true;
    }
    if (received == announced)
        return true;
    ++device.size_mismatch_reads;
    log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA,
               "Camera download size mismatch: %llu (expected %llu) - %s - %s",
               static_cast<unsigned long long>(received), static_cast<unsigned long long>(announced),
               device_serial(device), object_name(task));
    return false;
}

bool wants_file(const mtp_device_t& device, const mtp_downloadtask_t& task)
{
    if (!device.hooks.download_file || task.memory_only)
        return false;
    return mtp_format_is_video(device.protocol, task.object.format) || task.object.size > MTP_DOWNLOAD_FILE_THRESHOLD;
}
} // namespace

const char* mtp_downloadstate_to_cstr(i32 state)
{
    return state >= 0 && state <= MTP_DOWNLOAD_RELEASED ? g_state_names[state] : "unknown";
}

mtp_downloadtask_t* mtp_downloadtask_create(mtp_device_t& device, const mtp_objectinfo_t& object, bool memory_only,
                                            void* photo)
{
    void* memory = heap_alloc(sizeof(mtp_downloadtask_t), alignof(mtp_downloadtask_t), ORVO_HEAP_TAG);
    if (!memory)
        return nullptr;
    mtp_downloadtask_t* task = new (memory) mtp_downloadtask_t();
    task->state = MTP_DOWNLOAD_QUEUED;
    task->photo = photo;
    task->memory_only = memory_only;
    task->written_to_file = false;
    task->success = false;
    task->delete_after_download = device.delete_after_download;
    task->rate = 0.0f;
    task->device = &device;
    task->transfer_buffer = nullptr;
    task->file_write_failed = false;
    task->file_fallback = false;
    mtp_objectinfo_initialise(task->object, device.protocol, object.handle);
    filename_initialise(task->target);
    stringbuffer_initialise(task->hash);
    stringbuffer_initialise(task->file_type);
    stringbuffer_initialise(task->photo_name);
    stringbuffer_initialise(task->download_folder);
    stringbuffer_initialise(task->fallback_folder);
    stringbuffer_initialise(task->partial);
    if (!mtp_objectinfo_copy(task->object, object))
    {
        mtp_downloadtask_destroy(task);
        return nullptr;
    }
    return task;
}

void mtp_downloadtask_destroy(mtp_downloadtask_t* task)
{
    if (!task)
        return;
    // A streamed download that was never published is not a photo.
    mtp_photofile_remove_partial(task->partial);
    mtp_objectinfo_release(task->object);
    filename_release(task->target);
    stringbuffer_release(task->hash);
    stringbuffer_release(task->file_type);
    stringbuffer_release(task->photo_name);
    stringbuffer_release(task->download_folder);
    stringbuffer_release(task->fallback_folder);
    stringbuffer_release(task->partial);
    task->~mtp_downloadtask_t();
    heap_free(task, ORVO_HEAP_TAG);
}

bool mtp_device_download(mtp_device_t& device, const mtp_objectinfo_t& object, bool memory_only, void* photo)
{
    mtp_device_lock(device);
    bool queued = mtp_device_download_locked(device, object, memory_only, photo);
    mtp_device_unlock(device);
    return queued;
}

bool mtp_device_download_locked(mtp_device_t& device, const mtp_objectinfo_t& object, bool memory_only, void* photo)
{
    if (!device.registered || !device.context)
        return false;
    mtp_downloadtask_t* task = mtp_downloadtask_create(device, object, memory_only, photo);
    if (!task)
        return false;
    if (device.callbacks.prepare_download)
        device.callbacks.prepare_download(*task, device.callbacks.user);
    ++device.pending_downloads;
    mtp_device_set_changed(device, MTP_CHANGE_DOWNLOADS);
    return mtp_context_async_download(*device.context, task);
}

bool mtp_device_execute_download_locked(mtp_device_t& device, mtp_downloadtask_t& task)
{
    bool ok = false;
    if (wants_file(device, task))
    {
        ok = device.hooks.download_file(device, task);
        // The disk of the download folder failed under the stream: the camera
        // still holds the object, so take it again into the fallback folder,
        // as a photo held in memory is saved there.
        if (!ok && task.written_to_file && task.file_write_failed && !task.file_fallback)
        {
            mtp_photofile_remove_partial(task.partial);
            task.file_fallback = true;
            ok = device.hooks.download_file(device, task);
        }
    }
    else if (device.hooks.download)
        ok = device.hooks.download(device, task);
    ok = ok && check_received(device, task);
    if (!ok && task.written_to_file)
        mtp_photofile_remove_partial(task.partial);
    return ok;
}

bool mtp_device_execute_download(mtp_device_t& device, mtp_downloadtask_t& task)
{
    mtp_device_lock(device);
    bool ok = mtp_device_execute_download_locked(device, task);
    mtp_device_unlock(device);
    return ok;
}

void mtp_device_acknowledge_download_locked(mtp_device_t& device, mtp_downloadtask_t& task)
{
    if (device.hooks.acknowledge_download)
        device.hooks.acknowledge_download(device, task);
    if (task.success)
        device.download_rate = task.rate;
    else
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to download: %s", object_name(task));
    if (device.pending_downloads > 0)
        --device.pending_downloads;
    mtp_device_set_changed(device, MTP_CHANGE_DOWNLOADS);
}

void mtp_device_acknowledge_download(mtp_device_t& device, mtp_downloadtask_t& task)
{
    mtp_device_lock(device);
    mtp_device_acknowledge_download_locked(device, task);
    mtp_device_unlock(device);
}

bool mtp_device_save_download(mtp_device_t& device, mtp_downloadtask_t& task)
{
    (void)device;
    if (task.success)
        task.success = mtp_save_photo(task);
    return task.success;
}

void mtp_device_finish_download_locked(mtp_device_t& device, mtp_downloadtask_t& task)
{
    // Only a photo that is saved, synced and checked may leave the camera.
    if (task.success && task.delete_after_download)
        mtp_device_delete_locked(device, task.object);
    if (device.callbacks.download_finished)
        device.callbacks.download_finished(task, device.callbacks.user);
}

void mtp_device_finish_download(mtp_device_t& device, mtp_downloadtask_t& task)
{
    mtp_device_lock(device);
    mtp_device_finish_download_locked(device, task);
    mtp_device_unlock(device);
}

void mtp_device_drop_download_locked(mtp_device_t& device, mtp_downloadtask_t& task)
{
    task.success = false;
    if (device.pending_downloads > 0)
        --device.pending_downloads;
    mtp_device_set_changed(device, MTP_CHANGE_DOWNLOADS);
    if (device.callbacks.download_finished)
        device.callbacks.download_finished(task, device.callbacks.user);
}

void mtp_device_poll_download(mtp_device_t& device)
{
    // Busy with another transfer: its own acknowledgement polls it again.
    if (!mtp_device_try_lock(device))
        return;
    if (device.hooks.poll)
        device.hooks.poll(device);
    mtp_device_unlock(device);
}
} // namespace orvo
