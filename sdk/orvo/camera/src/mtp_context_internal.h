// Internals shared by the context and its controllers: finding and creating a
// controller, stopping and destroying it, and the camera thread's two-phase
// step over a controller's tasks (collect under the context lock, then run the
// device-locked steps outside it, then record the new states).
#pragma once

#include "orvo/camera/mtp_context.h"

namespace orvo
{
// The controller with the id, else the first; null when there is none.
// Context lock held.
mtp_usbcontroller_t* mtp_context_find_controller(mtp_context_t& context, i32 id);

// A new controller with the id, added to the context (context lock held).
// Null (logged) when it cannot be allocated or listed.
mtp_usbcontroller_t* mtp_usbcontroller_create(mtp_context_t& context, i32 id);
// Asks every thread to stop and waits for each within its limit; false when
// one had to be abandoned. The controller's running flag is already clear.
bool mtp_usbcontroller_stop(mtp_usbcontroller_t& controller);
// Frees a stopped controller; its tasks must be gone.
void mtp_usbcontroller_destroy(mtp_usbcontroller_t* controller);

// Context lock held. Walks the tasks (of one device, or all for null),
// destroying released ones and listing those that wait for the camera thread
// (downloaded, saved) in the controller's steps. With a device, its queued
// tasks move into dropped (the caller reports and destroys them). Returns the
// number of walked tasks still in the queue.
i32 mtp_usbcontroller_collect(mtp_usbcontroller_t& controller, const mtp_device_t* device,
                              vector_t<mtp_downloadtask_t*>* dropped);
// Without the context lock: acknowledges (adding the device to the poll list
// when poll is set) or finishes each listed task under its device lock; then,
// under the context lock, moves them on, starts one more thread when start is
// set and one is needed, and wakes the threads when work waits.
void mtp_usbcontroller_run_steps(mtp_usbcontroller_t& controller, bool poll, bool start);
} // namespace orvo
