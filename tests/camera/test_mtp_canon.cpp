// The Canon EOS extension's connection, events, properties and storage
// against the responder's Canon body: the state after connecting, the hook
// table per body, the GetEvent record walk with malformed sizes, new objects
// and transfer requests per storage mode, acknowledgement and cancelling,
// descriptions from the available lists, image formats, the custom-function
// walk and mirror lock-up, storage slots, the no-card rule, the drive-mode
// override and the battery.
#include "test_mtp_canon_rig.h"

#include "orvo/camera/mtp_generic.h"
#include "orvo/core/core_hash.h"
#include "support/support_failing_allocator.h"

#include <fstream>
#include <iterator>

using namespace orvo;
using canon_test::Rig;
using ptpsim::Bytes;
using ptpsim::Encoder;

namespace
{
std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string hash_of(const Bytes& bytes)
{
    stringbuffer_t hash;
    stringbuffer_initialise(hash);
    compute_hash(hash, bytes.data(), bytes.size());
    std::string text(hash.str, hash.length);
    stringbuffer_release(hash);
    return text;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes object_added(u32 type, u32 handle, u16 format, u32 size, const std::string& name)
{
    Encoder e;
    e.u32(handle).u32(0x00010001).u16(format).u16(0).u32(0).u32(0).u32(size).u32(0).u32(0);
    if (type == ptpsim::kEvCanonObjectAddedEx2)
        e.u32(0);
    e.bytes(name.data(), name.size()).u8(0);
    return ptpsim::canon_record(type, e.take());
}

Bytes transfer_request(u32 handle, u16 format, u32 size)
{
    return ptpsim::canon_record(ptpsim::kEvCanonRequestObjectTransfer,
                                Encoder().u32(handle).u16(format).u16(0).u32(0).u32(size).take());
}

u32 word(const Bytes& bytes, size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<u32>(bytes[at + 3]) << 24;
}

// The SetDevicePropValueEx records the camera received for one code (a
// record of the custom functions counts for mirror lock-up's).
std::vector<Bytes> records_for(ptpsim::CanonCamera& camera, u32 code)
{
    std::vector<Bytes> records;
    for (const Bytes& record : camera.setex_records())
        if (word(record, 4) == code)
            records.push_back(record);
    return records;
}
} // namespace

// --- connecting -------------------------------------------------------------------------------------

TEST(CanonExtension, ConnectingLeavesTheBodyInRemoteAndEventModeWritingToTheComputer)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    EXPECT_EQ(rig.device.protocol, MTP_PROTOCOL_CANON);
    EXPECT_TRUE(rig.device.events_by_polling);
    EXPECT_TRUE(rig.camera.remote_mode());
    EXPECT_TRUE(rig.camera.event_mode());
    EXPECT_GE(rig.camera.capacity_reports(), 1);
    EXPECT_EQ(rig.camera.capacity_parameters(), (std::vector<uint32_t>{0x4FFFFFFF, 0x1000, 1}));
    EXPECT_EQ(rig.camera.u32(ptpsim::kCanonCaptureDestination), 4u);
    EXPECT_EQ(rig.State().storage_index, 1);
    EXPECT_EQ(rig.State().first_capture_destination, 1);
    EXPECT_TRUE(rig.device.host_only);
    EXPECT_TRUE(rig.device.camera_storage_mode);
    const mtp_cameraproperty_t& storage = rig.device.cameraproperties[MTP_CAMERAPROPERTY_STORAGEMODE];
    EXPECT_EQ(canon_test::names_of(storage), (std::vector<std::string>{"Card", "Disk", "Both", "JPEG"}));
    EXPECT_STREQ(storage.current_name.str, "Disk");
    // The serial number comes from the body's own property, trimmed.
    EXPECT_STREQ(rig.device.deviceinfo.serial_number.str, "83021001234");
    // The custom functions hold mirror lock-up, in group 3.
    EXPECT_EQ(rig.State().mirror_function_id, 0x60F);
    EXPECT_EQ(rig.State().mirror_function_group, 3);
    EXPECT_TRUE(rig.device.mirrorlockup.supported);
    EXPECT_EQ(rig.State().default_frame_width, 5760u);
    EXPECT_EQ(rig.State().default_frame_height, 3840u);
    EXPECT_EQ(rig.device.power.source, MTP_POWERSOURCE_BATTERY);
    EXPECT_EQ(rig.device.power.level, 80);
    EXPECT_EQ(canon_test::names_of(rig.device.cameraproperties[MTP_CAMERAPROPERTY_SHUTTERSPEED]),
              (std::vector<std::string>{"Bulb", "30", "1/60", "1/125"}));
    EXPECT_STREQ(rig.device.cameraproperties[MTP_CAMERAPROPERTY_SHUTTERSPEED].current_name.str, "1/125");
    EXPECT_STREQ(rig.device.cameraproperties[MTP_CAMERAPROPERTY_QUALITY].current_name.str, "JPEG Fine Large");

    mtp_device_disconnect(rig.device);
    EXPECT_FALSE(rig.camera.remote_mode());
    EXPECT_FALSE(rig.camera.event_mode());
    EXPECT_EQ(rig.device.vendor_state, nullptr);
}

TEST(CanonExtension, HooksFollowTheOperationsTheBodyLists)
{
    struct Case
    {
        const char* why;
        std::vector<uint16_t> unlisted;
        bool (*capture)(mtp_device_t&);
        bool (*focus)(mtp_device_t&);
        bool bulb;
    };
    const Case cases[] = {
        {"a current body", {}, mtp_canon_capture, mtp_canon_focus_v1, true},
        {"a body without DoAf focuses by half press", {0x9154}, mtp_canon_capture, mtp_canon_focus_v2, true},
        {"a legacy body releases with RemoteRelease", {0x9128, 0x9129}, mtp_canon_legacy_capture, mtp_canon_focus_v1,
         false},
        {"neither DoAf nor the button", {0x9128, 0x9129, 0x9154}, mtp_canon_legacy_capture, nullptr, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        rig.camera.unlist_operations(c.unlisted);
        ASSERT_TRUE(rig.Connect());
        EXPECT_EQ(rig.device.hooks.capture, c.capture);
        EXPECT_EQ(rig.device.hooks.focus, c.focus);
        EXPECT_EQ(rig.device.bulb.supported, c.bulb);
        EXPECT_EQ(rig.device.hooks.poll, &mtp_canon_poll);
        EXPECT_EQ(rig.device.hooks.handle_event, nullptr);
        EXPECT_EQ(rig.device.hooks.check_battery, &mtp_canon_check_battery);
        EXPECT_TRUE(rig.device.liveview.supported);
        EXPECT_NE(rig.device.hooks.enable_video, nullptr);
    }
}

// --- the record walk ---------------------------------------------------------------------------------

TEST(CanonExtension, EventRecordsAreWalkedWithinTheirBytes)
{
    struct Case
    {
        const char* why;
        Bytes data;
        std::vector<std::string> logged;
        std::vector<std::string> not_logged;
    };
    Bytes status = ptpsim::canon_record(ptpsim::kEvCanonCameraStatusChanged, ptpsim::canon_u32(1));
    Bytes small = Encoder().u32(4).u32(ptpsim::kEvCanonCameraStatusChanged).take();
    Bytes large = Encoder().u32(100).u32(ptpsim::kEvCanonCameraStatusChanged).u32(7).take();
    const Case cases[] = {
        {"a lone terminator holds no record", ptpsim::canon_terminator(), {}, {"Canon event"}},
        {"a size below 8 is logged and read as an 8-byte record",
         concat({small, status, ptpsim::canon_terminator()}),
         {"Canon event size mismatch: 4 (expected >= 8)", "Canon event invalid: Canon_CameraStatusChanged",
          "Canon event: Canon_CameraStatusChanged - 1"},
         {}},
        {"a size beyond the data is cut to the rest",
         large,
         {"Canon event size mismatch: 100 (expected <= 12)", "Canon event: Canon_CameraStatusChanged - 7"},
         {}},
        {"ObjectAddedEx2 names its file 4 bytes later than ObjectAddedEx",
         concat({object_added(ptpsim::kEvCanonObjectAddedEx, 0x100, 0x3801, 5000, "IMG_0001.JPG"),
                 object_added(ptpsim::kEvCanonObjectAddedEx2, 0x101, 0x3801, 6000, "IMG_0002.JPG")}),
         {"Canon_ObjectAddedEx (num_bytes: 5000, name: 'IMG_0001.JPG')",
          "Canon_ObjectAddedEx2 (num_bytes: 6000, name: 'IMG_0002.JPG')"},
         {}},
        {"an object record of 2 bytes is invalid",
         ptpsim::canon_record(ptpsim::kEvCanonObjectAddedEx2, {1, 2}),
         {"Canon event invalid: Canon_ObjectAddedEx2"},
         {}},
        {"other records take the generic event path",
         ptpsim::canon_record(0x4004, ptpsim::canon_u32(0x00020001)),
         {"MTP event: StoreAdded - 20001"},
         {}},
        {"a terminator followed by more records goes on",
         concat({ptpsim::canon_terminator(), status}),
         {"Canon event: Canon_CameraStatusChanged - 1"},
         {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        ASSERT_TRUE(rig.Connect());
        rig.log.Clear();
        rig.Decode(c.data);
        for (const std::string& text : c.logged)
            EXPECT_TRUE(rig.log.Contains(text)) << text;
        for (const std::string& text : c.not_logged)
            EXPECT_FALSE(rig.log.Contains(text)) << text;
    }
}

TEST(CanonExtension, CameraStatusAndStoreEventsReachTheDevice)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    rig.camera.queue_record(ptpsim::canon_record(ptpsim::kEvCanonCameraStatusChanged, ptpsim::canon_u32(1)));
    rig.camera.queue_record(ptpsim::canon_record(0x4004, ptpsim::canon_u32(0x00020001)));
    rig.camera.set_storages({0x00010001, 0x00020001});
    rig.Update();
    EXPECT_EQ(rig.State().camera_status, 1u);
    // StoreAdded asked for a card count on the next pass.
    rig.Update();
    EXPECT_EQ(rig.device.cards, 2);
}

// --- new objects and transfers --------------------------------------------------------------------------

TEST(CanonExtension, ObjectsAndTransferRequestsFollowTheStorageMode)
{
    struct Case
    {
        const char* why;
        u32 destination;     // the camera's CaptureDestination
        i32 requested;       // the storage index asked for, -1 none
        u16 format;
        bool transfer;       // a transfer request rather than a card object
        std::vector<std::string> announced;
        bool downloaded;
    };
    const Case cases[] = {
        {"Disk: a card record makes no photo", 4, -1, 0xB103, false, {}, false},
        {"Disk: the transfer request makes it, named by its format", 4, -1, 0xB103, true, {"IMG_0000.CR2"}, true},
        {"Card: announced and left", 1, -1, 0x3801, false, {"IMG_0001.JPG"}, false},
        {"JPEG: a RAW is announced, not downloaded", 1, 3, 0xB103, false, {"IMG_0001.CR2"}, false},
        {"JPEG: a JPEG is downloaded", 1, 3, 0x3801, false, {"IMG_0001.JPG"}, true},
        {"Both without a disk-and-card value downloads from the card", 1, 2, 0x3801, false, {"IMG_0001.JPG"}, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        ASSERT_TRUE(rig.Connect());
        rig.camera.set_u32(ptpsim::kCanonCaptureDestination, c.destination);
        rig.Update();
        rig.State().requested_storage_index = c.requested;
        ptpsim::ObjectInfo info;
        info.format = c.format;
        info.filename = c.format == 0x3801 ? "IMG_0001.JPG" : "IMG_0001.CR2";
        uint32_t handle = rig.camera.add_object(info, 40000);
        rig.camera.queue_record(c.transfer ? transfer_request(handle, c.format, 40000)
                                           : object_added(ptpsim::kEvCanonObjectAddedEx, handle, c.format, 40000,
                                                          info.filename));
        rig.Update();
        EXPECT_EQ(canon_test::announced(), c.announced);
        EXPECT_EQ(rig.device.pending_downloads, c.downloaded ? 1 : 0);
        if (c.downloaded)
        {
            ASSERT_TRUE(rig.PumpUntil([&] { return rig.recorder.num_finished() == 1; }));
        }
    }
}

TEST(CanonExtension, APhotoInDiskStorageEndsAsOneFileAndLeavesTheCamerasMemory)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    ASSERT_EQ(rig.camera.u32(ptpsim::kCanonCaptureDestination), 4u);
    ASSERT_TRUE(mtp_device_capture(rig.device));
    ASSERT_TRUE(rig.device.capture_in_progress);
    std::vector<uint32_t> memory = rig.camera.memory_handles();
    ASSERT_EQ(memory.size(), 1u);
    Bytes bytes = rig.camera.object_bytes(memory[0]);
    ASSERT_TRUE(rig.PumpUntil([&] {
        return rig.recorder.num_finished() == 1 && mtp_context_num_downloads(rig.context, rig.device) == 0;
    }));
    EXPECT_FALSE(rig.device.capture_in_progress);
    ptpsim::FinishedDownload f = rig.recorder.finished()[0];
    ASSERT_TRUE(f.success);
    EXPECT_EQ(read_file(f.target), std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(f.hash, hash_of(bytes));
    EXPECT_TRUE(rig.camera.memory_handles().empty());
    EXPECT_EQ(rig.camera.transferred(), memory);
    EXPECT_TRUE(rig.camera.card_handles().empty());
}

TEST(CanonExtension, APhotoInCardStorageStaysOnTheCard)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    ASSERT_TRUE(mtp_device_set_cameraproperty(rig.device, MTP_CAMERAPROPERTY_STORAGEMODE, 0));
    rig.Update();
    EXPECT_EQ(rig.camera.u32(ptpsim::kCanonCaptureDestination), 1u);
    EXPECT_STREQ(rig.device.cameraproperties[MTP_CAMERAPROPERTY_STORAGEMODE].current_name.str, "Card");
    ASSERT_TRUE(mtp_device_capture(rig.device));
    rig.Update();
    EXPECT_EQ(canon_test::announced().size(), 1u);
    EXPECT_FALSE(rig.device.capture_in_progress);
    EXPECT_EQ(rig.device.pending_downloads, 0);
    EXPECT_EQ(rig.camera.card_handles().size(), 1u);
    EXPECT_EQ(rig.camera.calls(ptpsim::kOpGetObject), 0);
}

TEST(CanonExtension, TransfersThatCannotBeDownloadedAreCancelled)
{
    struct Case
    {
        const char* why;
        bool registered;
        bool fail_read;
    };
    const Case cases[] = {
        {"the device is not registered", false, false},
        {"the download fails", true, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        ASSERT_TRUE(rig.Connect());
        if (c.fail_read)
            rig.camera.fail(ptpsim::kOpGetObject, 0x2019);
        ASSERT_TRUE(mtp_device_capture(rig.device));
        uint32_t handle = rig.camera.memory_handles()[0];
        if (!c.registered)
            rig.device.registered = false;
        if (c.registered)
        {
            ASSERT_TRUE(rig.PumpUntil([&] { return rig.recorder.num_finished() == 1; }));
        }
        else
            rig.Update();
        EXPECT_EQ(rig.camera.cancelled(), std::vector<uint32_t>{handle});
        EXPECT_TRUE(rig.camera.transferred().empty());
        rig.device.registered = true; // so that teardown unregisters it
    }
}

// --- properties ---------------------------------------------------------------------------------------------

TEST(CanonExtension, AllowedValueListsAreFixedAsTheBodiesNeed)
{
    struct Case
    {
        const char* why;
        u16 code;
        std::vector<uint32_t> allowed;
        uint32_t current;
        std::vector<u32> expected;
        u8 getset;
    };
    const Case cases[] = {
        {"manual focus is always offered", ptpsim::kCanonFocusMode, {0, 1, 2}, 0, {0, 1, 2, 3}, 1},
        {"the computer is always a destination", ptpsim::kCanonCaptureDestination, {1, 2}, 1, {1, 2, 4}, 1},
        {"mirror up can only be left", ptpsim::kCanonMirrorLockupState, {0, 1, 2}, 2, {2}, 0},
        {"mirror lock-up off or on", ptpsim::kCanonMirrorLockupState, {0, 1, 2}, 0, {0, 1}, 1},
        {"a single value other than the current one", ptpsim::kCanonMeteringMode, {5}, 3, {3}, 0},
        {"the current value joins a list without it", ptpsim::kCanonWhiteBalance, {0, 1}, 5, {0, 1, 5}, 1},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        ASSERT_TRUE(rig.Connect());
        rig.camera.set_u32(c.code, c.current, c.allowed);
        rig.Update();
        EXPECT_EQ(canon_test::allowed_of(rig.device, c.code), c.expected);
        EXPECT_EQ(hashtable_find(rig.device.properties, static_cast<u32>(c.code))->getset, c.getset);
    }
}

TEST(CanonExtension, ImageFormatsRoundTripThroughTheirRecords)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    // A list whose second record has three entries: the walk keeps step, so
    // the record after it is read whole.
    rig.camera.queue_record(ptpsim::canon_avail_list_records(
        ptpsim::kCanonImageFormat,
        {ptpsim::canon_imageformat({{1, 0, 3}}), ptpsim::canon_imageformat({{6, 0, 0}, {1, 0, 3}, {1, 2, 1}}),
         ptpsim::canon_imageformat({{1, 2, 2}})}));
    rig.camera.set_bytes(ptpsim::kCanonImageFormat, ptpsim::canon_imageformat({{6, 0, 0}, {1, 0, 3}}));
    rig.Update();
    const mtp_cameraproperty_t& quality = rig.device.cameraproperties[MTP_CAMERAPROPERTY_QUALITY];
    EXPECT_EQ(canon_test::names_of(quality),
              (std::vector<std::string>{"JPEG Fine Large", "RAW + JPEG Fine Large", "JPEG Normal Small"}));
    EXPECT_STREQ(quality.current_name.str, "RAW + JPEG Fine Large");
    EXPECT_EQ(rig.device.files_per_shot, 2);
    const mtp_devicepropdesc_t* desc = hashtable_find(rig.device.properties, 0xD120u);
    ASSERT_NE(desc, nullptr);
    EXPECT_EQ(desc->current_value.uint64 & 0xFF, 2u);

    // Choosing it again writes a 44-byte record: 12 + 2 x 16.
    ASSERT_TRUE(mtp_device_set_cameraproperty(rig.device, MTP_CAMERAPROPERTY_QUALITY, 2));
    ASSERT_EQ(records_for(rig.camera, 0xD120).size(), 1u);
    Bytes record = records_for(rig.camera, 0xD120)[0];
    EXPECT_EQ(record.size(), 28u); // one entry: 12 + 16
    EXPECT_EQ(word(record, 0), 28u);
    EXPECT_EQ(word(record, 4), 0xD120u);
    rig.Update();
    EXPECT_STREQ(quality.current_name.str, "JPEG Normal Small");
    ASSERT_TRUE(mtp_device_set_cameraproperty(rig.device, MTP_CAMERAPROPERTY_QUALITY, 1));
    record = records_for(rig.camera, 0xD120)[1];
    EXPECT_EQ(word(record, 0), 44u);
    EXPECT_EQ(record.size(), 44u);
    EXPECT_EQ(Bytes(record.begin() + 8, record.end()), ptpsim::canon_imageformat({{6, 0, 0}, {1, 0, 3}}));
}

TEST(CanonExtension, ImageFormatTextsNameEachEntry)
{
    struct Case
    {
        std::vector<std::vector<uint32_t>> entries;
        const char* text;
    };
    const Case cases[] = {
        {{{1, 0, 3}}, "JPEG Fine Large"},  {{{6, 0, 0}, {1, 0, 3}}, "RAW + JPEG Fine Large"},
        {{{6, 1, 0}}, "MRAW"},             {{{6, 2, 0}, {1, 14, 1}}, "SRAW + JPEG Basic Small1"},
        {{{6, 7, 0}}, "unknown"},          {{{3, 0, 0}}, "unknown"},
        {{{1, 16, 2}}, "JPEG Normal Small3"},
    };
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        Bytes bytes = ptpsim::canon_imageformat(c.entries);
        mtp_buffer_t buffer = {bytes.data(), bytes.size(), bytes.size(), false};
        u64 cursor = 0;
        mtp_datavalue_t value = {};
        ASSERT_TRUE(mtp_canon_imageformat_decode(buffer, cursor, value));
        EXPECT_EQ(cursor, bytes.size());
        stringbuffer_t text;
        stringbuffer_initialise(text);
        mtp_canon_compute_property_str(rig.device, text, value, MTP_PROPERTY_Canon_ImageFormat);
        EXPECT_STREQ(text.str, c.text);
        stringbuffer_release(text);
        mtp_datavalue_release(value);
    }
    // A record cut inside an entry fails without moving the cursor.
    Bytes cut = ptpsim::canon_imageformat({{6, 0, 0}, {1, 0, 3}});
    cut.resize(cut.size() - 3);
    mtp_buffer_t buffer = {cut.data(), cut.size(), cut.size(), false};
    u64 cursor = 0;
    mtp_datavalue_t value = {};
    EXPECT_FALSE(mtp_canon_imageformat_decode(buffer, cursor, value));
    EXPECT_EQ(cursor, 0u);
    mtp_datavalue_release(value);
}

TEST(CanonExtension, MirrorLockUpIsWrittenThroughTheCustomFunction)
{
    struct Case
    {
        const char* why;
        bool custom_function;
        bool mirror_up_setting;
        std::vector<u32> words; // the record after size and code; empty: nothing sent
        u32 code;
    };
    const Case cases[] = {
        {"through CustomFuncEx, group 3", true, false, {32, 1, 3, 20, 1, 0x60F, 1, 1}, 0xD1A0},
        {"through MirrorUpSetting", false, true, {1}, 0xD13A},
        {"neither: nothing can be sent", false, false, {}, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        if (!c.custom_function)
            rig.camera.set_bytes(ptpsim::kCanonCustomFuncEx, ptpsim::canon_customfuncex(2, {{0x510, 1}}), false);
        if (c.mirror_up_setting)
            rig.camera.set_u32(ptpsim::kCanonMirrorUpSetting, 0, {0, 1}, false);
        ASSERT_TRUE(rig.Connect());
        EXPECT_EQ(rig.device.mirrorlockup.supported, c.custom_function);
        mtp_cameraproperty_t& mirror = rig.device.cameraproperties[MTP_CAMERAPROPERTY_MIRRORLOCKUP];
        ASSERT_EQ(mirror.code, 0xD1BF);
        bool ok = mtp_device_set_cameraproperty(rig.device, MTP_CAMERAPROPERTY_MIRRORLOCKUP, 1);
        EXPECT_EQ(ok, !c.words.empty());
        std::vector<Bytes> records = records_for(rig.camera, c.code ? c.code : 0xD1A0);
        if (c.words.empty())
        {
            EXPECT_TRUE(records.empty());
            EXPECT_TRUE(rig.log.Contains("Failed to fill MTP transfer buffer"));
            continue;
        }
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(word(records[0], 0), 8 + 4 * c.words.size());
        EXPECT_EQ(word(records[0], 4), c.code);
        std::vector<u32> words;
        for (size_t at = 8; at + 4 <= records[0].size(); at += 4)
            words.push_back(word(records[0], at));
        EXPECT_EQ(words, c.words);
    }
}

TEST(CanonExtension, ACustomFunctionRecordThatRunsPastItsDataFindsNothing)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    Bytes record = ptpsim::canon_customfuncex(5, {{0x60F, 1}});
    // An item claiming a million values.
    record[record.size() - 8] = 0x40;
    record[record.size() - 7] = 0x42;
    record[record.size() - 6] = 0x0F;
    mtp_buffer_t buffer = {record.data(), record.size(), record.size(), false};
    u64 cursor = 0;
    mtp_datavalue_t value = {};
    mtp_device_lock(rig.device);
    rig.State().mirror_function_id = -1;
    rig.State().mirror_function_group = -1;
    EXPECT_FALSE(mtp_canon_customfuncex_decode(rig.device, buffer, cursor, value));
    mtp_device_unlock(rig.device);
    EXPECT_EQ(cursor, 0u);
}

// --- storage -----------------------------------------------------------------------------------------------

TEST(CanonExtension, StorageModesUseTheCamerasDestinationValues)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    mtp_cameraproperty_t& storage = rig.device.cameraproperties[MTP_CAMERAPROPERTY_STORAGEMODE];
    // Values 1, 4, 5 with the first destination 1: Card 0, Disk 1, Both 2, JPEG none.
    ASSERT_EQ(storage.raw_values.count, 4u);
    EXPECT_EQ(std::vector<int>(storage.raw_values.data, storage.raw_values.data + 4), (std::vector<int>{0, 1, 2, -1}));

    struct Step
    {
        const char* why;
        i32 index;
        u32 destination;
        const char* name;
        bool download;
        bool jpeg_only;
    };
    const Step steps[] = {
        {"JPEG keeps photos on the card", 3, 1, "JPEG", false, true},
        {"Both has a value of its own", 2, 5, "Both", false, false},
        {"Disk", 1, 4, "Disk", false, false},
        {"Card", 0, 1, "Card", false, false},
    };
    for (const Step& s : steps)
    {
        SCOPED_TRACE(s.why);
        ASSERT_TRUE(mtp_device_set_cameraproperty(rig.device, MTP_CAMERAPROPERTY_STORAGEMODE, s.index));
        rig.Update();
        EXPECT_EQ(rig.camera.u32(ptpsim::kCanonCaptureDestination), s.destination);
        EXPECT_STREQ(storage.current_name.str, s.name);
        EXPECT_EQ(rig.device.download, s.download);
        EXPECT_EQ(rig.device.jpeg_only, s.jpeg_only);
    }
}

TEST(CanonExtension, WithoutACardTheBodyCanOnlyWriteToTheComputer)
{
    Rig rig;
    rig.camera.set_storages({0x00010000});
    ASSERT_TRUE(rig.Connect());
    ASSERT_EQ(rig.device.cards, 0);
    ASSERT_TRUE(mtp_device_set_cameraproperty(rig.device, MTP_CAMERAPROPERTY_STORAGEMODE, 0));
    rig.Update();
    EXPECT_TRUE(rig.log.Contains("No memory card present so unable to set storage mode: Card"));
    EXPECT_EQ(rig.camera.u32(ptpsim::kCanonCaptureDestination), 4u);
    EXPECT_STREQ(rig.device.cameraproperties[MTP_CAMERAPROPERTY_STORAGEMODE].current_name.str, "Disk");
}

TEST(CanonExtension, BulbSwapsASelfTimerForSingleFrameAndBack)
{
    struct Case
    {
        const char* why;
        u32 drive;
        size_t writes;
    };
    const Case cases[] = {
        {"a 10 s timer is replaced and restored", 16, 2},
        {"a 2 s timer too", 17, 2},
        {"single frame is left alone", 1, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        rig.camera.set_u32(ptpsim::kCanonDriveMode, c.drive, {}, false);
        ASSERT_TRUE(rig.Connect());
        rig.camera.set_u32(ptpsim::kCanonAutoExposureMode, 4); // Bulb
        rig.Update();
        EXPECT_TRUE(rig.device.bulb.enabled);
        EXPECT_EQ(rig.camera.u32(ptpsim::kCanonDriveMode), c.writes ? 0u : c.drive);
        // The same value again changes nothing.
        rig.camera.set_u32(ptpsim::kCanonAutoExposureMode, 4);
        rig.Update();
        rig.camera.set_u32(ptpsim::kCanonAutoExposureMode, 3); // Manual
        rig.Update();
        EXPECT_FALSE(rig.device.bulb.enabled);
        EXPECT_EQ(rig.camera.u32(ptpsim::kCanonDriveMode), c.drive);
        EXPECT_EQ(records_for(rig.camera, ptpsim::kCanonDriveMode).size(), c.writes);
        EXPECT_EQ(rig.log.Count("Canon drive mode timer override: enabled"), c.writes ? 1u : 0u);
    }
}

TEST(CanonExtension, BatteryUsesTheSelectedSource)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    EXPECT_EQ(rig.device.power.source, MTP_POWERSOURCE_BATTERY);
    EXPECT_EQ(rig.device.power.level, 80);
    rig.camera.set_u32(ptpsim::kCanonBatterySelect, 1);
    rig.Update();
    mtp_device_lock(rig.device);
    mtp_canon_check_battery(rig.device);
    mtp_device_unlock(rig.device);
    EXPECT_EQ(rig.device.power.source, MTP_POWERSOURCE_EXTERNAL);

    Rig without;
    without.camera.unlist_property(ptpsim::kCanonBatterySelect);
    ASSERT_TRUE(without.Connect());
    EXPECT_EQ(without.device.hooks.check_battery, &mtp_generic_check_battery);
    mtp_device_lock(without.device);
    mtp_canon_check_battery(without.device);
    mtp_device_unlock(without.device);
    EXPECT_EQ(without.device.power.source, MTP_POWERSOURCE_UNKNOWN);
    EXPECT_EQ(without.device.power.level, 0);
}

TEST(CanonExtension, AnswersOfNormalUseAreNeitherCountedNorLogged)
{
    struct Case
    {
        const char* why;
        u16 operation;
        u16 response;
        int minor;
    };
    const Case cases[] = {
        {"a value request the body cannot serve now", 0x9127, 0x2002, 0},
        {"a DoAf that cannot focus", 0x9154, 0x2002, 0},
        {"a release that cannot focus", 0x100E, 0x2002, 0},
        {"live view not ready", 0x9153, 0xA102, 0},
        {"anything else counts", 0x9116, 0x2019, 1},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        ASSERT_TRUE(rig.Connect());
        rig.device.minor_errors = 0;
        rig.device.fatal_errors = 0;
        rig.log.Clear();
        mtp_device_lock(rig.device);
        bool logged = mtp_canon_record_error(rig.device, static_cast<mtp_command_t>(c.operation),
                                             static_cast<mtp_response_t>(c.response));
        mtp_device_unlock(rig.device);
        EXPECT_EQ(logged, c.minor != 0);
        EXPECT_EQ(rig.device.minor_errors, c.minor);
        EXPECT_EQ(rig.device.fatal_errors, 0);
    }
}

TEST(CanonExtension, AVendorStateThatCannotBeAllocatedFailsTheConnection)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    bool ok;
    mtp_device_lock(rig.device);
    {
        lumivane_test::FailingAllocator failing(0, false);
        ok = mtp_canon_connect(rig.device);
    }
    mtp_device_unlock(rig.device);
    EXPECT_FALSE(ok);
    EXPECT_EQ(rig.device.vendor_state, nullptr);
    EXPECT_EQ(mtp_canon_state(rig.device), nullptr);
    EXPECT_TRUE(rig.log.Contains("FATAL ERROR failed to allocate"));
    // Without its state every Canon operation declines.
    EXPECT_FALSE(mtp_device_capture(rig.device));
    EXPECT_FALSE(mtp_device_focus(rig.device));
}

TEST(CanonExtension, CapacityIsReportedOnlyWhileTheComputerRunsShort)
{
    struct Case
    {
        const char* why;
        i32 shots;
        i32 storage;
        bool force;
        bool sent;
    };
    const Case cases[] = {
        {"plenty of shots left", 950, 1, false, false},
        {"the card is the destination", 5, 0, false, false},
        {"running short while writing to the computer", 5, 1, false, true},
        {"forced", 950, 0, true, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        ASSERT_TRUE(rig.Connect());
        int before = rig.camera.capacity_reports();
        mtp_device_lock(rig.device);
        rig.State().available_shots = c.shots;
        rig.State().storage_index = c.storage;
        mtp_canon_set_capacity(rig.device, c.force);
        mtp_device_unlock(rig.device);
        EXPECT_EQ(rig.camera.capacity_reports() - before, c.sent ? 1 : 0);
    }
}
