// The Nikon extension against the responder's Nikon bodies: per-model values
// and hooks, connecting, the DeviceReady outcomes and the busy limit, GetEvent
// blocks (also ones whose count lies), new objects in the card and in the
// camera's memory, both capture versions ending in saved files, bulb,
// autofocus, formatting, storage modes and the value texts.
#include "support/ptpsim/ptpsim_nikon_fixture.h"

#include "orvo/core/core_hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace orvo;
using ptpsim::NikonTest;

namespace
{
std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string hash_of(const ptpsim::Bytes& bytes)
{
    stringbuffer_t hash;
    stringbuffer_initialise(hash);
    compute_hash(hash, bytes.data(), bytes.size());
    std::string text(hash.str, hash.length);
    stringbuffer_release(hash);
    return text;
}

// The events the device holds for its vendor, in order.
std::vector<mtp_device_event_t> queued_events(mtp_device_t& device)
{
    std::vector<mtp_device_event_t> events;
    mutex_lock(*device.event_lock);
    for (u64 i = 0; i < device.event_queue.count; ++i)
        events.push_back(device.event_queue.data[i]);
    mutex_unlock(*device.event_lock);
    return events;
}
} // namespace

// --- models --------------------------------------------------------------------------------

struct ModelCase
{
    const char* model;
    i32 jpeg_offset;
    i32 header_offset;
    i32 image_size;
    i32 zoom_ratio;
    u32 memory_handle;
    bool capture_v2; // InitiateCaptureRecInMedia, else the SDRAM/InitiateCapture version
    bool liveview;
};

class NikonModels : public NikonTest, public ::testing::WithParamInterface<ModelCase>
{
};

TEST_P(NikonModels, StateAndHooksFollowTheModelRow)
{
    const ModelCase& c = GetParam();
    ASSERT_TRUE(Use(c.model));
    EXPECT_EQ(device.protocol, MTP_PROTOCOL_NIKON);
    mtp_nikon_state_t& state = State();
    EXPECT_EQ(state.liveview_jpeg_offset, c.jpeg_offset);
    EXPECT_EQ(state.liveview_header_offset, c.header_offset);
    EXPECT_EQ(state.liveview_image_size, c.image_size);
    EXPECT_EQ(state.liveview_zoom_ratio, c.zoom_ratio);
    EXPECT_EQ(state.memory_object_handle, c.memory_handle);
    EXPECT_EQ(device.hooks.capture == mtp_nikon_capture_v2, c.capture_v2);
    EXPECT_EQ(device.hooks.capture == mtp_nikon_capture_v1, !c.capture_v2);
    EXPECT_EQ(device.liveview.supported, c.liveview);
    EXPECT_TRUE(device.bulb.supported);
    EXPECT_TRUE(device.autofocus.supported);
    EXPECT_TRUE(device.events_by_polling.load());
    // The vendor properties arrive through GetVendorPropCodes only.
    EXPECT_TRUE(mtp_deviceinfo_is_supported(device.deviceinfo, MTP_PROPERTY_Nikon_RecordingMedia));
    EXPECT_EQ(device.cameraproperties[MTP_CAMERAPROPERTY_STORAGEMODE].code, MTP_PROPERTY_Nikon_RecordingMedia);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, NikonModels,
    ::testing::Values(ModelCase{"D810", 384, 8, 2, 6, 0, true, true},
                      ModelCase{"D80", 384, 0, 2, -1, 0xFFFF0001u, false, false},
                      // Lists InitiateCaptureRecInMedia, which is taken away.
                      ModelCase{"D3x", 64, 0, 2, 5, 0, false, true},
                      // Hides its live view from DeviceInfo; it is put back.
                      ModelCase{"D3200", 384, 8, 2, -1, 0, true, true},
                      ModelCase{"D5100", 384, 0, 2, 5, 0, false, true}, ModelCase{"D4", 384, 0, 2, 4, 0, true, true},
                      ModelCase{"D500", 384, 8, 3, 6, 0, true, true}),
    [](const ::testing::TestParamInfo<ModelCase>& info) { return std::string(info.param.model); });

TEST_F(NikonTest, D3xLogsTheCaptureOverride)
{
    ASSERT_TRUE(Use("D3x"));
    EXPECT_TRUE(log.Contains("Overriding Nikon_InitiateCaptureRecInMedia to: unsupported"));
    EXPECT_FALSE(mtp_deviceinfo_is_supported(device.deviceinfo, MTP_COMMAND_Nikon_InitiateCaptureRecInMedia));
}

// --- connecting ---------------------------------------------------------------------------------

TEST_F(NikonTest, ConnectingPutsTheCameraInApplicationModeStoringToItsMemory)
{
    ASSERT_TRUE(Use("D810"));
    EXPECT_EQ(camera.calls(ptpsim::kNikonOpChangeCameraMode), 1);
    EXPECT_EQ(camera.last_parameters(ptpsim::kNikonOpChangeCameraMode), std::vector<uint32_t>{0});
    EXPECT_EQ(camera.property_value(ptpsim::kNikonPropApplicationMode).bits, 1u);
    EXPECT_EQ(camera.property_value(ptpsim::kNikonPropRecordingMedia).bits, 1u);
    EXPECT_TRUE(log.Contains("Nikon device ApplicationMode: enabled"));
    EXPECT_TRUE(log.Contains("Nikon USB speed: 1 - High Speed"));
    EXPECT_EQ(Name(MTP_CAMERAPROPERTY_STORAGEMODE), "Disk");
    EXPECT_TRUE(device.host_only);
    EXPECT_TRUE(device.camera_storage_mode);
    EXPECT_EQ(device.power.source, MTP_POWERSOURCE_BATTERY);
    EXPECT_EQ(device.power.level, 100);
}

TEST_F(NikonTest, ApplicationModeRefusedIsLoggedAndTheConnectionStands)
{
    ptpsim::Fault refuse;
    refuse.operation = ptpsim::kOpSetDevicePropValue;
    refuse.match_parameter = true;
    refuse.parameter = ptpsim::kNikonPropApplicationMode;
    refuse.response = ptpsim::kRespAccessDenied;
    camera.add_fault(refuse);
    ASSERT_TRUE(Use("D810"));
    EXPECT_TRUE(log.Contains("Failed to enable Nikon device ApplicationMode"));
    EXPECT_EQ(camera.property_value(ptpsim::kNikonPropApplicationMode).bits, 0u);
    EXPECT_NE(device.vendor_state, nullptr);
}

TEST_F(NikonTest, DisconnectFreesTheVendorState)
{
    ASSERT_TRUE(Use("D810"));
    mtp_device_disconnect(device);
    EXPECT_EQ(device.vendor_state, nullptr);
}

// --- DeviceReady ------------------------------------------------------------------------------------

TEST_F(NikonTest, DeviceReadyOutcomes)
{
    struct Case
    {
        const char* name;
        uint16_t answer;
        bool capture_before;
        bool ready;
        bool capture_after;
        bool capture_failed;
        bool focus_succeeded;
        u32 flags; // capture and focus flags raised
    };
    const Case cases[] = {
        {"OK ends the autofocus with success; the capture waits for its event", ptpsim::kRespOK, true, true, true,
         false, true, MTP_CHANGE_AUTOFOCUS},
        {"DeviceBusy changes nothing", ptpsim::kRespDeviceBusy, true, false, true, false, false, 0},
        {"Bulb_Release_Busy changes nothing", ptpsim::kNikonRespBulbReleaseBusy, true, false, true, false, false, 0},
        {"Out_of_Focus fails the capture and the autofocus", ptpsim::kNikonRespOutOfFocus, true, false, false, true,
         false, MTP_CHANGE_CAPTURE | MTP_CHANGE_AUTOFOCUS},
        {"another error fails them too", ptpsim::kRespGeneralError, true, false, false, true, false,
         MTP_CHANGE_CAPTURE | MTP_CHANGE_AUTOFOCUS},
    };
    ASSERT_TRUE(Use("D810"));
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        bool ready = Locked([&] {
            device.capture_in_progress = c.capture_before;
            device.capture_failed = false;
            device.autofocus.in_progress = true;
            device.autofocus.succeeded = false;
            device.fast_poll = true;
            TakeFlags();
            nikon->script_ready({c.answer});
            return mtp_nikon_check_deviceready(device);
        });
        EXPECT_EQ(ready, c.ready);
        EXPECT_EQ(device.capture_in_progress, c.capture_after);
        EXPECT_EQ(device.capture_failed, c.capture_failed);
        EXPECT_EQ(device.autofocus.succeeded, c.focus_succeeded);
        bool focus_ended = c.answer != ptpsim::kRespDeviceBusy && c.answer != ptpsim::kNikonRespBulbReleaseBusy;
        EXPECT_EQ(device.autofocus.in_progress, !focus_ended);
        EXPECT_EQ(device.fast_poll, !focus_ended);
        EXPECT_EQ(TakeFlags() & (MTP_CHANGE_CAPTURE | MTP_CHANGE_AUTOFOCUS), c.flags);
        EXPECT_EQ(State().device_state, c.answer);
    }
}

TEST_F(NikonTest, BulbBusyWithoutExposureIsInconsistent)
{
    ASSERT_TRUE(Use("D810"));
    nikon->script_ready({ptpsim::kNikonRespBulbReleaseBusy});
    EXPECT_FALSE(Locked([&] { return mtp_nikon_check_deviceready(device); }));
    EXPECT_TRUE(log.Contains("Inconsitent bulb mode detected"));
    EXPECT_TRUE(log.Contains("Nikon device state: Nikon_Bulb_Release_Busy"));
}

TEST_F(NikonTest, PollsAreSkippedWhileTheCameraIsBusy)
{
    ASSERT_TRUE(Use("D810"));
    nikon->script_ready({ptpsim::kRespDeviceBusy, ptpsim::kRespDeviceBusy});
    int before = camera.calls(ptpsim::kNikonOpGetEvent);
    Step();
    Step();
    EXPECT_EQ(camera.calls(ptpsim::kNikonOpGetEvent), before);
    Step();
    EXPECT_EQ(camera.calls(ptpsim::kNikonOpGetEvent), before + 1);
    // DeviceBusy is not an error of the link.
    EXPECT_EQ(device.minor_errors, 0);
}

TEST_F(NikonTest, CameraStuckBusyFailsTheCaptureAtTheLimit)
{
    ASSERT_TRUE(Use("D810"));
    nikon->set_stuck_busy(true);
    ASSERT_TRUE(mtp_device_capture(device));
    ASSERT_TRUE(device.capture_in_progress);
    // Just inside the limit the capture still waits.
    clock.advance_ms(1);
    mtp_device_update(device);
    clock.advance_ms(MTP_NIKON_BUSY_LIMIT_MS - 100);
    mtp_device_update(device);
    EXPECT_TRUE(device.capture_in_progress);
    clock.advance_ms(200);
    u32 flags = mtp_device_update(device);
    EXPECT_FALSE(device.capture_in_progress);
    EXPECT_TRUE(device.capture_failed);
    EXPECT_FALSE(device.fast_poll);
    EXPECT_TRUE(flags & MTP_CHANGE_CAPTURE);
    EXPECT_TRUE(log.Contains("Nikon device busy for too long"));
    // The camera may come back: the next ready answer polls again.
    nikon->set_stuck_busy(false);
    int before = camera.calls(ptpsim::kNikonOpGetEvent);
    Step();
    EXPECT_EQ(camera.calls(ptpsim::kNikonOpGetEvent), before + 1);
}

TEST_F(NikonTest, LongExposureNoiseReductionStretchesTheBusyLimit)
{
    ASSERT_TRUE(Use("D810"));
    ASSERT_TRUE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_SHUTTERSPEED,
                                              IndexOf(MTP_CAMERAPROPERTY_SHUTTERSPEED, "Bulb")));
    Step();
    ASSERT_TRUE(mtp_device_bulb_capture(device, 200, TIMEUNIT_SECONDS));
    clock.advance_ms(200001);
    mtp_device_update(device);
    ASSERT_FALSE(nikon->bulb_open());
    ASSERT_TRUE(device.capture_in_progress);
    // The camera reduces noise for as long as it exposed.
    nikon->set_stuck_busy(true);
    clock.advance_ms(1000);
    mtp_device_update(device); // the first busy answer
    clock.advance_ms(250000);
    mtp_device_update(device);
    EXPECT_TRUE(device.capture_in_progress);
    clock.advance_ms(MTP_NIKON_BUSY_LIMIT_MS);
    mtp_device_update(device);
    EXPECT_FALSE(device.capture_in_progress);
    EXPECT_TRUE(device.capture_failed);
}

// --- GetEvent -----------------------------------------------------------------------------------------

TEST_F(NikonTest, EventBlocksAreReadOnlyAsFarAsTheirBytes)
{
    struct Case
    {
        const char* name;
        std::vector<std::pair<uint16_t, uint32_t>> entries;
        int claimed;
        size_t extra_bytes;
        u64 handed;
        bool mismatch;
    };
    const std::vector<std::pair<uint16_t, uint32_t>> three = {{0xC105, 1}, {0x400A, 2}, {0xC104, 3}};
    const Case cases[] = {
        {"count 3 with 14 bytes hands on 2", {three[0], three[1]}, 3, 0, 2, true},
        {"count above the bytes by far", {three[0]}, 0xFFFF, 0, 1, true},
        {"count 1 with three entries hands on 1", three, 1, 0, 1, true},
        {"matching count", three, -1, 0, 3, false},
        {"a partial entry at the end is not read", {three[0]}, 2, 5, 1, true},
        {"count only", {}, 0, 0, 0, false},
        {"a lone byte", {}, -2, 0, 0, false},
    };
    ASSERT_TRUE(mtp_device_initialise(device, nullptr, mtp_device_callbacks_t{}));
    initialised = true;
    device.protocol = MTP_PROTOCOL_NIKON;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ptpsim::Bytes bytes = c.claimed == -2 ? ptpsim::Bytes{0x01} : ptpsim::nikon_event_block(c.entries, c.claimed);
        bytes.resize(bytes.size() + c.extra_bytes, 0xEE);
        // Exactly the bytes of the block, so that reading past them is caught.
        mtp_buffer_t block;
        mtp_buffer_initialise(block);
        ASSERT_TRUE(mtp_buffer_allocate(block, bytes.size()));
        std::copy(bytes.begin(), bytes.end(), block.data);
        log.Clear();
        EXPECT_EQ(mtp_nikon_read_events(device, block), c.handed);
        std::vector<mtp_device_event_t> events = queued_events(device);
        ASSERT_EQ(events.size(), c.handed);
        for (size_t i = 0; i < events.size(); ++i)
        {
            EXPECT_EQ(events[i].code, c.entries[i].first);
            EXPECT_EQ(events[i].parameter, c.entries[i].second);
        }
        EXPECT_EQ(log.Contains("Nikon event size mismatch"), c.mismatch);
        mtp_buffer_release(block);
        device.event_queue.count = 0;
    }
}

TEST_F(NikonTest, PollHandsGetEventEntriesToTheEventPath)
{
    ASSERT_TRUE(Use("D810"));
    ptpsim::Fault block;
    block.kind = ptpsim::Fault::Kind::kData;
    block.operation = ptpsim::kNikonOpGetEvent;
    block.remaining = 1;
    block.data = ptpsim::nikon_event_block({{0x400A, 0x00010001}, {ptpsim::kEvDevicePropChanged, 0xD10B}}, 3);
    camera.add_fault(block);
    Locked([&] { mtp_nikon_poll(device); });
    EXPECT_TRUE(log.Contains("Nikon event size mismatch: 3 (expected 2)"));
    std::vector<mtp_device_event_t> events = queued_events(device);
    ASSERT_EQ(events.size(), 1u); // DevicePropChanged goes to the property queue
    EXPECT_EQ(events[0].code, 0x400Au);
    EXPECT_TRUE(log.Contains("MTP event: DevicePropChanged - d10b - Nikon_RecordingMedia"));
}

// --- captures into files --------------------------------------------------------------------------------

struct ShotCase
{
    const char* model;
    const char* storage; // the storage mode chosen
    bool sdram;          // the object is made in the camera's memory
};

class NikonShots : public NikonTest, public ::testing::WithParamInterface<ShotCase>
{
};

TEST_P(NikonShots, CaptureEndsAsOneSavedFileWithTheObjectsBytes)
{
    const ShotCase& c = GetParam();
    ASSERT_TRUE(Use(c.model));
    ptpsim::ObjectInfo shot;
    shot.filename = "DSC_0042.JPG";
    nikon->set_shots({shot}, 200000);
    nikon->set_busy_after_start(2);
    int index = IndexOf(MTP_CAMERAPROPERTY_STORAGEMODE, c.storage);
    ASSERT_GE(index, 0);
    ASSERT_TRUE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_STORAGEMODE, index));
    Step();
    ASSERT_EQ(Name(MTP_CAMERAPROPERTY_STORAGEMODE), c.storage);

    ASSERT_TRUE(mtp_device_capture(device));
    for (int i = 0; i < 5 && recorder.num_finished() == 0; ++i)
    {
        Step();
        PumpUntilFinished(0);
    }
    ASSERT_TRUE(PumpUntilFinished(1));
    std::vector<uint32_t> shots = nikon->last_shots();
    ASSERT_EQ(shots.size(), 1u);
    if (c.sdram && nikon->model().sdram_handle)
    {
        EXPECT_EQ(shots[0], nikon->model().sdram_handle);
    }
    ASSERT_EQ(Added(), std::vector<u32>{shots[0]});

    std::vector<ptpsim::FinishedDownload> finished = recorder.finished();
    ASSERT_EQ(finished.size(), 1u);
    ptpsim::Bytes bytes = camera.object_bytes(shots[0]);
    EXPECT_TRUE(finished[0].success);
    EXPECT_EQ(read_file(finished[0].target), std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(finished[0].hash, hash_of(bytes));
    EXPECT_FALSE(device.capture_in_progress);
    EXPECT_FALSE(device.capture_failed);
    EXPECT_EQ(camera.calls(ptpsim::kNikonOpInitiateCaptureRecInSdram) == 1,
              c.sdram && !nikon->model().capture_in_media);
}

INSTANTIATE_TEST_SUITE_P(Storage, NikonShots,
                         ::testing::Values(
                             // Version 1 into the memory: one fixed handle, whatever the event says.
                             ShotCase{"D80", "Disk", true},
                             // Version 2 into the memory: the handle the event names.
                             ShotCase{"D810", "Disk", true},
                             // Version 2 onto the card, JPEG objects downloaded.
                             ShotCase{"D810", "JPEG", false},
                             // Version 1 onto the card ("Both" emulated on a camera without it).
                             ShotCase{"D5100", "Both", false}),
                         [](const ::testing::TestParamInfo<ShotCase>& info) {
                             return std::string(info.param.model) + "_" + info.param.storage;
                         });

TEST_F(NikonTest, CardCaptureIsAnnouncedButNotDownloaded)
{
    ASSERT_TRUE(Use("D810"));
    ASSERT_TRUE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_STORAGEMODE,
                                              IndexOf(MTP_CAMERAPROPERTY_STORAGEMODE, "Card")));
    Step();
    ASSERT_TRUE(mtp_device_capture(device));
    Step();
    Step();
    EXPECT_EQ(Added(), nikon->last_shots());
    EXPECT_EQ(device.pending_downloads, 0);
    EXPECT_EQ(camera.calls(ptpsim::kOpGetObject), 0);
    EXPECT_FALSE(device.capture_in_progress);
    EXPECT_EQ(camera.last_parameters(ptpsim::kNikonOpInitiateCaptureRecInMedia),
              (std::vector<uint32_t>{0xFFFFFFFF, 0}));
}

TEST_F(NikonTest, AShotRightAfterChangingTheStorageModeFollowsTheNewMode)
{
    // "Card" to "Both" and the shutter at once, before any pass reads the
    // camera's RecordingMedia back: the photo is downloaded as "Both" says.
    ASSERT_TRUE(Use("D810"));
    ptpsim::ObjectInfo shot;
    shot.filename = "DSC_0042.JPG";
    nikon->set_shots({shot}, 200000);
    ASSERT_TRUE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_STORAGEMODE,
                                              IndexOf(MTP_CAMERAPROPERTY_STORAGEMODE, "Card")));
    Step();
    ASSERT_TRUE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_STORAGEMODE,
                                              IndexOf(MTP_CAMERAPROPERTY_STORAGEMODE, "Both")));
    ASSERT_TRUE(mtp_device_capture(device));
    for (int i = 0; i < 5 && recorder.num_finished() == 0; ++i)
    {
        Step();
        PumpUntilFinished(0);
    }
    ASSERT_TRUE(PumpUntilFinished(1));
    std::vector<ptpsim::FinishedDownload> finished = recorder.finished();
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_TRUE(finished[0].success);
    EXPECT_EQ(Name(MTP_CAMERAPROPERTY_STORAGEMODE), "Both");
}

TEST_F(NikonTest, VersionOneOnTheCardSendsInitiateCaptureWithoutMarkingACapture)
{
    ASSERT_TRUE(Use("D3x"));
    ASSERT_TRUE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_STORAGEMODE,
                                              IndexOf(MTP_CAMERAPROPERTY_STORAGEMODE, "Card")));
    Step();
    ASSERT_TRUE(mtp_device_capture(device));
    EXPECT_FALSE(device.capture_in_progress);
    EXPECT_EQ(camera.calls(ptpsim::kOpInitiateCapture), 1);
    EXPECT_TRUE(camera.last_parameters(ptpsim::kOpInitiateCapture).empty());
    EXPECT_EQ(camera.calls(ptpsim::kNikonOpInitiateCaptureRecInSdram), 0);
    EXPECT_EQ(camera.calls(ptpsim::kNikonOpInitiateCaptureRecInMedia), 0);
}

struct SdramCase
{
    const char* model;
    u32 expected;
};

class NikonSdramHandles : public NikonTest, public ::testing::WithParamInterface<SdramCase>
{
};

TEST_P(NikonSdramHandles, ObjectInMemoryUsesTheModelsHandleOrTheEvents)
{
    const SdramCase& c = GetParam();
    ptpsim::ObjectInfo info;
    camera.add_object_at(c.expected, info, 1000, ptpsim::Content::kJpeg);
    ASSERT_TRUE(Use(c.model));
    nikon->queue_event(ptpsim::kNikonEvObjectAddedInSdram, 77);
    Step();
    EXPECT_EQ(camera.last_parameters(ptpsim::kOpGetObjectInfo), std::vector<uint32_t>{c.expected});
    EXPECT_EQ(Added(), std::vector<u32>{c.expected});
    EXPECT_TRUE(PumpUntilFinished(1));
}

INSTANTIATE_TEST_SUITE_P(Models, NikonSdramHandles,
                         ::testing::Values(SdramCase{"D80", 0xFFFF0001u}, SdramCase{"D810", 77u}),
                         [](const ::testing::TestParamInfo<SdramCase>& info) { return std::string(info.param.model); });

// --- "Both": the card keeps the photo, the computer takes the memory copy ----------------------------------

struct BothCase
{
    const char* model;
    bool capture_v2; // InitiateCaptureRecInMedia naming the storage, else InitiateCapture
};

class NikonBoth : public NikonTest, public ::testing::WithParamInterface<BothCase>
{
};

TEST_P(NikonBoth, EveryShotIsDownloadedOnceWhileTheCardKeepsItsCopy)
{
    const BothCase& c = GetParam();
    ASSERT_TRUE(Use(c.model));
    ASSERT_TRUE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_STORAGEMODE,
                                              IndexOf(MTP_CAMERAPROPERTY_STORAGEMODE, "Both")));
    Step();
    ASSERT_EQ(Name(MTP_CAMERAPROPERTY_STORAGEMODE), "Both");
    // The body has a value of its own for "Both": nothing is emulated.
    ASSERT_EQ(camera.property_value(ptpsim::kNikonPropRecordingMedia).bits, 2u);
    ASSERT_EQ(State().requested_storage_index, -1);

    std::vector<u32> announced;
    std::vector<u32> card_copies;
    std::vector<std::string> targets;
    const int shots = 3;
    for (int shot = 0; shot < shots; ++shot)
    {
        SCOPED_TRACE("shot " + std::to_string(shot));
        ptpsim::ObjectInfo info;
        info.filename = "DSC_000" + std::to_string(shot + 1) + ".JPG";
        nikon->set_shots({info}, 150000 + 1000 * shot);
        nikon->set_busy_after_start(1);
        ASSERT_TRUE(mtp_device_capture(device));
        for (int i = 0; i < 6 && recorder.num_finished() <= static_cast<size_t>(shot); ++i)
        {
            Step();
            PumpUntilFinished(0);
        }
        // The photo came down: not lost with the card copy's event.
        ASSERT_EQ(recorder.num_finished(), static_cast<size_t>(shot + 1));
        std::vector<uint32_t> card = nikon->last_card_shots();
        std::vector<uint32_t> memory = nikon->last_memory_shots();
        ASSERT_EQ(card.size(), 1u);
        ASSERT_EQ(memory.size(), 1u);

        // Announced once, as the copy that is downloaded; the card copy is not a second photo.
        announced.push_back(memory[0]);
        EXPECT_EQ(Added(), announced);
        const ptpsim::FinishedDownload done = recorder.finished().back();
        const ptpsim::Bytes bytes = camera.object_bytes(memory[0]);
        EXPECT_TRUE(done.success);
        EXPECT_EQ(read_file(done.target), std::string(bytes.begin(), bytes.end()));
        EXPECT_EQ(done.hash, hash_of(bytes));
        targets.push_back(done.target);
        card_copies.push_back(card[0]);
        EXPECT_FALSE(device.capture_in_progress);
        EXPECT_FALSE(device.capture_failed);
    }
    // Every card copy is still on the card; each photo is its own file.
    for (uint32_t handle : card_copies)
        EXPECT_TRUE(camera.has_object(handle)) << handle;
    EXPECT_TRUE(camera.deleted_handles().empty());
    std::sort(targets.begin(), targets.end());
    EXPECT_EQ(std::unique(targets.begin(), targets.end()), targets.end());
    Step();
    EXPECT_EQ(recorder.num_finished(), static_cast<size_t>(shots));
    EXPECT_EQ(camera.calls(ptpsim::kNikonOpInitiateCaptureRecInMedia), c.capture_v2 ? shots : 0);
    EXPECT_EQ(camera.calls(ptpsim::kOpInitiateCapture), c.capture_v2 ? 0 : shots);
    if (c.capture_v2)
    {
        EXPECT_EQ(camera.last_parameters(ptpsim::kNikonOpInitiateCaptureRecInMedia),
                  (std::vector<uint32_t>{0xFFFFFFFF, 2}));
    }
}

INSTANTIATE_TEST_SUITE_P(Models, NikonBoth,
                         ::testing::Values(BothCase{"D810", true},
                                           // Version 1: InitiateCapture, the body records where RecordingMedia says.
                                           BothCase{"D3x", false},
                                           // Version 1, memory objects under the one fixed handle.
                                           BothCase{"D80", false}),
                         [](const ::testing::TestParamInfo<BothCase>& info) { return std::string(info.param.model); });

// --- bulb and autofocus ----------------------------------------------------------------------------------

TEST_F(NikonTest, BulbExposureOpensAndTerminates)
{
    ASSERT_TRUE(Use("D810"));
    EXPECT_FALSE(device.bulb.enabled);
    int bulb = IndexOf(MTP_CAMERAPROPERTY_SHUTTERSPEED, "Bulb");
    ASSERT_GE(bulb, 0);
    ASSERT_TRUE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_SHUTTERSPEED, bulb));
    EXPECT_TRUE(Step() & MTP_CHANGE_BULB);
    ASSERT_TRUE(device.bulb.enabled);

    ASSERT_TRUE(mtp_device_bulb_capture(device, 2, TIMEUNIT_SECONDS));
    EXPECT_TRUE(nikon->bulb_open());
    int polls = camera.calls(ptpsim::kNikonOpGetEvent);
    clock.advance_ms(1500);
    mtp_device_update(device);
    EXPECT_TRUE(nikon->bulb_open());
    EXPECT_EQ(camera.calls(ptpsim::kNikonOpGetEvent), polls); // DeviceReady: Bulb_Release_Busy
    EXPECT_FALSE(log.Contains("Inconsitent bulb mode detected"));
    clock.advance_ms(600);
    mtp_device_update(device);
    EXPECT_FALSE(nikon->bulb_open());
    EXPECT_FALSE(device.bulb.active);
    EXPECT_EQ(camera.last_parameters(ptpsim::kNikonOpTerminateCapture), (std::vector<uint32_t>{0, 0}));
    Step();
    EXPECT_FALSE(device.capture_in_progress);
    EXPECT_EQ(Added(), nikon->last_shots());
    PumpUntilFinished(1);
}

TEST_F(NikonTest, AutofocusEndsWithTheDeviceReadyAfterTheBusyRun)
{
    struct Case
    {
        const char* name;
        uint16_t outcome;
        bool succeeded;
    };
    ASSERT_TRUE(Use("D810"));
    for (const Case& c : {Case{"found focus", ptpsim::kRespOK, true},
                          Case{"out of focus", ptpsim::kNikonRespOutOfFocus, false}})
    {
        SCOPED_TRACE(c.name);
        nikon->set_busy_after_start(3, c.outcome);
        ASSERT_TRUE(mtp_device_focus(device));
        EXPECT_TRUE(device.fast_poll);
        TakeFlags();
        for (int i = 0; i < 3; ++i)
        {
            Locked([&] { mtp_nikon_poll(device); });
            EXPECT_TRUE(device.autofocus.in_progress);
        }
        Locked([&] { mtp_nikon_poll(device); });
        EXPECT_TRUE(TakeFlags() & MTP_CHANGE_AUTOFOCUS);
        EXPECT_FALSE(device.autofocus.in_progress);
        EXPECT_EQ(device.autofocus.succeeded, c.succeeded);
        EXPECT_FALSE(device.fast_poll);
    }
    EXPECT_EQ(camera.calls(ptpsim::kNikonOpAfDrive), 2);
}

// --- formatting --------------------------------------------------------------------------------------------

TEST_F(NikonTest, FormatSwitchesToCardAndApplicationModeOffThenRestoresBoth)
{
    camera.set_storages({0x00010001, 0x00020000});
    ASSERT_TRUE(Use("D810"));
    ASSERT_TRUE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_STORAGEMODE,
                                              IndexOf(MTP_CAMERAPROPERTY_STORAGEMODE, "JPEG")));
    Step();
    ASSERT_EQ(Name(MTP_CAMERAPROPERTY_STORAGEMODE), "JPEG");

    ASSERT_TRUE(mtp_device_format(device));
    EXPECT_EQ(nikon->application_mode_at_format(), std::vector<int64_t>{0});
    EXPECT_EQ(nikon->media_at_format(), std::vector<int64_t>{0});
    // The empty slot is skipped without a transaction.
    EXPECT_EQ(camera.calls(ptpsim::kOpFormatStore), 1);
    EXPECT_TRUE(log.Contains("Ignoring format request for memory card in 3001234: 00020000"));
    EXPECT_EQ(camera.property_value(ptpsim::kNikonPropApplicationMode).bits, 1u);
    Step();
    // The mode the user chose comes back, not just the card it rides on.
    EXPECT_EQ(Name(MTP_CAMERAPROPERTY_STORAGEMODE), "JPEG");
    EXPECT_TRUE(device.jpeg_only);
}

TEST_F(NikonTest, FormatRestoresTheProgramsStorageModeOnABodyWithoutRecordingMedia)
{
    ASSERT_TRUE(Use("D810", [](ptpsim::NikonModel& model) { model.recording_media.clear(); }));
    ASSERT_EQ(Property(MTP_CAMERAPROPERTY_STORAGEMODE).code, MTP_PROPERTY_Undefined);
    ASSERT_TRUE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_STORAGEMODE,
                                              IndexOf(MTP_CAMERAPROPERTY_STORAGEMODE, "JPEG")));
    ASSERT_TRUE(mtp_device_format(device));
    Step();
    EXPECT_EQ(Name(MTP_CAMERAPROPERTY_STORAGEMODE), "JPEG");
    EXPECT_TRUE(device.jpeg_only);
}

TEST_F(NikonTest, FailedFormatStillRestoresApplicationModeAndStorage)
{
    ASSERT_TRUE(Use("D810"));
    camera.fail(ptpsim::kOpFormatStore, ptpsim::kRespAccessDenied);
    EXPECT_FALSE(mtp_device_format(device));
    EXPECT_EQ(camera.property_value(ptpsim::kNikonPropApplicationMode).bits, 1u);
    EXPECT_EQ(camera.property_value(ptpsim::kNikonPropRecordingMedia).bits, 1u);
}

TEST_F(NikonTest, FormatWithoutCardsIsSkipped)
{
    camera.set_storages({0x00010000});
    ASSERT_TRUE(Use("D810"));
    EXPECT_TRUE(mtp_device_format(device));
    EXPECT_TRUE(log.Contains("Skipping formatting, no cards detected for: 3001234"));
    EXPECT_EQ(camera.calls(ptpsim::kOpFormatStore), 0);
}

TEST_F(NikonTest, FailedStorageQueryFailsTheFormat)
{
    ASSERT_TRUE(Use("D810"));
    camera.fail(ptpsim::kNikonOpGetVendorStorageIDs, ptpsim::kRespGeneralError);
    EXPECT_FALSE(mtp_device_format(device));
    EXPECT_TRUE(log.Contains("Failed to query memory cards for camera: 3001234"));
}

// --- storage modes -------------------------------------------------------------------------------------------

struct StorageCase
{
    const char* model;
    const char* mode;
    uint64_t media; // RecordingMedia afterwards
    bool download;
    bool jpeg_only;
    bool host_only;
};

class NikonStorageModes : public NikonTest, public ::testing::WithParamInterface<StorageCase>
{
};

TEST_P(NikonStorageModes, WriteTheCamerasValueOrEmulateTheMode)
{
    const StorageCase& c = GetParam();
    ASSERT_TRUE(Use(c.model));
    ASSERT_TRUE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_STORAGEMODE,
                                              IndexOf(MTP_CAMERAPROPERTY_STORAGEMODE, c.mode)));
    Step();
    EXPECT_EQ(camera.property_value(ptpsim::kNikonPropRecordingMedia).bits, c.media);
    EXPECT_EQ(Name(MTP_CAMERAPROPERTY_STORAGEMODE), c.mode);
    EXPECT_EQ(device.download, c.download);
    EXPECT_EQ(device.jpeg_only, c.jpeg_only);
    EXPECT_EQ(device.host_only, c.host_only);
    EXPECT_TRUE(device.camera_storage_mode);
}

INSTANTIATE_TEST_SUITE_P(Modes, NikonStorageModes,
                         ::testing::Values(StorageCase{"D810", "Card", 0, false, false, false},
                                           StorageCase{"D810", "Disk", 1, false, false, true},
                                           StorageCase{"D810", "Both", 2, false, false, false},
                                           // No camera value for JPEG: the card, JPEG objects downloaded.
                                           StorageCase{"D810", "JPEG", 0, false, true, false},
                                           // RecordingMedia allows 0 and 1 only: Both is emulated.
                                           StorageCase{"D5100", "Both", 0, true, false, false},
                                           StorageCase{"D5100", "JPEG", 0, false, true, false}),
                         [](const ::testing::TestParamInfo<StorageCase>& info) {
                             return std::string(info.param.model) + "_" + info.param.mode;
                         });

TEST_F(NikonTest, WithoutACardOnlyDiskCanBeChosen)
{
    camera.set_storages({0x00010000});
    ASSERT_TRUE(Use("D810"));
    ASSERT_TRUE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_STORAGEMODE,
                                              IndexOf(MTP_CAMERAPROPERTY_STORAGEMODE, "Card")));
    Step();
    EXPECT_TRUE(log.Contains("No memory card present so unable to set storage mode: Card"));
    EXPECT_EQ(camera.property_value(ptpsim::kNikonPropRecordingMedia).bits, 1u);
    EXPECT_EQ(Name(MTP_CAMERAPROPERTY_STORAGEMODE), "Disk");
}

// --- shutter speed, focus mode and texts -------------------------------------------------------------------------

TEST_F(NikonTest, ShutterSpeedNamesAndBulb)
{
    ASSERT_TRUE(Use("D810"));
    const stringarray_t& names = Property(MTP_CAMERAPROPERTY_SHUTTERSPEED).value_names;
    std::vector<std::string> texts;
    for (u64 i = 0; i < names.strings.count; ++i)
        texts.emplace_back(names.strings.data[i].str, names.strings.data[i].length);
    EXPECT_EQ(texts, (std::vector<std::string>{"1/4000", "1/250", "1/60", "1.3", "30", "Bulb"}));
    EXPECT_EQ(Name(MTP_CAMERAPROPERTY_SHUTTERSPEED), "1/250");
    EXPECT_TRUE(Property(MTP_CAMERAPROPERTY_SHUTTERSPEED).supported);
}

TEST_F(NikonTest, QualityNamesUseTheModelsCompressionTexts)
{
    ASSERT_TRUE(Use("D500"));
    EXPECT_EQ(Name(MTP_CAMERAPROPERTY_QUALITY), "JPEG Normal Large"); // D500's value 2
    int raw_jpeg = IndexOf(MTP_CAMERAPROPERTY_QUALITY, "RAW + JPEG Fine Large");
    ASSERT_GE(raw_jpeg, 0);
    EXPECT_GE(IndexOf(MTP_CAMERAPROPERTY_QUALITY, "RAW"), 0);
    EXPECT_EQ(IndexOf(MTP_CAMERAPROPERTY_QUALITY, "RAW Small"), -1); // raw only at the largest size
    ASSERT_TRUE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_QUALITY, raw_jpeg));
    Step();
    Step();
    EXPECT_EQ(Name(MTP_CAMERAPROPERTY_QUALITY), "RAW + JPEG Fine Large");
    EXPECT_EQ(device.files_per_shot, 2);
}

TEST_F(NikonTest, FocusModeIsLockedWhileTheCameraReportsManualFocus)
{
    ASSERT_TRUE(Use("D810"));
    EXPECT_TRUE(Property(MTP_CAMERAPROPERTY_FOCUSMODE).supported);
    EXPECT_EQ(Name(MTP_CAMERAPROPERTY_FOCUSMODE), "AF Single");
    camera.change_property(ptpsim::kNikonPropAFModeSelect, ptpsim::Value::integer(3), true);
    Step();
    Step();
    EXPECT_EQ(Name(MTP_CAMERAPROPERTY_FOCUSMODE), "MF (fixed)");
    EXPECT_FALSE(Property(MTP_CAMERAPROPERTY_FOCUSMODE).supported);
    EXPECT_FALSE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_FOCUSMODE, 0));
}

TEST_F(NikonTest, ValueTexts)
{
    struct Case
    {
        const char* model;
        u32 code;
        mtp_datatype_t datatype;
        i64 value;
        const char* text;
    };
    const Case cases[] = {
        {"D810", 0xD100, MTP_DATATYPE_UINT32, 0x00010FA0, "1/4000"},
        {"D810", 0xD100, MTP_DATATYPE_UINT32, 0x001E0001, "30"},
        {"D810", 0xD100, MTP_DATATYPE_UINT32, 0x000D000A, "1.3"},
        {"D810", 0xD100, MTP_DATATYPE_UINT32, 0x000A0019, "1/2.5"},
        {"D810", 0xD100, MTP_DATATYPE_UINT32, 0xFFFFFFFF, "Bulb"},
        {"D810", 0xD100, MTP_DATATYPE_UINT32, 0xFFFFFFFE, "Flash"},
        {"D810", 0xD100, MTP_DATATYPE_UINT32, 0xFFFFFFFD, "Time"},
        {"D810", 0xD100, MTP_DATATYPE_UINT32, 0x00050000, "5/0"},
        {"D810", 0x5004, MTP_DATATYPE_UINT8, 3, "TIFF"},
        {"D810", 0x5004, MTP_DATATYPE_UINT8, 8, "unknown"},
        {"D500", 0x5004, MTP_DATATYPE_UINT8, 7, "RAW"},
        {"D500", 0x5004, MTP_DATATYPE_UINT8, 13, "RAW + JPEG Fine"},
        {"D80", 0x5004, MTP_DATATYPE_UINT8, 3, "RAW"},
        {"D80", 0x5004, MTP_DATATYPE_UINT8, 7, "unknown"},
        {"D810", 0xD05D, MTP_DATATYPE_UINT8, 2, "Normal Area AF"},
        {"D810", 0xD05D, MTP_DATATYPE_UINT8, 9, "9"},
        {"D810", 0xD05D, MTP_DATATYPE_STR, 0, "Face Detection AF"},
        {"D810", 0xD101, MTP_DATATYPE_UINT8, 1, "Connected"},
        {"D810", 0xD10C, MTP_DATATYPE_UINT8, 2, "Super Speed"},
        {"D810", 0xD161, MTP_DATATYPE_UINT8, 3, "MF (fixed)"},
        {"D810", 0xD161, MTP_DATATYPE_UINT8, 7, "unknown"},
        {"D810", 0xD1A2, MTP_DATATYPE_UINT8, 1, "enabled"},
        {"D810", 0xD1F0, MTP_DATATYPE_UINT8, 0, "disabled"},
        {"D810", 0xD1A3, MTP_DATATYPE_UINT8, 5, "5"},
        {"D810", 0xD1AC, MTP_DATATYPE_UINT8, 3, "XGA"},
        {"D810", 0xD1AC, MTP_DATATYPE_UINT8, 0, "0"},
        {"D810", 0x5007, MTP_DATATYPE_UINT16, 560, "5.6"},
    };
    ASSERT_TRUE(mtp_device_initialise(device, nullptr, mtp_device_callbacks_t{}));
    initialised = true;
    device.protocol = MTP_PROTOCOL_NIKON;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.model) + " " + c.text);
        device.model = mtp_model_from_cstr(MTP_MANUFACTURER_NIKON, string_make(c.model));
        mtp_datavalue_t value = {};
        mtp_datavalue_initialise(value, c.datatype);
        if (c.datatype == MTP_DATATYPE_UINT32)
            value.uint32 = static_cast<u32>(c.value);
        else if (c.datatype == MTP_DATATYPE_UINT16)
            value.uint16 = static_cast<u16>(c.value);
        else if (c.datatype == MTP_DATATYPE_UINT8)
            value.uint8 = static_cast<u8>(c.value);
        stringbuffer_t text;
        stringbuffer_initialise(text);
        mtp_nikon_compute_property_str(device, text, value, static_cast<mtp_property_t>(c.code));
        EXPECT_EQ(std::string(text.str, text.length), c.text);
        stringbuffer_release(text);
        mtp_datavalue_release(value);
    }
}
