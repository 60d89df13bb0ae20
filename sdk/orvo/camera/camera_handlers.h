// The request handlers that the camera processor installs itself, and the
// targeting rule every camera-calling handler shares. Served here: Synchronise,
// DetectCameras, Connect, Disconnect, TakePhoto, Download, LiveviewRecord,
// LiveviewPosition, LiveviewFPS, SetProperty and SetShutterButton. The other
// types are installed with CameraProcessor::SetRequestHandler by the module
// that serves them; until then their requests fail (logged).
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

// Installs the handlers of this module on the processor.
void camera_handlers_install(CameraProcessor& processor);
} // namespace orvo
