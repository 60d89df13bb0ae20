// The PTP device record against the generic responder: connecting and
// identification, DeviceInfo failures, the object properties per capture
// format, error accounting and health, the card count, the user operations'
// gating and disconnecting.
#include "support/ptpsim/ptpsim_fixture.h"

#include "support/support_temp_dir.h"

#include "orvo/camera/mtp_deviceproperty.h"
#include "orvo/camera/mtp_generic.h"
#include "orvo/camera/mtp_download.h"
#include "orvo/camera/mtp_update.h"
#include "orvo/core/core_thread.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace orvo;
using ptpsim::DeviceTest;

namespace
{
// The hooks a vendor extension would give; the generic base has none of them.
bool capture_hook(mtp_device_t& device)
{
    return mtp_device_execute(device, MTP_COMMAND_InitiateCapture);
}

bool capture_in_progress_hook(mtp_device_t& device)
{
    device.capture_in_progress = mtp_device_execute(device, MTP_COMMAND_InitiateCapture);
    return device.capture_in_progress;
}

bool storage_ids_hook(mtp_device_t& device, vector_t<u32>& ids)
{
    mtp_buffer_t& buffer = mtp_device_transfer_buffer(device);
    u64 cursor = 0;
    return mtp_device_read(device, buffer, MTP_COMMAND_GetStorageIDs) && buffer.length >= 4 &&
           mtp_buffer_extract(buffer, cursor, ids);
}

bool bulb_hook(mtp_device_t& device)
{
    return mtp_device_execute(device, MTP_COMMAND_InitiateCapture);
}

// The vendor's GetObject download, as a vendor extension gives it.
bool download_hook(mtp_device_t& device, mtp_downloadtask_t& task)
{
    u32 handle = task.object.handle;
    return mtp_device_read(device, *task.transfer_buffer, MTP_COMMAND_GetObject, &handle, 1) &&
           task.transfer_buffer->length > 0;
}

std::string g_download_folder;

void prepare_hook(mtp_downloadtask_t& task, void*)
{
    stringbuffer_set(task.download_folder, g_download_folder.c_str());
    stringbuffer_set(task.fallback_folder, (g_download_folder + "/Backup").c_str());
    stringbuffer_set(task.photo_name, "IMG_0001.JPG");
}

int g_liveview_off = 0;
int g_disconnects = 0;

bool liveview_hook(mtp_device_t& device, bool on)
{
    if (!on)
        ++g_liveview_off;
    device.liveview.on = on;
    return true;
}

void disconnect_hook(mtp_device_t&)
{
    ++g_disconnects;
}

} // namespace

// --- connecting and identification ----------------------------------------------------------------

TEST_F(DeviceTest, ConnectReadsDeviceInfoRegistersAndBuildsCameraProperties)
{
    ASSERT_TRUE(Connect());
    EXPECT_TRUE(device.registered);
    EXPECT_EQ(context.device_count, 1);
    EXPECT_STREQ(device.deviceinfo.manufacturer.str, "Acme");
    EXPECT_TRUE(log.Contains("Identified camera as: unknown unknown"));
    EXPECT_EQ(device.properties.num_entries, 5u);

    // The first update has built the standard camera properties from the camera.
    const mtp_cameraproperty_t& aperture = device.cameraproperties[MTP_CAMERAPROPERTY_APERTURE];
    EXPECT_EQ(aperture.code, MTP_PROPERTY_FNumber);
    ASSERT_EQ(aperture.value_names.strings.count, 5u);
    EXPECT_EQ(std::string(aperture.current_name.str), "5.6");
    EXPECT_EQ(aperture.current_index, 2);
    EXPECT_TRUE(aperture.supported);
    const mtp_cameraproperty_t& iso = device.cameraproperties[MTP_CAMERAPROPERTY_ISO];
    EXPECT_EQ(iso.value_names.strings.count, 64u);
    EXPECT_EQ(std::string(iso.current_name.str), "400");
    EXPECT_EQ(device.cameraproperties[MTP_CAMERAPROPERTY_SHUTTERSPEED].code, MTP_PROPERTY_Undefined);
    // The clock was read on connecting: the responder's runs with the computer's.
    EXPECT_EQ(device.clock_offset, 0);
    EXPECT_GE(camera.calls(ptpsim::kOpGetDevicePropDesc), 3);
}

TEST_F(DeviceTest, IdentifiesTheMakerAndPicksItsProtocol)
{
    struct Case
    {
        const char* why;
        const char* manufacturer;
        const char* model;
        mtp_manufacturer_t maker;
        mtp_model_t expected_model;
        mtp_protocol_t protocol;
    };
    const Case cases[] = {
        {"Ricoh speaks standard PTP", "RICOH", "RICOH THETA V", MTP_MANUFACTURER_RICOH,
         static_cast<mtp_model_t>(MTP_MODEL_RICOH_FIRST + 1), MTP_PROTOCOL_GENERIC},
        {"an unknown maker is driven as generic", "Acme", "Acme One", MTP_MANUFACTURER_UNKNOWN, MTP_MODEL_UNKNOWN,
         MTP_PROTOCOL_GENERIC},
        {"Canon EOS", "Canon Inc.", "Canon EOS 5D Mark III", MTP_MANUFACTURER_CANON, static_cast<mtp_model_t>(7),
         MTP_PROTOCOL_CANON},
        {"Nikon", "Nikon Corporation", "D810", MTP_MANUFACTURER_NIKON, static_cast<mtp_model_t>(59),
         MTP_PROTOCOL_NIKON},
        {"Fujifilm", "FUJIFILM", "X-T2", MTP_MANUFACTURER_FUJIFILM, MTP_MODEL_FUJIFILM_FIRST, MTP_PROTOCOL_FUJIFILM},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        camera.edit_deviceinfo([&](ptpsim::DeviceInfo& info) {
            info.manufacturer = c.manufacturer;
            info.model = c.model;
        });
        mtp_device_lock(device);
        ASSERT_TRUE(mtp_device_read_deviceinfo(device));
        mtp_device_unlock(device);
        EXPECT_EQ(device.manufacturer, c.maker);
        EXPECT_EQ(device.model, c.expected_model);
        EXPECT_EQ(device.protocol, c.protocol);
        if (c.protocol == MTP_PROTOCOL_GENERIC || c.protocol == MTP_PROTOCOL_FUJIFILM)
        {
            // Standard PTP throughout, Fujifilm included.
            EXPECT_EQ(device.hooks.record_error, &mtp_generic_record_error);
            EXPECT_EQ(device.hooks.read_devicepropdesc, &mtp_generic_read_devicepropdesc);
            EXPECT_EQ(device.hooks.capture, &mtp_generic_capture);
            EXPECT_EQ(device.hooks.handle_event, &mtp_generic_handle_event);
        }
        EXPECT_EQ(device.change_flags.load(), static_cast<u32>(MTP_CHANGE_ALL_STATE));
    }
}

TEST_F(DeviceTest, ConnectFailsWhenTheDeviceInfoCannotBeRead)
{
    struct Case
    {
        const char* why;
        ptpsim::Fault fault;
        bool unplugged;
    };
    ptpsim::Fault error;
    error.operation = ptpsim::kOpGetDeviceInfo;
    error.response = ptpsim::kRespGeneralError;
    ptpsim::Fault empty;
    empty.kind = ptpsim::Fault::Kind::kShortData;
    empty.operation = ptpsim::kOpGetDeviceInfo;
    empty.length = 0;
    ptpsim::Fault cut = empty;
    cut.length = ptpsim::encode_deviceinfo(ptpsim::DeviceInfo()).offsets[ptpsim::kSerialNumber] + 3;
    const Case cases[] = {
        {"the camera answers General Error", error, false},
        {"the camera answers no data", empty, false},
        {"the serial number is cut short", cut, false},
        {"the camera was removed", ptpsim::Fault(), true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        camera.clear_faults();
        camera.set_unplugged(c.unplugged);
        if (!c.unplugged)
            camera.add_fault(c.fault);
        log.Clear();
        EXPECT_FALSE(Connect());
        EXPECT_FALSE(device.registered);
        EXPECT_EQ(context.device_count, 0);
        EXPECT_TRUE(log.Contains("Failed to connect to MTP device"));
        EXPECT_FALSE(log.Contains("Identified camera as"));
    }
}

TEST_F(DeviceTest, AFailedDeviceInfoReadKeepsTheIdentificationAndProperties)
{
    camera.edit_deviceinfo([](ptpsim::DeviceInfo& info) {
        info.manufacturer = "RICOH";
        info.model = "RICOH THETA S";
    });
    ASSERT_TRUE(Connect());
    const u64 properties = device.properties.num_entries;
    const std::string serial = device.deviceinfo.serial_number.str;

    camera.edit_deviceinfo([](ptpsim::DeviceInfo& info) { info.manufacturer = "Nikon"; });
    camera.fail(ptpsim::kOpGetDeviceInfo, ptpsim::kRespGeneralError, 1);
    camera.send_event(ptpsim::kEvDeviceInfoChanged);
    u32 flags = Update();
    EXPECT_EQ(flags & MTP_CHANGE_ALL_STATE, 0u);
    EXPECT_EQ(device.manufacturer, MTP_MANUFACTURER_RICOH);
    EXPECT_EQ(device.properties.num_entries, properties);
    EXPECT_EQ(std::string(device.deviceinfo.serial_number.str), serial);
    EXPECT_EQ(device.fatal_errors, 1);
    // The request was dropped with the failure rather than retried on every pass.
    EXPECT_EQ(Update() & MTP_CHANGE_ALL_STATE, 0u);
    EXPECT_EQ(camera.calls(ptpsim::kOpGetDeviceInfo), 2);
}

// One list of object properties per capture format, aligned with the formats
// whatever the camera answers for each of them.
TEST_F(DeviceTest, ObjectPropertyListsStayAlignedWithTheCaptureFormats)
{
    const u16 formats[] = {0x3801, 0x300D, 0x3808};
    camera.edit_deviceinfo([&](ptpsim::DeviceInfo& info) {
        info.capture_formats.assign(formats, formats + 3);
        info.operations.push_back(ptpsim::kOpGetObjectPropsSupported);
    });
    camera.set_object_properties(0x3801, {0xDC01, 0xDC02});
    camera.set_object_properties(0x300D, {0xDC03});
    camera.set_object_properties(0x3808, {0xDC04, 0xDC05, 0xDC06});

    struct Case
    {
        const char* why;
        bool faulty;
        ptpsim::Fault::Kind kind;
        size_t length;
        bool logged;
    };
    const Case cases[] = {
        {"every format answers", false, ptpsim::Fault::Kind::kResponse, 0, false},
        {"the middle format fails", true, ptpsim::Fault::Kind::kResponse, 0, false},
        {"the middle format answers under 4 bytes", true, ptpsim::Fault::Kind::kShortData, 3, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        camera.clear_faults();
        ptpsim::Fault fault;
        fault.kind = c.kind;
        fault.operation = ptpsim::kOpGetObjectPropsSupported;
        fault.match_parameter = true;
        fault.parameter = 0x300D;
        fault.length = c.length;
        if (c.faulty)
            camera.add_fault(fault);
        log.Clear();
        mtp_device_lock(device);
        ASSERT_TRUE(mtp_device_read_deviceinfo(device));
        mtp_device_unlock(device);

        const vector_t<vector_t<u16>>& lists = device.deviceinfo.object_properties;
        ASSERT_EQ(lists.count, 3u);
        EXPECT_EQ(lists.data[0].count, 2u);
        EXPECT_EQ(lists.data[1].count, c.faulty ? 0u : 1u);
        EXPECT_EQ(lists.data[2].count, 3u);
        EXPECT_TRUE(mtp_deviceinfo_is_supported(device.deviceinfo, static_cast<mtp_format_t>(0x3808),
                                                static_cast<mtp_property_t>(0xDC06)));
        EXPECT_FALSE(mtp_deviceinfo_is_supported(device.deviceinfo, static_cast<mtp_format_t>(0x3808),
                                                 static_cast<mtp_property_t>(0xDC03)));
        EXPECT_EQ(log.Contains("Failed to query object properties for format: MOV"), c.logged);
    }
}

// --- error accounting and health -------------------------------------------------------------------

TEST_F(DeviceTest, FailedTransactionsAreCountedByTheGenericAccounting)
{
    ASSERT_TRUE(Connect());
    struct Case
    {
        const char* why;
        u16 operation;
        u16 response;
        bool read;
        int minor;
        int fatal;
        const char* logged; // null: nothing logged
    };
    const Case cases[] = {
        {"a release that cannot focus is no link failure", ptpsim::kOpInitiateCapture, ptpsim::kRespGeneralError,
         false, 0, 0, nullptr},
        {"General Error to GetObject is fatal", ptpsim::kOpGetObject, ptpsim::kRespGeneralError, true, 1, 1,
         "Failed to execute read command: GetObject - General_Error"},
        {"a closed session is fatal", ptpsim::kOpInitiateCapture, ptpsim::kRespSessionNotOpen, false, 1, 1,
         "MTP command failed: InitiateCapture - Session_Not_Open"},
        {"a busy camera is a minor error", ptpsim::kOpGetStorageIDs, 0x2019, true, 1, 0,
         "Failed to execute read command: GetStorageIDs - Device_Busy"},
        {"a property that refuses to be read names the property", ptpsim::kOpGetDevicePropDesc, 0x201D, true, 1, 0,
         "Failed to execute read command: GetDevicePropDesc - FNumber - Invalid_Parameter"},
        {"a listed property the camera does not support is no link failure", ptpsim::kOpGetDevicePropDesc, 0x200A,
         true, 0, 0, nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        device.minor_errors = device.fatal_errors = 0;
        camera.clear_faults();
        camera.fail(c.operation, c.response);
        log.Clear();
        u32 parameter = c.operation == ptpsim::kOpGetDevicePropDesc ? ptpsim::kPropFNumber : 1;
        mtp_device_lock(device);
        bool ok = c.read ? mtp_device_read(device, mtp_device_transfer_buffer(device),
                                           static_cast<mtp_command_t>(c.operation), &parameter, 1)
                         : mtp_device_execute(device, static_cast<mtp_command_t>(c.operation));
        mtp_device_unlock(device);
        EXPECT_FALSE(ok);
        EXPECT_EQ(device.minor_errors, c.minor);
        EXPECT_EQ(device.fatal_errors, c.fatal);
        if (c.logged)
        {
            EXPECT_TRUE(log.Contains(c.logged));
        }
        else
        {
            EXPECT_TRUE(log.Lines().empty());
        }
        EXPECT_EQ(mtp_device_has_failed(device), c.fatal > 0);
    }
}

TEST_F(DeviceTest, HealthCountsZeroLengthAndSizeMismatchReads)
{
    ASSERT_TRUE(Connect());
    ptpsim::Fault empty;
    empty.kind = ptpsim::Fault::Kind::kShortData;
    empty.operation = ptpsim::kOpGetStorageIDs;
    empty.length = 0;
    camera.add_fault(empty);
    for (int reads = 1; reads <= 5; ++reads)
    {
        SCOPED_TRACE(reads);
        log.Clear();
        mtp_device_lock(device);
        // An empty answer is still an answer; it is only counted.
        EXPECT_TRUE(mtp_device_read(device, mtp_device_transfer_buffer(device), MTP_COMMAND_GetStorageIDs));
        mtp_device_unlock(device);
        EXPECT_TRUE(log.Contains("Zero sized read from camera: 1 - GetStorageIDs"));
        EXPECT_EQ(mtp_device_has_failed(device), reads > 4);
    }
    EXPECT_TRUE(log.Contains(
        "Communication issues detected for camera: 1 - 0 fatal, 0 minor, 5 zero reads, 0 mismatch reads"));

    device.zero_length_reads = 0;
    for (int mismatches = 0; mismatches <= 3; ++mismatches)
    {
        SCOPED_TRACE(mismatches);
        device.size_mismatch_reads = mismatches;
        EXPECT_EQ(mtp_device_has_failed(device), mismatches > 2);
    }
    // Minor errors alone never fail a camera.
    device.size_mismatch_reads = 0;
    device.minor_errors = 1000;
    EXPECT_FALSE(mtp_device_has_failed(device));
}

// --- memory cards ----------------------------------------------------------------------------------

TEST_F(DeviceTest, CountsTheCardsOfStoragesWithMedia)
{
    ASSERT_TRUE(Connect());
    device.hooks.get_storage_ids = storage_ids_hook;
    device.cards = -1; // as before the first count (connecting counted already)
    struct Case
    {
        const char* why;
        std::vector<u32> storages;
        u16 event;
        int cards;
        const char* logged;
    };
    const Case cases[] = {
        {"the first count is logged as detected even for no card", {0x00010000}, ptpsim::kEvStoreAdded, 0,
         "Memory card(s) detected in camera: 1 - 0 card(s)"},
        {"a slot without media is not a card", {0x00010001, 0x00020000}, ptpsim::kEvStoreAdded, 1,
         "Memory card(s) detected in camera: 1 - 1 card(s)"},
        {"two cards", {0x00010001, 0x00020001}, ptpsim::kEvStoreAdded, 2,
         "Memory card(s) detected in camera: 1 - 2 card(s)"},
        {"a card taken out", {0x00010001, 0x00020000}, ptpsim::kEvStoreRemoved, 1,
         "Memory card(s) removed in camera: 1 - 1 card(s)"},
        {"no change logs nothing", {0x00010001}, ptpsim::kEvStoreAdded, 1, nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        camera.set_storages(c.storages);
        camera.send_event(c.event);
        log.Clear();
        // The event itself asks the driver to copy the card count.
        EXPECT_NE(Update() & MTP_CHANGE_CARDS, 0u);
        EXPECT_EQ(device.cards, c.cards);
        if (c.logged)
        {
            EXPECT_TRUE(log.Contains(c.logged));
        }
        else
        {
            EXPECT_FALSE(log.Contains("Memory card"));
        }
    }
    // A camera that cannot list its storages keeps the last count.
    camera.fail(ptpsim::kOpGetStorageIDs, 0x2019, 1);
    camera.send_event(ptpsim::kEvStoreAdded);
    Update();
    EXPECT_EQ(device.cards, 1);
    EXPECT_TRUE(log.Contains("Failed to query memory cards for camera: 1"));
}

// --- user operations ---------------------------------------------------------------------------------

TEST_F(DeviceTest, UserOperationsNeedAFreeDeviceNoDownloadAndAHook)
{
    ASSERT_TRUE(Connect());
    struct Case
    {
        const char* why;
        bool hook;
        bool pending;
        bool locked;
        bool mirror_up;
        bool expected;
    };
    const Case cases[] = {
        {"the vendor has no capture", false, false, false, false, false},
        {"a free camera captures", true, false, false, false, true},
        {"a download is pending", true, true, false, false, false},
        {"a download thread holds the device", true, false, true, false, false},
        {"the mirror is locked up", true, false, false, true, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        camera.reset_calls();
        device.hooks.capture = c.hook ? capture_hook : nullptr;
        device.pending_downloads = c.pending ? 1 : 0;
        device.mirrorlockup.mirror_up = c.mirror_up;
        bool ok;
        if (c.locked)
        {
            ptpsim::LockHolder holder(device);
            ok = mtp_device_capture(device);
        }
        else
            ok = mtp_device_capture(device);
        EXPECT_EQ(ok, c.expected);
        EXPECT_EQ(camera.calls(ptpsim::kOpInitiateCapture), c.expected ? 1 : 0);
        // The objects a capture makes on the card are the camera's own state.
        camera.drain_events();
    }
    device.pending_downloads = 0;
    device.mirrorlockup.mirror_up = false;

    // Every other user operation answers false without its hook.
    device.hooks.format = nullptr;
    device.hooks.delete_object = nullptr;
    EXPECT_FALSE(mtp_device_focus(device));
    EXPECT_FALSE(mtp_device_bulb_capture(device, 1, TIMEUNIT_SECONDS));
    EXPECT_FALSE(mtp_device_enable_liveview(device, true));
    EXPECT_FALSE(mtp_device_zoom_liveview(device, true));
    EXPECT_FALSE(mtp_device_move_liveview(device, 1, 1));
    EXPECT_FALSE(mtp_device_focus_liveview(device, 1));
    EXPECT_FALSE(mtp_device_enable_dof(device, true));
    EXPECT_FALSE(mtp_device_enable_video(device, true));
    EXPECT_FALSE(mtp_device_format(device));
    EXPECT_FALSE(mtp_device_shutterbutton(device, MTP_SHUTTERBUTTON_FULL));
    mtp_objectinfo_t object;
    mtp_objectinfo_initialise(object, MTP_PROTOCOL_GENERIC, 1);
    EXPECT_FALSE(mtp_device_delete_locked(device, object));
    mtp_objectinfo_release(object);
}

static int g_polls = 0;

// A real download held in its GetObject by the camera: until it is
// acknowledged, the camera's user operations and update do nothing.
TEST_F(DeviceTest, UserOperationsWaitWhileADownloadIsPending)
{
    lumivane_test::TempDir folder;
    g_download_folder = folder.Path();
    device.callbacks.prepare_download = prepare_hook;
    ASSERT_TRUE(Connect());
    device.hooks.capture = capture_hook;
    device.hooks.download = download_hook;
    u32 handle = camera.add_object(ptpsim::ObjectInfo(), 4096, ptpsim::Content::kJpeg);
    mtp_objectinfo_t object;
    mtp_objectinfo_initialise(object, MTP_PROTOCOL_GENERIC, handle);
    object.size = 4096;
    object.format = 0x3801;
    stringbuffer_set(object.filename, "IMG_0001.JPG");

    camera.hold(ptpsim::kOpGetObject);
    ASSERT_TRUE(mtp_device_download(device, object, true, nullptr));
    EXPECT_EQ(device.pending_downloads, 1);
    // The camera thread's passes start a download thread, which blocks in GetObject.
    while (!camera.held(ptpsim::kOpGetObject))
    {
        mtp_context_update(context);
        thread_yield();
    }
    camera.reset_calls();
    EXPECT_FALSE(mtp_device_capture(device));
    EXPECT_EQ(mtp_device_update(device), 0u);
    EXPECT_FALSE(mtp_device_get_datetime(device));
    EXPECT_FALSE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_APERTURE, 0));
    EXPECT_EQ(camera.calls(ptpsim::kOpInitiateCapture) + camera.calls(ptpsim::kOpGetDevicePropDesc), 0);

    camera.release(ptpsim::kOpGetObject);
    while (device.pending_downloads > 0)
    {
        mtp_context_update(context);
        thread_yield();
    }
    EXPECT_TRUE(mtp_device_capture(device));
    EXPECT_EQ(camera.calls(ptpsim::kOpInitiateCapture), 1);
    mtp_objectinfo_release(object);
}

TEST_F(DeviceTest, ACaptureInProgressMakesTheNextUpdatePollAtOnce)
{
    ASSERT_TRUE(Connect());
    g_polls = 0;
    device.hooks.poll = [](mtp_device_t&) { ++g_polls; };
    device.hooks.capture = capture_in_progress_hook;
    // On a battery that does not report itself the slow periods hold.
    device.hooks.check_battery = nullptr;
    device.power.source = MTP_POWERSOURCE_UNKNOWN;
    countdown_clear(device.poll_countdown); // connecting polled already
    Update();
    ASSERT_EQ(g_polls, 1);
    EXPECT_EQ(device.poll_period, 1000u);
    clock.advance_ms(300);
    Update();
    EXPECT_EQ(g_polls, 1); // within the period

    ASSERT_TRUE(mtp_device_capture(device));
    EXPECT_TRUE(device.fast_poll);
    // The countdown is stopped; the time it had run stays in its timer.
    EXPECT_EQ(device.poll_countdown.timer.start, 0u);
    EXPECT_EQ(device.poll_countdown.timer.ticks, 300000u);
    Update();
    EXPECT_EQ(g_polls, 2);
    EXPECT_EQ(device.poll_period, 100u);
}

TEST_F(DeviceTest, BulbCaptureOpensAnExposureOfTheAskedLength)
{
    ASSERT_TRUE(Connect());
    device.hooks.bulb_start = bulb_hook;
    EXPECT_FALSE(mtp_device_bulb_capture(device, 1, TIMEUNIT_SECONDS)); // bulb needs a stop as well
    device.hooks.bulb_stop = [](mtp_device_t&) { return true; };
    device.bulb.supported = true; // as the capabilities derive from both hooks

    struct Case
    {
        const char* why;
        u64 duration;
        u32 unit;
        u64 ticks;
    };
    const Case cases[] = {
        {"seconds", 2, TIMEUNIT_SECONDS, 2000000},
        {"milliseconds", 1500, TIMEUNIT_MILLISECONDS, 1500000},
        {"microseconds", 700, TIMEUNIT_MICROSECONDS, 700},
        {"ticks", 5, TIMEUNIT_TICKS, 5},
        {"an unknown unit ends at the next update", 3, 9, 0},
    };
    device.bulb.enabled = false;
    EXPECT_FALSE(mtp_device_bulb_capture(device, 1, TIMEUNIT_SECONDS)); // the camera is not set to bulb
    device.bulb.enabled = true;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        device.bulb.active = false;
        ASSERT_TRUE(mtp_device_bulb_capture(device, c.duration, static_cast<timeunit_t>(c.unit)));
        EXPECT_TRUE(device.bulb.active);
        EXPECT_EQ(device.bulb_countdown.target, c.ticks);
        EXPECT_EQ(device.bulb_countdown.timer.start, clock.ticks());
        camera.drain_events();
    }
    device.mirrorlockup.mirror_up = true;
    EXPECT_FALSE(mtp_device_bulb_capture(device, 1, TIMEUNIT_SECONDS));
}

TEST_F(DeviceTest, DisconnectUnregistersAndSwitchesLiveViewOff)
{
    ASSERT_TRUE(Connect());
    g_liveview_off = 0;
    g_disconnects = 0;
    device.hooks.enable_liveview = liveview_hook;
    device.hooks.disconnect = disconnect_hook;
    ASSERT_TRUE(mtp_device_enable_liveview(device, true));
    EXPECT_TRUE(device.liveview.requested);
    device.pending_downloads = 2; // left by a camera that went away mid-transfer

    log.Clear();
    mtp_device_disconnect(device);
    EXPECT_FALSE(device.registered);
    EXPECT_EQ(context.device_count, 0);
    EXPECT_EQ(device.pending_downloads, 0);
    EXPECT_TRUE(log.Contains("MTP device has pending downloads: 2"));
    EXPECT_EQ(g_liveview_off, 1);
    EXPECT_FALSE(device.liveview.requested);
    EXPECT_EQ(g_disconnects, 1);
}

TEST(DeviceRecord, ReleaseIsSafeTwiceAndOnAZeroedRecord)
{
    mtp_device_t zeroed = {};
    mtp_device_release(zeroed);
    mtp_device_release(zeroed);

    mtp_device_t device = {};
    mtp_device_callbacks_t callbacks = {};
    ASSERT_TRUE(mtp_device_initialise(device, nullptr, callbacks));
    EXPECT_EQ(device.cards, -1);
    EXPECT_EQ(device.controller_slot, -1);
    EXPECT_TRUE(device.download);
    EXPECT_EQ(device.power.source, MTP_POWERSOURCE_UNKNOWN);
    EXPECT_EQ(device.liveview.frames_per_second, 20);
    EXPECT_EQ(device.liveview.frame_version.version, 1);
    // Without transport every transaction fails quietly.
    EXPECT_FALSE(mtp_device_execute(device, MTP_COMMAND_InitiateCapture));
    EXPECT_EQ(device.minor_errors, 0);
    mtp_device_release(device);
    mtp_device_release(device);
    EXPECT_EQ(device.lock, nullptr);
}
