// The photo's side of the photo flow: taking over a finished download task,
// saving a photo held in memory (download folder, else fallback folder, never
// over an existing file), renaming and deleting the saved file; and the
// processor's announcement of a reshot photo.
#include "orvo/camera/camera_processor.h"

#include "orvo/camera/mtp_download.h"
#include "orvo/camera/mtp_photofile.h"
#include "orvo/core/core_file.h"
#include "orvo/core/core_filename.h"
#include "orvo/core/core_imageformat.h"
#include "orvo/core/core_log.h"

namespace orvo
{
namespace
{
// Removes the saved file of a photo that no photo owns any more.
void remove_orphan_file(const string_t& path, const char* name)
{
    if (!path.str || !path.length || !file_exists(path))
        return;
    if (file_delete(path))
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Removed the download of a deleted photo %s: %s", name, path.str);
    else
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Failed to remove the download of a deleted photo %s: %s",
                   name, path.str);
}

// A block shorter than the camera announced, or a JPEG without its end
// marker, is saved all the same and reported in the log.
void warn_if_truncated(const memory_t& block, u64 announced, const string_t& path)
{
    const u64 stream = image_compute_payload(block);
    const u64 expected = announced ? announced : stream;
    if (expected != 0 && block.num_bytes < expected)
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA,
                   "Photo may be corrupted, detected size mismatch: %llu (expected %llu)",
                   static_cast<unsigned long long>(block.num_bytes), static_cast<unsigned long long>(expected));
    else if (stream == 0 && image_compute_format(block) == IMAGEFORMAT_JPEG)
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Photo may be corrupted, no end of image marker: %s",
                   path.str ? path.str : "");
}

// Saves the block under a free name in the folder; the name used comes back
// in name and target.
bool save_in(const string_t& folder, const string_t& type, const string_t& wanted, const memory_t& block,
             stringbuffer_t& name, filename_t& target)
{
    if (!folder.str || !folder.length)
        return false;
    if (!stringbuffer_set(name, wanted))
        return false;
    return mtp_save_unique(folder, type, name, block, target);
}
} // namespace

void CameraPhoto::Save(const mtp_downloadtask_t& task)
{
    if (deleted)
    {
        // Deleted (or rolled back) while the download was in flight.
        remove_orphan_file(task.target.path, name.str ? name.str : "");
        downloaded = false;
        return;
    }
    downloaded = true;
    name_valid = true;
    size = static_cast<i64>(task.object.size);
    camera_text_set(name, task.photo_name);
    camera_text_set(path, task.target.path);
    camera_text_set(hash, task.hash);
}

bool CameraPhoto::Save(const memory_t& block)
{
    if (downloaded)
        return true;
    const char* photo_name = name.str ? name.str : "";
    if (deleted)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Photo deleted before its download ended, not saved: %s",
                   photo_name);
        return false;
    }
    if (!m_processor)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to save photo, no folders known: %s", photo_name);
        return false;
    }
    const string_t& download_folder = m_processor->GetDownloadPath();
    const string_t& fallback_folder = m_processor->GetFallbackPath();

    stringbuffer_t chosen;
    stringbuffer_initialise(chosen);
    filename_t target;
    filename_initialise(target);
    timer_t timer;
    timer_start(timer);
    bool ok = save_in(download_folder, type, name, block, chosen, target);
    if (!ok)
    {
        log_write(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Saving photo to fallback location");
        ok = save_in(fallback_folder, type, name, block, chosen, target);
    }
    if (ok)
    {
        const u64 elapsed = timer_elapsed(timer);
        // The size the camera announced, before the saved length replaces it.
        const u64 announced = size > 0 ? static_cast<u64>(size) : 0;
        downloaded = true;
        name_valid = true;
        size = static_cast<i64>(block.num_bytes);
        camera_text_set(name, chosen);
        camera_text_set(path, target.path);
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Photo saved in %.2f ms to: %s",
                   static_cast<double>(elapsed) * 1000.0 / 1000000.0, target.path.str);
        stringbuffer_t digest;
        stringbuffer_initialise(digest);
        mtp_compute_hash(digest, chosen, block);
        camera_text_set(hash, digest);
        stringbuffer_release(digest);
        warn_if_truncated(block, announced, target.path);
    }
    else
    {
        const char* folder = fallback_folder.length ? fallback_folder.str : download_folder.str;
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to save photo: %s/%s", folder ? folder : "",
                   photo_name);
    }
    filename_release(target);
    stringbuffer_release(chosen);
    return ok;
}

bool CameraPhoto::Rename(const string_t& new_name)
{
    if (deleted)
        return false;
    if (!downloaded)
    {
        if (!camera_text_set(name, new_name))
            return false;
        name_valid = true;
        return true;
    }
    if (name.length == new_name.length && string_equal(name, new_name))
        return true;
    if (!m_processor)
        return false;
    const string_t& folder = m_processor->GetDownloadPath();
    stringbuffer_t chosen;
    stringbuffer_initialise(chosen);
    filename_t target;
    filename_initialise(target);
    bool ok = folder.length && stringbuffer_set(chosen, new_name) &&
              mtp_find_filename(folder, type, true, chosen, target);
    if (ok && !dir_exists(folder))
        dir_create(folder);
    ok = ok && file_rename(path, target.path);
    if (ok)
    {
        downloaded = true;
        name_valid = true;
        camera_text_set(name, chosen);
        camera_text_set(path, target.path);
    }
    else
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Failed to rename photo %s to: %s", name.str ? name.str : "",
                   new_name.str ? new_name.str : "");
    filename_release(target);
    stringbuffer_release(chosen);
    return ok;
}

bool CameraPhoto::Delete()
{
    if (deleted)
        return true;
    deleted = true;
    if (downloaded && path.str && path.length && file_exists(path))
    {
        if (file_delete(path))
            log_writef(LOGLEVEL_INFO, LOGMODULE_GENERAL, "File deleted: %s", path.str);
    }
    return true;
}

void CameraProcessor::ReshootPhoto(CameraDevice* device, CameraPhoto* photo)
{
    if (!photo)
        return;
    const bool valid = IsNameValid(photo->name);
    if (!valid)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Photo filename failed validation against: %s",
                   m_options.validation_text.str);
        photo->name_valid = false;
    }
    if (device)
        BroadcastCameraStatus(device);
    BroadcastPhotoStatus(photo);
    if (valid)
        BroadcastInformationf("Photo reshot: %s", photo->name.str ? photo->name.str : "");
    else
        BroadcastInformationf("ERROR: Photo filename failed validation: %s", photo->name.str ? photo->name.str : "");
    BroadcastPhotoTaken(photo);
}
} // namespace orvo
