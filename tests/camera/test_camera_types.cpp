// Camera records and the abstract classes: property names, construction
// values, settings version pairs after construction and clear, device
// equality by interned texts, photo origins and reshooting, and record copies
// that hold their own references.
#include "orvo/camera/camera_device.h"
#include "orvo/camera/camera_processor.h"
#include "orvo/core/core_file.h"
#include "support/support_log_capture.h"
#include "support/support_scripted_camera.h"
#include "support/support_temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

using namespace orvo;
using lumivane_test::CameraScript;
using lumivane_test::ScriptedCamera;
using lumivane_test::ScriptedDriver;

namespace
{
stringid_t Id(const char* text)
{
    stringid_t id = {empty_str};
    camera_text_set(id, string_make(text));
    return id;
}

std::string Text(const stringid_t& id)
{
    return id.str ? std::string(id.str, id.length) : std::string();
}

struct CameraTypes : ::testing::Test
{
    lumivane_test::LogCapture log;
};
} // namespace

TEST_F(CameraTypes, PropertyNamesAreExactAndCaseSensitive)
{
    struct Case
    {
        const char* text;
        u32 type;
    };
    const Case cases[] = {
        {"Aperture", 0},      {"ShutterSpeed", 1}, {"Iso", 2},          {"Exposure", 3},   {"Quality", 4},
        {"ProgramMode", 5},   {"MeteringMode", 6}, {"DriveMode", 7},    {"FocusMode", 8},  {"WhiteBalance", 9},
        {"Storage", 10},      {"MirrorLockup", 11},
        // Refused: wrong case, a near name, padding, empty, null.
        {"aperture", 13},     {"ISO", 13},         {"Shutter Speed", 13}, {"Aperture ", 13}, {"", 13},
        {nullptr, 13},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        EXPECT_EQ(CameraProperty::GetType(c.text), c.type);
        if (c.type < CameraProperty::NumProperties)
        {
            EXPECT_STREQ(CameraProperty::GetName(c.type), c.text);
        }
    }
    EXPECT_TRUE(CameraSettings::IsValid(11));
    EXPECT_FALSE(CameraSettings::IsValid(12));
    EXPECT_FALSE(CameraSettings::IsValid(13));
}

TEST_F(CameraTypes, ConstructionValuesOfCameraAndPhoto)
{
    ScriptedDriver driver(nullptr);
    CameraScript script;
    script.serial = "S1";
    driver.Attach(script);
    ScriptedCamera device(&driver, script);
    // The record as the base constructor leaves it, apart from what the
    // scripted camera fills in (model, serial, valid, live view).
    EXPECT_EQ(device.id.id, -1);
    EXPECT_EQ(device.id.index, 0);
    EXPECT_EQ(Text(device.make), "Scripted");
    EXPECT_EQ(device.make.str, driver.GetName().str);
    EXPECT_FALSE(device.connected);
    EXPECT_FALSE(device.busy);
    EXPECT_TRUE(device.driver_flag0);
    EXPECT_FALSE(device.driver_flag1);
    EXPECT_EQ(device.battery, -1.0f);
    EXPECT_EQ(device.liveview_fps, 20);
    EXPECT_EQ(device.video_fps, 20);
    EXPECT_EQ(device.batch_number, 1);
    EXPECT_EQ(device.photos_per_shot, 1);
    EXPECT_EQ(device.m_pendingTracker, nullptr);
    EXPECT_EQ(device.GetSettings()->GetDevice(), &device);

    CameraPhoto photo(&device, nullptr);
    EXPECT_EQ(photo.index, -1);
    EXPECT_TRUE(cameraid_equal(photo.owner, device.id));
    EXPECT_TRUE(photo.valid);
    EXPECT_TRUE(photo.name_valid);
    EXPECT_FALSE(photo.downloaded);
    EXPECT_EQ(photo.sequence, -1);
    EXPECT_EQ(photo.batch, -1);
    EXPECT_EQ(photo.format, IMAGEFORMAT_UNKNOWN);
    EXPECT_EQ(Text(photo.origin), "manual");
    // A lower-case version 4 UUID.
    const std::string uuid = Text(photo.uuid);
    ASSERT_EQ(uuid.size(), 36u);
    EXPECT_EQ(uuid[8], '-');
    EXPECT_EQ(uuid[14], '4');
    EXPECT_EQ(uuid.find_first_of("ABCDEF"), std::string::npos);
    CameraPhoto other(&device, nullptr);
    EXPECT_NE(uuid, Text(other.uuid));
}

TEST_F(CameraTypes, SettingsVersionPairsAfterConstructionAndClear)
{
    CameraSettings settings;
    EXPECT_EQ(settings.GetDevice(), nullptr);
    auto expect_cleared = [&](const char* when) {
        SCOPED_TRACE(when);
        for (u32 i = 0; i < CameraProperty::NumProperties; ++i)
        {
            const auto type = static_cast<CameraProperty::Type>(i);
            SCOPED_TRACE(CameraProperty::GetName(i));
            EXPECT_FALSE(settings.GetProperty(type).supported);
            EXPECT_EQ(settings.GetProperty(type).value, 0u);
            EXPECT_EQ(settings.GetProperty(type).value_version, 0);
            EXPECT_EQ(settings.GetProperty(type).range_version, 0);
            EXPECT_EQ(settings.GetVersion(type).value_version, -1);
            EXPECT_EQ(settings.GetVersion(type).range_version, -1);
            EXPECT_EQ(settings.GetRange(type).names.count, 0u);
            EXPECT_EQ(settings.GetRange(type).values.count, 0u);
        }
    };
    expect_cleared("construction");

    ASSERT_TRUE(settings.AddValue(CameraProperty::Iso, 100, string_make("100")));
    ASSERT_TRUE(settings.AddValue(CameraProperty::Iso, 200, string_make("200")));
    settings.GetProperty(CameraProperty::Iso) = CameraProperty{1, true, 5, 3};
    settings.GetVersion(CameraProperty::Iso) = cameraversion_t{5, 3};
    const stringid_t name = settings.GetRange(CameraProperty::Iso).names.data[0];
    const i32 held = stringid_count(name);
    const u64 capacity = settings.GetRange(CameraProperty::Iso).names.capacity;

    settings.ClearAll();
    expect_cleared("clear");
    // The names' references were dropped and the storage kept.
    EXPECT_EQ(stringid_count(name), held - 1);
    EXPECT_EQ(settings.GetRange(CameraProperty::Iso).names.capacity, capacity);
}

TEST_F(CameraTypes, DevicesAreEqualByInternedMakeModelAndSerial)
{
    struct Side
    {
        const char* driver;
        const char* model;
        const char* serial;
    };
    struct Case
    {
        const char* why;
        Side a, b;
        bool equal;
    };
    const Case cases[] = {
        {"same three texts", {"Canon", "EOS R5", "0042"}, {"Canon", "EOS R5", "0042"}, true},
        {"make differs in case", {"Canon", "EOS R5", "0042"}, {"CANON", "EOS R5", "0042"}, false},
        {"serial differs", {"Canon", "EOS R5", "0042"}, {"Canon", "EOS R5", "0043"}, false},
        {"model differs", {"Canon", "EOS R5", "0042"}, {"Canon", "EOS R6", "0042"}, false},
        {"both without serial", {"Nikon", "Z 9", ""}, {"Nikon", "Z 9", ""}, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        // The make is the driver's name.
        ScriptedDriver da(nullptr, false, c.a.driver), db(nullptr, false, c.b.driver);
        CameraScript sa, sb;
        sa.model = c.a.model;
        sa.serial = c.a.serial;
        sb.model = c.b.model;
        sb.serial = c.b.serial;
        ScriptedCamera a(&da, sa), b(&db, sb);
        // Different ids do not matter.
        a.id.id = 3;
        b.id.id = 7;
        EXPECT_EQ(a.IsEqual(&b), c.equal);
        EXPECT_EQ(b.IsEqual(&a), c.equal);
    }
}

TEST_F(CameraTypes, PhotoOriginComesFromTheRequest)
{
    ScriptedDriver driver(nullptr);
    CameraScript script;
    script.serial = "S1";
    ScriptedCamera device(&driver, script);

    cameratracker_t tracker{};
    tracker.origin = stringid_t{empty_str};
    CameraPhoto without_text(&device, &tracker);
    EXPECT_EQ(Text(without_text.origin), "");

    tracker.origin = Id("Grid");
    CameraPhoto with_text(&device, &tracker);
    EXPECT_EQ(Text(with_text.origin), "Grid");
    EXPECT_EQ(with_text.origin.str, tracker.origin.str);
    stringid_release(tracker.origin);
}

TEST_F(CameraTypes, ReshootDeletesTheFileButKeepsDeletedAndName)
{
    lumivane_test::TempDir dir;
    const std::string file = dir.File("LVP_1.JPG");
    std::ofstream(file) << "jpeg";

    ScriptedDriver driver(nullptr);
    CameraScript script;
    script.serial = "S1";
    ScriptedCamera device(&driver, script);
    device.id = cameraid_t{4, 2};
    CameraPhoto photo(nullptr, nullptr);
    camera_text_set(photo.path, string_make(file.c_str()));
    camera_text_set(photo.name, string_make("LVP_1.JPG"));
    photo.downloaded = true;
    photo.deleted = true;
    photo.orphaned = true;
    photo.video = true;
    photo.sequence = 9;
    const std::string uuid = Text(photo.uuid);

    photo.Reshoot(&device, nullptr);
    EXPECT_FALSE(file_exists(string_make(file.c_str())));
    EXPECT_FALSE(photo.downloaded);
    EXPECT_FALSE(photo.orphaned);
    EXPECT_FALSE(photo.video);
    EXPECT_TRUE(photo.deleted);
    EXPECT_EQ(Text(photo.name), "LVP_1.JPG");
    EXPECT_EQ(photo.sequence, 9);
    EXPECT_EQ(Text(photo.uuid), uuid);
    EXPECT_TRUE(cameraid_equal(photo.owner, device.id));
    EXPECT_EQ(photo.GetDevice(), &device);
    EXPECT_EQ(Text(photo.origin), "manual");
}

TEST_F(CameraTypes, CopiesHoldTheirOwnReferences)
{
    photo_t a;
    photo_initialise(a, cameraid_t{1, 0});
    camera_text_set(a.name, string_make("copy-test-name.JPG"));
    const i32 before = stringid_count(a.name);
    photo_t b;
    photo_initialise(b, cameraid_t{-1, 0});
    photo_copy(b, a);
    EXPECT_EQ(stringid_count(a.name), before + 1);
    EXPECT_EQ(b.name.str, a.name.str);
    photo_release(a);
    EXPECT_EQ(Text(b.name), "copy-test-name.JPG");
    photo_release(b);
    photo_release(b); // safe twice

    camera_t c;
    camera_initialise(c, Id("copy-test-make"));
    camera_t d;
    camera_initialise(d, stringid_t{empty_str});
    camera_copy(d, c);
    EXPECT_EQ(stringid_count(c.make), stringid_count(d.make));
    camera_release(c);
    EXPECT_EQ(Text(d.make), "copy-test-make");
    camera_release(d);
}
