// Nikon live view and movies against the responder's bodies: the header
// decoded at each model's offset, the JPEG offset search, frames too short for
// their header, zoom by the model's ratio (an empty list included), the AF
// area saved and restored, manual-focus steps, moving the focus area, the
// exposure preview, the storage moved for live view, and movies that wait for
// the camera to become ready.
#include "support/ptpsim/ptpsim_nikon_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace orvo;
using ptpsim::NikonTest;

namespace
{
// The 6016x4016 sensor showing a 752x502 area around its centre.
ptpsim::NikonFrameHeader sensor_header()
{
    ptpsim::NikonFrameHeader header;
    header.width = 6016;
    header.height = 4016;
    header.area_width = 752;
    header.area_height = 502;
    header.centre_x = 3008;
    header.centre_y = 2008;
    return header;
}

std::string frame_text(const mtp_device_t& device)
{
    const memorybuffer_t& frame = device.liveview.frame;
    return std::string(reinterpret_cast<const char*>(frame.data), frame.num_bytes);
}

bool is_jpeg(const std::string& bytes)
{
    return bytes.size() >= 4 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
           static_cast<unsigned char>(bytes[1]) == 0xD8 &&
           static_cast<unsigned char>(bytes[bytes.size() - 2]) == 0xFF &&
           static_cast<unsigned char>(bytes[bytes.size() - 1]) == 0xD9;
}
} // namespace

// --- frames ---------------------------------------------------------------------------------

class NikonFrames : public NikonTest, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(NikonFrames, HeaderIsDecodedAtTheModelsOffset)
{
    ASSERT_TRUE(Use(GetParam()));
    nikon->set_frame_header(sensor_header());
    ASSERT_TRUE(mtp_device_enable_liveview(device, true));
    EXPECT_TRUE(nikon->liveview_on());
    version_t before = device.liveview.frame_version;
    u32 flags = Step();
    EXPECT_TRUE(flags & MTP_CHANGE_LIVEVIEW_FRAME);
    EXPECT_TRUE(flags & MTP_CHANGE_LIVEVIEW);
    EXPECT_EQ(device.liveview.frame_width, 6016);
    EXPECT_EQ(device.liveview.frame_height, 4016);
    const mtp_rectangle_t& area = device.liveview.zoom_area;
    EXPECT_EQ(area.left, 2632);
    EXPECT_EQ(area.top, 1757);
    EXPECT_EQ(area.right, 3384);
    EXPECT_EQ(area.bottom, 2259);
    EXPECT_NE(device.liveview.frame_version.version, before.version);
    std::string frame = frame_text(device);
    EXPECT_EQ(frame.size(), 4096u);
    EXPECT_TRUE(is_jpeg(frame));
    EXPECT_EQ(device.liveview.frame.data[frame.size()], 0); // the zero byte after it
    EXPECT_FALSE(log.Contains("Liveview offset is invalid"));

    // The same picture again: only a new frame, no change of the live view.
    flags = Step();
    EXPECT_TRUE(flags & MTP_CHANGE_LIVEVIEW_FRAME);
    EXPECT_FALSE(flags & MTP_CHANGE_LIVEVIEW);
}

INSTANTIATE_TEST_SUITE_P(Models, NikonFrames, ::testing::Values("D810", "D4", "D3x", "D500", "D5100", "D3200"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

TEST_F(NikonTest, JpegOffsetIsSearchedWhenTheModelsOffsetHoldsNone)
{
    ASSERT_TRUE(Use("D810"));
    nikon->set_frame_header(sensor_header());
    ASSERT_TRUE(mtp_device_enable_liveview(device, true));
    Step();
    EXPECT_EQ(State().liveview_jpeg_offset, 384);
    EXPECT_FALSE(log.Contains("Liveview offset is invalid"));

    nikon->set_frame_jpeg_offset(376);
    Step();
    EXPECT_TRUE(log.Contains("Liveview offset is invalid"));
    EXPECT_TRUE(log.Contains("Liveview offset found at: 376"));
    EXPECT_EQ(State().liveview_jpeg_offset, 376);
    std::string frame = frame_text(device);
    EXPECT_EQ(frame.size(), 4096u);
    EXPECT_TRUE(is_jpeg(frame));
    EXPECT_EQ(device.liveview.frame_width, 6016);

    // Later frames are only verified at the found offset.
    log.Clear();
    Step();
    EXPECT_FALSE(log.Contains("Liveview offset"));
}

TEST_F(NikonTest, FrameWithoutAnImageKeepsSearching)
{
    ASSERT_TRUE(Use("D810"));
    nikon->set_frame_jpeg_offset(600); // beyond the 512 positions searched
    ASSERT_TRUE(mtp_device_enable_liveview(device, true));
    Step();
    EXPECT_TRUE(log.Contains("Liveview offset is invalid"));
    EXPECT_FALSE(log.Contains("Liveview offset found at"));
    EXPECT_EQ(State().liveview_jpeg_offset, 0);
    log.Clear();
    Step();
    EXPECT_TRUE(log.Contains("Liveview offset is invalid"));
}

TEST_F(NikonTest, HeaderIsReadOnlyWhenTheFrameHoldsAllOfIt)
{
    struct Case
    {
        const char* name;
        i32 header_offset;
        i32 jpeg_offset;
        size_t length;
        bool header_read;
        size_t frame_bytes; // 0: the frame is not stored
    };
    const Case cases[] = {
        {"frame ends inside the header", 8, 20, 45, false, 25},
        {"frame ends with the header", 8, 20, 50, true, 30},
        {"header at 0, frame of 41 bytes", 0, 10, 41, false, 31},
        {"header at 0, frame of 42 bytes", 0, 10, 42, true, 32},
        // No image anywhere: the block is shown from 0, header and all.
        {"JPEG offset at the end of the frame", 0, 64, 64, true, 64},
        {"empty frame", 8, 384, 0, false, 0},
    };
    ASSERT_TRUE(mtp_device_initialise(device, nullptr, mtp_device_callbacks_t{}));
    initialised = true;
    mtp_nikon_state_t state = {};
    device.vendor_state = &state;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        state.liveview_header_offset = c.header_offset;
        state.liveview_jpeg_offset = c.jpeg_offset;
        device.liveview.frame_width = 0;
        memorybuffer_set(device.liveview.frame, nullptr, 0);
        ptpsim::NikonFrameHeader header = sensor_header();
        ptpsim::Bytes bytes = ptpsim::nikon_liveview_frame(header, static_cast<uint32_t>(c.header_offset),
                                                           static_cast<uint32_t>(c.jpeg_offset), 64, 1);
        bytes.resize(c.length);
        // Exactly the frame's bytes, so that reading past them is caught.
        mtp_buffer_t block;
        mtp_buffer_initialise(block);
        if (c.length)
        {
            ASSERT_TRUE(mtp_buffer_allocate(block, c.length));
            std::copy(bytes.begin(), bytes.end(), block.data);
        }
        mtp_nikon_read_liveview_frame(device, block);
        EXPECT_EQ(device.liveview.frame_width, c.header_read ? 6016 : 0);
        EXPECT_EQ(device.liveview.frame.num_bytes, c.frame_bytes);
        mtp_buffer_release(block);
    }
    device.vendor_state = nullptr;
}

TEST_F(NikonTest, FrameCutInsideItsHeaderIsShownWithoutIt)
{
    ASSERT_TRUE(Use("D810"));
    nikon->set_frame_header(sensor_header());
    nikon->set_frame_jpeg_offset(20);
    nikon->set_frame_length(45); // the header would run to byte 50
    ASSERT_TRUE(mtp_device_enable_liveview(device, true));
    EXPECT_TRUE(Step() & MTP_CHANGE_LIVEVIEW_FRAME);
    EXPECT_TRUE(log.Contains("Liveview offset found at: 20"));
    EXPECT_EQ(device.liveview.frame.num_bytes, 25u);
    EXPECT_EQ(device.liveview.frame_width, 0);
}

TEST_F(NikonTest, NoFrameIsFetchedWhileTheCameraIsNotReady)
{
    ASSERT_TRUE(Use("D810"));
    ASSERT_TRUE(mtp_device_enable_liveview(device, true));
    // The live-view check and the frame each ask DeviceReady.
    nikon->script_ready({ptpsim::kRespOK, ptpsim::kRespDeviceBusy});
    int frames = camera.calls(ptpsim::kNikonOpGetLiveViewImage);
    TakeFlags();
    Locked([&] { mtp_nikon_download_liveview(device); });
    EXPECT_EQ(camera.calls(ptpsim::kNikonOpGetLiveViewImage), frames);
    EXPECT_FALSE(TakeFlags() & MTP_CHANGE_LIVEVIEW_FRAME);
}

// --- zoom ----------------------------------------------------------------------------------------

struct ZoomCase
{
    const char* name;
    const char* model;
    std::vector<int64_t> ratios; // the camera's list; empty: the model's own
    bool empty_list;
    bool zoomed; // the answer zooming in
    int64_t value;
};

class NikonZoom : public NikonTest, public ::testing::WithParamInterface<ZoomCase>
{
};

TEST_P(NikonZoom, ZoomSelectsTheModelsRatio)
{
    const ZoomCase& c = GetParam();
    ASSERT_TRUE(Use(c.model, [&](ptpsim::NikonModel& model) {
        if (!c.ratios.empty() || c.empty_list)
            model.zoom_ratios = c.ratios;
    }));
    EXPECT_EQ(mtp_device_zoom_liveview(device, true), c.zoomed);
    EXPECT_EQ(device.liveview.zoomed, c.zoomed);
    EXPECT_EQ(camera.property_value(ptpsim::kNikonPropLiveViewImageZoomRatio).bits, static_cast<uint64_t>(c.value));
    if (!c.zoomed)
        return;
    EXPECT_TRUE(mtp_device_zoom_liveview(device, false));
    EXPECT_FALSE(device.liveview.zoomed);
    EXPECT_EQ(camera.property_value(ptpsim::kNikonPropLiveViewImageZoomRatio).bits, 0u);
}

INSTANTIATE_TEST_SUITE_P(Rules, NikonZoom,
                         ::testing::Values(ZoomCase{"D4_selects_4", "D4", {}, false, true, 4},
                                           ZoomCase{"D810_selects_6", "D810", {}, false, true, 6},
                                           // Ratio -1: the largest the camera offers.
                                           ZoomCase{"D3200_takes_the_last", "D3200", {0, 1, 2, 3, 4}, false, true, 4},
                                           // The model's ratio missing from the list: the last one.
                                           ZoomCase{"D810_without_6", "D810", {0, 1, 2, 3}, false, true, 3},
                                           // Nothing to select: nothing is written.
                                           ZoomCase{"empty_list", "D810", {}, true, false, 0}),
                         [](const ::testing::TestParamInfo<ZoomCase>& info) { return std::string(info.param.name); });

// --- AF area, manual focus, focus area, preview ------------------------------------------------------------

TEST_F(NikonTest, LiveViewAfAreaIsSavedAndRestored)
{
    ASSERT_TRUE(Use("D810"));
    camera.change_property(ptpsim::kNikonPropAfAtLiveView, ptpsim::Value::integer(3), false);
    ASSERT_TRUE(mtp_device_enable_liveview(device, true));
    Step(6000); // past the idle live-view check
    EXPECT_EQ(camera.property_value(ptpsim::kNikonPropAfAtLiveView).bits, 2u);
    EXPECT_EQ(State().saved_liveview_af_mode, 3);
    EXPECT_TRUE(log.Contains("Nikon liveview AF area mode set to: Normal Area AF"));
    // Checks while live view runs leave the saved mode alone.
    Step(1000);
    EXPECT_EQ(State().saved_liveview_af_mode, 3);

    ASSERT_TRUE(mtp_device_enable_liveview(device, false));
    EXPECT_FALSE(nikon->liveview_on());
    EXPECT_EQ(camera.property_value(ptpsim::kNikonPropAfAtLiveView).bits, 3u);
    EXPECT_EQ(State().saved_liveview_af_mode, -1);
}

TEST_F(NikonTest, ManualFocusSteps)
{
    struct Case
    {
        i32 step;
        bool sent;
        uint32_t direction;
        uint32_t amount;
    };
    const Case cases[] = {{1, true, 1, 20},  {-1, true, 2, 20},  {2, true, 1, 80}, {-2, true, 2, 80},
                          {3, true, 1, 800}, {-3, true, 2, 800}, {0, false, 0, 0}, {4, false, 0, 0},
                          {-7, false, 0, 0}};
    ASSERT_TRUE(Use("D3200")); // its MfDrive is hidden from DeviceInfo and put back
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.step);
        size_t before = nikon->mf_drives().size();
        EXPECT_EQ(mtp_device_focus_liveview(device, c.step), c.sent);
        std::vector<std::pair<uint32_t, uint32_t>> drives = nikon->mf_drives();
        ASSERT_EQ(drives.size(), before + (c.sent ? 1 : 0));
        if (c.sent)
        {
            EXPECT_EQ(drives.back(), std::make_pair(c.direction, c.amount));
        }
    }
}

TEST_F(NikonTest, FocusAreaMovesFromTheLastFramesCentre)
{
    ASSERT_TRUE(Use("D810"));
    nikon->set_frame_header(sensor_header());
    ASSERT_TRUE(mtp_device_enable_liveview(device, true));
    Step();
    ASSERT_TRUE(mtp_device_move_liveview(device, 10, -20));
    ASSERT_TRUE(mtp_device_move_liveview(device, -4000, 0));
    std::vector<std::pair<uint32_t, uint32_t>> moves = nikon->af_area_moves();
    ASSERT_EQ(moves.size(), 2u);
    EXPECT_EQ(moves[0], std::make_pair(3018u, 1988u));
    EXPECT_EQ(moves[1], std::make_pair(0u, 2008u)); // nothing left of the sensor
}

TEST_F(NikonTest, ExposurePreviewServesAsDepthOfField)
{
    ASSERT_TRUE(Use("D810"));
    ASSERT_TRUE(device.liveview.dof_supported);
    EXPECT_TRUE(mtp_device_enable_dof(device, true));
    EXPECT_TRUE(device.liveview.dof_on);
    EXPECT_EQ(camera.property_value(ptpsim::kNikonPropLiveViewExposurePreview).bits, 1u);
    camera.fail(ptpsim::kOpSetDevicePropValue, ptpsim::kRespAccessDenied, 1);
    EXPECT_FALSE(mtp_device_enable_dof(device, false));
    EXPECT_TRUE(device.liveview.dof_on);
    EXPECT_TRUE(mtp_device_enable_dof(device, false));
    EXPECT_FALSE(device.liveview.dof_on);
}

// --- storage during live view ------------------------------------------------------------------------------------

TEST_F(NikonTest, LiveViewOnABodyWithoutCaptureInMediaStoresToItsMemory)
{
    ASSERT_TRUE(Use("D5100"));
    ASSERT_TRUE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_STORAGEMODE,
                                              IndexOf(MTP_CAMERAPROPERTY_STORAGEMODE, "Card")));
    Step();
    ASSERT_EQ(camera.property_value(ptpsim::kNikonPropRecordingMedia).bits, 0u);

    ASSERT_TRUE(mtp_device_enable_liveview(device, true));
    EXPECT_EQ(nikon->media_at_liveview_start(), 1);
    EXPECT_TRUE(State().storage_override);
    EXPECT_TRUE(log.Contains("Nikon liveview size set to: 2"));
    EXPECT_EQ(camera.property_value(ptpsim::kNikonPropLiveViewImageSize).bits, 2u);
    Step();
    // The camera's storage is the live view's while it runs.
    EXPECT_FALSE(Property(MTP_CAMERAPROPERTY_STORAGEMODE).supported);

    ASSERT_TRUE(mtp_device_enable_liveview(device, false));
    EXPECT_FALSE(State().storage_override);
    Step();
    EXPECT_TRUE(Property(MTP_CAMERAPROPERTY_STORAGEMODE).supported);
    EXPECT_EQ(Name(MTP_CAMERAPROPERTY_STORAGEMODE), "Disk");
}

TEST_F(NikonTest, LiveViewOnABodyWithCaptureInMediaKeepsItsStorage)
{
    ASSERT_TRUE(Use("D500"));
    ASSERT_TRUE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_STORAGEMODE,
                                              IndexOf(MTP_CAMERAPROPERTY_STORAGEMODE, "Card")));
    Step();
    ASSERT_TRUE(mtp_device_enable_liveview(device, true));
    EXPECT_EQ(nikon->media_at_liveview_start(), 0);
    EXPECT_FALSE(State().storage_override);
    EXPECT_EQ(camera.property_value(ptpsim::kNikonPropLiveViewImageSize).bits, 3u); // XGA
}

// --- movies --------------------------------------------------------------------------------------------------------

TEST_F(NikonTest, MovieWaitsThroughDeviceBusyAndStartsOnOk)
{
    ASSERT_TRUE(Use("D810"));
    ASSERT_FALSE(device.liveview.on);
    ASSERT_TRUE(device.video.supported);
    EXPECT_TRUE(mtp_device_enable_video(device, true));
    EXPECT_TRUE(nikon->liveview_on());
    EXPECT_TRUE(device.video.vendor_flag0); // pending
    EXPECT_FALSE(device.video.recording);
    EXPECT_EQ(camera.calls(ptpsim::kNikonOpStartMovieRecInCard), 0);

    nikon->script_ready({ptpsim::kRespDeviceBusy});
    Locked([&] { mtp_nikon_poll(device); });
    EXPECT_TRUE(device.video.vendor_flag0);
    EXPECT_EQ(camera.calls(ptpsim::kNikonOpStartMovieRecInCard), 0);

    TakeFlags();
    Locked([&] { mtp_nikon_poll(device); });
    EXPECT_TRUE(nikon->movie_recording());
    EXPECT_EQ(nikon->media_at_movie_start(), 0); // movies go to the card
    EXPECT_TRUE(device.video.recording);
    EXPECT_TRUE(device.video.vendor_flag1);
    EXPECT_FALSE(device.video.vendor_flag0);
    EXPECT_TRUE(TakeFlags() & MTP_CHANGE_VIDEO);

    // Stopping ends the live view that the movie switched on.
    EXPECT_TRUE(mtp_device_enable_video(device, false));
    EXPECT_FALSE(nikon->movie_recording());
    EXPECT_FALSE(nikon->liveview_on());
    EXPECT_FALSE(device.video.recording);
    EXPECT_FALSE(State().storage_override);
}

TEST_F(NikonTest, MovieWithLiveViewOnStartsAtOnceAndLeavesLiveViewOn)
{
    ASSERT_TRUE(Use("D810"));
    ASSERT_TRUE(mtp_device_enable_liveview(device, true));
    EXPECT_TRUE(mtp_device_enable_video(device, true));
    EXPECT_TRUE(nikon->movie_recording());
    EXPECT_TRUE(device.video.recording);
    EXPECT_EQ(camera.property_value(ptpsim::kNikonPropRecordingMedia).bits, 0u);
    EXPECT_TRUE(mtp_device_enable_video(device, false));
    EXPECT_TRUE(nikon->liveview_on());
}

TEST_F(NikonTest, PendingMovieIsDroppedByAnErrorAndFailsWhenRefused)
{
    ASSERT_TRUE(Use("D810"));
    ASSERT_TRUE(mtp_device_enable_video(device, true));
    nikon->script_ready({ptpsim::kRespGeneralError});
    Locked([&] { mtp_nikon_poll(device); });
    EXPECT_FALSE(device.video.vendor_flag0);
    EXPECT_FALSE(device.video.recording);
    EXPECT_EQ(camera.calls(ptpsim::kNikonOpStartMovieRecInCard), 0);

    // Pending again (live view off first); the camera refuses the start.
    ASSERT_TRUE(mtp_device_enable_liveview(device, false));
    ASSERT_TRUE(mtp_device_enable_video(device, true));
    ASSERT_TRUE(device.video.vendor_flag0);
    camera.fail(ptpsim::kNikonOpStartMovieRecInCard, ptpsim::kRespAccessDenied, 1);
    Locked([&] { mtp_nikon_poll(device); });
    EXPECT_FALSE(device.video.recording);
    EXPECT_FALSE(device.video.vendor_flag1);
    EXPECT_FALSE(State().storage_override);
}

TEST_F(NikonTest, LiveViewTheCameraDroppedComesBack)
{
    ASSERT_TRUE(Use("D810"));
    ASSERT_TRUE(mtp_device_enable_liveview(device, true));
    // A menu on the camera ends live view.
    camera.change_property(ptpsim::kNikonPropLiveViewStatus, ptpsim::Value::integer(0), false);
    int starts = camera.calls(ptpsim::kNikonOpStartLiveView);
    EXPECT_TRUE(Step(1000) & MTP_CHANGE_LIVEVIEW);
    EXPECT_FALSE(device.liveview.on);
    // The user still wants it: the next check switches it on again.
    Step(6000);
    EXPECT_EQ(camera.calls(ptpsim::kNikonOpStartLiveView), starts + 1);
    EXPECT_TRUE(nikon->liveview_on());
    EXPECT_TRUE(device.liveview.on);
}

TEST_F(NikonTest, MovieEndsWhenTheCameraDropsItsLiveView)
{
    ASSERT_TRUE(Use("D810"));
    ASSERT_TRUE(mtp_device_enable_video(device, true));
    Locked([&] { mtp_nikon_poll(device); });
    ASSERT_TRUE(device.video.recording);
    camera.change_property(ptpsim::kNikonPropLiveViewStatus, ptpsim::Value::integer(0), false);
    u32 flags = Step(6000); // past the idle movie check
    EXPECT_FALSE(device.liveview.on);
    EXPECT_FALSE(device.video.recording);
    EXPECT_TRUE(flags & MTP_CHANGE_VIDEO);
    EXPECT_FALSE(State().storage_override);
}
