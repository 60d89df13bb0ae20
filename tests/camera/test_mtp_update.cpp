// The device update loop under the test clock: poll periods, event dispatch,
// DeviceInfoChanged re-identification, properties, battery, live view, bulb,
// the camera clock and its offset, and events arriving from the pump thread
// while the camera thread updates.
#include "support/ptpsim/ptpsim_fixture.h"

#include "orvo/camera/mtp_deviceproperty.h"
#include "orvo/camera/mtp_update.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace orvo;
using ptpsim::DeviceTest;

namespace
{
// What the test vendor's hooks saw; the hooks run on the camera thread only.
struct Seen
{
    int polls = 0;
    int battery_checks = 0;
    int liveview_checks = 0;
    int liveview_enables = 0;
    int frames = 0;
    int video_checks = 0;
    int bulb_stops = 0;
    int bulb_stop_failures = 0; // stops still to fail
    std::vector<std::pair<u32, u32>> events;
};
Seen g_seen;

void poll_hook(mtp_device_t&)
{
    ++g_seen.polls;
}

void event_hook(mtp_device_t&, mtp_event_t code, u32 parameter)
{
    g_seen.events.emplace_back(code, parameter);
}

void battery_hook(mtp_device_t&)
{
    ++g_seen.battery_checks;
}

void check_liveview_hook(mtp_device_t&)
{
    ++g_seen.liveview_checks;
}

bool enable_liveview_hook(mtp_device_t& device, bool on)
{
    ++g_seen.liveview_enables;
    device.liveview.on = on;
    return true;
}

void frame_hook(mtp_device_t&)
{
    ++g_seen.frames;
}

void video_hook(mtp_device_t&)
{
    ++g_seen.video_checks;
}

bool bulb_stop_hook(mtp_device_t&)
{
    ++g_seen.bulb_stops;
    if (g_seen.bulb_stop_failures > 0)
    {
        --g_seen.bulb_stop_failures;
        return false;
    }
    return true;
}

class UpdateTest : public DeviceTest
{
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        g_seen = Seen();
    }
};

// 12:00:00 on the test clock's day, in microseconds.
const i64 kNoon = ptpsim::TestClock::kDefaultWallclock;
} // namespace

TEST_F(UpdateTest, PollPeriodFollowsPowerAndFastPolling)
{
    ASSERT_TRUE(Connect());
    device.hooks.poll = poll_hook;
    struct Case
    {
        const char* why;
        i32 source;
        u8 level;
        bool fast;
        u64 period;
    };
    const Case cases[] = {
        {"battery not full", MTP_POWERSOURCE_BATTERY, 99, false, 1000},
        {"battery not full, fast", MTP_POWERSOURCE_BATTERY, 99, true, 100},
        {"battery full", MTP_POWERSOURCE_BATTERY, 100, false, 100},
        {"battery full, fast", MTP_POWERSOURCE_BATTERY, 100, true, 20},
        {"external power", MTP_POWERSOURCE_EXTERNAL, 0, false, 100},
        {"external power, fast", MTP_POWERSOURCE_EXTERNAL, 0, true, 20},
        {"source not reported", MTP_POWERSOURCE_UNKNOWN, 100, false, 1000},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        device.power.source = c.source;
        device.power.level = c.level;
        device.fast_poll = c.fast;
        countdown_clear(device.poll_countdown);
        u64 before = device.poll_period;
        int polls = g_seen.polls;
        log.Clear();
        Update();
        EXPECT_EQ(g_seen.polls, polls + 1);
        EXPECT_EQ(device.poll_period, c.period);
        EXPECT_EQ(log.Contains("Camera poll timer updated to: " + std::to_string(c.period)), before != c.period);
        // The countdown runs out strictly after the period.
        clock.advance_ms(c.period);
        Update();
        EXPECT_EQ(g_seen.polls, polls + 1);
        clock.advance_us(1);
        Update();
        EXPECT_EQ(g_seen.polls, polls + 2);
    }
}

TEST_F(UpdateTest, NothingRunsWhileTheDeviceIsBusyOrDownloading)
{
    ASSERT_TRUE(Connect());
    device.hooks.poll = poll_hook;
    device.hooks.handle_event = event_hook;
    countdown_clear(device.poll_countdown); // connecting polled already
    camera.send_event(ptpsim::kEvStoreFull);
    camera.drain_events();
    {
        ptpsim::LockHolder holder(device);
        EXPECT_EQ(mtp_device_update(device), 0u);
    }
    device.pending_downloads = 1;
    EXPECT_EQ(mtp_device_update(device), 0u);
    EXPECT_EQ(g_seen.polls, 0);
    EXPECT_TRUE(g_seen.events.empty());
    // The flags wait for a pass that runs.
    device.pending_downloads = 0;
    EXPECT_NE(mtp_device_update(device) & MTP_CHANGE_EVENTS, 0u);
    EXPECT_EQ(g_seen.polls, 1);
    EXPECT_EQ(g_seen.events.size(), 1u);
}

TEST_F(UpdateTest, EventsReachTheVendorInOrderOrAreDropped)
{
    ASSERT_TRUE(Connect());
    struct Case
    {
        const char* why;
        bool hook;
        std::vector<std::pair<u16, std::vector<u32>>> sent;
        std::vector<std::pair<u32, u32>> handled;
        u32 flags; // must be among the returned flags
    };
    const Case cases[] = {
        {"object, unlisted event and capture end, in order",
         true,
         {{ptpsim::kEvObjectAdded, {7}}, {ptpsim::kEvStoreFull, {0x00010001}}, {ptpsim::kEvCaptureComplete, {}}},
         {{0x4002, 7}, {0x400A, 0x00010001}, {0x400D, 0}},
         MTP_CHANGE_EVENTS},
        {"a vendor without handle_event drops them", false, {{ptpsim::kEvObjectAdded, {8}}}, {}, MTP_CHANGE_EVENTS},
        {"cards and properties are not vendor events",
         true,
         {{ptpsim::kEvStoreAdded, {0x00020001}}, {ptpsim::kEvDevicePropChanged, {0x5099}}},
         {},
         MTP_CHANGE_CARDS | MTP_CHANGE_PROPERTIES},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        g_seen.events.clear();
        device.hooks.handle_event = c.hook ? event_hook : nullptr;
        for (const auto& event : c.sent)
            camera.send_event(event.first, event.second);
        u32 flags = Update();
        EXPECT_EQ(flags & c.flags, c.flags);
        EXPECT_EQ(g_seen.events, c.handled);
        // Dropped means gone: a hook set later does not see them.
        device.hooks.handle_event = event_hook;
        Update();
        EXPECT_EQ(g_seen.events, c.handled);
    }
    EXPECT_TRUE(log.Contains("MTP event: ObjectAdded - 7"));
    EXPECT_TRUE(log.Contains("MTP event: CaptureComplete"));
    EXPECT_TRUE(log.Contains("MTP event: DevicePropChanged - 5099 - unknown"));
}

TEST_F(UpdateTest, DeviceInfoChangedIdentifiesTheCameraAgain)
{
    ASSERT_TRUE(Connect());
    struct Case
    {
        const char* why;
        const char* manufacturer;
        const char* model;
        mtp_manufacturer_t maker;
        mtp_protocol_t protocol;
    };
    const Case cases[] = {
        {"now a Ricoh", "RICOH", "RICOH THETA V", MTP_MANUFACTURER_RICOH, MTP_PROTOCOL_GENERIC},
        {"now a Nikon", "Nikon Corporation", "D810", MTP_MANUFACTURER_NIKON, MTP_PROTOCOL_NIKON},
        {"an unknown maker again", "Acme", "Acme Two", MTP_MANUFACTURER_UNKNOWN, MTP_PROTOCOL_GENERIC},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        // State the vendor had set up is reset by the new identification.
        device.hooks.poll = poll_hook;
        device.hooks.handle_event = event_hook;
        device.minor_errors = 3;
        device.jpeg_only = true;
        camera.edit_deviceinfo([&](ptpsim::DeviceInfo& info) {
            info.manufacturer = c.manufacturer;
            info.model = c.model;
        });
        camera.send_event(ptpsim::kEvStoreFull);
        camera.send_event(ptpsim::kEvDeviceInfoChanged);
        // Flags raised earlier in the pass (the event above) are not returned.
        EXPECT_EQ(Update(), static_cast<u32>(MTP_CHANGE_ALL_STATE));
        EXPECT_EQ(device.manufacturer, c.maker);
        EXPECT_EQ(device.protocol, c.protocol);
        EXPECT_NE(device.hooks.poll, &poll_hook);
        EXPECT_NE(device.hooks.handle_event, &event_hook);
        EXPECT_EQ(device.minor_errors, 0);
        EXPECT_FALSE(device.jpeg_only);
        // The property table and camera properties are rebuilt in the same pass.
        EXPECT_EQ(device.properties.num_entries, 5u);
        EXPECT_STREQ(device.cameraproperties[MTP_CAMERAPROPERTY_APERTURE].current_name.str, "5.6");
    }
}

TEST_F(UpdateTest, BatteryIsCheckedOnceAMinuteOrWhenThePowerChanged)
{
    ASSERT_TRUE(Connect());
    device.hooks.check_battery = battery_hook;
    countdown_clear(device.battery_countdown); // connecting checked already
    struct Step
    {
        const char* why;
        u64 advance_ms;
        bool power_flag;
        int checks;
    };
    const Step steps[] = {
        {"the first pass checks", 0, false, 1},
        {"within the minute", 30000, false, 1},
        {"a minute to the microsecond", 30000, false, 1},
        {"past the minute", 1, false, 2},
        {"a power change checks at once", 10, true, 3},
        {"and restarts the minute", 59000, false, 3},
    };
    for (const Step& s : steps)
    {
        SCOPED_TRACE(s.why);
        clock.advance_ms(s.advance_ms);
        if (s.power_flag)
            mtp_device_set_changed(device, MTP_CHANGE_POWER);
        Update();
        EXPECT_EQ(g_seen.battery_checks, s.checks);
    }
}

TEST_F(UpdateTest, LiveViewThatTheCameraDroppedIsSwitchedOnAgain)
{
    ASSERT_TRUE(Connect());
    device.hooks.check_liveview = check_liveview_hook;
    device.hooks.enable_liveview = enable_liveview_hook;
    device.hooks.download_liveview = frame_hook;
    ASSERT_TRUE(mtp_device_enable_liveview(device, true));
    g_seen.liveview_enables = 0;

    struct Step
    {
        const char* why;
        u64 advance_ms;
        bool camera_drops;
        bool capturing;
        int checks;
        int enables;
        int frames;
    };
    const Step steps[] = {
        {"first pass: check and a frame", 0, false, false, 1, 0, 1},
        {"frames every 50 ms", 51, false, false, 1, 0, 2},
        {"not before", 20, false, false, 1, 0, 2},
        {"the camera drops live view during a capture", 990, true, true, 2, 0, 2},
        {"after the capture the next check switches it on", 1001, false, false, 3, 1, 3},
    };
    for (const Step& s : steps)
    {
        SCOPED_TRACE(s.why);
        clock.advance_ms(s.advance_ms);
        if (s.camera_drops)
            device.liveview.on = false;
        device.capture_in_progress = s.capturing;
        Update();
        EXPECT_EQ(g_seen.liveview_checks, s.checks);
        EXPECT_EQ(g_seen.liveview_enables, s.enables);
        EXPECT_EQ(g_seen.frames, s.frames);
    }
    EXPECT_TRUE(device.liveview.on);
    // Not requested: checked every 5 s only.
    ASSERT_TRUE(mtp_device_enable_liveview(device, false));
    clock.advance_ms(1001);
    Update();
    int checks = g_seen.liveview_checks;
    clock.advance_ms(4000);
    Update();
    EXPECT_EQ(g_seen.liveview_checks, checks);
    clock.advance_ms(1001);
    Update();
    EXPECT_EQ(g_seen.liveview_checks, checks + 1);
}

TEST_F(UpdateTest, VideoIsCheckedEverySecondWhileRecording)
{
    ASSERT_TRUE(Connect());
    device.hooks.check_video = video_hook;
    device.video.recording = true;
    const std::pair<u64, int> steps[] = {{0, 1}, {1000, 1}, {1, 2}};
    for (const auto& step : steps)
    {
        clock.advance_ms(step.first);
        Update();
        EXPECT_EQ(g_seen.video_checks, step.second);
    }
    device.video.recording = false;
    clock.advance_ms(1001);
    Update();
    clock.advance_ms(4000);
    Update();
    EXPECT_EQ(g_seen.video_checks, 3);
}

TEST_F(UpdateTest, ABulbExposureEndsAfterItsDurationAndAFailedStopIsRetried)
{
    ASSERT_TRUE(Connect());
    device.hooks.bulb_start = [](mtp_device_t&) { return true; };
    device.hooks.bulb_stop = bulb_stop_hook;
    device.bulb.supported = true; // as the capabilities derive from both hooks
    device.bulb.enabled = true;
    g_seen.bulb_stop_failures = 1;
    ASSERT_TRUE(mtp_device_bulb_capture(device, 2, TIMEUNIT_SECONDS));
    struct Step
    {
        const char* why;
        u64 advance_us;
        int stops;
        bool active;
    };
    const Step steps[] = {
        {"within the exposure", 1999999, 0, true},
        {"exactly two seconds", 1, 0, true},
        {"past it: the stop fails", 1, 1, true},
        {"retried on the next pass", 0, 2, false},
        {"nothing more to stop", 0, 2, false},
    };
    for (const Step& s : steps)
    {
        SCOPED_TRACE(s.why);
        clock.advance_us(s.advance_us);
        Update();
        EXPECT_EQ(g_seen.bulb_stops, s.stops);
        EXPECT_EQ(device.bulb.active, s.active);
    }
}

// --- the camera clock -------------------------------------------------------------------------

TEST_F(UpdateTest, TheClockOffsetIsTheCameraTimeMinusTheComputers)
{
    ASSERT_TRUE(Connect());
    struct Case
    {
        const char* why;
        i64 camera_ahead_us;
        i64 host_fraction_us; // where in its second the computer's clock stands
        i64 offset_ms;
    };
    const Case cases[] = {
        {"one and a half seconds ahead", 1500000, 500000, 1500},
        {"0.9 s behind", -900000, 900000, -900},
        {"in step", 0, 0, 0},
        {"ahead, read early in the second: whole seconds only", 1500000, 200000, 800},
        {"a day behind", -86400000000, 250000, -86400250},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        clock.set_wallclock_us(kNoon + c.host_fraction_us);
        camera.set_clock_offset_us(c.camera_ahead_us);
        device.change_flags.store(0);
        ASSERT_TRUE(mtp_device_get_datetime(device));
        EXPECT_EQ(device.clock_offset, c.offset_ms);
        EXPECT_NE(device.change_flags.load() & MTP_CHANGE_CLOCK, 0u);
    }
    // An unreadable clock keeps the last offset.
    camera.fail(ptpsim::kOpGetDevicePropDesc, ptpsim::kRespGeneralError, 1);
    EXPECT_FALSE(mtp_device_get_datetime(device));
    EXPECT_EQ(device.clock_offset, -86400250);
    // So does a text that is no date.
    ptpsim::DevicePropDesc bad;
    bad.code = ptpsim::kPropDateTime;
    bad.datatype = ptpsim::kStr;
    bad.current = ptpsim::Value::str("yesterday");
    ptpsim::Fault garbage;
    garbage.kind = ptpsim::Fault::Kind::kData;
    garbage.operation = ptpsim::kOpGetDevicePropDesc;
    garbage.data = ptpsim::encode_devicepropdesc(bad).bytes;
    garbage.remaining = 1;
    camera.add_fault(garbage);
    EXPECT_FALSE(mtp_device_get_datetime(device));
    EXPECT_EQ(device.clock_offset, -86400250);
    device.pending_downloads = 1;
    EXPECT_FALSE(mtp_device_get_datetime(device));
    device.pending_downloads = 0;
}

TEST_F(UpdateTest, TheClockCommandIsSentJustBeforeTheSecondItNames)
{
    // Every reading of the wall clock moves it on by a millisecond.
    clock.set_step_us(1000);
    struct Case
    {
        const char* why;
        i64 asked_us;    // fraction of the second when asked
        i64 offset;
        u32 unit;
        i64 named_us;    // the time named, from noon
        i64 sent_us;     // the clock when the wait ended, from noon
    };
    const Case cases[] = {
        {"too close to the turn: the second after next", 990000, 0, TIMEUNIT_MILLISECONDS, 2000000, 1960000},
        {"in the window: at once", 970000, 0, TIMEUNIT_MILLISECONDS, 1000000, 971000},
        {"early: wait until 960 ms", 500000, 0, TIMEUNIT_MILLISECONDS, 1000000, 960000},
        {"plus milliseconds", 500000, 1500, TIMEUNIT_MILLISECONDS, 2500000, 960000},
        {"minus seconds", 500000, -2, TIMEUNIT_SECONDS, -1000000, 960000},
        {"microseconds", 500000, 7, TIMEUNIT_MICROSECONDS, 1000007, 960000},
        {"an unknown unit adds nothing", 500000, 5, 9, 1000000, 960000},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        clock.set_wallclock_us(kNoon + c.asked_us);
        datetime_t named;
        mtp_compute_time_and_wait(named, c.offset, static_cast<timeunit_t>(c.unit));
        EXPECT_EQ(named.ticks, kNoon + c.named_us);
        EXPECT_EQ(clock.wallclock_us(), kNoon + c.sent_us);
    }
}

TEST_F(UpdateTest, SettingTheClockWritesDateTimeAndReadsItBack)
{
    ASSERT_TRUE(Connect());
    clock.set_step_us(1000);
    struct Case
    {
        const char* why;
        i64 offset_ms;
        const char* written;
    };
    const Case cases[] = {
        {"the computer's time", 0, "20240301T120001"},
        {"an hour ahead", 3600000, "20240301T130001"},
        {"two seconds behind", -2000, "20240301T115959"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        clock.set_wallclock_us(kNoon + 500000);
        log.Clear();
        ASSERT_TRUE(mtp_device_set_datetime(device, c.offset_ms, TIMEUNIT_MILLISECONDS));
        ASSERT_FALSE(camera.datetime_writes().empty());
        EXPECT_EQ(camera.datetime_writes().back(), c.written);
        EXPECT_TRUE(log.Contains("Sent clock command at: 12:00:00.96"));
        // Read back at once: the camera is now ahead by the asked offset,
        // give or take the 40 ms the command was early.
        EXPECT_NEAR(static_cast<double>(device.clock_offset), static_cast<double>(c.offset_ms), 100.0);
    }
    // A camera that refuses the clock, or has none, answers false.
    camera.fail(ptpsim::kOpSetDevicePropValue, 0x201C, 1);
    EXPECT_FALSE(mtp_device_set_datetime(device, 0, TIMEUNIT_MILLISECONDS));
    camera.remove_property(ptpsim::kPropDateTime);
    mtp_device_lock(device);
    ASSERT_TRUE(mtp_device_read_deviceinfo(device));
    mtp_device_unlock(device);
    size_t writes = camera.datetime_writes().size();
    EXPECT_FALSE(mtp_device_set_datetime(device, 0, TIMEUNIT_MILLISECONDS));
    EXPECT_EQ(camera.datetime_writes().size(), writes);
}

TEST_F(UpdateTest, ConnectSetsTheClockWhenTheContextAsks)
{
    clock.set_step_us(1000);
    clock.set_wallclock_us(kNoon + 100000);
    camera.set_clock_offset_us(-3600000000); // an hour behind
    mtp_context_auto_sync_time(context, true);
    ASSERT_TRUE(Connect());
    ASSERT_EQ(camera.datetime_writes().size(), 1u);
    EXPECT_EQ(camera.datetime_writes()[0], "20240301T120001");
    EXPECT_NEAR(static_cast<double>(device.clock_offset), 0.0, 100.0);
}

// Events delivered by the pump thread while the camera thread keeps updating:
// nothing is lost and nothing races (run under ThreadSanitizer too).
TEST_F(UpdateTest, EventsFromThePumpThreadMeetConcurrentUpdates)
{
    ASSERT_TRUE(Connect());
    device.hooks.handle_event = event_hook;
    device.hooks.poll = poll_hook;
    const int kEvents = 300;
    std::thread sender([this] {
        for (int i = 0; i < kEvents; ++i)
        {
            camera.send_event(ptpsim::kEvStoreFull, {static_cast<u32>(i)});
            camera.send_event(ptpsim::kEvDevicePropChanged, {ptpsim::kPropFNumber});
            camera.send_event(ptpsim::kEvStoreAdded);
        }
    });
    u32 flags = 0;
    for (int pass = 0; pass < 2000 && g_seen.events.size() < static_cast<size_t>(kEvents); ++pass)
    {
        flags |= mtp_device_update(device);
        clock.advance_ms(5);
        if (pass % 100 == 99)
            camera.drain_events();
    }
    sender.join();
    flags |= Update();
    ASSERT_EQ(g_seen.events.size(), static_cast<size_t>(kEvents));
    for (int i = 0; i < kEvents; ++i)
        EXPECT_EQ(g_seen.events[i].second, static_cast<u32>(i));
    EXPECT_EQ(flags & (MTP_CHANGE_EVENTS | MTP_CHANGE_PROPERTIES | MTP_CHANGE_CARDS),
              static_cast<u32>(MTP_CHANGE_EVENTS | MTP_CHANGE_PROPERTIES | MTP_CHANGE_CARDS));
    EXPECT_EQ(device.property_queue.count, 0u);
    EXPECT_EQ(camera.num_events_delivered(), static_cast<size_t>(3 * kEvents));
}

TEST_F(UpdateTest, LiveViewFramesKeepTheirRateOnPassesThatDoNotDivideTheInterval)
{
    ASSERT_TRUE(Connect());
    device.hooks.download_liveview = frame_hook;
    device.hooks.enable_liveview = enable_liveview_hook;
    ASSERT_TRUE(mtp_device_enable_liveview(device, true));

    // Three seconds and a half of passes: the frames the rate asks for, never
    // more than one a pass, and a stalled pass is not made up with a burst.
    struct Case
    {
        i32 fps;
        u64 pass_ms;
        int passes;
        int least;
        int most;
    };
    const Case cases[] = {
        {20, 34, 103, 69, 71}, // 50 ms frames on the camera thread's 34 ms passes
        {10, 34, 103, 34, 36},
        {20, 50, 70, 69, 71},
        {30, 34, 103, 103, 103}, // faster than the passes: one frame each
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE("fps " + std::to_string(c.fps) + " pass " + std::to_string(c.pass_ms));
        device.liveview.frames_per_second = c.fps;
        clock.advance_ms(1000);
        Update(); // a frame now; the count starts after it
        g_seen.frames = 0;
        for (int i = 0; i < c.passes; ++i)
        {
            clock.advance_ms(c.pass_ms);
            Update();
        }
        EXPECT_GE(g_seen.frames, c.least);
        EXPECT_LE(g_seen.frames, c.most);
    }

    device.liveview.frames_per_second = 20;
    clock.advance_ms(1000);
    Update();
    g_seen.frames = 0;
    clock.advance_ms(700); // a stall of 14 intervals
    Update();
    clock.advance_ms(34);
    Update();
    clock.advance_ms(34);
    Update();
    EXPECT_EQ(g_seen.frames, 2); // the stalled pass, then the next due one
}
