// The user operations of a device: each runs one vendor hook under a device
// lock that it only tries, so a request never waits behind a busy camera, and
// each is refused while a download of the camera is pending or when the vendor
// has no hook for it. State that follows a success (fast polling, requests) is
// kept here; what the camera does is the vendor's.
#include "orvo/camera/mtp_device.h"

namespace orvo
{
namespace
{
// Takes the device for a user operation: false when another thread holds it or
// while downloads are pending (the camera is busy transferring).
bool device_begin(mtp_device_t& device)
{
    if (!mtp_device_try_lock(device))
        return false;
    if (device.pending_downloads > 0)
    {
        mtp_device_unlock(device);
        return false;
    }
    return true;
}

// Makes the next update poll at once: the time already run is kept in the
// timer and the countdown counts as not started.
void device_poll_now(mtp_device_t& device)
{
    timer_t& timer = device.poll_countdown.timer;
    if (timer.start != 0)
        timer.ticks += timer_elapsed(timer);
    timer.start = 0;
}

template <typename Hook, typename... Arguments>
bool device_run(mtp_device_t& device, Hook hook, Arguments... arguments)
{
    if (!device_begin(device))
        return false;
    bool ok = hook && hook(device, arguments...);
    mtp_device_unlock(device);
    return ok;
}
} // namespace

bool mtp_device_capture(mtp_device_t& device)
{
    if (!device_begin(device))
        return false;
    bool ok = device.hooks.capture && !device.mirrorlockup.mirror_up && device.hooks.capture(device);
    if (ok && device.capture_in_progress)
    {
        device.fast_poll = true;
        device_poll_now(device);
    }
    mtp_device_unlock(device);
    return ok;
}

bool mtp_device_bulb_capture(mtp_device_t& device, u64 duration, timeunit_t unit)
{
    if (!device_begin(device))
        return false;
    bool ok = device.bulb.supported && !device.mirrorlockup.mirror_up && device.hooks.bulb_start &&
              device.bulb.enabled && device.hooks.bulb_start(device);
    if (ok)
    {
        device.bulb.active = true;
        // An unknown unit gives a countdown of 0: the next update ends the
        // exposure rather than leaving the shutter open.
        countdown_start(device.bulb_countdown, duration, unit);
    }
    mtp_device_unlock(device);
    return ok;
}

bool mtp_device_focus(mtp_device_t& device)
{
    if (!device_begin(device))
        return false;
    bool ok = device.autofocus.supported && device.hooks.focus && device.hooks.focus(device);
    if (ok)
    {
        device.autofocus.in_progress = true;
        device.fast_poll = true;
        device_poll_now(device);
    }
    mtp_device_unlock(device);
    return ok;
}

bool mtp_device_enable_liveview(mtp_device_t& device, bool on)
{
    if (!device_begin(device))
        return false;
    bool ok = device.hooks.enable_liveview && device.hooks.enable_liveview(device, on);
    if (ok)
        device.liveview.requested = on;
    mtp_device_unlock(device);
    return ok;
}

bool mtp_device_zoom_liveview(mtp_device_t& device, bool zoomed)
{
    if (!device_begin(device))
        return false;
    bool ok = device.hooks.zoom_liveview && device.hooks.zoom_liveview(device, zoomed);
    if (ok)
        device.liveview.zoom_requested = zoomed;
    mtp_device_unlock(device);
    return ok;
}

bool mtp_device_move_liveview(mtp_device_t& device, i32 x, i32 y)
{
    return device_run(device, device.hooks.move_liveview, x, y);
}

bool mtp_device_focus_liveview(mtp_device_t& device, i32 step)
{
    return device_run(device, device.hooks.focus_liveview, step);
}

bool mtp_device_enable_dof(mtp_device_t& device, bool on)
{
    return device_run(device, device.hooks.enable_dof, on);
}

bool mtp_device_enable_video(mtp_device_t& device, bool on)
{
    return device_run(device, device.hooks.enable_video, on);
}

bool mtp_device_format(mtp_device_t& device)
{
    return device_run(device, device.hooks.format);
}

bool mtp_device_shutterbutton(mtp_device_t& device, mtp_shutterbutton_t button)
{
    return device_run(device, device.hooks.shutterbutton, button);
}

bool mtp_device_delete_locked(mtp_device_t& device, const mtp_objectinfo_t& object)
{
    return device.hooks.delete_object && device.hooks.delete_object(device, object);
}
} // namespace orvo
