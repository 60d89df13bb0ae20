// Canon EOS release and focus: the virtual shutter button pressed and let go
// in steps (capture, bulb, the shutter-button operation, the half-press
// focus), the RemoteRelease capture of older bodies, DoAf focusing, and the
// end of an autofocus with its 4 s limit (checked by the poll).
#include "orvo/camera/mtp_canon.h"

#include "orvo/camera/mtp_deviceproperty.h"
#include "orvo/core/core_log.h"

namespace orvo
{
namespace
{
u32 button_parameter(mtp_shutterbutton_t button)
{
    return button < 3 ? static_cast<u32>(button) : 0;
}

void capture_started(mtp_device_t& device)
{
    device.capture_in_progress = true;
    if (mtp_canon_state_t* state = mtp_canon_state(device))
        state->capture_started = time_get_ticks();
}

void start_autofocus_countdown(mtp_device_t& device)
{
    countdown_start(device.autofocus_countdown, MTP_CANON_AUTOFOCUS_LIMIT_US, TIMEUNIT_MICROSECONDS);
}

bool manual_focus(mtp_device_t& device)
{
    const mtp_devicepropdesc_t* mode = mtp_device_get_deviceprop(device, MTP_PROPERTY_Canon_FocusMode, true);
    return mode && mtp_datavalue_to_int(mode->current_value) == 3;
}

bool half_press_focus(mtp_device_t& device, mtp_canon_state_t& state)
{
    state.autofocus_by_doaf = false;
    if (!mtp_canon_remotereleaseon(device, MTP_SHUTTERBUTTON_HALF, false))
        return false;
    start_autofocus_countdown(device);
    return true;
}

bool has_buttons(const mtp_device_t& device)
{
    return mtp_deviceinfo_is_supported(device.deviceinfo, MTP_COMMAND_Canon_RemoteReleaseOn) &&
           mtp_deviceinfo_is_supported(device.deviceinfo, MTP_COMMAND_Canon_RemoteReleaseOff);
}
} // namespace

// --- the shutter button --------------------------------------------------------------------------------

bool mtp_canon_remotereleaseon(mtp_device_t& device, mtp_shutterbutton_t button, bool flag)
{
    mtp_canon_state_t* state = mtp_canon_state(device);
    if (!state)
        return false;
    u32 parameters[2] = {button_parameter(button), flag ? 1u : 0u};
    if (!mtp_device_execute(device, MTP_COMMAND_Canon_RemoteReleaseOn, parameters, 2))
        return false;
    state->shutter_state = static_cast<i32>(button);
    return true;
}

bool mtp_canon_remotereleaseoff(mtp_device_t& device, mtp_shutterbutton_t button)
{
    mtp_canon_state_t* state = mtp_canon_state(device);
    if (!state)
        return false;
    u32 parameter = button_parameter(button);
    if (!mtp_device_execute(device, MTP_COMMAND_Canon_RemoteReleaseOff, &parameter, 1))
        return false;
    state->shutter_state = button == MTP_SHUTTERBUTTON_FULL ? MTP_SHUTTERBUTTON_HALF : MTP_SHUTTERBUTTON_RELEASED;
    return true;
}

bool mtp_canon_remoterelease(mtp_device_t& device)
{
    return mtp_device_execute(device, MTP_COMMAND_Canon_RemoteRelease);
}

bool mtp_canon_af_on(mtp_device_t& device)
{
    return mtp_device_execute(device, MTP_COMMAND_Canon_DoAf);
}

bool mtp_canon_af_off(mtp_device_t& device)
{
    return mtp_device_execute(device, MTP_COMMAND_Canon_AfCancel);
}

bool mtp_canon_capture(mtp_device_t& device)
{
    if (!mtp_canon_state(device))
        return false;
    if (!mtp_canon_remotereleaseon(device, MTP_SHUTTERBUTTON_HALF, true) ||
        !mtp_canon_remotereleaseon(device, MTP_SHUTTERBUTTON_FULL, true) ||
        !mtp_canon_remotereleaseoff(device, MTP_SHUTTERBUTTON_FULL) ||
        !mtp_canon_remotereleaseoff(device, MTP_SHUTTERBUTTON_HALF))
        return false;
    // The capture ends with the photo's record (or the poll's time limit).
    capture_started(device);
    return true;
}

bool mtp_canon_legacy_capture(mtp_device_t& device)
{
    if (!mtp_canon_remoterelease(device))
        return false;
    capture_started(device);
    return true;
}

bool mtp_canon_bulb_start(mtp_device_t& device)
{
    if (!mtp_canon_state(device))
        return false;
    mtp_canon_override_timer(device, true);
    return mtp_canon_remotereleaseon(device, MTP_SHUTTERBUTTON_HALF, true) &&
           mtp_canon_remotereleaseon(device, MTP_SHUTTERBUTTON_FULL, true);
}

bool mtp_canon_bulb_stop(mtp_device_t& device)
{
    if (!mtp_canon_state(device))
        return false;
    bool full = mtp_canon_remotereleaseoff(device, MTP_SHUTTERBUTTON_FULL);
    bool half = mtp_canon_remotereleaseoff(device, MTP_SHUTTERBUTTON_HALF);
    capture_started(device);
    return full && half;
}

bool mtp_canon_shutterbutton(mtp_device_t& device, mtp_shutterbutton_t button)
{
    mtp_canon_state_t* state = mtp_canon_state(device);
    if (!state)
        return false;
    i32 current = state->shutter_state;
    if (current == static_cast<i32>(button))
        return true;
    switch (current)
    {
    case MTP_SHUTTERBUTTON_FULL:
        if (!mtp_canon_remotereleaseoff(device, MTP_SHUTTERBUTTON_FULL))
            return false;
        return button == MTP_SHUTTERBUTTON_HALF || mtp_canon_remotereleaseoff(device, MTP_SHUTTERBUTTON_HALF);
    case MTP_SHUTTERBUTTON_HALF:
        if (button == MTP_SHUTTERBUTTON_RELEASED)
            return mtp_canon_remotereleaseoff(device, MTP_SHUTTERBUTTON_HALF);
        return mtp_canon_remotereleaseon(device, MTP_SHUTTERBUTTON_FULL, false);
    case MTP_SHUTTERBUTTON_RELEASED:
        if (!mtp_canon_remotereleaseon(device, MTP_SHUTTERBUTTON_HALF, false))
            return false;
        return button == MTP_SHUTTERBUTTON_HALF || mtp_canon_remotereleaseon(device, MTP_SHUTTERBUTTON_FULL, false);
    default:
        return false;
    }
}

// --- autofocus ---------------------------------------------------------------------------------------------

bool mtp_canon_focus_v1(mtp_device_t& device)
{
    mtp_canon_state_t* state = mtp_canon_state(device);
    if (!state || manual_focus(device))
        return false;
    state->autofocus_by_doaf = true;
    if (mtp_canon_af_on(device))
    {
        start_autofocus_countdown(device);
        return true;
    }
    return has_buttons(device) && half_press_focus(device, *state);
}

bool mtp_canon_focus_v2(mtp_device_t& device)
{
    mtp_canon_state_t* state = mtp_canon_state(device);
    if (!state || manual_focus(device))
        return false;
    return half_press_focus(device, *state);
}

void mtp_canon_end_autofocus(mtp_device_t& device, bool succeeded, bool clear_fast_poll, bool stop_countdown)
{
    mtp_canon_state_t* state = mtp_canon_state(device);
    if (state && state->autofocus_by_doaf)
        mtp_canon_af_off(device);
    else if (state)
        mtp_canon_remotereleaseoff(device, MTP_SHUTTERBUTTON_HALF);
    device.autofocus.in_progress = false;
    device.autofocus.succeeded = succeeded;
    mtp_device_set_changed(device, MTP_CHANGE_AUTOFOCUS);
    if (clear_fast_poll)
        device.fast_poll = false;
    timer_t& timer = device.autofocus_countdown.timer;
    if (stop_countdown && timer.start != 0)
    {
        timer.ticks += timer_elapsed(timer);
        timer.start = 0;
    }
}
} // namespace orvo
