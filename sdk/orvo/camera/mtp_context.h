// The one PTP context of the program, mtp_context_t, owned by the camera
// processor: the registered devices, the settings every camera gets (clock
// sync, a default value name per camera property), the "CAMERA" thread's
// transfer buffer, and the download controllers, each with its queue of
// download tasks and up to four "USBXFER" threads with a buffer each. The
// context owns controllers, threads and queued tasks; devices stay their
// driver's. There is no USB controller detection here: every camera shares
// controller 0.
//
// A task's states and who moves it on (the context lock guards every state):
//   0 queued       -> a USBXFER thread claims it, with its buffer     -> 1
//   1 downloading  -> the thread fetches it (device lock)             -> 2
//   2 downloaded   -> CAMERA acknowledges it; its device is polled    -> 3
//   3 acknowledged -> the thread saves it (no device lock)            -> 4
//   4 saved        -> CAMERA deletes the camera's copy when asked and
//                     hands it to the camera layer (device lock)      -> 5
//   5 finished     -> the thread lets go of it                        -> 6
//   6 released     -> CAMERA destroys it
// Lock order: a device lock may be taken around the context lock (register,
// queue); neither thread ever waits for a device lock while it holds the
// context lock. In its steps (2 and 4, and the poll after an acknowledgement)
// the camera thread only tries the device lock: a camera whose next photo is
// on its way keeps its task waiting until that transfer ends and wakes it.
#pragma once

#include "orvo/camera/mtp_cameraproperty.h"
#include "orvo/camera/mtp_download.h"
#include "orvo/core/core_mutex.h"
#include "orvo/core/core_thread.h"
#include "orvo/core/core_vector.h"

#include <pthread.h>

#include <atomic>

namespace orvo
{
struct mtp_context_t;
struct mtp_usbcontroller_t;
struct mtp_detector_t; // none on this platform

const u32 MTP_USBCONTROLLER_MAX_THREADS = 4;
// How long releasing the context waits for each download thread before it is
// abandoned (logged, never cancelled).
const u64 MTP_USBCONTROLLER_STOP_LIMIT_MS = 8000;
// The pause between two looks while a disconnect waits for downloads in flight.
const u64 MTP_CANCEL_POLL_MS = 100;

// Attach flags, returned and cleared by mtp_context_update.
enum mtp_attach_t : i32
{
    MTP_ATTACH_ATTACHED = 1,
    MTP_ATTACH_DETACHED = 2,
};

// One download thread of a controller.
struct mtp_usbcontroller_slot_t
{
    mtp_context_t* context;
    mtp_usbcontroller_t* controller;
    u32 index;               // 0 to 3
    bool prepared;           // the condition variable and its mutex exist
    pthread_cond_t condition;
    pthread_mutex_t mutex;   // guards waiting and wake
    bool waiting;            // the thread is blocked on the condition
    bool wake;               // work was signalled and not yet looked at
    thread_t thread;         // "USBXFER", entry mtp_usbcontroller_thread, user data the slot
    mtp_buffer_t buffer;     // this thread's transfer buffer, grown to the largest object
};

struct mtp_usbcontroller_t
{
    mtp_context_t* context;
    mutex_t* lock;           // the context's lock; threads reach it through here
    i32 id;                  // controller slot
    i32 device_count;        // registered devices that use it
    u32 thread_count;        // threads started (a failed start stays counted)
    u32 thread_limit;        // 4
    bool running;            // context lock; cleared when the context is released
    std::atomic<bool> stopping; // read by waiting threads without the context lock
    mtp_usbcontroller_slot_t slots[MTP_USBCONTROLLER_MAX_THREADS];
    vector_t<mtp_downloadtask_t*> tasks; // queue order; context lock
    // The camera thread's own: the tasks to step outside the context lock, and
    // what its last walk over the queue found.
    vector_t<mtp_downloadtask_t*> steps;
    bool work;   // some task waits for a thread
    bool queued; // some task waits to be claimed
};

struct mtp_context_t
{
    bool running;                  // context lock; true from initialise until release begins
    i32 device_count;              // registered devices
    std::atomic<i32> attach_flags; // mtp_attach_t bits since the last update
    mutex_t* lock;
    mtp_buffer_t transfer_buffer;  // every transaction of the "CAMERA" thread
    mtp_buffer_t direct_buffer;    // downloads run without a controller
    vector_t<mtp_usbcontroller_t*> controllers;
    vector_t<mtp_device_t*> poll_list; // devices to poll once after a download ("CAMERA" only)
    mtp_detector_t* detector;      // null
    bool auto_sync_time;           // set every newly connected camera's clock
    // The value name applied to each camera property when a camera connects;
    // empty for none. Matched ignoring case, once the first update has built
    // the camera's value names.
    stringbuffer_t default_names[MTP_CAMERAPROPERTY_COUNT];
    // Told by a download thread, under the context lock, whenever a task of
    // it waits for the camera thread (downloaded, or saved), so that the
    // camera thread can step it at once instead of at its next pass; null for
    // nobody. Set with mtp_context_set_download_waker.
    void (*download_waker)(void* user);
    void* download_waker_user;
};

// The download folder below the pictures folder, and its fallback below it,
// when the camera layer chooses none.
const char* const MTP_DEFAULT_DOWNLOAD_FOLDER = "Lumivane 3";
const char* const MTP_DEFAULT_FALLBACK_FOLDER = "Backup";

// --- lifecycle ---------------------------------------------------------------------
// Running, no devices, the lock, empty buffers and lists, no detector, no clock
// sync, no default names. Sweeps the unfinished photo files an earlier run
// left in the default download and fallback folders. False (logged) when the
// lock cannot be made; the record is then released.
bool mtp_context_initialise(mtp_context_t& context);
// Stops the download threads (each finishes the step it is in) and ends every
// remaining task by its state, so that every queued photo is reported to the
// camera layer and every downloaded one is saved and reported; then frees
// everything. A thread that does not stop within its limit is abandoned with
// its controller. Safe twice and on a zeroed record.
void mtp_context_release(mtp_context_t& context);

// --- the camera thread's pass ---------------------------------------------------------
// Steps every controller's tasks (acknowledging, finishing, destroying; starting
// a download thread when one is needed; waking the threads), polls each device
// once per download acknowledged, and returns the attach flags, cleared.
i32 mtp_context_update(mtp_context_t& context);

// --- settings -------------------------------------------------------------------------
void mtp_context_auto_sync_time(mtp_context_t& context, bool on);
// The default value name for a camera property; an empty text clears it. False
// for a type out of range or when the text cannot be stored.
bool mtp_context_set_default(mtp_context_t& context, mtp_camerapropertytype_t type, const string_t& name);
// Who is told when a task waits for the camera thread (null: nobody); takes
// the context lock, so once it returns the previous one is never called again.
// The function must not take the context lock or wait for a download thread.
void mtp_context_set_download_waker(mtp_context_t& context, void (*waker)(void* user), void* user);
// Set attach flag 1 or 2; any thread.
void mtp_context_device_attached(mtp_context_t& context);
void mtp_context_device_detached(mtp_context_t& context);

// --- devices (called by connect and disconnect with the device lock held) ---------------
// Counts the device, gives it its controller slot and creates the controller
// (thread limit 4) on first need.
void mtp_context_register_device(mtp_context_t& context, mtp_device_t& device);
void mtp_context_unregister_device(mtp_context_t& context, mtp_device_t& device);

// --- downloads ------------------------------------------------------------------------------
// Queues the task on its device's controller; the caller holds the task's
// device lock. When the queue cannot grow, the task is dropped (one pending
// download less, download_finished with success off) and destroyed: false.
// Without any controller the whole task runs here, under the caller's lock.
bool mtp_context_async_download(mtp_context_t& context, mtp_downloadtask_t* task);
// Ends the device's tasks: queued ones are reported as not downloaded and
// dropped at once; one in flight is completed, saved and reported. Returns when
// none of the device's tasks is left. "CAMERA" thread, without the device lock.
void mtp_context_cancel_downloads(mtp_context_t& context, mtp_device_t& device);
// Tasks of the device in the context's queues, for diagnostics and tests.
i32 mtp_context_num_downloads(mtp_context_t& context, const mtp_device_t& device);

// --- controllers ----------------------------------------------------------------------------
// Appends the task (context lock held). False when the queue cannot grow.
bool mtp_usbcontroller_add_download(mtp_usbcontroller_t& controller, mtp_downloadtask_t* task);
// The camera thread's step over one controller; takes the context lock itself.
void mtp_usbcontroller_update(mtp_usbcontroller_t& controller);
// The body of a "USBXFER" thread; user is its mtp_usbcontroller_slot_t.
void mtp_usbcontroller_thread(void* user);

// --- USB controller detection (none on this platform) -----------------------------------------
mtp_detector_t* mtp_detector_create(mtp_context_t& context);
void mtp_detector_destroy(mtp_detector_t* detector);
// Always -1: every device shares the first controller.
i32 mtp_detector_get_usbcontroller_id(mtp_detector_t* detector, const mtp_device_t& device);
} // namespace orvo
