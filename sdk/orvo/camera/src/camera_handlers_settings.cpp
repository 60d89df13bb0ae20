// The request handlers about camera modes and processor settings: live view,
// zoom and focus, depth of field, video, names, options, sequence and batch
// numbers, clocks and card formatting, with their completion notices.
#include "orvo/camera/camera_handlers.h"

#include "orvo/camera/camera_processor.h"
#include "orvo/core/core_log.h"

#include <string>

namespace orvo
{
namespace
{
// A boolean field; missing or of another type means off.
bool flag(const Message& request, i32 id)
{
    bool on = false;
    return camerarequest_get_bool(request, id, on) && on;
}

bool for_targets(cameratracker_t* t, camera_target_operation_t operation, void* user)
{
    if (!t->all_cameras && !t->camera)
        return false;
    return camera_for_each_target(t, true, operation, user);
}

// Every connected camera, whatever the request names.
bool for_connected(cameratracker_t* t, camera_target_operation_t operation, void* user)
{
    const bool all = t->all_cameras;
    t->all_cameras = true;
    const bool ok = camera_for_each_target(t, true, operation, user);
    t->all_cameras = all;
    return ok;
}

void notice_failure(CameraProcessor& processor, cameratracker_t* t, const char* text)
{
    if (!t->success)
        processor.BroadcastInformation(text);
}

// --- 11 EnableLiveview, 12 LiveviewZoom, 14 LiveviewFocus, 17 EnableDof, 18 EnableVideo ----------------------

bool handle_liveview(CameraProcessor&, cameratracker_t* t, const Message& request)
{
    bool on = flag(request, CAMERAFIELD_LIVEVIEW);
    return for_targets(
        t, [](CameraDevice& device, cameratracker_t* tracker, void* user) {
            device.EnableLiveview(tracker, *static_cast<bool*>(user));
        },
        &on);
}

bool handle_liveview_zoom(CameraProcessor&, cameratracker_t* t, const Message& request)
{
    bool on = flag(request, CAMERAFIELD_LIVEVIEW_ZOOM);
    return for_targets(
        t, [](CameraDevice& device, cameratracker_t* tracker, void* user) {
            device.EnableLiveviewZoom(tracker, *static_cast<bool*>(user));
        },
        &on);
}

bool handle_liveview_focus(CameraProcessor&, cameratracker_t* t, const Message& request)
{
    i32 step = 0;
    if (!camerarequest_get_int(request, CAMERAFIELD_LIVEVIEW_FOCUS, step))
        return false;
    return for_targets(
        t, [](CameraDevice& device, cameratracker_t* tracker, void* user) {
            device.SetLiveviewFocus(tracker, *static_cast<i32*>(user));
        },
        &step);
}

bool handle_dof(CameraProcessor&, cameratracker_t* t, const Message& request)
{
    bool on = flag(request, CAMERAFIELD_DOF);
    return for_targets(
        t, [](CameraDevice& device, cameratracker_t* tracker, void* user) {
            device.EnableDof(tracker, *static_cast<bool*>(user));
        },
        &on);
}

bool handle_video(CameraProcessor& processor, cameratracker_t* t, const Message& request)
{
    bool on = flag(request, CAMERAFIELD_VIDEO);
    if (!t->all_cameras && !t->camera)
        return false;
    processor.BroadcastInformation(on ? "Starting video recording..." : "Stopping video recording...");
    return for_targets(
        t, [](CameraDevice& device, cameratracker_t* tracker, void* user) {
            device.EnableVideo(tracker, *static_cast<bool*>(user));
        },
        &on);
}

void notice_liveview(CameraProcessor& processor, cameratracker_t* t)
{
    notice_failure(processor, t, "ERROR: Failed to enable Liveview");
}

void notice_liveview_zoom(CameraProcessor& processor, cameratracker_t* t)
{
    notice_failure(processor, t, "ERROR: Failed to change Liveview zoom");
}

void notice_liveview_focus(CameraProcessor& processor, cameratracker_t* t)
{
    notice_failure(processor, t, "ERROR: Failed to change Liveview focus");
}

void notice_dof(CameraProcessor& processor, cameratracker_t* t)
{
    notice_failure(processor, t, "ERROR: Failed to change Depth of Field Preview");
}

void notice_video(CameraProcessor& processor, cameratracker_t* t)
{
    processor.BroadcastInformation(t->success ? "Video recording status changed"
                                              : "ERROR: Failed to toggle video recording");
}

// --- 20 SetName ----------------------------------------------------------------------------------------------------

bool handle_set_name(CameraProcessor& processor, cameratracker_t* t, const Message& request)
{
    string_t name, group, serial;
    if (!camerarequest_get_text(request, CAMERAFIELD_CAMERA_NAME, name) ||
        !camerarequest_get_text(request, CAMERAFIELD_CAMERA_GROUP, group) ||
        !camerarequest_get_text(request, CAMERAFIELD_SERIAL, serial))
        return false;
    if (CameraDevice* camera = t->camera)
    {
        ++camera->name_changes;
        camera_text_set(camera->name, name);
        camera_text_set(camera->group, group);
    }
    return processor.SetSerial(serial, name, group);
}

void notice_set_name(CameraProcessor& processor, cameratracker_t* t)
{
    notice_failure(processor, t, "ERROR: Failed to set camera name");
}

// --- 21 SetOptions ---------------------------------------------------------------------------------------------------

void take_text(const Message& request, i32 id, stringbuffer_t& option)
{
    string_t text;
    if (camerarequest_get_text(request, id, text))
        stringbuffer_set(option, text.length ? text : empty_str);
}

bool handle_set_options(CameraProcessor& processor, cameratracker_t*, const Message& request)
{
    cameraoptions_t& options = processor.GetOptions();
    const bool auto_connect_before = options.auto_connect;
    i32 number = 0;
    if (camerarequest_get_int(request, CAMERAFIELD_SEQUENCE, number))
        options.sequence_number = number;
    if (camerarequest_get_int(request, CAMERAFIELD_LIVEVIEW_LIMIT, number))
        options.liveview_limit = number;
    camerarequest_get_bool(request, CAMERAFIELD_GENERATE_NAMES, options.generate_names);
    camerarequest_get_bool(request, CAMERAFIELD_AUTO_CONNECT, options.auto_connect);
    camerarequest_get_bool(request, CAMERAFIELD_SYNC_CLOCKS, options.synchronise_clocks);
    camerarequest_get_bool(request, CAMERAFIELD_RESET_SEQUENCE, options.reset_sequence);
    camerarequest_get_bool(request, CAMERAFIELD_RESET_BATCH, options.reset_batch);
    mtp_context_auto_sync_time(processor.GetMTPContext(), options.synchronise_clocks);
    if (!auto_connect_before && options.auto_connect)
        options.detection_pending = true;
    if (camerarequest_get_int(request, CAMERAFIELD_BATCH, number))
        processor.SetBatchNumber(number);

    string_t text;
    if (camerarequest_get_text(request, CAMERAFIELD_DOWNLOAD_FOLDER, text))
        processor.SetDownloadFolder(text);
    if (camerarequest_get_text(request, CAMERAFIELD_BACKUP_FOLDER, text))
        processor.SetFallbackFolder(text);
    if (camerarequest_get_text(request, CAMERAFIELD_LIVEVIEW_FOLDER, text))
        processor.SetLiveviewFolder(text);
    take_text(request, CAMERAFIELD_FILENAME_EXPRESSION, options.filename_expression);
    take_text(request, CAMERAFIELD_FILENAME_VALIDATION, options.validation_text);
    take_text(request, CAMERAFIELD_TEXT_A, options.text_a);
    take_text(request, CAMERAFIELD_TEXT_U, options.text_u);
    take_text(request, CAMERAFIELD_TEXT_Z, options.text_z);
    if (camerarequest_get_text(request, CAMERAFIELD_DEFAULT_STORAGE, text))
    {
        stringbuffer_set(options.default_storage, text.length ? text : empty_str);
        mtp_context_set_default(processor.GetMTPContext(), MTP_CAMERAPROPERTY_STORAGEMODE, options.default_storage);
    }
    if (camerarequest_get_text(request, CAMERAFIELD_DEFAULT_FOCUS, text))
    {
        stringbuffer_set(options.default_focus_mode, text.length ? text : empty_str);
        mtp_context_set_default(processor.GetMTPContext(), MTP_CAMERAPROPERTY_FOCUSMODE, options.default_focus_mode);
    }

    if (options.validation_text.length == 0)
        return processor.SetValidation(empty_str);
    // The text is copied: SetValidation stores into the option it reads.
    const std::string validation(options.validation_text.str, options.validation_text.length);
    if (validation.size() > CAMERA_MAX_VALIDATION_TEXT)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Filename validation refused, longer than %llu bytes: %llu",
                   static_cast<unsigned long long>(CAMERA_MAX_VALIDATION_TEXT),
                   static_cast<unsigned long long>(validation.size()));
        processor.SetValidation(empty_str);
        return false;
    }
    // A text that does not compile is logged and switches validation off.
    return processor.SetValidation(string_make(validation.c_str(), validation.size()));
}

// --- 22 SetSequenceNum, 23 SetBatchNum ---------------------------------------------------------------------------

bool handle_set_sequence(CameraProcessor& processor, cameratracker_t*, const Message& request)
{
    cameraoptions_t& options = processor.GetOptions();
    i32 number = 0;
    if (camerarequest_get_int(request, CAMERAFIELD_SEQUENCE, number))
        options.sequence_number = number;
    processor.BroadcastInformationf("Updated sequence number to %d", options.sequence_number);
    return true;
}

bool handle_set_batch(CameraProcessor& processor, cameratracker_t*, const Message& request)
{
    i32 number = processor.GetOptions().batch_number;
    camerarequest_get_int(request, CAMERAFIELD_BATCH, number);
    processor.SetBatchNumber(number);
    processor.BroadcastInformationf("Updated batch number to %d", number);
    return true;
}

// --- 24 QueryTime, 25 SetTime, 27 Format ----------------------------------------------------------------------------

bool handle_query_time(CameraProcessor&, cameratracker_t* t, const Message&)
{
    return for_connected(
        t, [](CameraDevice& device, cameratracker_t* tracker, void*) { device.QueryTime(tracker); }, nullptr);
}

bool handle_set_time(CameraProcessor&, cameratracker_t* t, const Message& request)
{
    i32 offset = 0;
    if (!camerarequest_get_int(request, CAMERAFIELD_TIME, offset))
        return false;
    return for_connected(
        t, [](CameraDevice& device, cameratracker_t* tracker, void* user) {
            device.SetTime(tracker, *static_cast<i32*>(user), TIMEUNIT_MILLISECONDS);
        },
        &offset);
}

void notice_set_time(CameraProcessor& processor, cameratracker_t* t)
{
    processor.BroadcastInformation(t->success ? "Time synchronised" : "ERROR: Failed to synchronise time");
}

bool handle_format(CameraProcessor& processor, cameratracker_t* t, const Message&)
{
    processor.BroadcastInformation("Formatting memory cards...");
    return for_connected(
        t, [](CameraDevice& device, cameratracker_t* tracker, void*) { device.Format(tracker); }, nullptr);
}

void notice_format(CameraProcessor& processor, cameratracker_t* t)
{
    processor.BroadcastInformation(t->success ? "Format complete" : "ERROR: Failed to format all memory cards");
}
} // namespace

void camera_handlers_install_settings(CameraProcessor& processor)
{
    processor.SetRequestHandler(CameraRequest::EnableLiveview, handle_liveview, notice_liveview);
    processor.SetRequestHandler(CameraRequest::LiveviewZoom, handle_liveview_zoom, notice_liveview_zoom);
    processor.SetRequestHandler(CameraRequest::LiveviewFocus, handle_liveview_focus, notice_liveview_focus);
    processor.SetRequestHandler(CameraRequest::EnableDof, handle_dof, notice_dof);
    processor.SetRequestHandler(CameraRequest::EnableVideo, handle_video, notice_video);
    processor.SetRequestHandler(CameraRequest::SetName, handle_set_name, notice_set_name);
    processor.SetRequestHandler(CameraRequest::SetOptions, handle_set_options, nullptr);
    processor.SetRequestHandler(CameraRequest::SetSequenceNum, handle_set_sequence, nullptr);
    processor.SetRequestHandler(CameraRequest::SetBatchNum, handle_set_batch, nullptr);
    processor.SetRequestHandler(CameraRequest::QueryTime, handle_query_time, nullptr);
    processor.SetRequestHandler(CameraRequest::SetTime, handle_set_time, notice_set_time);
    processor.SetRequestHandler(CameraRequest::Format, handle_format, notice_format);
}
} // namespace orvo
