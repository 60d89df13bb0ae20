// One object download, mtp_downloadtask_t, and the device's side of it: the
// task is created per new object by the device, queued on the PTP context
// (mtp_context.h), fetched and saved on a "USBXFER" thread, acknowledged and
// handed back to the camera layer on the "CAMERA" thread, then destroyed there.
// The task owns its texts, its copy of the ObjectInfo and any partly streamed
// file; the transfer buffer it points at belongs to the thread that runs it.
#pragma once

#include "orvo/camera/mtp_device.h"
#include "orvo/core/core_filename.h"

namespace orvo
{
// The steps of a task; each is left by exactly one thread (table in
// mtp_context.h). The state is read and written under the context lock.
enum mtp_downloadstate_t : i32
{
    MTP_DOWNLOAD_QUEUED = 0,       // waits for a download thread
    MTP_DOWNLOAD_DOWNLOADING = 1,  // a thread fetches the object (device lock)
    MTP_DOWNLOAD_DOWNLOADED = 2,   // the camera thread acknowledges it to the camera
    MTP_DOWNLOAD_ACKNOWLEDGED = 3, // the thread saves the photo
    MTP_DOWNLOAD_SAVED = 4,        // the camera thread deletes the camera's copy and reports it
    MTP_DOWNLOAD_FINISHED = 5,     // the thread lets go of it
    MTP_DOWNLOAD_RELEASED = 6,     // the camera thread destroys it
};

// Objects above this size (200 MiB) stream into their file when the vendor can.
const u64 MTP_DOWNLOAD_FILE_THRESHOLD = 209715200;
// ObjectInfo's size field for an object of 4 GiB or more: the size is unknown.
const u32 MTP_OBJECT_SIZE_UNKNOWN = 0xFFFFFFFF;

struct mtp_downloadtask_t
{
    i32 state;                  // mtp_downloadstate_t
    void* photo;                // the camera layer's photo from add_object; may be null
    bool memory_only;           // never stream into a file
    bool written_to_file;       // the download wrote the file itself (streamed)
    bool success;               // the download, and later the save, succeeded
    bool delete_after_download; // the device's storage flag when the task was made
    float rate;                 // MB/s of the download
    mtp_device_t* device;
    mtp_objectinfo_t object;       // the task's own copy, with the device's protocol
    mtp_buffer_t* transfer_buffer; // the running thread's buffer; null before and after
    filename_t target;             // the file written
    stringbuffer_t hash;           // content hash of the saved bytes (32 hex digits)
    // Filled by the prepare_download callback before the task is queued.
    stringbuffer_t file_type;       // extension to give the file ("CR2"); empty keeps the name's
    stringbuffer_t photo_name;      // in: the name wanted; out: the file name really used
    stringbuffer_t download_folder;
    stringbuffer_t fallback_folder; // "Backup", used when the download folder cannot be written
    // A streamed download writes into this temporary file beside its target;
    // the save step publishes it under the unique name. Empty when none.
    stringbuffer_t partial;
    bool file_write_failed; // writing the streamed file failed (a full disk)
    bool file_fallback;     // the streamed file goes to the fallback folder
};

// --- tasks ------------------------------------------------------------------------
// A queued task for the object: state 0, the photo, a copy of the object with
// the device's protocol, delete after download from the device. Null (logged)
// when it cannot be allocated or the object cannot be copied.
mtp_downloadtask_t* mtp_downloadtask_create(mtp_device_t& device, const mtp_objectinfo_t& object, bool memory_only,
                                            void* photo);
// Frees the task and removes a streamed file it never published. Null is fine.
void mtp_downloadtask_destroy(mtp_downloadtask_t* task);
// "queued", "downloading", ... for logs; "unknown" outside 0 to 6.
const char* mtp_downloadstate_to_cstr(i32 state);

// --- creating a download ------------------------------------------------------------
// For a registered device only: creates the task, lets the camera layer name it
// (prepare_download), counts it as pending (change flag 0x2000) and queues it on
// the context. True when a task was queued (or, without a download controller,
// already run). mtp_device_download takes the device lock; the _locked form is
// for a caller that holds it (the vendors' new-object handlers).
bool mtp_device_download(mtp_device_t& device, const mtp_objectinfo_t& object, bool memory_only, void* photo);
bool mtp_device_download_locked(mtp_device_t& device, const mtp_objectinfo_t& object, bool memory_only, void* photo);

// --- the steps (each takes the device lock, waiting for it, unless noted) -------------
// Fetches the object through the vendor: download_file for movies and objects
// over 200 MiB when the vendor streams and the task may, download otherwise.
// Then checks what arrived against the size the camera announced: an empty or
// short (or over-long) object fails and counts as a size-mismatch read, so it
// is never saved, acknowledged as good or deleted from the camera.
bool mtp_device_execute_download(mtp_device_t& device, mtp_downloadtask_t& task);
// The camera thread's acknowledgement: the vendor's acknowledge_download hook,
// the device's download rate, one pending download less (0x2000). A failed
// download is logged here. Nothing is deleted yet: the photo is not saved.
void mtp_device_acknowledge_download(mtp_device_t& device, mtp_downloadtask_t& task);
// Saves a successful download (mtp_save_photo) and records the answer as the
// task's success. Touches only the task and the file system, so it does not
// take the device lock: the camera is free for its next transfer meanwhile.
bool mtp_device_save_download(mtp_device_t& device, mtp_downloadtask_t& task);
// Once the photo is saved: deletes the camera's copy when the task asks for it,
// then hands the task to the camera layer (download_finished).
void mtp_device_finish_download(mtp_device_t& device, mtp_downloadtask_t& task);
// The vendor's poll hook, run once after each acknowledged download so that
// events deferred during the transfer are picked up at once; skipped when
// another transfer of the camera holds its lock (the camera's next
// acknowledgement or update polls it).
void mtp_device_poll_download(mtp_device_t& device);

// The same steps for a caller that already holds the device lock.
bool mtp_device_execute_download_locked(mtp_device_t& device, mtp_downloadtask_t& task);
void mtp_device_acknowledge_download_locked(mtp_device_t& device, mtp_downloadtask_t& task);
void mtp_device_finish_download_locked(mtp_device_t& device, mtp_downloadtask_t& task);
// A task that never reached the camera (dropped while queued, or not queueable):
// one pending download less and download_finished with success off.
void mtp_device_drop_download_locked(mtp_device_t& device, mtp_downloadtask_t& task);
} // namespace orvo
