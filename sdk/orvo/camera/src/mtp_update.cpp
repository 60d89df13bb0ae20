// The timed step of a device (poll, events, DeviceInfo, cards, battery,
// properties, live view, movie and bulb on their countdowns), the recording of
// incoming PTP events from any thread, and the camera clock: DateTime sent just
// before the second it names, and the camera's offset from the computer's clock.
#include "orvo/camera/mtp_update.h"

#include "orvo/camera/mtp_deviceproperty.h"
#include "orvo/camera/mtp_propertycodes.h"
#include "orvo/core/core_log.h"

namespace orvo
{
namespace
{
const i64 TICKS_PER_SECOND = 1000000;
// The clock command leaves 20 to 40 ms before the second it names begins.
const i64 CLOCK_SEND_FROM = 960000;
const i64 CLOCK_SEND_UNTIL = 980000;

bool countdown_due(const countdown_t& countdown)
{
    return countdown_expired(countdown);
}

void device_restart(countdown_t& countdown, u64 milliseconds)
{
    countdown_start(countdown, milliseconds, TIMEUNIT_MILLISECONDS);
}

// The next frame of a steady rate: the time this one came late (the pass
// period need not divide the frame interval) comes off the next interval, so
// 20 frames a second on 34 ms passes alternate one and two passes rather than
// fall to one frame every two passes. A frame later than a whole interval
// (a stalled pass) starts the rate afresh: a stall is not made up with a burst.
void device_restart_paced(countdown_t& countdown, u64 milliseconds)
{
    const u64 interval = time_compute_ticks(milliseconds, TIMEUNIT_MILLISECONDS);
    u64 late = 0;
    if (countdown.timer.start != 0)
    {
        const u64 elapsed = timer_elapsed(countdown.timer);
        late = elapsed > countdown.target ? elapsed - countdown.target : 0;
    }
    if (late > interval)
        late = 0;
    timer_start(countdown.timer);
    countdown.target = interval - late;
}

u32 device_flags(const mtp_device_t& device)
{
    return device.change_flags.load(std::memory_order_acquire);
}

void update_poll(mtp_device_t& device)
{
    if (!device.hooks.poll || !countdown_due(device.poll_countdown))
        return;
    device.hooks.poll(device);
    // A camera on external power or with a full battery is polled ten times as
    // often; fast polling after a capture or focus start shortens either period.
    bool powered = device.power.source == MTP_POWERSOURCE_EXTERNAL ||
                   (device.power.source == MTP_POWERSOURCE_BATTERY && device.power.level == 100);
    u64 period = powered ? (device.fast_poll ? MTP_POLL_PERIOD_POWERED_FAST : MTP_POLL_PERIOD_POWERED)
                         : (device.fast_poll ? MTP_POLL_PERIOD_BATTERY_FAST : MTP_POLL_PERIOD_BATTERY);
    if (period != device.poll_period)
    {
        device.poll_period = period;
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Camera poll timer updated to: %llu",
                   static_cast<unsigned long long>(period));
    }
    device_restart(device.poll_countdown, period);
}

void update_events(mtp_device_t& device)
{
    mutex_lock(*device.event_lock);
    if (device.hooks.handle_event)
    {
        for (u64 i = 0; i < device.event_queue.count; ++i)
        {
            // A failed allocation is logged by the heap; the event is dropped.
            vector_insert(device.event_work, device.event_queue.data[i]);
        }
    }
    device.event_queue.count = 0;
    mutex_unlock(*device.event_lock);

    // Hooks never run under the event lock: they may transact and record events.
    for (u64 i = 0; i < device.event_work.count && device.hooks.handle_event; ++i)
    {
        const mtp_device_event_t event = device.event_work.data[i];
        device.hooks.handle_event(device, static_cast<mtp_event_t>(event.code), event.parameter);
    }
    device.event_work.count = 0;
}

void update_battery(mtp_device_t& device)
{
    if (!device.hooks.check_battery)
        return;
    // Once a minute, and at once when the power was reported changed.
    bool now = (device_flags(device) & MTP_CHANGE_POWER) || device.battery_countdown.timer.start == 0 ||
               countdown_due(device.battery_countdown);
    if (!now)
        return;
    device.hooks.check_battery(device);
    device_restart(device.battery_countdown, MTP_BATTERY_CHECK_PERIOD);
}

void update_properties(mtp_device_t& device)
{
    if (!(device_flags(device) & MTP_CHANGE_PROPERTIES))
        return;
    mutex_lock(*device.event_lock);
    for (u64 i = 0; i < device.property_queue.count; ++i)
    {
        mtp_devicepropdesc_t* desc = hashtable_find(device.properties, static_cast<u32>(device.property_queue.data[i]));
        if (desc)
        {
            desc->value_due = true;
            desc->description_due = true;
        }
    }
    device.property_queue.count = 0;
    mutex_unlock(*device.event_lock);

    for (u32 type = 0; type < MTP_CAMERAPROPERTY_COUNT; ++type)
    {
        mtp_cameraproperty_t& property = device.cameraproperties[type];
        if (property.get)
            property.get(device, property);
    }
}

void update_liveview_check(mtp_device_t& device)
{
    mtp_liveview_t& liveview = device.liveview;
    if (!device.hooks.check_liveview || !countdown_due(device.liveview_check_countdown))
        return;
    device.hooks.check_liveview(device);
    device_restart(device.liveview_check_countdown,
                   (liveview.on || liveview.requested) ? MTP_CHECK_PERIOD_ACTIVE : MTP_CHECK_PERIOD_IDLE);
    // Live view that the camera dropped (after a capture, a menu, a timeout) is
    // switched on again while the user still wants it.
    if (liveview.requested && !liveview.on && !device.capture_in_progress && device.hooks.enable_liveview)
        device.hooks.enable_liveview(device, true);
}

void update_liveview_frame(mtp_device_t& device)
{
    mtp_liveview_t& liveview = device.liveview;
    if (!device.hooks.download_liveview || !liveview.on || device.capture_in_progress ||
        !countdown_due(device.liveview_frame_countdown))
        return;
    if (device.video.recording && liveview.movie_frames_per_second > 0)
    {
        // While a movie records, frames come at the recording's own rate.
        device.hooks.download_liveview(device);
        device_restart_paced(device.liveview_frame_countdown,
                             1000 / static_cast<u64>(liveview.movie_frames_per_second));
        return;
    }
    if (liveview.frames_per_second <= 0)
        return;
    device.hooks.download_liveview(device);
    if (liveview.zoom_requested && !liveview.zoomed && device.hooks.zoom_liveview)
        device.hooks.zoom_liveview(device, true);
    device_restart_paced(device.liveview_frame_countdown, 1000 / static_cast<u64>(liveview.frames_per_second));
}

void update_video(mtp_device_t& device)
{
    if (!device.hooks.check_video || !countdown_due(device.video_check_countdown))
        return;
    device.hooks.check_video(device);
    device_restart(device.video_check_countdown,
                   device.video.recording ? device.video_check_period : MTP_CHECK_PERIOD_IDLE);
}

void update_bulb(mtp_device_t& device)
{
    if (!device.bulb.active || !countdown_due(device.bulb_countdown))
        return;
    if (device.hooks.bulb_stop && device.hooks.bulb_stop(device))
        device.bulb.active = false;
    // Cleared either way: a stop that failed is tried again on the next pass.
    countdown_clear(device.bulb_countdown);
}
} // namespace

u32 mtp_device_update(mtp_device_t& device)
{
    if (!mtp_device_try_lock(device))
        return 0;
    // While a download is pending the camera is busy transferring; nothing is
    // polled and no flag is cleared until it is acknowledged.
    if (device.pending_downloads > 0)
    {
        mtp_device_unlock(device);
        return 0;
    }
    update_poll(device);
    update_events(device);
    if (device_flags(device) & MTP_CHANGE_DEVICEINFO)
    {
        // On success the flags become the full state set; on failure the
        // request is dropped so that a broken camera is not re-read every pass
        // (its failed reads count towards disconnecting it).
        if (!mtp_device_read_deviceinfo(device))
            device.change_flags.fetch_and(~static_cast<u32>(MTP_CHANGE_DEVICEINFO), std::memory_order_acq_rel);
    }
    if (device_flags(device) & MTP_CHANGE_CARDS)
        mtp_device_compute_num_cards(device);
    update_battery(device);
    update_properties(device);
    update_liveview_check(device);
    update_liveview_frame(device);
    update_video(device);
    update_bulb(device);
    u32 flags = device.change_flags.exchange(0, std::memory_order_acq_rel);
    mtp_device_unlock(device);
    return flags;
}

void mtp_device_handle(mtp_device_t& device, mtp_event_t code, const u32* parameters, u64 num_parameters)
{
    bool has_parameter = parameters && num_parameters > 0;
    u32 parameter = has_parameter ? parameters[0] : 0;
    mutex_lock(*device.event_lock);
    const char* name = mtp_event_to_cstr(device.protocol, code);
    if (!has_parameter)
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "MTP event: %s", name);
    else if (code == MTP_EVENT_DevicePropChanged)
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "MTP event: %s - %x - %s", name, parameter,
                   mtp_property_to_cstr(device.protocol, parameter));
    else
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "MTP event: %s - %x", name, parameter);

    switch (code)
    {
    case MTP_EVENT_StoreAdded:
    case MTP_EVENT_StoreRemoved:
        mtp_device_set_changed(device, MTP_CHANGE_CARDS);
        break;
    case MTP_EVENT_DevicePropChanged:
        mtp_device_set_changed(device, MTP_CHANGE_PROPERTIES);
        // A failed allocation is logged by the heap and drops the one entry.
        if (has_parameter)
            vector_insert(device.property_queue, static_cast<mtp_property_t>(parameter));
        break;
    case MTP_EVENT_DeviceInfoChanged:
        mtp_device_set_changed(device, MTP_CHANGE_DEVICEINFO);
        break;
    default:
    {
        mtp_device_event_t event = {static_cast<u32>(code), parameter};
        vector_insert(device.event_queue, event);
        mtp_device_set_changed(device, MTP_CHANGE_EVENTS);
        break;
    }
    }
    mutex_unlock(*device.event_lock);
}

// --- clock ------------------------------------------------------------------------------

void mtp_compute_time_and_wait(datetime_t& out, i64 offset, timeunit_t unit)
{
    datetime_t now;
    datetime_set_now(now);
    i64 second = now.ticks / TICKS_PER_SECOND;
    i64 fraction = now.ticks % TICKS_PER_SECOND;
    if (fraction > CLOCK_SEND_UNTIL)
    {
        // Too close to the turn of the second to be sure of it: name the next one.
        while (now.ticks / TICKS_PER_SECOND == second)
            datetime_set_now(now);
        second = now.ticks / TICKS_PER_SECOND;
        fraction = now.ticks % TICKS_PER_SECOND;
    }
    if (fraction < CLOCK_SEND_FROM)
    {
        while (now.ticks / TICKS_PER_SECOND == second && now.ticks % TICKS_PER_SECOND < CLOCK_SEND_FROM)
            datetime_set_now(now);
    }
    datetime_set(out, static_cast<u64>(now.ticks / TICKS_PER_SECOND + 1) * static_cast<u64>(TICKS_PER_SECOND),
                 TIMEUNIT_TICKS);
    i64 offset_ticks = 0;
    switch (unit)
    {
    case TIMEUNIT_TICKS:
    case TIMEUNIT_MICROSECONDS:
        offset_ticks = offset;
        break;
    case TIMEUNIT_SECONDS:
        offset_ticks = offset * TICKS_PER_SECOND;
        break;
    case TIMEUNIT_MILLISECONDS:
        offset_ticks = offset * 1000;
        break;
    default:
        break;
    }
    datetime_add(out, offset_ticks, TIMEUNIT_TICKS);
}

bool mtp_device_set_datetime(mtp_device_t& device, i64 offset, timeunit_t unit)
{
    if (!mtp_device_try_lock(device))
        return false;
    if (device.pending_downloads > 0)
    {
        mtp_device_unlock(device);
        return false;
    }
    mtp_devicepropdesc_t* desc = hashtable_find(device.properties, static_cast<u32>(MTP_PROPERTY_DateTime));
    if (!desc || !device.hooks.write_devicepropvalue)
    {
        mtp_device_unlock(device);
        return false;
    }
    datetime_t time;
    mtp_compute_time_and_wait(time, offset, unit);
    mtp_datavalue_t value = {};
    mtp_datavalue_initialise(value, MTP_DATATYPE_STR);
    stringbuffer_format(value.str, "%4u%02u%02uT%02u%02u%02u", static_cast<unsigned>(time.year),
                        static_cast<unsigned>(time.month), static_cast<unsigned>(time.day),
                        static_cast<unsigned>(time.hour), static_cast<unsigned>(time.minute),
                        static_cast<unsigned>(time.second));
    datetime_t sent;
    datetime_set_now(sent);
    bool ok = device.hooks.write_devicepropvalue(device, *desc, value);
    mtp_datavalue_release(value);
    desc->value_due = true;
    mtp_device_set_changed(device, MTP_CHANGE_PROPERTIES);
    if (!ok)
    {
        mtp_device_unlock(device);
        return false;
    }
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Sent clock command at: %02d:%02d:%02d.%03d", sent.hour, sent.minute,
               sent.second, sent.microsecond / 1000);
    mtp_device_unlock(device);
    mtp_device_get_datetime(device);
    return true;
}

bool mtp_device_get_datetime(mtp_device_t& device)
{
    if (!mtp_device_try_lock(device))
        return false;
    bool ok = false;
    if (device.pending_downloads == 0)
    {
        const mtp_devicepropdesc_t* desc = mtp_device_get_deviceprop(device, MTP_PROPERTY_DateTime, true);
        i64 now = time_get_wallclock();
        datetime_t camera;
        datetime_clear(camera);
        if (desc && mtp_datavalue_to_datetime(desc->current_value, camera))
        {
            device.clock_offset = (camera.ticks - now) / 1000;
            mtp_device_set_changed(device, MTP_CHANGE_CLOCK);
            ok = true;
        }
    }
    mtp_device_unlock(device);
    return ok;
}
} // namespace orvo
