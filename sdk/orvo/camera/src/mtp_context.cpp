// The PTP context: its lifecycle and settings, device registration, queueing a
// download on its device's controller (or running it at once without one),
// the camera thread's pass, and cancelling a device's downloads when it goes.
// The controllers' own step and the "USBXFER" threads are mtp_usbcontroller.cpp.
#include "orvo/camera/mtp_context.h"

#include "orvo/camera/mtp_photofile.h"
#include "orvo/camera/src/mtp_context_internal.h"
#include "orvo/core/core_folders.h"
#include "orvo/core/core_log.h"

#include <new>

namespace orvo
{
namespace
{
const char* device_serial(const mtp_device_t& device)
{
    return device.deviceinfo.serial_number.length ? device.deviceinfo.serial_number.str : "";
}

// A task that ends as the context stops: every queued photo is reported, every
// downloaded one saved and reported. The threads have ended, so nothing else
// touches the task.
void end_task_on_release(mtp_downloadtask_t& task)
{
    mtp_device_t& device = *task.device;
    switch (task.state)
    {
    case MTP_DOWNLOAD_DOWNLOADED:
        mtp_device_acknowledge_download(device, task);
        mtp_device_save_download(device, task);
        mtp_device_finish_download(device, task);
        break;
    case MTP_DOWNLOAD_ACKNOWLEDGED:
        mtp_device_save_download(device, task);
        mtp_device_finish_download(device, task);
        break;
    case MTP_DOWNLOAD_SAVED:
        mtp_device_finish_download(device, task);
        break;
    case MTP_DOWNLOAD_FINISHED:
    case MTP_DOWNLOAD_RELEASED:
        break;
    default:
        // Queued (or claimed by a thread that ended before fetching it): never
        // reached the camera.
        mtp_device_lock(device);
        mtp_device_drop_download_locked(device, task);
        mtp_device_unlock(device);
        break;
    }
}

// Every step of a task on the calling thread, which holds the device lock:
// used when no controller exists, with the context's direct buffer.
void run_direct(mtp_context_t& context, mtp_downloadtask_t* task)
{
    mtp_device_t& device = *task->device;
    task->transfer_buffer = &context.direct_buffer;
    task->state = MTP_DOWNLOAD_DOWNLOADING;
    task->success = mtp_device_execute_download_locked(device, *task);
    task->state = MTP_DOWNLOAD_DOWNLOADED;
    mtp_device_acknowledge_download_locked(device, *task);
    task->state = MTP_DOWNLOAD_ACKNOWLEDGED;
    mtp_device_save_download(device, *task);
    task->state = MTP_DOWNLOAD_SAVED;
    mtp_device_finish_download_locked(device, *task);
    task->state = MTP_DOWNLOAD_RELEASED;
    task->transfer_buffer = nullptr;
    mtp_downloadtask_destroy(task);
}
} // namespace

mtp_usbcontroller_t* mtp_context_find_controller(mtp_context_t& context, i32 id)
{
    for (u64 i = 0; i < context.controllers.count; ++i)
        if (context.controllers.data[i]->id == id)
            return context.controllers.data[i];
    return context.controllers.count ? context.controllers.data[0] : nullptr;
}

// --- lifecycle --------------------------------------------------------------------------

namespace
{
// Photos that a crashed run was saving lie as hidden temporaries in the
// download folders; the default ones are cleaned up here, the camera layer
// sweeps folders of its own choosing with mtp_photofile_sweep_temporaries.
void sweep_default_folders()
{
    dirname_t folder;
    dirname_initialise(folder);
    if (dir_get_pictures(folder) && dirname_append(folder, MTP_DEFAULT_DOWNLOAD_FOLDER))
    {
        mtp_photofile_sweep_temporaries(folder.path);
        if (dirname_append(folder, MTP_DEFAULT_FALLBACK_FOLDER))
            mtp_photofile_sweep_temporaries(folder.path);
    }
    dirname_release(folder);
}
} // namespace

bool mtp_context_initialise(mtp_context_t& context)
{
    context.running = true;
    context.device_count = 0;
    context.attach_flags.store(0, std::memory_order_relaxed);
    context.lock = nullptr;
    mtp_buffer_initialise(context.transfer_buffer);
    mtp_buffer_initialise(context.direct_buffer);
    vector_initialise(context.controllers, 4, false);
    vector_initialise(context.poll_list, 4, false);
    context.detector = nullptr;
    context.auto_sync_time = false;
    context.download_waker = nullptr;
    context.download_waker_user = nullptr;
    for (u32 type = 0; type < MTP_CAMERAPROPERTY_COUNT; ++type)
        stringbuffer_initialise(context.default_names[type]);

    void* memory = heap_alloc(sizeof(mutex_t), alignof(mutex_t), ORVO_HEAP_TAG);
    mutex_t* lock = memory ? new (memory) mutex_t() : nullptr;
    if (!lock || !mutex_initialise(*lock))
    {
        if (lock)
        {
            lock->~mutex_t();
            heap_free(lock, ORVO_HEAP_TAG);
        }
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to create the PTP context lock");
        mtp_context_release(context);
        return false;
    }
    context.lock = lock;
    context.detector = mtp_detector_create(context);
    sweep_default_folders();
    return true;
}

void mtp_context_release(mtp_context_t& context)
{
    if (context.lock)
    {
        mutex_lock(*context.lock);
        context.running = false;
        context.download_waker = nullptr;
        context.download_waker_user = nullptr;
        for (u64 i = 0; i < context.controllers.count; ++i)
            context.controllers.data[i]->running = false;
        mutex_unlock(*context.lock);
    }

    bool abandoned = false;
    for (u64 i = 0; i < context.controllers.count; ++i)
    {
        mtp_usbcontroller_t* controller = context.controllers.data[i];
        if (!mtp_usbcontroller_stop(*controller))
        {
            // A thread still inside a transfer keeps using its controller, its
            // tasks and the lock: they are left to it rather than freed under it.
            log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "USB download threads did not stop: slot %d",
                       controller->id);
            abandoned = true;
            continue;
        }
        for (u64 t = 0; t < controller->tasks.count; ++t)
        {
            end_task_on_release(*controller->tasks.data[t]);
            mtp_downloadtask_destroy(controller->tasks.data[t]);
        }
        controller->tasks.count = 0;
        mtp_usbcontroller_destroy(controller);
    }
    vector_release(context.controllers);
    vector_release(context.poll_list);

    if (context.lock && !abandoned)
    {
        mutex_release(*context.lock);
        context.lock->~mutex_t();
        heap_free(context.lock, ORVO_HEAP_TAG);
    }
    context.lock = nullptr;
    mtp_detector_destroy(context.detector);
    context.detector = nullptr;
    mtp_buffer_release(context.transfer_buffer);
    mtp_buffer_release(context.direct_buffer);
    for (u32 type = 0; type < MTP_CAMERAPROPERTY_COUNT; ++type)
        stringbuffer_release(context.default_names[type]);
    context.running = false;
    context.device_count = 0;
    context.attach_flags.store(0, std::memory_order_relaxed);
    context.auto_sync_time = false;
}

// --- the camera thread's pass -------------------------------------------------------------

i32 mtp_context_update(mtp_context_t& context)
{
    // Controllers are added only on this thread, so the list is stable here.
    for (u64 i = 0; i < context.controllers.count; ++i)
        mtp_usbcontroller_update(*context.controllers.data[i]);
    // Once per acknowledged download: events the camera raised while it was
    // transferring are read now rather than at the next poll period.
    for (u64 i = 0; i < context.poll_list.count; ++i)
        mtp_device_poll_download(*context.poll_list.data[i]);
    context.poll_list.count = 0;
    return context.attach_flags.exchange(0, std::memory_order_acq_rel);
}

// --- settings ---------------------------------------------------------------------------------

void mtp_context_auto_sync_time(mtp_context_t& context, bool on)
{
    context.auto_sync_time = on;
}

void mtp_context_set_download_waker(mtp_context_t& context, void (*waker)(void* user), void* user)
{
    if (context.lock)
        mutex_lock(*context.lock);
    context.download_waker = waker;
    context.download_waker_user = user;
    if (context.lock)
        mutex_unlock(*context.lock);
}

bool mtp_context_set_default(mtp_context_t& context, mtp_camerapropertytype_t type, const string_t& name)
{
    if (static_cast<u32>(type) >= MTP_CAMERAPROPERTY_COUNT)
        return false;
    return stringbuffer_set(context.default_names[type], name);
}

void mtp_context_device_attached(mtp_context_t& context)
{
    context.attach_flags.fetch_or(MTP_ATTACH_ATTACHED, std::memory_order_acq_rel);
}

void mtp_context_device_detached(mtp_context_t& context)
{
    context.attach_flags.fetch_or(MTP_ATTACH_DETACHED, std::memory_order_acq_rel);
}

// --- devices ----------------------------------------------------------------------------------

void mtp_context_register_device(mtp_context_t& context, mtp_device_t& device)
{
    if (!context.lock)
        return;
    mutex_lock(*context.lock);
    ++context.device_count;
    i32 slot = mtp_detector_get_usbcontroller_id(context.detector, device);
    if (device.controller_slot != slot)
    {
        device.controller_slot = slot;
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "USB controller detected for camera %s: slot %d",
                   device_serial(device), slot);
    }
    mtp_usbcontroller_t* controller = mtp_context_find_controller(context, slot);
    if (!controller || (slot >= 0 && controller->id != slot))
    {
        // Without detection (slot -1) every camera shares controller 0.
        i32 id = slot < 0 ? 0 : slot;
        mtp_usbcontroller_t* created = mtp_usbcontroller_create(context, id);
        if (created)
        {
            controller = created;
            log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "USB download threads added for: slot %d", id);
        }
    }
    if (controller)
        ++controller->device_count;
    mutex_unlock(*context.lock);
}

void mtp_context_unregister_device(mtp_context_t& context, mtp_device_t& device)
{
    if (!context.lock)
        return;
    mutex_lock(*context.lock);
    if (context.device_count > 0)
        --context.device_count;
    mtp_usbcontroller_t* controller = mtp_context_find_controller(context, device.controller_slot);
    if (controller && controller->device_count > 0)
        --controller->device_count;
    mutex_unlock(*context.lock);
}

// --- downloads --------------------------------------------------------------------------------

bool mtp_context_async_download(mtp_context_t& context, mtp_downloadtask_t* task)
{
    if (!task)
        return false;
    mtp_device_t& device = *task->device;
    mtp_usbcontroller_t* controller = nullptr;
    bool queued = false;
    if (context.lock)
    {
        mutex_lock(*context.lock);
        controller = mtp_context_find_controller(context, device.controller_slot);
        if (controller)
        {
            mtp_buffer_release(context.direct_buffer);
            queued = context.running && controller->running && mtp_usbcontroller_add_download(*controller, task);
        }
        mutex_unlock(*context.lock);
    }
    if (queued)
        return true;
    if (!controller && context.lock && context.running)
    {
        run_direct(context, task);
        return true;
    }
    // The queue could not grow (or downloads have stopped): the camera layer
    // hears of it, and the camera is not left counting a download that will
    // never be acknowledged, which would freeze its updates for good.
    log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to queue download: %s",
               task->object.filename.length ? task->object.filename.str : "");
    mtp_device_drop_download_locked(device, *task);
    mtp_downloadtask_destroy(task);
    return false;
}

i32 mtp_context_num_downloads(mtp_context_t& context, const mtp_device_t& device)
{
    if (!context.lock)
        return 0;
    i32 count = 0;
    mutex_lock(*context.lock);
    for (u64 i = 0; i < context.controllers.count; ++i)
    {
        const mtp_usbcontroller_t& controller = *context.controllers.data[i];
        for (u64 t = 0; t < controller.tasks.count; ++t)
            if (controller.tasks.data[t]->device == &device)
                ++count;
    }
    mutex_unlock(*context.lock);
    return count;
}

void mtp_context_cancel_downloads(mtp_context_t& context, mtp_device_t& device)
{
    if (!context.lock)
        return;
    bool warned = false;
    vector_t<mtp_downloadtask_t*> dropped;
    vector_initialise(dropped, 4, false);
    for (;;)
    {
        i32 remaining = 0;
        mutex_lock(*context.lock);
        for (u64 i = 0; i < context.controllers.count; ++i)
            remaining += mtp_usbcontroller_collect(*context.controllers.data[i], &device, &dropped);
        mutex_unlock(*context.lock);

        // Queued tasks never reached the camera: reported as not downloaded.
        for (u64 i = 0; i < dropped.count; ++i)
        {
            mtp_device_lock(device);
            mtp_device_drop_download_locked(device, *dropped.data[i]);
            mtp_device_unlock(device);
            mtp_downloadtask_destroy(dropped.data[i]);
        }
        dropped.count = 0;
        // A task in flight is acknowledged, saved and reported as usual.
        for (u64 i = 0; i < context.controllers.count; ++i)
            mtp_usbcontroller_run_steps(*context.controllers.data[i], false, false);

        if (remaining == 0)
            break;
        if (!warned)
        {
            log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Waiting for pending downloads to be cancelled: %d",
                       remaining);
            warned = true;
        }
        thread_sleep(MTP_CANCEL_POLL_MS, TIMEUNIT_MILLISECONDS);
    }
    vector_release(dropped);
}

// --- detection --------------------------------------------------------------------------------

mtp_detector_t* mtp_detector_create(mtp_context_t& context)
{
    (void)context;
    return nullptr;
}

void mtp_detector_destroy(mtp_detector_t* detector)
{
    (void)detector;
}

i32 mtp_detector_get_usbcontroller_id(mtp_detector_t* detector, const mtp_device_t& device)
{
    (void)detector;
    (void)device;
    return -1;
}
} // namespace orvo
