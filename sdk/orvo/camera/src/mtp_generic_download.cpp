// The generic downloads: a whole object by GetObject into the task's buffer,
// and movies and large objects by GetPartialObject chunks streamed into the
// photo's file. Both run on a "USBXFER" thread under the device lock, with the
// buffer of that thread; the engine checks the received size afterwards.
#include "orvo/camera/mtp_generic.h"

#include "orvo/camera/mtp_photofile.h"
#include "orvo/core/core_log.h"

#include <cerrno>
#include <cstring>

namespace orvo
{
namespace
{
// Buffers are sized ahead only for objects the memory download may really
// hold; the transport grows the buffer by what arrives for anything else.
bool presize_buffer(mtp_buffer_t& buffer, u64 size)
{
    if (size == 0 || size > MTP_DOWNLOAD_FILE_THRESHOLD)
        return true;
    if (!mtp_buffer_allocate(buffer, size))
        return false;
    mtp_buffer_clear(buffer);
    return true;
}

const char* task_target(const mtp_downloadtask_t& task)
{
    return task.target.path.length ? task.target.path.str : "";
}
} // namespace

bool mtp_generic_download(mtp_device_t& device, mtp_downloadtask_t& task)
{
    if (!task.transfer_buffer)
        return false;
    mtp_buffer_t& buffer = *task.transfer_buffer;
    mtp_buffer_clear(buffer);
    if (!presize_buffer(buffer, task.object.size))
        return false;
    timer_t timer;
    timer_start(timer);
    u32 handle = task.object.handle;
    if (!mtp_device_read(device, buffer, MTP_COMMAND_GetObject, &handle, 1) || buffer.length == 0)
        return false;
    timer.ticks = timer_elapsed(timer);
    task.rate = mtp_compute_download_rate(timer, buffer.length);
    return true;
}

bool mtp_generic_download_file(mtp_device_t& device, mtp_downloadtask_t& task)
{
    if (!task.transfer_buffer)
        return false;
    mtp_buffer_t& buffer = *task.transfer_buffer;
    if (!mtp_buffer_allocate(buffer, MTP_GENERIC_PARTIAL_CHUNK))
        return false;
    mtp_buffer_clear(buffer);
    FILE* file = mtp_fopen_photo(task);
    if (!file)
        return false;

    timer_t timer;
    timer_start(timer);
    const u64 size = task.object.size;
    u64 offset = 0;
    bool ok = true;
    while (ok && offset < size)
    {
        u64 left = size - offset;
        u32 chunk = left < MTP_GENERIC_PARTIAL_CHUNK ? static_cast<u32>(left) : MTP_GENERIC_PARTIAL_CHUNK;
        u32 parameters[3] = {task.object.handle, static_cast<u32>(offset), chunk};
        if (!mtp_device_read(device, buffer, MTP_COMMAND_GetPartialObject, parameters, 3))
        {
            ok = false;
            break;
        }
        // A camera may answer with fewer bytes than asked: what arrived is
        // written and the next chunk starts right after it. An answer with no
        // bytes would never finish the object.
        u64 received = buffer.length < chunk ? buffer.length : chunk;
        if (received == 0)
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Camera sent no data at offset %llu of %llu - %s",
                       static_cast<unsigned long long>(offset), static_cast<unsigned long long>(size),
                       task.object.filename.length ? task.object.filename.str : "");
            ok = false;
            break;
        }
        size_t written = fwrite(buffer.data, 1, received, file);
        if (written != received)
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "File size write mismatch: %llu (expected %llu) - %s",
                       static_cast<unsigned long long>(written), static_cast<unsigned long long>(received),
                       strerror(errno));
            ok = false;
            break;
        }
        offset += received;
    }
    if (fclose(file) != 0 && ok)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "File size write mismatch: %llu (expected %llu) - %s",
                   static_cast<unsigned long long>(offset), static_cast<unsigned long long>(size), strerror(errno));
        ok = false;
    }
    timer.ticks = timer_elapsed(timer);
    task.rate = mtp_compute_download_rate(timer, size);
    if (!ok)
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to save file: %s", task_target(task));
    return ok;
}
} // namespace orvo
