// The request handlers of status, detection, connection, shots, downloads of
// one photo, live-view recording, position and frame rates, properties and
// the shutter button, and the installation of every handler. Every field
// that comes from a requester is checked before use (camera_request.h).
#include "orvo/camera/camera_handlers.h"

#include "orvo/camera/camera_processor.h"
#include "orvo/core/core_file.h"
#include "orvo/core/core_log.h"

#include <cstring>

namespace orvo
{
namespace
{
bool has_target(const cameratracker_t* t)
{
    return t->all_cameras || t->camera;
}

// --- 0 Synchronise, 1 DetectCameras ------------------------------------------------------------------------

bool handle_synchronise(CameraProcessor& processor, cameratracker_t*, const Message&)
{
    processor.BroadcastInformation("Synchronising status...");
    processor.BroadcastStatus();
    processor.BroadcastInformation("Synchronised");
    return true;
}

bool handle_detect(CameraProcessor& processor, cameratracker_t*, const Message&)
{
    processor.DetectCameras();
    return true;
}

// --- 2 Connect, 3 Disconnect ------------------------------------------------------------------------------------

bool handle_connect(CameraProcessor& processor, cameratracker_t* t, const Message&)
{
    if (!has_target(t))
        return false;
    processor.BroadcastInformation(t->all_cameras ? "Connecting cameras..." : "Connecting camera...");
    return camera_for_each_target(
        t, false, [](CameraDevice& device, cameratracker_t* tracker, void*) { device.Connect(tracker); }, nullptr);
}

bool handle_disconnect(CameraProcessor& processor, cameratracker_t* t, const Message&)
{
    if (!has_target(t))
        return false;
    processor.BroadcastInformation(t->all_cameras ? "Disconnecting cameras..." : "Disconnecting camera...");
    return camera_for_each_target(
        t, false, [](CameraDevice& device, cameratracker_t* tracker, void*) { device.Disconnect(tracker); }, nullptr);
}

void notice_connection(CameraProcessor& processor, cameratracker_t* t)
{
    // A camera that did not answer may have gone: look again.
    if (!t->success)
        processor.GetOptions().detection_pending = true;
}

// --- 4 TakePhoto -----------------------------------------------------------------------------------------------

bool handle_take_photo(CameraProcessor& processor, cameratracker_t* t, const Message& request)
{
    float bulb = 0.0f;
    if (!camera_read_bulb(request, bulb) || !camera_read_origin(t, request))
        return false;
    if (!has_target(t))
        return false;
    // The cameras may hold the request for the whole exposure.
    cameratracker_extend(t, bulb);
    processor.BroadcastInformation("Taking photo...");
    return camera_for_each_target(
        t, true, [](CameraDevice& device, cameratracker_t* tracker, void* user) {
            device.TakePhoto(tracker, *static_cast<float*>(user));
        },
        &bulb);
}

void notice_take_photo(CameraProcessor& processor, cameratracker_t* t)
{
    if (!t->success)
        processor.BroadcastInformation("ERROR: Failed to take photo");
}

// --- 7 Download -------------------------------------------------------------------------------------------------

bool handle_download(CameraProcessor& processor, cameratracker_t* t, const Message&)
{
    processor.BroadcastPhotoDownloading(nullptr);
    CameraPhoto* photo = t->photo;
    if (!photo)
        return false;
    if (photo->downloaded)
        return true;
    if (photo->orphaned || photo->deleted)
        return false;
    CameraDevice* owner = nullptr;
    if (!processor.FindDevice(photo->owner, owner))
        return false;
    if (!processor.CanSavePhoto(photo))
        return false;
    cameratracker_set_camera(t, owner);
    cameratracker_incref(t, owner);
    owner->Download(t, photo);
    return true;
}

void notice_download(CameraProcessor& processor, cameratracker_t* t)
{
    processor.DownloadAttempt(t->photo, t->success);
}

// --- 13 LiveviewRecord ------------------------------------------------------------------------------------

bool handle_liveview_record(CameraProcessor& processor, cameratracker_t*, const Message& request)
{
    cameraoptions_t& options = processor.GetOptions();
    bool on = false;
    if (camerarequest_get_bool(request, CAMERAFIELD_LIVEVIEW_RECORD, on))
        options.liveview_recording = on;
    if (options.liveview_recording && options.liveview_folder.length && !dir_exists(options.liveview_folder))
        dir_create(options.liveview_folder);
    return true;
}

// --- 15 LiveviewPosition, 16 LiveviewFPS -----------------------------------------------------------------------

struct position_t
{
    i32 x;
    i32 y;
};

bool handle_liveview_position(CameraProcessor&, cameratracker_t* t, const Message& request)
{
    position_t position;
    if (!camerarequest_get_position(request, position.x, position.y))
        return false;
    return camera_for_each_target(
        t, true, [](CameraDevice& device, cameratracker_t* tracker, void* user) {
            const position_t& p = *static_cast<position_t*>(user);
            device.SetLiveviewPosition(tracker, p.x, p.y);
        },
        &position);
}

void notice_liveview_position(CameraProcessor& processor, cameratracker_t* t)
{
    if (!t->success)
        processor.BroadcastInformation("ERROR: Failed to change Liveview position");
}

struct rates_t
{
    i32 liveview;
    i32 video;
};

bool handle_liveview_fps(CameraProcessor&, cameratracker_t* t, const Message& request)
{
    rates_t rates{-1, -1};
    const bool has_liveview = camerarequest_get_int(request, CAMERAFIELD_LIVEVIEW_FPS, rates.liveview);
    const bool has_video = camerarequest_get_int(request, CAMERAFIELD_VIDEO_FPS, rates.video);
    if (!has_liveview && !has_video)
        return false;
    return camera_for_each_target(
        t, false, [](CameraDevice& device, cameratracker_t* tracker, void* user) {
            const rates_t& r = *static_cast<rates_t*>(user);
            device.SetLiveviewFPS(tracker, r.liveview, r.video);
        },
        &rates);
}

void notice_liveview_fps(CameraProcessor& processor, cameratracker_t* t)
{
    if (!t->success)
        processor.BroadcastInformation("ERROR: Failed to change Liveview FPS");
}

// --- 19 SetProperty ------------------------------------------------------------------------------------------

bool handle_set_property(CameraProcessor& processor, cameratracker_t* t, const Message& request)
{
    CameraProperty::Type type;
    string_t value;
    if (!camerarequest_get_property_type(request, type) || !camerarequest_get_text(request, CAMERAFIELD_PROPERTY_VALUE, value))
        return false;
    if (!t->all_cameras)
    {
        u64 position = 0;
        if (!t->camera || !camera_find_value(*t->camera, type, value, position))
            return false;
        cameratracker_incref(t, t->camera);
        t->camera->SetProperty(t, type, static_cast<unsigned long>(position));
        return true;
    }
    bool ok = true;
    const vector_t<CameraDevice*>& devices = processor.GetDevices();
    for (u64 i = 0; i < devices.count; ++i)
    {
        CameraDevice* device = devices.data[i];
        if (!device->connected)
            continue;
        u64 position = 0;
        if (!camera_find_value(*device, type, value, position))
        {
            ok = false;
            continue;
        }
        cameratracker_incref(t, device);
        device->SetProperty(t, type, static_cast<unsigned long>(position));
    }
    return ok;
}

void notice_set_property(CameraProcessor& processor, cameratracker_t* t)
{
    if (!t->success)
        processor.BroadcastInformation("ERROR: Failed to change camera setting");
}

// --- 28 SetShutterButton -----------------------------------------------------------------------------------------

bool handle_shutter_button(CameraProcessor& processor, cameratracker_t* t, const Message& request)
{
    i32 state = 0;
    if (!camerarequest_get_shutter_button(request, state))
        return false;
    if (!has_target(t))
        return false;
    processor.BroadcastInformation("Setting shutter button press...");
    return camera_for_each_target(
        t, true, [](CameraDevice& device, cameratracker_t* tracker, void* user) {
            device.SetShutterButton(tracker, *static_cast<i32*>(user));
        },
        &state);
}

void notice_shutter_button(CameraProcessor& processor, cameratracker_t* t)
{
    if (!t->success)
        processor.BroadcastInformation("ERROR: Failed to set shutter button press");
}
} // namespace

bool camera_for_each_target(cameratracker_t* t, bool connected_only, camera_target_operation_t operation, void* user)
{
    if (!t || !operation)
        return false;
    if (t->all_cameras)
    {
        const vector_t<CameraDevice*>& devices = t->processor->GetDevices();
        // By index: an operation may report a camera gone, but the list only
        // changes in a detection pass.
        for (u64 i = 0; i < devices.count; ++i)
        {
            CameraDevice* device = devices.data[i];
            if (connected_only && !device->connected)
                continue;
            cameratracker_incref(t, device);
            operation(*device, t, user);
        }
        return true;
    }
    if (!t->camera)
        return false;
    cameratracker_incref(t, t->camera);
    operation(*t->camera, t, user);
    return true;
}

bool camera_find_value(const CameraDevice& device, CameraProperty::Type type, const string_t& name, u64& position)
{
    const CameraSettings* settings = device.GetSettings();
    if (!settings || !CameraSettings::IsValid(type))
        return false;
    const camerarange_t& range = settings->GetRange(type);
    for (u64 i = 0; i < range.names.count; ++i)
        if (string_equal_ignoring_ascii_case(range.names.data[i], name))
        {
            position = i;
            return true;
        }
    return false;
}

void camera_handlers_install(CameraProcessor& processor)
{
    processor.SetRequestHandler(CameraRequest::Synchronise, handle_synchronise, nullptr);
    processor.SetRequestHandler(CameraRequest::DetectCameras, handle_detect, nullptr);
    processor.SetRequestHandler(CameraRequest::Connect, handle_connect, notice_connection);
    processor.SetRequestHandler(CameraRequest::Disconnect, handle_disconnect, notice_connection);
    processor.SetRequestHandler(CameraRequest::TakePhoto, handle_take_photo, notice_take_photo);
    processor.SetRequestHandler(CameraRequest::Download, handle_download, notice_download);
    processor.SetRequestHandler(CameraRequest::LiveviewRecord, handle_liveview_record, nullptr);
    processor.SetRequestHandler(CameraRequest::LiveviewPosition, handle_liveview_position, notice_liveview_position);
    processor.SetRequestHandler(CameraRequest::LiveviewFPS, handle_liveview_fps, notice_liveview_fps);
    processor.SetRequestHandler(CameraRequest::SetProperty, handle_set_property, notice_set_property);
    processor.SetRequestHandler(CameraRequest::SetShutterButton, handle_shutter_button, notice_shutter_button);
    camera_handlers_install_photos(processor);
    camera_handlers_install_settings(processor);
}
} // namespace orvo
