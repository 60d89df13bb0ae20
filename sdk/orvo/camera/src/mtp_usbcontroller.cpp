// Download controllers: a queue of download tasks with up to four "USBXFER"
// threads, each with its own transfer buffer. The camera thread steps the
// queue once per pass (acknowledging, finishing, destroying, starting a thread
// when needed, waking the threads); a thread carries one task from its claim
// to its release, one step per wake-up, and looks for the next queued task as
// soon as it lets go of one. A task that waits for the camera thread tells it
// through the context's download waker, so the camera thread steps it between
// passes. Threads are stopped by a flag and joined with a time limit, never
// cancelled.
#include "orvo/camera/mtp_context.h"

#include "orvo/camera/src/mtp_context_internal.h"
#include "orvo/core/core_log.h"

#include <new>

namespace orvo
{
namespace
{
const char* const g_thread_name = "USBXFER";

void wake_slot(mtp_usbcontroller_slot_t& slot)
{
    pthread_mutex_lock(&slot.mutex);
    slot.wake = true;
    if (slot.waiting)
        pthread_cond_signal(&slot.condition);
    pthread_mutex_unlock(&slot.mutex);
}

void wake_threads(mtp_usbcontroller_t& controller)
{
    for (u32 i = 0; i < controller.thread_count && i < MTP_USBCONTROLLER_MAX_THREADS; ++i)
        if (controller.slots[i].prepared)
            wake_slot(controller.slots[i]);
}

// The slots of the other started threads, as bits; context lock held (the
// camera thread prepares slots under it).
u32 other_threads(const mtp_usbcontroller_t& controller, const mtp_usbcontroller_slot_t& self)
{
    u32 bits = 0;
    for (u32 i = 0; i < MTP_USBCONTROLLER_MAX_THREADS; ++i)
        if (&controller.slots[i] != &self && controller.slots[i].prepared)
            bits |= 1u << i;
    return bits;
}

void wake_threads(mtp_usbcontroller_t& controller, u32 bits)
{
    for (u32 i = 0; i < MTP_USBCONTROLLER_MAX_THREADS; ++i)
        if (bits & (1u << i))
            wake_slot(controller.slots[i]);
}

// Blocks until the camera thread signals work (or the controller stops). A
// signal sent while the thread was busy is kept in wake, so none is lost.
void wait_for_work(mtp_usbcontroller_slot_t& slot)
{
    mtp_usbcontroller_t& controller = *slot.controller;
    pthread_mutex_lock(&slot.mutex);
    while (!slot.wake && !controller.stopping.load(std::memory_order_acquire))
    {
        slot.waiting = true;
        pthread_cond_wait(&slot.condition, &slot.mutex);
        slot.waiting = false;
    }
    slot.wake = false;
    pthread_mutex_unlock(&slot.mutex);
}

// Context lock held: the task now waits for the camera thread.
void tell_camera_thread(const mtp_context_t& context)
{
    if (context.download_waker)
        context.download_waker(context.download_waker_user);
}

bool device_transferring(const mtp_usbcontroller_t& controller, const mtp_device_t* device)
{
    for (u64 i = 0; i < controller.tasks.count; ++i)
        if (controller.tasks.data[i]->device == device && controller.tasks.data[i]->state == MTP_DOWNLOAD_DOWNLOADING)
            return true;
    return false;
}

// The first queued task of a camera that is not transferring already. One
// camera's transfers are serialised by its lock anyway: a thread that claimed
// another of its tasks would only wait, while a queued photo of another camera
// could be on its way.
mtp_downloadtask_t* first_queued(mtp_usbcontroller_t& controller)
{
    for (u64 i = 0; i < controller.tasks.count; ++i)
    {
        mtp_downloadtask_t* task = controller.tasks.data[i];
        if (task->state == MTP_DOWNLOAD_QUEUED && !device_transferring(controller, task->device))
            return task;
    }
    return nullptr;
}

bool any_queued(const mtp_usbcontroller_t& controller)
{
    for (u64 i = 0; i < controller.tasks.count; ++i)
        if (controller.tasks.data[i]->state == MTP_DOWNLOAD_QUEUED)
            return true;
    return false;
}

// Context lock held. The slot stays counted even when the start fails, so a
// thread that cannot start is not retried on every pass; its tasks wait for
// the other threads.
void start_thread(mtp_usbcontroller_t& controller)
{
    u32 index = controller.thread_count;
    mtp_usbcontroller_slot_t& slot = controller.slots[index];
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "USB download thread starting: slot %d (thread %u)", controller.id,
               index);
    ++controller.thread_count;
    if (pthread_mutex_init(&slot.mutex, nullptr) != 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to start USB download thread: slot %d (thread %u)",
                   controller.id, index);
        return;
    }
    if (pthread_cond_init(&slot.condition, nullptr) != 0)
    {
        pthread_mutex_destroy(&slot.mutex);
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to start USB download thread: slot %d (thread %u)",
                   controller.id, index);
        return;
    }
    slot.prepared = true;
    slot.waiting = false;
    slot.wake = false;
    thread_set(slot.thread, mtp_usbcontroller_thread, &slot, string_make(g_thread_name));
    if (!thread_run(slot.thread))
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to start USB download thread: slot %d (thread %u)",
                   controller.id, index);
}
} // namespace

mtp_usbcontroller_t* mtp_usbcontroller_create(mtp_context_t& context, i32 id)
{
    void* memory = heap_alloc(sizeof(mtp_usbcontroller_t), alignof(mtp_usbcontroller_t), ORVO_HEAP_TAG);
    if (!memory)
        return nullptr;
    mtp_usbcontroller_t* controller = new (memory) mtp_usbcontroller_t();
    controller->context = &context;
    controller->lock = context.lock;
    controller->id = id;
    controller->device_count = 0;
    controller->thread_count = 0;
    controller->thread_limit = MTP_USBCONTROLLER_MAX_THREADS;
    controller->running = context.running;
    controller->stopping.store(false, std::memory_order_relaxed);
    for (u32 i = 0; i < MTP_USBCONTROLLER_MAX_THREADS; ++i)
    {
        mtp_usbcontroller_slot_t& slot = controller->slots[i];
        slot.context = &context;
        slot.controller = controller;
        slot.index = i;
        slot.prepared = false;
        slot.waiting = false;
        slot.wake = false;
        thread_initialise(slot.thread);
        mtp_buffer_initialise(slot.buffer);
    }
    vector_initialise(controller->tasks, 4, false);
    vector_initialise(controller->steps, 4, false);
    controller->work = false;
    controller->queued = false;
    if (!vector_insert(context.controllers, controller))
    {
        mtp_usbcontroller_destroy(controller);
        return nullptr;
    }
    return controller;
}

bool mtp_usbcontroller_stop(mtp_usbcontroller_t& controller)
{
    controller.stopping.store(true, std::memory_order_release);
    wake_threads(controller);
    bool stopped = true;
    for (u32 i = 0; i < controller.thread_count && i < MTP_USBCONTROLLER_MAX_THREADS; ++i)
    {
        mtp_usbcontroller_slot_t& slot = controller.slots[i];
        if (slot.prepared && !thread_wait(slot.thread, nullptr, nullptr, MTP_USBCONTROLLER_STOP_LIMIT_MS,
                                          TIMEUNIT_MILLISECONDS))
            stopped = false;
    }
    return stopped;
}

void mtp_usbcontroller_destroy(mtp_usbcontroller_t* controller)
{
    if (!controller)
        return;
    for (u32 i = 0; i < MTP_USBCONTROLLER_MAX_THREADS; ++i)
    {
        mtp_usbcontroller_slot_t& slot = controller->slots[i];
        thread_release(slot.thread);
        if (slot.prepared)
        {
            pthread_cond_destroy(&slot.condition);
            pthread_mutex_destroy(&slot.mutex);
            slot.prepared = false;
        }
        mtp_buffer_release(slot.buffer);
    }
    vector_release(controller->tasks);
    vector_release(controller->steps);
    controller->~mtp_usbcontroller_t();
    heap_free(controller, ORVO_HEAP_TAG);
}

bool mtp_usbcontroller_add_download(mtp_usbcontroller_t& controller, mtp_downloadtask_t* task)
{
    return vector_insert(controller.tasks, task);
}

i32 mtp_usbcontroller_collect(mtp_usbcontroller_t& controller, const mtp_device_t* device,
                              vector_t<mtp_downloadtask_t*>* dropped)
{
    controller.steps.count = 0;
    controller.work = false;
    controller.queued = false;
    i32 remaining = 0;
    for (u64 i = 0; i < controller.tasks.count;)
    {
        mtp_downloadtask_t* task = controller.tasks.data[i];
        if (device && task->device != device)
        {
            ++i;
            continue;
        }
        switch (task->state)
        {
        case MTP_DOWNLOAD_RELEASED:
            // The thread has let go of it: the next task moves into its place.
            vector_remove(controller.tasks, i);
            mtp_downloadtask_destroy(task);
            continue;
        case MTP_DOWNLOAD_QUEUED:
            if (dropped && vector_insert(*dropped, task))
            {
                vector_remove(controller.tasks, i);
                continue;
            }
            controller.queued = true;
            controller.work = true;
            break;
        case MTP_DOWNLOAD_DOWNLOADED:
        case MTP_DOWNLOAD_SAVED:
            // When the list cannot grow the task simply waits for the next pass.
            if (vector_insert(controller.steps, task))
                controller.work = true;
            break;
        case MTP_DOWNLOAD_ACKNOWLEDGED:
        case MTP_DOWNLOAD_FINISHED:
            controller.work = true;
            break;
        default:
            break;
        }
        ++remaining;
        ++i;
    }
    return remaining;
}

void mtp_usbcontroller_run_steps(mtp_usbcontroller_t& controller, bool poll, bool start)
{
    mtp_context_t& context = *controller.context;
    // Tasks in these two states belong to the camera thread until it moves
    // them on, so their device locks are taken without the context lock. And
    // only tried: a download thread may hold the lock for the whole transfer
    // of the camera's next photo, which would hold up every camera. Such a
    // task waits in its state; the end of that transfer wakes this thread to
    // step it.
    u64 stepped = 0;
    for (u64 i = 0; i < controller.steps.count; ++i)
    {
        mtp_downloadtask_t& task = *controller.steps.data[i];
        if (!mtp_device_try_lock(*task.device))
            continue;
        if (task.state == MTP_DOWNLOAD_DOWNLOADED)
        {
            if (poll)
                vector_insert(context.poll_list, task.device);
            mtp_device_acknowledge_download_locked(*task.device, task);
        }
        else
        {
            mtp_device_finish_download_locked(*task.device, task);
        }
        mtp_device_unlock(*task.device);
        controller.steps.data[stepped++] = &task;
    }
    controller.steps.count = stepped;

    mutex_lock(*controller.lock);
    for (u64 i = 0; i < controller.steps.count; ++i)
    {
        mtp_downloadtask_t& task = *controller.steps.data[i];
        task.state = task.state == MTP_DOWNLOAD_DOWNLOADED ? MTP_DOWNLOAD_ACKNOWLEDGED : MTP_DOWNLOAD_FINISHED;
    }
    controller.steps.count = 0;
    // One more thread per pass at most, and never more threads than tasks,
    // than cameras on this controller, or than the limit.
    if (start && controller.running && controller.queued && controller.thread_count < controller.tasks.count &&
        controller.thread_count < controller.thread_limit &&
        controller.thread_count < static_cast<u32>(controller.device_count > 0 ? controller.device_count : 0))
        start_thread(controller);
    mutex_unlock(*controller.lock);

    if (controller.work)
        wake_threads(controller);
}

void mtp_usbcontroller_update(mtp_usbcontroller_t& controller)
{
    mutex_lock(*controller.lock);
    mtp_usbcontroller_collect(controller, nullptr, nullptr);
    mutex_unlock(*controller.lock);
    mtp_usbcontroller_run_steps(controller, true, true);
}

void mtp_usbcontroller_thread(void* user)
{
    mtp_usbcontroller_slot_t& slot = *static_cast<mtp_usbcontroller_slot_t*>(user);
    mtp_usbcontroller_t& controller = *slot.controller;
    mtp_downloadtask_t* task = nullptr;
    // A new thread, and one that has just let go of a task, looks for queued
    // work at once instead of waiting for the camera thread's next pass.
    bool look = true;
    for (;;)
    {
        if (!look)
            wait_for_work(slot);
        look = false;

        mutex_lock(*controller.lock);
        if (!controller.running)
        {
            mutex_unlock(*controller.lock);
            break;
        }
        if (!task)
        {
            task = first_queued(controller);
            if (!task)
            {
                mutex_unlock(*controller.lock);
                continue;
            }
            task->transfer_buffer = &slot.buffer;
            task->state = MTP_DOWNLOAD_DOWNLOADING;
            mutex_unlock(*controller.lock);

            bool ok = mtp_device_execute_download(*task->device, *task);

            mutex_lock(*controller.lock);
            task->success = ok;
            task->state = MTP_DOWNLOAD_DOWNLOADED;
            tell_camera_thread(*slot.context);
            u32 others = any_queued(controller) ? other_threads(controller, slot) : 0;
            mutex_unlock(*controller.lock);
            // The camera is free again: a waiting thread may take its next
            // photo now rather than at the camera thread's next pass.
            wake_threads(controller, others);
            continue;
        }

        i32 state = task->state;
        mutex_unlock(*controller.lock);
        i32 next = state;
        if (state == MTP_DOWNLOAD_ACKNOWLEDGED)
        {
            mtp_device_save_download(*task->device, *task);
            next = MTP_DOWNLOAD_SAVED;
        }
        else if (state == MTP_DOWNLOAD_FINISHED)
        {
            next = MTP_DOWNLOAD_RELEASED;
        }
        else
        {
            continue;
        }

        mutex_lock(*controller.lock);
        task->state = next;
        if (next == MTP_DOWNLOAD_SAVED)
            tell_camera_thread(*slot.context);
        if (next == MTP_DOWNLOAD_RELEASED)
        {
            task->transfer_buffer = nullptr;
            task = nullptr;
            look = true;
        }
        mutex_unlock(*controller.lock);
    }
}
} // namespace orvo
