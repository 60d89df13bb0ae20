// The request handlers of all 30 request types, which the camera processor
// installs on construction, and the targeting rule every camera-calling
// handler shares. camera_handlers.cpp serves status, detection, connection,
// shots, single downloads, live-view recording, position and frame rates,
// properties and the shutter button; camera_handlers_photos.cpp the photo
// requests; camera_handlers_settings.cpp camera modes and processor settings.
// A handler installed later with CameraProcessor::SetRequestHandler replaces
// the one here.
#pragma once

#include "orvo/camera/camera_device.h"

namespace orvo
{
class CameraProcessor;

// One device operation of a request; the device ends it with
// cameratracker_decref(t, ok, &device).
typedef void (*camera_target_operation_t)(CameraDevice& device, cameratracker_t* tracker, void* user);

// The targets of a request for one or all cameras: every listed camera in
// order when the all-cameras flag is set (only connected ones with
// connected_only), else the tracker's camera. Each call is preceded by
// cameratracker_incref. False, calling nothing, when the request names no
// camera and is not for all; an "all" request that finds no camera succeeds.
bool camera_for_each_target(cameratracker_t* tracker, bool connected_only, camera_target_operation_t operation,
                            void* user);

// The position of a value name in a camera's range of the property, matched
// ignoring ASCII case; false when no name matches.
bool camera_find_value(const CameraDevice& device, CameraProperty::Type type, const string_t& name, u64& position);

// Filename validation texts longer than this are refused: no useful
// expression comes near it, and regcomp's cost grows with the text.
const u64 CAMERA_MAX_VALIDATION_TEXT = 1024;

// Field 29, the bulb time in seconds: 0 when absent or not a float; false
// (logged) for a time that is not finite or lies outside 0 to 24 hours.
bool camera_read_bulb(const Message& request, float& seconds);
// Field 45 becomes the tracker's origin when it is text; false when the
// field is there but cannot be used (too long, broken).
bool camera_read_origin(cameratracker_t* tracker, const Message& request);

// Installs the handlers of every request type on the processor.
void camera_handlers_install(CameraProcessor& processor);
void camera_handlers_install_photos(CameraProcessor& processor);
void camera_handlers_install_settings(CameraProcessor& processor);
} // namespace orvo
