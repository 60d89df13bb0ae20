// The timed step of every camera, mtp_device_update: poll, queued events,
// DeviceInfo and cards when asked, battery, properties, live view, movie and
// bulb on their countdowns, returning the change flags. Events enter through
// mtp_device_handle from any thread. Also the camera clock: setting DateTime at
// a whole second and measuring the camera's offset from the computer's clock.
// All state lives in mtp_device_t; the step keeps none of its own.
#pragma once

#include "orvo/camera/mtp_device.h"

namespace orvo
{
// Poll periods in milliseconds: on external power or a full battery, otherwise.
const u64 MTP_POLL_PERIOD_POWERED = 100;
const u64 MTP_POLL_PERIOD_POWERED_FAST = 20;
const u64 MTP_POLL_PERIOD_BATTERY = 1000;
const u64 MTP_POLL_PERIOD_BATTERY_FAST = 100;
const u64 MTP_BATTERY_CHECK_PERIOD = 60000;
const u64 MTP_CHECK_PERIOD_ACTIVE = 1000; // live view or movie on
const u64 MTP_CHECK_PERIOD_IDLE = 5000;

// The change flags, cleared; 0 when the device was busy or downloading, in
// which case nothing ran and nothing was cleared. "CAMERA" thread.
u32 mtp_device_update(mtp_device_t& device);
// Records one PTP event under the event lock (any thread): cards, property and
// DeviceInfo events set their flags, every other event is queued for the
// vendor's handle_event hook.
void mtp_device_handle(mtp_device_t& device, mtp_event_t code, const u32* parameters, u64 num_parameters);

// Sets the camera's DateTime to the computer's time plus the offset, sent 20 to
// 40 ms before the second it names; then reads the clock back. Tries the lock.
bool mtp_device_set_datetime(mtp_device_t& device, i64 offset, timeunit_t unit);
// Reads DateTime now and stores the clock offset (ms, truncated). Tries the lock.
bool mtp_device_get_datetime(mtp_device_t& device);
// Waits (busily, up to about a second) for 960 ms into a second and gives the
// next whole second plus the offset, in local time.
void mtp_compute_time_and_wait(datetime_t& out, i64 offset, timeunit_t unit);
} // namespace orvo
