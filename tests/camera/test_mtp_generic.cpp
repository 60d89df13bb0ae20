// The generic PTP and Fujifilm extensions against the responder's generic and
// Fujifilm cameras: the hook tables, camera properties from standard codes,
// quality names, the storage modes deciding what a new object becomes (saved,
// deleted, left on the card), Fujifilm's new photos, formatting, the battery,
// streamed downloads under short chunks, the bounded poll queue and listed
// properties that the camera refuses.
#include "orvo/camera/mtp_context.h"
#include "orvo/camera/mtp_generic.h"
#include "orvo/camera/mtp_update.h"
#include "orvo/core/core_hash.h"
#include "support/ptpsim/ptpsim_camera.h"
#include "support/ptpsim/ptpsim_clock.h"
#include "support/ptpsim/ptpsim_download_helpers.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"
#include "support/support_temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace orvo;
using ptpsim::Camera;
using ptpsim::Personality;
namespace fs = std::filesystem;

namespace
{
std::mutex g_mutex;
std::vector<std::string> g_announced; // file names handed to add_object

void* record_object(const mtp_objectinfo_t& object, void*)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_announced.emplace_back(object.filename.str, object.filename.length);
    return nullptr;
}

std::vector<std::string> announced()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_announced;
}

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

std::vector<std::string> names_of(const mtp_cameraproperty_t& property)
{
    std::vector<std::string> names;
    for (u64 i = 0; i < property.value_names.strings.count; ++i)
        names.emplace_back(property.value_names.strings.data[i].str, property.value_names.strings.data[i].length);
    return names;
}

// One responder camera of a personality with its connected engine device, a
// context and a recorder that saves photos into a folder of the test's own.
class Rig
{
public:
    explicit Rig(Personality personality = Personality::kGeneric) : camera(personality)
    {
        g_announced.clear();
        EXPECT_TRUE(mtp_context_initialise(context));
        mtp_device_callbacks_t callbacks = recorder.callbacks(camera, dir.Path(), dir.Path() + "/Backup");
        callbacks.add_object = record_object;
        EXPECT_TRUE(mtp_device_initialise(device, &context, callbacks));
        camera.attach(device);
    }

    ~Rig()
    {
        camera.detach();
        if (device.registered)
            mtp_device_disconnect(device);
        std::vector<std::string> violations = camera.violations();
        EXPECT_TRUE(violations.empty()) << violations.front();
        mtp_context_release(context);
        mtp_device_release(device);
    }

    bool Connect()
    {
        bool ok = mtp_device_connect(device);
        camera.drain_events();
        return ok;
    }

    u32 Update()
    {
        camera.drain_events();
        return mtp_device_update(device);
    }

    // Runs camera-thread passes until done; the limit only guards against a hang.
    bool PumpUntil(const std::function<bool()>& done)
    {
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done())
        {
            if (std::chrono::steady_clock::now() > limit)
                return false;
            camera.drain_events();
            mtp_device_update(device);
            mtp_context_update(context);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    bool SetStorage(i32 index)
    {
        return mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_STORAGEMODE, index);
    }

    ptpsim::TestClock clock;
    lumivane_test::LogCapture log;
    lumivane_test::TempDir dir;
    ptpsim::DownloadRecorder recorder;
    mtp_context_t context = {};
    Camera camera;
    mtp_device_t device = {};
};

ptpsim::DevicePropDesc string_list(u16 code, const std::vector<std::string>& values, const std::string& current)
{
    ptpsim::DevicePropDesc desc;
    desc.code = code;
    desc.datatype = ptpsim::kStr;
    desc.getset = 1;
    desc.factory_default = ptpsim::Value::str(current);
    desc.current = ptpsim::Value::str(current);
    desc.form = ptpsim::kFormEnumeration;
    for (const std::string& v : values)
        desc.enumeration.push_back(ptpsim::Value::str(v));
    return desc;
}

ptpsim::DevicePropDesc integer_list(u16 code, u16 datatype, const std::vector<int64_t>& values, int64_t current)
{
    ptpsim::DevicePropDesc desc;
    desc.code = code;
    desc.datatype = datatype;
    desc.getset = 1;
    desc.factory_default = ptpsim::Value::integer(current);
    desc.current = ptpsim::Value::integer(current);
    desc.form = ptpsim::kFormEnumeration;
    for (int64_t v : values)
        desc.enumeration.push_back(ptpsim::Value::integer(v));
    return desc;
}

// Compression texts as a vendor with named compressions gives them.
void named_compressions(mtp_device_t& device, stringbuffer_t& out, const mtp_datavalue_t& value, mtp_property_t code)
{
    if (code != MTP_PROPERTY_CompressionSetting)
    {
        mtp_generic_compute_property_str(device, out, value, code);
        return;
    }
    static const char* const names[] = {"", "JPEG Fine", "RAW", "RAW + JPEG Fine"};
    u32 v = mtp_datavalue_to_uint(value);
    stringbuffer_set(out, v < 4 ? names[v] : "unknown");
}
} // namespace

// --- the hook tables --------------------------------------------------------------------------------

TEST(GenericExtension, HookTablesFollowTheMakerAndWhatTheCameraLists)
{
    struct Case
    {
        const char* why;
        Personality personality;
        bool battery_listed;
        bool partial_listed;
        mtp_protocol_t protocol;
        bool battery_hook;
        bool file_hook;
        bool vendor_state;
    };
    const Case cases[] = {
        {"a generic camera with BatteryLevel and GetPartialObject", Personality::kGeneric, true, true,
         MTP_PROTOCOL_GENERIC, true, true, false},
        {"a generic camera with neither", Personality::kGeneric, false, false, MTP_PROTOCOL_GENERIC, false, false,
         false},
        {"Fujifilm never checks the battery", Personality::kFujifilm, true, true, MTP_PROTOCOL_FUJIFILM, false, true,
         true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig(c.personality);
        rig.camera.edit_deviceinfo([&](ptpsim::DeviceInfo& info) {
            auto drop = [](std::vector<uint16_t>& list, uint16_t code) {
                list.erase(std::remove(list.begin(), list.end(), code), list.end());
            };
            if (!c.battery_listed)
                drop(info.properties, ptpsim::kPropBatteryLevel);
            if (!c.partial_listed)
                drop(info.operations, ptpsim::kOpGetPartialObject);
        });
        ASSERT_TRUE(rig.Connect());
        const mtp_device_hooks_t& hooks = rig.device.hooks;
        EXPECT_EQ(rig.device.protocol, c.protocol);
        EXPECT_EQ(hooks.check_battery != nullptr, c.battery_hook);
        EXPECT_EQ(hooks.download_file != nullptr, c.file_hook);
        EXPECT_EQ(hooks.poll, &mtp_generic_poll);
        EXPECT_EQ(hooks.handle_event, &mtp_generic_handle_event);
        EXPECT_EQ(hooks.capture, &mtp_generic_capture);
        EXPECT_EQ(hooks.delete_object, &mtp_generic_delete);
        EXPECT_EQ(hooks.format, &mtp_generic_format);
        EXPECT_EQ(hooks.focus, nullptr);
        EXPECT_EQ(hooks.enable_liveview, nullptr);
        EXPECT_FALSE(rig.device.bulb.supported);
        EXPECT_EQ(rig.device.vendor_state != nullptr, c.vendor_state);
        mtp_device_disconnect(rig.device);
        EXPECT_EQ(rig.device.vendor_state, nullptr);
    }
}

TEST(GenericExtension, CameraPropertiesComeFromTheListedStandardCodes)
{
    struct Case
    {
        const char* why;
        std::vector<uint16_t> properties;
        i32 aperture;
        i32 shutter;
        i32 quality;
    };
    const Case cases[] = {
        {"aperture without shutter speed", {0x5007}, 0x5007, 0x5000, 0x5000},
        {"compression without image size gives no quality", {0x5004, 0x500D}, 0x5000, 0x500D, 0x5000},
        {"compression with image size gives the quality", {0x5003, 0x5004}, 0x5000, 0x5000, 0x5004},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        rig.camera.edit_deviceinfo([&](ptpsim::DeviceInfo& info) { info.properties = c.properties; });
        ASSERT_TRUE(rig.Connect());
        const mtp_cameraproperty_t* properties = rig.device.cameraproperties;
        EXPECT_EQ(properties[MTP_CAMERAPROPERTY_APERTURE].code, c.aperture);
        EXPECT_EQ(properties[MTP_CAMERAPROPERTY_SHUTTERSPEED].code, c.shutter);
        EXPECT_EQ(properties[MTP_CAMERAPROPERTY_QUALITY].code, c.quality);
        EXPECT_EQ(properties[MTP_CAMERAPROPERTY_MIRRORLOCKUP].code, MTP_PROPERTY_Undefined);
        // The storage mode is the program's own on every camera.
        EXPECT_EQ(names_of(properties[MTP_CAMERAPROPERTY_STORAGEMODE]),
                  (std::vector<std::string>{"Card", "Disk", "Both", "JPEG"}));
        EXPECT_STREQ(properties[MTP_CAMERAPROPERTY_STORAGEMODE].current_name.str, "Both");
    }
}

// --- quality ----------------------------------------------------------------------------------------

TEST(GenericExtension, QualityNamesSizesByWidthAndPairsThemWithCompressions)
{
    struct Case
    {
        const char* why;
        std::vector<std::string> sizes;
        std::vector<int64_t> compressions;
        bool named; // compressions named by the vendor (else "C%d")
        std::string current_size;
        int64_t current_compression;
        std::vector<std::string> names;
        std::string current;
        i32 files_per_shot;
    };
    const Case cases[] = {
        {"three sizes",
         {"6000x4000", "3984x2656", "2976x1984"},
         {1},
         true,
         "3984x2656",
         1,
         {"JPEG Fine Large", "JPEG Fine Medium", "JPEG Fine Small"},
         "JPEG Fine Medium",
         1},
        {"four sizes in width order",
         {"4000x3000", "6000x4000", "2000x1500", "3000x2000"},
         {1},
         true,
         "6000x4000",
         1,
         {"JPEG Fine Medium2", "JPEG Fine Large", "JPEG Fine Small", "JPEG Fine Medium"},
         "JPEG Fine Large",
         1},
        {"a single size", {"6000x4000"}, {1}, true, "6000x4000", 1, {"JPEG Fine Large"}, "JPEG Fine Large", 1},
        {"compressions without JPEG come with the largest size only",
         {"6000x4000", "3984x2656", "2976x1984"},
         {1, 2},
         false,
         "6000x4000",
         2,
         {"C1", "C2"},
         "C2",
         1},
        {"RAW and JPEG at once stores two files",
         {"6000x4000", "2976x1984"},
         {1, 2, 3},
         true,
         "6000x4000",
         3,
         {"JPEG Fine Large", "RAW", "RAW + JPEG Fine Large", "JPEG Fine Small", "RAW + JPEG Fine Small"},
         "RAW + JPEG Fine Large",
         2},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        rig.camera.set_property(string_list(ptpsim::kPropImageSize, c.sizes, c.current_size));
        rig.camera.set_property(
            integer_list(ptpsim::kPropCompressionSetting, ptpsim::kUint8, c.compressions, c.current_compression));
        ASSERT_TRUE(rig.Connect());
        mtp_cameraproperty_t& quality = rig.device.cameraproperties[MTP_CAMERAPROPERTY_QUALITY];
        if (c.named)
        {
            quality.to_string = named_compressions;
            quality.range_version = version_t{};
            mtp_device_set_changed(rig.device, MTP_CHANGE_PROPERTIES);
            rig.Update();
        }
        EXPECT_EQ(names_of(quality), c.names);
        EXPECT_EQ(std::string(quality.current_name.str, quality.current_name.length), c.current);
        EXPECT_TRUE(quality.supported);
        EXPECT_EQ(rig.device.files_per_shot, c.files_per_shot);
    }
}

TEST(GenericExtension, SettingTheQualityWritesSizeAndCompression)
{
    Rig rig;
    rig.camera.set_property(
        string_list(ptpsim::kPropImageSize, {"6000x4000", "3984x2656", "2976x1984"}, "6000x4000"));
    rig.camera.set_property(integer_list(ptpsim::kPropCompressionSetting, ptpsim::kUint8, {1, 2, 3}, 3));
    ASSERT_TRUE(rig.Connect());
    mtp_cameraproperty_t& quality = rig.device.cameraproperties[MTP_CAMERAPROPERTY_QUALITY];
    quality.to_string = named_compressions;
    quality.range_version = version_t{};
    mtp_device_set_changed(rig.device, MTP_CHANGE_PROPERTIES);
    rig.Update();
    ASSERT_EQ(names_of(quality), (std::vector<std::string>{"JPEG Fine Large", "RAW", "RAW + JPEG Fine Large",
                                                           "JPEG Fine Medium", "RAW + JPEG Fine Medium",
                                                           "JPEG Fine Small", "RAW + JPEG Fine Small"}));
    // From RAW + JPEG to a small JPEG: both properties change on the camera.
    ASSERT_TRUE(mtp_device_set_cameraproperty(rig.device, MTP_CAMERAPROPERTY_QUALITY, 5));
    EXPECT_EQ(rig.camera.property_value(ptpsim::kPropImageSize).text, "2976x1984");
    EXPECT_EQ(rig.camera.property_value(ptpsim::kPropCompressionSetting).bits, 1u);
    rig.Update();
    EXPECT_STREQ(quality.current_name.str, "JPEG Fine Small");
    EXPECT_EQ(rig.device.files_per_shot, 1);
    // An index past the names is refused without a write.
    rig.camera.reset_calls();
    EXPECT_FALSE(mtp_device_set_cameraproperty(rig.device, MTP_CAMERAPROPERTY_QUALITY, 7));
    EXPECT_EQ(rig.camera.calls(ptpsim::kOpSetDevicePropValue), 0);
}

// --- storage modes and new objects --------------------------------------------------------------------

TEST(GenericExtension, StorageModesDecideWhatNewObjectsBecome)
{
    struct Case
    {
        const char* why;
        i32 mode;
        std::set<std::string> saved;
        std::set<std::string> left_on_camera;
    };
    const Case cases[] = {
        {"Card: announced, left on the card", 0, {}, {"IMG_0001.JPG", "IMG_0001.RAW"}},
        {"Disk: saved, then deleted from the camera", 1, {"IMG_0001.JPG", "IMG_0001.RAW"}, {}},
        {"Both: saved and kept on the card", 2, {"IMG_0001.JPG", "IMG_0001.RAW"}, {"IMG_0001.JPG", "IMG_0001.RAW"}},
        {"JPEG: only the JPEG is saved", 3, {"IMG_0001.JPG"}, {"IMG_0001.JPG", "IMG_0001.RAW"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        ASSERT_TRUE(rig.Connect());
        ASSERT_TRUE(rig.SetStorage(c.mode));
        const char* const modes[] = {"Card", "Disk", "Both", "JPEG"};
        EXPECT_STREQ(rig.device.cameraproperties[MTP_CAMERAPROPERTY_STORAGEMODE].current_name.str, modes[c.mode]);
        rig.camera.set_require_read_before_delete(true);
        ptpsim::ObjectInfo info;
        std::map<uint32_t, std::string> names;
        const std::pair<uint16_t, const char*> kinds[] = {
            {ptpsim::kFormatJpeg, "IMG_0001.JPG"}, {0x3000, "IMG_0001.RAW"}, {0x3001, "DCIM"}, {0x3002, "AUTORUN.INF"}};
        for (const auto& kind : kinds)
        {
            info.format = kind.first;
            info.filename = kind.second;
            uint32_t handle = rig.camera.add_object(
                info, 50000, kind.first == ptpsim::kFormatJpeg ? ptpsim::Content::kJpeg : ptpsim::Content::kPattern);
            names[handle] = kind.second;
            rig.camera.send_event(ptpsim::kEvObjectAdded, {handle});
        }
        std::map<std::string, ptpsim::Bytes> bytes;
        for (const auto& entry : names)
            bytes[entry.second] = rig.camera.object_bytes(entry.first);
        rig.Update();
        ASSERT_TRUE(rig.PumpUntil([&] {
            return rig.recorder.num_finished() >= c.saved.size() && rig.device.pending_downloads == 0 &&
                   mtp_context_num_downloads(rig.context, rig.device) == 0;
        }));

        // Folders and scripts are not photos; every other object is announced.
        EXPECT_EQ(announced(), (std::vector<std::string>{"IMG_0001.JPG", "IMG_0001.RAW"}));
        std::set<std::string> saved;
        for (const ptpsim::FinishedDownload& f : rig.recorder.finished())
        {
            ASSERT_TRUE(f.success);
            saved.insert(f.name);
            EXPECT_EQ(read_file(f.target), std::string(bytes[f.name].begin(), bytes[f.name].end()));
            EXPECT_EQ(f.hash, hash_of(bytes[f.name]));
        }
        EXPECT_EQ(saved, c.saved);
        std::set<std::string> left;
        for (uint32_t handle : rig.camera.handles())
            if (names[handle] == "IMG_0001.JPG" || names[handle] == "IMG_0001.RAW")
                left.insert(names[handle]);
        EXPECT_EQ(left, c.left_on_camera);
        EXPECT_TRUE(rig.log.Contains("Ignoring new object of type: Association"));
        EXPECT_TRUE(rig.log.Contains("Ignoring new object of type: Script"));
    }
}

// Fujifilm bodies report their photos with ObjectAdded like any PTP camera;
// a shot must end as a saved file whatever the maker.
TEST(GenericExtension, APhotoTakenEndsAsOneFileOrStaysOnTheCard)
{
    struct Case
    {
        const char* why;
        Personality personality;
        i32 mode;
        bool deleted;
    };
    const Case cases[] = {
        {"generic, Disk", Personality::kGeneric, 1, true},
        {"generic, Card", Personality::kGeneric, 0, false},
        {"Fujifilm, Disk", Personality::kFujifilm, 1, true},
        {"Fujifilm, Card", Personality::kFujifilm, 0, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig(c.personality);
        ptpsim::ObjectInfo shot;
        shot.filename = "DSCF0042.JPG";
        rig.camera.set_capture({shot}, 123457);
        ASSERT_TRUE(rig.Connect());
        ASSERT_TRUE(rig.SetStorage(c.mode));
        rig.camera.set_require_read_before_delete(true);
        ASSERT_TRUE(mtp_device_capture(rig.device));
        ASSERT_EQ(rig.camera.num_objects(), 1u);
        uint32_t handle = rig.camera.handles()[0];
        ptpsim::Bytes bytes = rig.camera.object_bytes(handle);
        ASSERT_TRUE(rig.PumpUntil([&] { return announced().size() == 1; }));
        if (c.deleted)
        {
            ASSERT_TRUE(rig.PumpUntil([&] {
                return rig.recorder.num_finished() == 1 && mtp_context_num_downloads(rig.context, rig.device) == 0;
            }));
            ptpsim::FinishedDownload f = rig.recorder.finished()[0];
            ASSERT_TRUE(f.success);
            EXPECT_EQ(read_file(f.target), std::string(bytes.begin(), bytes.end()));
            EXPECT_EQ(f.hash, hash_of(bytes));
            EXPECT_FALSE(rig.camera.has_object(handle));
            size_t files = 0;
            for (const fs::directory_entry& entry : fs::directory_iterator(rig.dir.Path()))
                files += entry.is_regular_file() ? 1 : 0;
            EXPECT_EQ(files, 1u);
        }
        else
        {
            rig.Update();
            EXPECT_EQ(rig.recorder.num_finished(), 0u);
            EXPECT_EQ(rig.camera.calls(ptpsim::kOpGetObject), 0);
            EXPECT_TRUE(rig.camera.has_object(handle));
        }
    }
}

TEST(GenericExtension, CaptureCompleteEndsACaptureAndFastPolling)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    rig.device.capture_in_progress = true;
    rig.device.capture_failed = true;
    rig.device.fast_poll = true;
    rig.camera.send_event(ptpsim::kEvCaptureComplete);
    u32 flags = rig.Update();
    EXPECT_NE(flags & MTP_CHANGE_CAPTURE, 0u);
    EXPECT_FALSE(rig.device.capture_in_progress);
    EXPECT_FALSE(rig.device.capture_failed);
    EXPECT_FALSE(rig.device.fast_poll);
    // No capture running: only fast polling is switched off.
    rig.device.fast_poll = true;
    rig.camera.send_event(ptpsim::kEvCaptureComplete);
    EXPECT_EQ(rig.Update() & MTP_CHANGE_CAPTURE, 0u);
    EXPECT_FALSE(rig.device.fast_poll);
}

TEST(GenericExtension, AnUnreadableObjectInfoLosesOnlyThatObject)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    ptpsim::ObjectInfo info;
    uint32_t handle = rig.camera.add_object(info, 1000);
    rig.camera.fail(ptpsim::kOpGetObjectInfo, ptpsim::kRespInvalidObjectHandle, 1);
    rig.camera.send_event(ptpsim::kEvObjectAdded, {handle});
    rig.camera.send_event(ptpsim::kEvObjectAdded, {handle});
    rig.Update();
    EXPECT_EQ(announced().size(), 1u);
}

TEST(GenericExtension, DeletingEveryObjectAtOnceIsRefusedUnsent)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    uint32_t handle = rig.camera.add_object(ptpsim::ObjectInfo(), 1000);
    mtp_objectinfo_t object;
    mtp_objectinfo_initialise(object, MTP_PROTOCOL_GENERIC, 0xFFFFFFFF);
    stringbuffer_set(object.filename, "IMG_0001.JPG");
    mtp_device_lock(rig.device);
    EXPECT_FALSE(mtp_device_delete_locked(rig.device, object));
    object.handle = handle;
    EXPECT_TRUE(mtp_device_delete_locked(rig.device, object));
    mtp_device_unlock(rig.device);
    EXPECT_EQ(rig.camera.calls(ptpsim::kOpDeleteObject), 1);
    EXPECT_FALSE(rig.camera.has_object(handle));
    EXPECT_TRUE(rig.log.Contains("Failed to remove photo from camera: IMG_0001.JPG"));
    EXPECT_TRUE(rig.log.Contains("Photo removed from camera: IMG_0001.JPG"));
    mtp_objectinfo_release(object);
}

// --- formatting and battery ---------------------------------------------------------------------------

TEST(GenericExtension, FormattingSkipsEmptySlotsAndStopsAtTheFirstFailure)
{
    struct Case
    {
        const char* why;
        std::vector<uint32_t> storages;
        int failures;
        bool ok;
        int format_calls;
        const char* logged;
    };
    const Case cases[] = {
        {"a card and an empty slot", {0x00010001, 0x00020000}, 0, true, 1,
         "Ignoring format request for memory card in 1: 00020000"},
        {"two cards", {0x00010001, 0x00020001}, 0, true, 2, "Formatting memory card in 1: 00020001"},
        {"the first card fails", {0x00010001, 0x00020001}, 1, false, 1, "Failed to format memory card: 00010001"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        rig.camera.edit_deviceinfo([](ptpsim::DeviceInfo& info) { info.operations.push_back(ptpsim::kOpFormatStore); });
        rig.camera.set_storages(c.storages);
        ASSERT_TRUE(rig.Connect());
        if (c.failures)
            rig.camera.fail(ptpsim::kOpFormatStore, 0x2019, c.failures);
        EXPECT_EQ(mtp_device_format(rig.device), c.ok);
        EXPECT_EQ(rig.camera.calls(ptpsim::kOpFormatStore), c.format_calls);
        EXPECT_TRUE(rig.log.Contains(c.logged));
    }
}

TEST(GenericExtension, BatteryLevelGivesTheLevelAndThePowerSource)
{
    struct Case
    {
        const char* why;
        int level;    // -1: the camera refuses the property
        i32 source;
        u8 stored;
    };
    const Case cases[] = {
        {"on battery", 80, MTP_POWERSOURCE_BATTERY, 80},
        {"full", 100, MTP_POWERSOURCE_BATTERY, 100},
        {"above 100 is external power", 255, MTP_POWERSOURCE_EXTERNAL, 255},
        {"not readable", -1, MTP_POWERSOURCE_UNKNOWN, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        if (c.level < 0)
            rig.camera.remove_property(ptpsim::kPropBatteryLevel, false);
        else
            rig.camera.change_property(ptpsim::kPropBatteryLevel, ptpsim::Value::integer(c.level), false);
        ASSERT_TRUE(rig.Connect());
        EXPECT_EQ(rig.device.power.source, c.source);
        EXPECT_EQ(rig.device.power.level, c.stored);
    }
}

// --- streamed downloads ---------------------------------------------------------------------------------

TEST(GenericExtension, AStreamedDownloadStaysByteExactUnderShortChunks)
{
    struct Case
    {
        const char* why;
        uint64_t limit; // bytes per GetPartialObject answer
        uint64_t size;
    };
    const Case cases[] = {
        {"chunks of an odd length", 4099, 1000003},
        {"one byte short of the ask each time", 65535, 300000},
        {"whole chunks", 0, 700001},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        ASSERT_TRUE(rig.Connect());
        rig.camera.set_partial_chunk_limit(c.limit);
        ptpsim::ObjectInfo info;
        info.format = ptpsim::kFormatQuickTime;
        info.filename = "MVI_0001.MOV";
        uint32_t handle = rig.camera.add_object(info, c.size);
        ptpsim::Bytes bytes = rig.camera.object_bytes(handle);
        rig.camera.send_event(ptpsim::kEvObjectAdded, {handle});
        rig.Update();
        ASSERT_TRUE(rig.PumpUntil([&] { return rig.recorder.num_finished() == 1; }));
        ptpsim::FinishedDownload f = rig.recorder.finished()[0];
        ASSERT_TRUE(f.success);
        EXPECT_TRUE(f.written_to_file);
        EXPECT_EQ(read_file(f.target), std::string(bytes.begin(), bytes.end()));
        uint64_t chunk = c.limit ? c.limit : c.size;
        EXPECT_EQ(rig.camera.calls(ptpsim::kOpGetPartialObject), static_cast<int>((c.size + chunk - 1) / chunk));
    }
}

TEST(GenericExtension, AStreamedChunkWithoutBytesFailsTheDownload)
{
    Rig rig;
    ASSERT_TRUE(rig.Connect());
    ptpsim::ObjectInfo info;
    info.format = ptpsim::kFormatQuickTime;
    info.filename = "MVI_0002.MOV";
    uint32_t handle = rig.camera.add_object(info, 100000);
    ptpsim::Fault empty;
    empty.kind = ptpsim::Fault::Kind::kShortData;
    empty.operation = ptpsim::kOpGetPartialObject;
    empty.length = 0;
    rig.camera.add_fault(empty);
    ASSERT_TRUE(rig.SetStorage(1)); // Disk: a failed download must not delete
    rig.camera.send_event(ptpsim::kEvObjectAdded, {handle});
    rig.Update();
    ASSERT_TRUE(rig.PumpUntil([&] { return rig.recorder.num_finished() == 1; }));
    EXPECT_FALSE(rig.recorder.finished()[0].success);
    EXPECT_EQ(rig.camera.calls(ptpsim::kOpGetPartialObject), 1);
    EXPECT_TRUE(rig.camera.has_object(handle));
    EXPECT_TRUE(rig.log.Contains("Camera sent no data at offset 0 of 100000"));
}

// --- the poll and refused properties ----------------------------------------------------------------------

TEST(GenericExtension, ThePollQueuesEachPropertyCodeOnce)
{
    Rig rig(Personality::kFujifilm);
    ASSERT_TRUE(rig.Connect());
    std::set<u32> codes;
    for (const mtp_cameraproperty_t& property : rig.device.cameraproperties)
        if (property.code != MTP_PROPERTY_Undefined)
            codes.insert(static_cast<u32>(property.code));
    ASSERT_GT(codes.size(), 5u);
    mtp_device_lock(rig.device);
    for (int i = 0; i < 1000; ++i)
        mtp_generic_poll(rig.device);
    mtp_device_unlock(rig.device);
    std::vector<u32> queued;
    for (u64 i = 0; i < rig.device.property_queue.count; ++i)
        queued.push_back(rig.device.property_queue.data[i]);
    EXPECT_EQ(std::set<u32>(queued.begin(), queued.end()), codes);
    EXPECT_EQ(queued.size(), codes.size());
    // A refresh drains it.
    mtp_device_set_changed(rig.device, MTP_CHANGE_PROPERTIES);
    rig.Update();
    EXPECT_EQ(rig.device.property_queue.count, 0u);
}

TEST(GenericExtension, ARefusedPropertyIsAskedOnceUntilTheDeviceInfoChanges)
{
    Rig rig(Personality::kFujifilm);
    ASSERT_TRUE(rig.Connect());
    const std::string refused = "Camera does not support listed property: 93531633303330361637173131301D3 - FocusMode";
    EXPECT_EQ(rig.log.Count(refused), 1u);
    EXPECT_EQ(rig.device.cameraproperties[MTP_CAMERAPROPERTY_FOCUSMODE].code, MTP_PROPERTY_FocusMode);

    // Property events and polls keep asking for a refresh: the refused code
    // costs no transaction, no error and no log line.
    EXPECT_EQ(rig.camera.calls(ptpsim::kOpGetDevicePropDesc, 0x500A), 1);
    int asked = rig.camera.calls(ptpsim::kOpGetDevicePropDesc, 0x500A) +
                rig.camera.calls(ptpsim::kOpGetDevicePropDesc, 0x500B);
    for (int i = 0; i < 5; ++i)
    {
        rig.camera.send_event(ptpsim::kEvDevicePropChanged, {0x500A});
        rig.camera.send_event(ptpsim::kEvDevicePropChanged, {0x500B});
        rig.clock.advance_ms(2000);
        rig.Update();
    }
    auto refused_asked = [&] {
        return rig.camera.calls(ptpsim::kOpGetDevicePropDesc, 0x500A) +
               rig.camera.calls(ptpsim::kOpGetDevicePropDesc, 0x500B);
    };
    EXPECT_EQ(refused_asked(), asked);
    EXPECT_EQ(mtp_device_get_deviceprop(rig.device, MTP_PROPERTY_FocusMode, true), nullptr);
    EXPECT_EQ(refused_asked(), asked);
    EXPECT_EQ(rig.log.Count(refused), 1u);
    EXPECT_EQ(rig.device.minor_errors, 0);
    EXPECT_EQ(rig.device.fatal_errors, 0);
    EXPECT_EQ(rig.log.Count("Error]"), 0u);
    EXPECT_FALSE(mtp_device_has_failed(rig.device));

    // A new DeviceInfo may describe another camera state: asked once again.
    rig.camera.send_event(ptpsim::kEvDeviceInfoChanged);
    rig.Update();
    EXPECT_EQ(rig.log.Count(refused), 2u);
    EXPECT_EQ(rig.camera.calls(ptpsim::kOpGetDevicePropDesc, 0x500A), 2);
}

TEST(GenericExtension, AVendorStateThatCannotBeAllocatedFailsTheConnection)
{
    Rig rig(Personality::kFujifilm);
    ASSERT_TRUE(rig.Connect());
    ASSERT_NE(rig.device.vendor_state, nullptr);
    bool ok;
    mtp_device_lock(rig.device);
    {
        lumivane_test::FailingAllocator failing(0, false);
        ok = mtp_fujifilm_connect(rig.device);
    }
    mtp_device_unlock(rig.device);
    EXPECT_FALSE(ok);
    EXPECT_EQ(rig.device.vendor_state, nullptr);
    EXPECT_TRUE(rig.log.Contains("FATAL ERROR failed to allocate"));
}

// A camera that cannot show live view while it releases.
static bool g_liveview_switched_off = false;

TEST(GenericExtension, CaptureSwitchesLiveViewOffFirst)
{
    struct Case
    {
        const char* why;
        bool liveview_on;
        bool switched_off;
    };
    const Case cases[] = {
        {"live view on is switched off", true, true},
        {"live view off is left alone", false, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        Rig rig;
        ASSERT_TRUE(rig.Connect());
        g_liveview_switched_off = false;
        rig.device.hooks.enable_liveview = [](mtp_device_t& device, bool on) {
            g_liveview_switched_off = !on;
            device.liveview.on = on;
            return true;
        };
        rig.device.liveview.on = c.liveview_on;
        ASSERT_TRUE(mtp_device_capture(rig.device));
        EXPECT_EQ(g_liveview_switched_off, c.switched_off);
        EXPECT_FALSE(rig.device.liveview.on);
        EXPECT_EQ(rig.camera.calls(ptpsim::kOpInitiateCapture), 1);
        rig.camera.drain_events();
    }
}
