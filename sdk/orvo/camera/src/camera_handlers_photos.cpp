// The request handlers about photos and shots: reshoot, autofocus, the
// download-all queue, rename, delete, rollback and relink, with their
// completion notices.
#include "orvo/camera/camera_handlers.h"

#include "orvo/camera/camera_processor.h"
#include "orvo/core/core_filename.h"
#include "orvo/core/core_log.h"

#include <cmath>
#include <string>

namespace orvo
{
namespace
{
const char* name_of(const CameraPhoto* photo)
{
    return photo && photo->name.str ? photo->name.str : "";
}

// --- 5 Reshoot --------------------------------------------------------------------------------------------

bool handle_reshoot(CameraProcessor& processor, cameratracker_t* t, const Message& request)
{
    float bulb = 0.0f;
    if (!camera_read_bulb(request, bulb) || !camera_read_origin(t, request))
        return false;
    CameraPhoto* photo = t->photo;
    if (!photo)
        return false;
    CameraDevice* owner = nullptr;
    if (!processor.FindDevice(photo->owner, owner))
        return false;
    cameratracker_set_camera(t, owner);
    cameratracker_extend(t, bulb);
    processor.BroadcastInformation("Reshooting photo...");
    cameratracker_incref(t, owner);
    owner->TakePhoto(t, bulb);
    return true;
}

void notice_reshoot(CameraProcessor& processor, cameratracker_t* t)
{
    if (!t->success)
        processor.BroadcastInformation("ERROR: Failed to reshoot photo");
}

// --- 6 Autofocus ------------------------------------------------------------------------------------------------

bool handle_autofocus(CameraProcessor& processor, cameratracker_t* t, const Message&)
{
    if (!t->all_cameras && !t->camera)
        return false;
    processor.BroadcastInformation("Focusing...");
    return camera_for_each_target(
        t, true, [](CameraDevice& device, cameratracker_t* tracker, void*) { device.Autofocus(tracker); }, nullptr);
}

void notice_autofocus(CameraProcessor& processor, cameratracker_t* t)
{
    processor.BroadcastInformation(t->success ? "Auto focus done" : "ERROR: Failed to auto focus");
}

// --- 8 DownloadAll --------------------------------------------------------------------------------------------

bool handle_download_all(CameraProcessor& processor, cameratracker_t*, const Message&)
{
    processor.BroadcastInformation("Downloading all photos...");
    const vector_t<CameraPhoto*>& photos = processor.GetPhotos();
    for (u64 i = 0; i < photos.count; ++i)
    {
        CameraPhoto* photo = photos.data[i];
        if (photo->downloaded || photo->orphaned || photo->deleted)
            continue;
        if (!processor.QueueDownload(photo))
            log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to queue the download of photo: %s", name_of(photo));
    }
    return true;
}

void notice_download_all(CameraProcessor& processor, cameratracker_t*)
{
    const u64 queued = processor.GetNumQueuedDownloads();
    if (queued)
        processor.BroadcastInformationf("Downloading %d photos", static_cast<int>(queued));
    else
        processor.BroadcastInformation("No photos to download");
}

// --- 9 Rename ------------------------------------------------------------------------------------------------------

bool handle_rename(CameraProcessor& processor, cameratracker_t* t, const Message& request)
{
    string_t text;
    if (!t->photo || !camerarequest_get_text(request, CAMERAFIELD_PHOTO_NAME, text) || text.length == 0)
        return false;
    // One file name in the download folder, whatever the requester sent.
    std::string name(text.str, text.length);
    filename_sanitise_name(name);
    const string_t wanted = string_make(name.c_str(), name.size());
    if (!processor.IsNameValid(wanted))
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Photo filename failed validation against: %s",
                   processor.GetOptions().validation_text.str);
        t->photo->name_valid = false;
        return false;
    }
    return t->photo->Rename(wanted);
}

void notice_rename(CameraProcessor& processor, cameratracker_t* t)
{
    if (!t->photo)
    {
        processor.BroadcastInformation("ERROR: Failed to rename photo");
        return;
    }
    processor.BroadcastPhotoStatus(t->photo);
    if (t->success)
        processor.BroadcastInformationf("Photo renamed to: %s", name_of(t->photo));
    else
        processor.BroadcastInformationf("ERROR: Failed to rename: %s", name_of(t->photo));
}

// --- 10 Delete ------------------------------------------------------------------------------------------------------

bool handle_delete(CameraProcessor&, cameratracker_t* t, const Message&)
{
    return t->photo && t->photo->Delete();
}

void notice_delete(CameraProcessor& processor, cameratracker_t* t)
{
    if (!t->photo)
    {
        processor.BroadcastInformation("ERROR: Failed to delete photo");
        return;
    }
    processor.BroadcastPhotoStatus(t->photo);
    if (t->success)
        processor.BroadcastInformationf("Deleted: %s", name_of(t->photo));
    else
        processor.BroadcastInformationf("ERROR: Failed to delete: %s", name_of(t->photo));
}

// --- 26 Rollback ----------------------------------------------------------------------------------------------------

bool handle_rollback(CameraProcessor& processor, cameratracker_t* t, const Message&)
{
    CameraPhoto* photo = t->photo;
    if (!photo)
        return false;
    processor.BroadcastInformation("Rolling back photos...");
    cameraoptions_t& options = processor.GetOptions();
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Photo sequence number reset from %d to: %d", options.sequence_number,
               photo->sequence);
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Photo batch number reset from %d to: %d", options.batch_number,
               photo->batch);
    options.sequence_number = photo->sequence;
    processor.SetBatchNumber(photo->batch);
    // A photo whose download is still in flight loses its file when the
    // download ends (CameraPhoto::Save).
    const vector_t<CameraPhoto*>& photos = processor.GetPhotos();
    for (u64 i = static_cast<u64>(photo->index); i < photos.count; ++i)
        photos.data[i]->Delete();
    return true;
}

void notice_rollback(CameraProcessor& processor, cameratracker_t* t)
{
    if (t->photo)
    {
        const vector_t<CameraPhoto*>& photos = processor.GetPhotos();
        for (u64 i = static_cast<u64>(t->photo->index); i < photos.count; ++i)
            processor.BroadcastPhotoStatus(photos.data[i]);
    }
    processor.BroadcastInformation(t->success ? "Rollback complete" : "ERROR: Failed to rollback photos");
}

// --- 29 RelinkPhoto --------------------------------------------------------------------------------------------------

bool handle_relink(CameraProcessor&, cameratracker_t* t, const Message&)
{
    CameraPhoto* photo = t->photo;
    if (!photo)
        return false;
    if (t->camera)
    {
        photo->owner = t->camera->id;
        photo->orphaned = false;
    }
    else
    {
        photo->owner = cameraid_t{CAMERAID_NONE, 0};
        photo->orphaned = true;
    }
    return true;
}

void notice_relink(CameraProcessor& processor, cameratracker_t* t)
{
    if (t->photo)
        processor.BroadcastPhotoStatus(t->photo);
}
} // namespace

bool camera_read_bulb(const Message& request, float& seconds)
{
    seconds = 0.0f;
    float value = 0.0f;
    if (!camerarequest_get_float(request, CAMERAFIELD_BULB, value))
        return true;
    if (!std::isfinite(value) || value < 0.0f || value > CAMERA_MAX_BULB_SECONDS)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Bulb time refused (0 to %.0f seconds): %g",
                   static_cast<double>(CAMERA_MAX_BULB_SECONDS), static_cast<double>(value));
        return false;
    }
    seconds = value;
    return true;
}

bool camera_read_origin(cameratracker_t* t, const Message& request)
{
    string_t origin;
    if (camerarequest_get_text(request, CAMERAFIELD_ORIGIN, origin))
    {
        camera_text_set(t->origin, origin); // an origin that cannot be stored stays empty (logged)
        return true;
    }
    // Over-long or broken: refused, not silently dropped.
    return !camerarequest_text_refused(request, CAMERAFIELD_ORIGIN);
}

void camera_handlers_install_photos(CameraProcessor& processor)
{
    processor.SetRequestHandler(CameraRequest::Reshoot, handle_reshoot, notice_reshoot);
    processor.SetRequestHandler(CameraRequest::Autofocus, handle_autofocus, notice_autofocus);
    processor.SetRequestHandler(CameraRequest::DownloadAll, handle_download_all, notice_download_all);
    processor.SetRequestHandler(CameraRequest::Rename, handle_rename, notice_rename);
    processor.SetRequestHandler(CameraRequest::Delete, handle_delete, notice_delete);
    processor.SetRequestHandler(CameraRequest::Rollback, handle_rollback, notice_rollback);
    processor.SetRequestHandler(CameraRequest::RelinkPhoto, handle_relink, notice_relink);
}
} // namespace orvo
