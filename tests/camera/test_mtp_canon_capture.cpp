// The Canon EOS extension acting on the camera, against the responder's Canon
// body: the release sequence and its failures, the shutter button from every
// state, bulb exposures, autofocus by DoAf and by half press with their time
// limit, the capture time limit, live view on and off with frames decoded
// (zoom, position, focus, zoom area, sensor size, malformed blocks), zoom and
// lens steps, the depth-of-field preview and movie recording.
#include "test_mtp_canon_rig.h"

using namespace orvo;
using canon_test::Rig;
using ptpsim::Bytes;
using ptpsim::Encoder;

namespace
{
Bytes jpeg_block(uint8_t seed)
{
    return ptpsim::canon_viewfinder_block(1, {0xFF, 0xD8, seed, 0x00, 0xFF, 0xD9});
}

Bytes block(uint32_t type, std::initializer_list<uint32_t> words)
{
    Encoder e;
    for (uint32_t w : words)
        e.u32(w);
    return ptpsim::canon_viewfinder_block(type, e.take());
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

void decode(Rig& rig, const Bytes& bytes)
{
    mtp_buffer_t buffer = {const_cast<u8*>(bytes.data()), bytes.size(), bytes.size(), false};
    mtp_device_lock(rig.device);
    mtp_canon_liveview_decode(rig.device, buffer, 0);
    mtp_device_unlock(rig.device);
}
} // namespace

// --- release and shutter button -------------------------------------------------------------------

TEST(CanonCapture, TheReleasePressesAndLetsGoOfTheButtonInSteps)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    rig.camera.reset_calls();
    ASSERT_TRUE(mtp_device_capture(rig.device));
    EXPECT_EQ(rig.camera.calls(ptpsim::kOpCanonRemoteReleaseOn), 2);
    EXPECT_EQ(rig.camera.calls(ptpsim::kOpCanonRemoteReleaseOff), 2);
    EXPECT_EQ(rig.camera.last_parameters(ptpsim::kOpCanonRemoteReleaseOff), std::vector<uint32_t>{1});
    EXPECT_EQ(rig.State().shutter_state, MTP_SHUTTERBUTTON_RELEASED);
    EXPECT_TRUE(rig.device.capture_in_progress);
    EXPECT_TRUE(rig.device.fast_poll);
    EXPECT_EQ(rig.camera.shots(), 1);
    // The capture ends with the photo's record.
    rig.Update();
    EXPECT_FALSE(rig.device.capture_in_progress);
    EXPECT_FALSE(rig.device.fast_poll);
}

TEST(CanonCapture, AFailedStepLeavesTheButtonWhereItGotTo)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    ptpsim::Fault second;
    second.operation = ptpsim::kOpCanonRemoteReleaseOn;
    second.match_parameter = true;
    second.parameter = 2;
    second.remaining = 1;
    rig.camera.add_fault(second);
    EXPECT_FALSE(mtp_device_capture(rig.device));
    EXPECT_EQ(rig.State().shutter_state, MTP_SHUTTERBUTTON_HALF);
    EXPECT_FALSE(rig.device.capture_in_progress);
    rig.camera.reset_calls();
    ASSERT_TRUE(mtp_device_shutterbutton(rig.device, MTP_SHUTTERBUTTON_RELEASED));
    EXPECT_EQ(rig.camera.calls(ptpsim::kOpCanonRemoteReleaseOn), 0);
    EXPECT_EQ(rig.camera.calls(ptpsim::kOpCanonRemoteReleaseOff), 1);
    EXPECT_EQ(rig.camera.last_parameters(ptpsim::kOpCanonRemoteReleaseOff), std::vector<uint32_t>{1});
}

TEST(CanonCapture, TheShutterButtonMovesFromAnyStateToAnyOther)
{
    struct Case
    {
        i32 from;
        mtp_shutterbutton_t to;
        std::vector<std::pair<u16, u32>> sent; // operation and button, in order
    };
    const u16 on = ptpsim::kOpCanonRemoteReleaseOn;
    const u16 off = ptpsim::kOpCanonRemoteReleaseOff;
    const Case cases[] = {
        {0, MTP_SHUTTERBUTTON_RELEASED, {}},
        {0, MTP_SHUTTERBUTTON_HALF, {{on, 1}}},
        {0, MTP_SHUTTERBUTTON_FULL, {{on, 1}, {on, 2}}},
        {1, MTP_SHUTTERBUTTON_RELEASED, {{off, 1}}},
        {1, MTP_SHUTTERBUTTON_FULL, {{on, 2}}},
        {2, MTP_SHUTTERBUTTON_HALF, {{off, 2}}},
        {2, MTP_SHUTTERBUTTON_RELEASED, {{off, 2}, {off, 1}}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.from) + " to " + std::to_string(c.to));
        Rig rig;
        ASSERT_TRUE(rig.Connect());
        rig.State().shutter_state = c.from;
        rig.camera.reset_calls();
        ASSERT_TRUE(mtp_device_shutterbutton(rig.device, c.to));
        EXPECT_EQ(rig.State().shutter_state, static_cast<i32>(c.to));
        int ons = 0, offs = 0;
        for (const auto& step : c.sent)
            (step.first == on ? ons : offs) += 1;
        EXPECT_EQ(rig.camera.calls(on), ons);
        EXPECT_EQ(rig.camera.calls(off), offs);
        if (!c.sent.empty())
        {
            EXPECT_EQ(rig.camera.last_parameters(c.sent.back().first)[0], c.sent.back().second);
        }
    }
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    rig.State().shutter_state = 7;
    EXPECT_FALSE(mtp_device_shutterbutton(rig.device, MTP_SHUTTERBUTTON_HALF));
}

TEST(CanonCapture, ALegacyBodyReleasesWithRemoteRelease)
{
    Rig rig;
    rig.camera.unlist_operations({ptpsim::kOpCanonRemoteReleaseOn, ptpsim::kOpCanonRemoteReleaseOff});
    ASSERT_TRUE(rig.Connect());
    ASSERT_TRUE(mtp_device_capture(rig.device));
    EXPECT_EQ(rig.camera.calls(ptpsim::kOpCanonRemoteRelease), 1);
    EXPECT_TRUE(rig.device.capture_in_progress);
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.recorder.num_finished() == 1; }));
}

TEST(CanonCapture, ACaptureWhosePhotoNeverComesEndsAtItsLimit)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    ASSERT_TRUE(mtp_device_capture(rig.device));
    // The body loses the shot: no record ever arrives.
    rig.camera.set_next_event_data(ptpsim::canon_terminator());
    rig.Update();
    ASSERT_TRUE(rig.device.capture_in_progress);
    rig.clock.advance_us(MTP_CANON_CAPTURE_LIMIT_US);
    rig.camera.set_next_event_data(ptpsim::canon_terminator());
    rig.Update();
    EXPECT_TRUE(rig.device.capture_in_progress); // at the limit, not past it
    rig.clock.advance_us(1);
    rig.camera.set_next_event_data(ptpsim::canon_terminator());
    EXPECT_NE(rig.Update() & MTP_CHANGE_CAPTURE, 0u);
    EXPECT_FALSE(rig.device.capture_in_progress);
    EXPECT_TRUE(rig.device.capture_failed);
    EXPECT_FALSE(rig.device.fast_poll);
    EXPECT_TRUE(rig.log.Contains("Canon capture timed out"));
}

TEST(CanonCapture, ABulbExposureIsHeldOnTheButton)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    rig.camera.set_u32(ptpsim::kCanonShutterSpeed, 12); // Bulb
    rig.Update();
    ASSERT_TRUE(rig.device.bulb.enabled);
    ASSERT_TRUE(mtp_device_bulb_capture(rig.device, 2, TIMEUNIT_SECONDS));
    EXPECT_EQ(rig.State().shutter_state, MTP_SHUTTERBUTTON_FULL);
    EXPECT_EQ(rig.camera.shots(), 0);
    rig.clock.advance_ms(2001);
    rig.Update();
    EXPECT_FALSE(rig.device.bulb.active);
    EXPECT_EQ(rig.State().shutter_state, MTP_SHUTTERBUTTON_RELEASED);
    EXPECT_EQ(rig.camera.shots(), 1);
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.recorder.num_finished() == 1; }));
}

// --- autofocus ---------------------------------------------------------------------------------------

TEST(CanonCapture, AutofocusEndsOnItsReportOrAfterFourSeconds)
{
    struct Case
    {
        const char* why;
        bool doaf;          // the body lists DoAf
        int focus_result;   // -1: never reported
        u64 wait_us;        // before the poll that must end it
        bool succeeded;
        u16 release;        // the operation that lets go of the focus
    };
    const Case cases[] = {
        {"DoAf reported through FocusInfoEx", true, 1, 0, true, ptpsim::kOpCanonAfCancel},
        {"DoAf never reported", true, -1, MTP_CANON_AUTOFOCUS_LIMIT_US + 1, false, ptpsim::kOpCanonAfCancel},
        {"a half press never reported", false, -1, MTP_CANON_AUTOFOCUS_LIMIT_US + 1, true,
         ptpsim::kOpCanonRemoteReleaseOff},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        if (!c.doaf)
            rig.camera.unlist_operations({ptpsim::kOpCanonDoAf});
        rig.camera.set_focus_result(c.focus_result);
        ASSERT_TRUE(rig.Connect());
        ASSERT_TRUE(mtp_device_focus(rig.device));
        EXPECT_TRUE(rig.device.autofocus.in_progress);
        EXPECT_TRUE(rig.device.fast_poll);
        if (c.wait_us)
        {
            rig.clock.advance_us(c.wait_us - 1);
            rig.Update();
            EXPECT_TRUE(rig.device.autofocus.in_progress) << "not yet past the limit";
            rig.clock.advance_us(1);
        }
        rig.camera.reset_calls();
        EXPECT_NE(rig.Update() & MTP_CHANGE_AUTOFOCUS, 0u);
        EXPECT_FALSE(rig.device.autofocus.in_progress);
        EXPECT_EQ(rig.device.autofocus.succeeded, c.succeeded);
        EXPECT_FALSE(rig.device.fast_poll);
        EXPECT_EQ(rig.camera.calls(c.release), 1);
        EXPECT_EQ(rig.device.autofocus_countdown.timer.start, 0u);
        EXPECT_EQ(rig.State().shutter_state, MTP_SHUTTERBUTTON_RELEASED);
    }
}

TEST(CanonCapture, ManualFocusSendsNothing)
{
    struct Case
    {
        const char* why;
        bool doaf;
    };
    for (const Case& c : {Case{"DoAf", true}, Case{"half press", false}})
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        if (!c.doaf)
            rig.camera.unlist_operations({ptpsim::kOpCanonDoAf});
        rig.camera.set_u32(ptpsim::kCanonFocusMode, 3, {}, false);
        ASSERT_TRUE(rig.Connect());
        rig.camera.reset_calls();
        EXPECT_FALSE(mtp_device_focus(rig.device));
        EXPECT_EQ(rig.camera.calls(ptpsim::kOpCanonDoAf) + rig.camera.calls(ptpsim::kOpCanonRemoteReleaseOn), 0);
        EXPECT_FALSE(rig.device.autofocus.in_progress);
    }
}

TEST(CanonCapture, AFailedDoAfFallsBackToTheHalfPress)
{
    Rig rig;
    rig.camera.set_focus_result(-1);
    ASSERT_TRUE(rig.Connect());
    rig.camera.fail(ptpsim::kOpCanonDoAf, ptpsim::kRespGeneralError, 1);
    ASSERT_TRUE(mtp_device_focus(rig.device));
    EXPECT_FALSE(rig.State().autofocus_by_doaf);
    EXPECT_EQ(rig.State().shutter_state, MTP_SHUTTERBUTTON_HALF);
    EXPECT_EQ(rig.device.minor_errors, 0);
    EXPECT_FALSE(rig.log.Contains("Canon_DoAf - General_Error"));
}

TEST(CanonCapture, DisconnectingCancelsAFocusAndReleasesTheButton)
{
    Rig rig;
    rig.camera.set_focus_result(-1);
    ASSERT_TRUE(rig.Connect());
    ASSERT_TRUE(mtp_device_focus(rig.device));
    rig.State().shutter_state = MTP_SHUTTERBUTTON_HALF;
    rig.camera.reset_calls();
    mtp_device_disconnect(rig.device);
    EXPECT_EQ(rig.camera.calls(ptpsim::kOpCanonAfCancel), 1);
    EXPECT_EQ(rig.camera.calls(ptpsim::kOpCanonRemoteReleaseOff), 1);
    EXPECT_FALSE(rig.device.autofocus.in_progress);
    EXPECT_FALSE(rig.device.autofocus.succeeded);
}

// --- live view ----------------------------------------------------------------------------------------

TEST(CanonLiveView, SwitchingOnAndOffWritesTheOutputDevice)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    ASSERT_TRUE(mtp_device_enable_liveview(rig.device, true));
    EXPECT_EQ(rig.camera.u32(ptpsim::kCanonEVFOutputDevice), 2u);
    EXPECT_EQ(rig.camera.u32(ptpsim::kCanonLvAfSystem), 1u);
    EXPECT_TRUE(rig.device.liveview.requested);
    rig.Update();
    EXPECT_TRUE(rig.device.liveview.on);
    EXPECT_EQ(rig.device.liveview.frame.num_bytes, 6u + 9u);
    // Switching on again sends nothing.
    rig.camera.reset_calls();
    ASSERT_TRUE(mtp_device_enable_liveview(rig.device, true));
    EXPECT_EQ(rig.camera.calls(ptpsim::kOpCanonSetDevicePropValueEx), 0);

    // Switching off while focusing ends the focus unsuccessfully.
    rig.camera.set_focus_result(-1);
    ASSERT_TRUE(mtp_device_focus(rig.device));
    ASSERT_TRUE(mtp_device_enable_liveview(rig.device, false));
    EXPECT_EQ(rig.camera.u32(ptpsim::kCanonEVFOutputDevice), 0u);
    EXPECT_FALSE(rig.device.autofocus.in_progress);
    EXPECT_FALSE(rig.device.autofocus.succeeded);
    rig.Update();
    EXPECT_FALSE(rig.device.liveview.on);
}

TEST(CanonLiveView, LiveViewNotReadyIsNeitherLoggedNorCounted)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    ASSERT_TRUE(mtp_device_enable_liveview(rig.device, true));
    rig.Update();
    rig.camera.fail(ptpsim::kOpCanonGetViewFinderData, ptpsim::kRespCanonNotReady, 3);
    rig.log.Clear();
    u32 version = rig.device.liveview.frame_version.version;
    for (int i = 0; i < 3; ++i)
    {
        rig.clock.advance_ms(60);
        rig.Update();
    }
    EXPECT_EQ(rig.device.liveview.frame_version.version, version);
    EXPECT_EQ(rig.device.minor_errors, 0);
    EXPECT_FALSE(mtp_device_has_failed(rig.device));
    EXPECT_EQ(rig.log.Count("Canon_GetViewFinderData"), 0u);
}

TEST(CanonLiveView, FramesGiveTheZoomAreaInSensorPixels)
{
    struct Case
    {
        const char* why;
        Bytes frame;
        bool zoomed;
        i32 width, height;
        mtp_rectangle_t area;
    };
    const Case cases[] = {
        {"zoomed without area or sensor blocks: the model's size and a fifth of it",
         concat({jpeg_block(1), block(4, {5}), block(5, {1000, 500})}),
         true,
         5760,
         3840,
         {1000, 2572, 2152, 3340}},
        {"not zoomed: the whole frame", concat({jpeg_block(1), block(4, {1}), block(5, {1000, 500})}), false, 5760,
         3840, {0, 0, 5760, 3840}},
        {"the camera's own area and sensor size",
         concat({jpeg_block(1), block(4, {10}), block(13, {100, 200, 600, 400}), block(14, {6000, 4000})}),
         true,
         6000,
         4000,
         {100, 3400, 700, 3800}},
        {"area words beyond what an int holds are clamped, not overflowed",
         concat({jpeg_block(1), block(4, {10}), block(13, {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}),
                 block(14, {6000, 4000})}),
         true,
         6000,
         4000,
         {INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        ASSERT_TRUE(rig.Connect());
        decode(rig, c.frame);
        EXPECT_EQ(rig.device.liveview.zoomed, c.zoomed);
        EXPECT_EQ(rig.device.liveview.frame_width, c.width);
        EXPECT_EQ(rig.device.liveview.frame_height, c.height);
        const mtp_rectangle_t& area = rig.device.liveview.zoom_area;
        EXPECT_EQ(area.left, c.area.left);
        EXPECT_EQ(area.top, c.area.top);
        EXPECT_EQ(area.right, c.area.right);
        EXPECT_EQ(area.bottom, c.area.bottom);
        EXPECT_EQ(rig.device.liveview.frame.num_bytes, 6u);
        // The same frame again is only a new frame.
        rig.TakeFlags();
        decode(rig, c.frame);
        EXPECT_EQ(rig.TakeFlags(), static_cast<u32>(MTP_CHANGE_LIVEVIEW_FRAME));
    }
}

TEST(CanonLiveView, EveryBlockIsBoundedByTheBytesThere)
{
    struct Case
    {
        const char* why;
        Bytes frame;
        size_t frame_bytes; // of the frame kept
        bool new_frame;
    };
    Bytes frame = jpeg_block(7);
    Bytes zero = Encoder().u32(0).u32(1).u32(0).take();
    Bytes beyond = Encoder().u32(4000).u32(1).u32(0x11223344).take();
    const Case cases[] = {
        {"a block of size 0 ends the decoding", concat({frame, zero, jpeg_block(8)}), 6, true},
        {"a block larger than the data ends it", concat({frame, beyond}), 6, true},
        {"a first block larger than the data leaves the frame as it was", beyond, 15, false},
        {"a focus block too short is skipped", concat({ptpsim::canon_viewfinder_block(8, {1}), frame}), 6, true},
        {"fewer than 8 bytes hold no block", Bytes{1, 2, 3}, 15, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        ASSERT_TRUE(rig.Connect());
        ASSERT_TRUE(mtp_device_enable_liveview(rig.device, true));
        rig.Update(); // one real frame of 15 bytes first
        ASSERT_EQ(rig.device.liveview.frame.num_bytes, 15u);
        rig.TakeFlags();
        decode(rig, c.frame);
        EXPECT_EQ(rig.device.liveview.frame.num_bytes, c.frame_bytes);
        EXPECT_EQ((rig.TakeFlags() & MTP_CHANGE_LIVEVIEW_FRAME) != 0, c.new_frame);
    }
}

TEST(CanonLiveView, TheFocusBlockEndsARunningAutofocus)
{
    Rig rig;
    rig.camera.set_focus_result(-1);
    ASSERT_TRUE(rig.Connect());
    ASSERT_TRUE(mtp_device_focus(rig.device));
    decode(rig, concat({jpeg_block(1), ptpsim::canon_viewfinder_block(8, {0, 0, 0, 0})}));
    EXPECT_TRUE(rig.device.autofocus.in_progress);
    decode(rig, concat({jpeg_block(1), ptpsim::canon_viewfinder_block(8, {1, 0, 0, 0})}));
    EXPECT_FALSE(rig.device.autofocus.in_progress);
    EXPECT_TRUE(rig.device.autofocus.succeeded);
    // Fast polling and the countdown are left to the poll.
    EXPECT_TRUE(rig.device.fast_poll);
}

TEST(CanonLiveView, ZoomPositionAndLensStepsHaveTheirConditions)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    EXPECT_FALSE(mtp_device_zoom_liveview(rig.device, true)); // live view off
    ASSERT_TRUE(mtp_device_enable_liveview(rig.device, true));
    rig.Update();
    rig.State().camera_status = 1;
    EXPECT_FALSE(mtp_device_zoom_liveview(rig.device, true));
    rig.State().camera_status = 0;
    EXPECT_FALSE(mtp_device_move_liveview(rig.device, 10, 10)); // not zoomed
    ASSERT_TRUE(mtp_device_zoom_liveview(rig.device, true));
    EXPECT_TRUE(rig.camera.zoomed());
    rig.clock.advance_ms(60);
    rig.Update();
    ASSERT_TRUE(rig.device.liveview.zoomed);
    rig.State().zoom_x = 100;
    rig.State().zoom_y = 20;
    ASSERT_TRUE(mtp_device_move_liveview(rig.device, 50, -50));
    EXPECT_EQ(rig.camera.zoom_position(), std::make_pair(150u, 0u));

    struct Step
    {
        i32 step;
        bool ok;
        u32 sent;
    };
    const Step steps[] = {{1, true, 1}, {3, true, 3}, {-1, true, 0x8001}, {-3, true, 0x8003}, {0, false, 0},
                          {4, false, 0}, {-4, false, 0}};
    for (const Step& s : steps)
    {
        SCOPED_TRACE(s.step);
        rig.camera.reset_calls();
        EXPECT_EQ(mtp_device_focus_liveview(rig.device, s.step), s.ok);
        EXPECT_EQ(rig.camera.calls(ptpsim::kOpCanonDriveLens), s.ok ? 1 : 0);
        if (s.ok)
        {
            EXPECT_EQ(rig.camera.last_parameters(ptpsim::kOpCanonDriveLens)[0], s.sent);
        }
    }
}

// --- preview and movies -----------------------------------------------------------------------------------

TEST(CanonLiveView, TheDepthOfFieldPreviewFollowsTheCamera)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    ASSERT_TRUE(mtp_device_enable_dof(rig.device, true));
    EXPECT_EQ(rig.camera.u32(ptpsim::kCanonDepthOfFieldPreview), 1u);
    EXPECT_TRUE(rig.device.liveview.dof_on);
    rig.Update(); // the camera reports its new value
    ASSERT_TRUE(mtp_device_enable_dof(rig.device, false));
    EXPECT_EQ(rig.camera.u32(ptpsim::kCanonDepthOfFieldPreview), 0u);
    EXPECT_FALSE(rig.device.liveview.dof_on);
}

TEST(CanonLiveView, AMovieRecordsToTheCardWithLiveViewOn)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    ASSERT_EQ(rig.camera.u32(ptpsim::kCanonCaptureDestination), 4u);
    ASSERT_FALSE(rig.device.liveview.on);
    ASSERT_TRUE(mtp_device_enable_video(rig.device, true));
    EXPECT_EQ(rig.camera.u32(ptpsim::kCanonCaptureDestination), 1u);
    EXPECT_EQ(rig.camera.u32(ptpsim::kCanonEVFOutputDevice), 2u);
    EXPECT_EQ(rig.camera.u32(ptpsim::kCanonEVFRecordStatus), 4u);
    EXPECT_TRUE(rig.device.video.recording);
    EXPECT_TRUE(rig.device.video.vendor_flag1);
    EXPECT_TRUE(rig.State().movie_storage);
    rig.Update();
    EXPECT_FALSE(rig.device.cameraproperties[MTP_CAMERAPROPERTY_STORAGEMODE].supported);

    ASSERT_TRUE(mtp_device_enable_video(rig.device, false));
    EXPECT_EQ(rig.camera.u32(ptpsim::kCanonEVFRecordStatus), 0u);
    EXPECT_FALSE(rig.device.video.recording);
    EXPECT_FALSE(rig.State().movie_storage);
    // The storage value is read again from the camera.
    const mtp_devicepropdesc_t* desc = hashtable_find(rig.device.properties, 0xD11Cu);
    ASSERT_NE(desc, nullptr);
    EXPECT_TRUE(desc->value_due);
    EXPECT_TRUE(desc->description_due);
    rig.Update();
    EXPECT_TRUE(rig.device.cameraproperties[MTP_CAMERAPROPERTY_STORAGEMODE].supported);
}

TEST(CanonLiveView, TheMovieCheckFollowsTheRecordStatus)
{
    struct Case
    {
        const char* why;
        u32 status;
        u32 mode;
        bool recording;
        bool supported;
    };
    const Case cases[] = {
        {"recording", 4, 1, true, true},
        {"ready", 3, 1, false, true},
        {"movie mode", 0, 2, false, true},
        {"stills", 0, 1, false, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        ASSERT_TRUE(rig.Connect());
        rig.camera.set_u32(ptpsim::kCanonEVFRecordStatus, c.status);
        rig.camera.set_u32(ptpsim::kCanonEVFMode, c.mode);
        rig.Update();
        mtp_device_lock(rig.device);
        mtp_canon_check_video(rig.device);
        mtp_device_unlock(rig.device);
        EXPECT_EQ(rig.device.video.recording, c.recording);
        EXPECT_EQ(rig.device.video.supported, c.supported);
    }
}
