// Device properties read lazily and written with read-back, and the camera
// properties over standard codes: names, index, "out of sync", selection by
// index refusing indexes out of range or from outdated names, and the context's
// default values applied when a camera connects.
#include "support/ptpsim/ptpsim_fixture.h"

#include "orvo/camera/mtp_deviceproperty.h"
#include "orvo/camera/mtp_update.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace orvo;
using ptpsim::DeviceTest;

namespace
{
std::vector<std::string> names_of(const mtp_cameraproperty_t& property)
{
    std::vector<std::string> names;
    for (u64 i = 0; i < property.value_names.strings.count; ++i)
        names.push_back(property.value_names.strings.data[i].str);
    return names;
}

ptpsim::DevicePropDesc fnumber(std::vector<int64_t> stops, int64_t current, uint8_t getset = 1)
{
    ptpsim::DevicePropDesc desc;
    desc.code = ptpsim::kPropFNumber;
    desc.datatype = ptpsim::kUint16;
    desc.getset = getset;
    desc.factory_default = ptpsim::Value::integer(current);
    desc.current = ptpsim::Value::integer(current);
    desc.form = ptpsim::kFormEnumeration;
    for (int64_t stop : stops)
        desc.enumeration.push_back(ptpsim::Value::integer(stop));
    return desc;
}
} // namespace

TEST_F(DeviceTest, PropertiesAreReadOnlyWhenDueOrRefreshed)
{
    ASSERT_TRUE(Connect());
    camera.reset_calls();
    log.Clear();

    // Listed, never read (no camera property uses the image size alone): the
    // first get reads the description (with its value).
    const mtp_devicepropdesc_t* size = mtp_device_get_deviceprop(device, MTP_PROPERTY_ImageSize, false);
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(std::string(size->current_value.str.str), "6000x4000");
    EXPECT_EQ(camera.calls(ptpsim::kOpGetDevicePropDesc), 1);
    EXPECT_TRUE(log.Contains("MTP property value: ImageSize - 6000x4000"));

    // Read already: no transaction at all.
    EXPECT_NE(mtp_device_get_deviceprop(device, MTP_PROPERTY_ImageSize, false), nullptr);
    EXPECT_EQ(camera.calls(ptpsim::kOpGetDevicePropDesc), 1);
    EXPECT_EQ(camera.calls(ptpsim::kOpGetDevicePropValue), 0);

    // A refresh reads it again and asks the driver to copy properties; an
    // unchanged value is not logged again.
    log.Clear();
    device.change_flags.store(0);
    EXPECT_NE(mtp_device_get_deviceprop(device, MTP_PROPERTY_ImageSize, true), nullptr);
    EXPECT_EQ(camera.calls(ptpsim::kOpGetDevicePropDesc), 2);
    EXPECT_NE(device.change_flags.load() & MTP_CHANGE_PROPERTIES, 0u);
    EXPECT_FALSE(log.Contains("MTP property value"));

    // Invalidated: read on the next get, the new value logged.
    camera.change_property(ptpsim::kPropImageSize, ptpsim::Value::str("3984x2656"), false);
    mtp_device_invalidate_deviceprop(device, MTP_PROPERTY_ImageSize);
    size = mtp_device_get_deviceprop(device, MTP_PROPERTY_ImageSize, false);
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(std::string(size->current_value.str.str), "3984x2656");
    EXPECT_TRUE(log.Contains("MTP property value: ImageSize - 3984x2656"));

    // A code the camera does not list: nothing, and no transaction.
    camera.reset_calls();
    EXPECT_EQ(mtp_device_get_deviceprop(device, MTP_PROPERTY_ExposureTime, true), nullptr);
    mtp_device_invalidate_deviceprop(device, MTP_PROPERTY_ExposureTime);
    EXPECT_FALSE(mtp_device_set_deviceprop(device, MTP_PROPERTY_ExposureTime, 0));
    EXPECT_EQ(camera.calls(ptpsim::kOpGetDevicePropDesc) + camera.calls(ptpsim::kOpSetDevicePropValue), 0);
}

TEST_F(DeviceTest, AnUnreadableDescriptionStaysDueAndIsTriedAgain)
{
    ASSERT_TRUE(Connect());
    camera.fail(ptpsim::kOpGetDevicePropDesc, 0x2019, 1);
    EXPECT_EQ(mtp_device_get_deviceprop(device, MTP_PROPERTY_ImageSize, false), nullptr);
    EXPECT_NE(mtp_device_get_deviceprop(device, MTP_PROPERTY_ImageSize, false), nullptr);

    // A dataset for another code is refused whole.
    ptpsim::DevicePropDesc other = fnumber({560}, 560);
    ptpsim::Fault wrong;
    wrong.kind = ptpsim::Fault::Kind::kData;
    wrong.operation = ptpsim::kOpGetDevicePropDesc;
    wrong.data = ptpsim::encode_devicepropdesc(other).bytes;
    wrong.remaining = 1;
    camera.add_fault(wrong);
    EXPECT_EQ(mtp_device_get_deviceprop(device, MTP_PROPERTY_ImageSize, true), nullptr);
    EXPECT_TRUE(log.Contains("MTP propertyinfo code mismatch"));
}

TEST_F(DeviceTest, CameraPropertiesFollowTheCameraValues)
{
    ASSERT_TRUE(Connect());
    const mtp_cameraproperty_t& aperture = device.cameraproperties[MTP_CAMERAPROPERTY_APERTURE];
    EXPECT_EQ(names_of(aperture), (std::vector<std::string>{"2.8", "4", "5.6", "8", "11"}));
    struct Case
    {
        const char* why;
        int64_t value;
        i32 index;
        const char* name;
    };
    const Case cases[] = {
        {"a listed value", 1100, 4, "11"},
        {"a value the camera does not list", 500, -1, ""},
        {"back in the list", 280, 0, "2.8"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        log.Clear();
        camera.change_property(ptpsim::kPropFNumber, ptpsim::Value::integer(c.value), true);
        EXPECT_NE(Update() & MTP_CHANGE_PROPERTIES, 0u);
        EXPECT_EQ(aperture.current_index, c.index);
        EXPECT_STREQ(aperture.current_name.str, c.name);
        EXPECT_EQ(log.Contains("Property value out of sync: FNumber - -1"), c.index < 0);
    }

    // A new list from the camera (another lens) rebuilds the names.
    camera.set_property(fnumber({400, 560, 800}, 800));
    camera.send_event(ptpsim::kEvDevicePropChanged, {ptpsim::kPropFNumber});
    Update();
    EXPECT_EQ(names_of(aperture), (std::vector<std::string>{"4", "5.6", "8"}));
    EXPECT_EQ(aperture.current_index, 2);
    EXPECT_STREQ(aperture.current_name.str, "8");
}

TEST_F(DeviceTest, SelectingByIndexRefusesStaleAndOutOfRangeIndexes)
{
    ASSERT_TRUE(Connect());
    struct Case
    {
        const char* why;
        i32 index;
        bool camera_changed_list; // the description re-read behind the names' back
        bool expected;
        int64_t camera_value;
        const char* logged;
    };
    const Case cases[] = {
        {"an index of the names", 3, false, true, 800, nullptr},
        {"past the names", 5, false, false, 800, "Property value index out of range: FNumber - 5"},
        {"negative", -1, false, false, 800, "Property value index out of range: FNumber - -1"},
        {"names built from an older list", 0, true, false, 800, "Property value index out of date: FNumber - 0"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        log.Clear();
        camera.reset_calls();
        if (c.camera_changed_list)
        {
            // The camera now offers other stops; a refresh outside the
            // update (as vendor event data does) moves the description.
            camera.set_property(fnumber({1100, 1600}, 800));
            ASSERT_NE(mtp_device_get_deviceprop(device, MTP_PROPERTY_FNumber, true), nullptr);
        }
        EXPECT_EQ(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_APERTURE, c.index), c.expected);
        EXPECT_EQ(static_cast<int64_t>(camera.property_value(ptpsim::kPropFNumber).bits), c.camera_value);
        EXPECT_EQ(camera.calls(ptpsim::kOpSetDevicePropValue), c.expected ? 1 : 0);
        if (c.logged)
        {
            EXPECT_TRUE(log.Contains(c.logged));
        }
    }
    // Once the update has rebuilt the names, the same index is fine again.
    Update();
    EXPECT_TRUE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_APERTURE, 0));
    EXPECT_EQ(camera.property_value(ptpsim::kPropFNumber).bits, 1100u);
}

TEST_F(DeviceTest, AValueTheCameraRefusesIsReadBackUnchanged)
{
    ASSERT_TRUE(Connect());
    const mtp_cameraproperty_t& aperture = device.cameraproperties[MTP_CAMERAPROPERTY_APERTURE];
    for (u16 response : {0x2005, 0xA005})
    {
        SCOPED_TRACE(response);
        camera.fail(ptpsim::kOpSetDevicePropValue, response, 1);
        log.Clear();
        EXPECT_FALSE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_APERTURE, 3));
        EXPECT_NE(Update() & MTP_CHANGE_PROPERTIES, 0u);
        EXPECT_STREQ(aperture.current_name.str, "5.6");
        EXPECT_EQ(camera.property_value(ptpsim::kPropFNumber).bits, 560u);
        EXPECT_FALSE(log.Contains("MTP property value: FNumber - 8"));
    }
    // Accepted, the write is read back and logged with the new value.
    log.Clear();
    EXPECT_TRUE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_APERTURE, 3));
    Update();
    EXPECT_STREQ(aperture.current_name.str, "8");
    EXPECT_TRUE(log.Contains("Sent property to device: FNumber"));
    EXPECT_TRUE(log.Contains("MTP property value: FNumber - 8"));
}

TEST_F(DeviceTest, SelectionNeedsASettablePropertyAFreeDeviceAndNoDownload)
{
    camera.set_property(fnumber({280, 560}, 560, 0)); // read-only on this camera
    camera.remove_property(ptpsim::kPropExposureIndex);
    ASSERT_TRUE(Connect());
    const mtp_cameraproperty_t& aperture = device.cameraproperties[MTP_CAMERAPROPERTY_APERTURE];
    EXPECT_FALSE(aperture.supported);
    EXPECT_EQ(names_of(aperture), (std::vector<std::string>{"2.8", "5.6"}));
    EXPECT_FALSE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_APERTURE, 0));

    // No ISO on this camera: never read, never set.
    const mtp_cameraproperty_t& iso = device.cameraproperties[MTP_CAMERAPROPERTY_ISO];
    EXPECT_EQ(iso.code, MTP_PROPERTY_Undefined);
    EXPECT_EQ(iso.get, nullptr);
    EXPECT_FALSE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_ISO, 0));

    camera.set_property(fnumber({280, 560}, 560, 1));
    camera.send_event(ptpsim::kEvDevicePropChanged, {ptpsim::kPropFNumber});
    Update();
    ASSERT_TRUE(aperture.supported);
    device.pending_downloads = 1;
    EXPECT_FALSE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_APERTURE, 0));
    device.pending_downloads = 0;
    {
        ptpsim::LockHolder holder(device);
        EXPECT_FALSE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_APERTURE, 0));
    }
    EXPECT_EQ(camera.calls(ptpsim::kOpSetDevicePropValue), 0);
    EXPECT_TRUE(mtp_device_set_cameraproperty(device, MTP_CAMERAPROPERTY_APERTURE, 0));
}

// The defaults are matched against the names, which exist only once the first
// update has read the camera's properties.
TEST_F(DeviceTest, ConnectAppliesTheContextDefaultsToTheBuiltNames)
{
    struct Case
    {
        const char* why;
        mtp_camerapropertytype_t type;
        const char* name;
        u16 code;
        uint64_t camera_value;
    };
    const Case cases[] = {
        {"aperture", MTP_CAMERAPROPERTY_APERTURE, "8", ptpsim::kPropFNumber, 800},
        {"ISO", MTP_CAMERAPROPERTY_ISO, "1600", ptpsim::kPropExposureIndex, 1600},
        {"a name the camera does not offer", MTP_CAMERAPROPERTY_WHITEBALANCE, "Daylight", 0, 0},
    };
    for (const Case& c : cases)
        mtp_context_set_default(context, c.type, string_make(c.name));
    ASSERT_TRUE(Connect());
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        if (c.code)
        {
            EXPECT_EQ(camera.property_value(c.code).bits, c.camera_value);
        }
    }
    EXPECT_EQ(camera.calls(ptpsim::kOpSetDevicePropValue), 2);
    // The driver's next update reads the new values back.
    Update();
    EXPECT_STREQ(device.cameraproperties[MTP_CAMERAPROPERTY_APERTURE].current_name.str, "8");
    EXPECT_STREQ(device.cameraproperties[MTP_CAMERAPROPERTY_ISO].current_name.str, "1600");
}

TEST(CameraPropertyRecord, ClearKeepsTheTypeAndFormattingAndReleaseIsSafeTwice)
{
    mtp_cameraproperty_t property;
    mtp_cameraproperty_initialise(property, MTP_CAMERAPROPERTY_ISO);
    EXPECT_EQ(property.code, MTP_PROPERTY_Undefined);
    EXPECT_EQ(property.current_index, 0);
    EXPECT_EQ(property.raw_values.capacity, 8u);
    property.code = MTP_PROPERTY_ExposureIndex;
    property.supported = true;
    property.current_index = 1;
    property.to_string = mtp_generic_compute_property_str;
    property.get = mtp_generic_get_cameraproperty;
    stringarray_append(property.value_names, string_make("100"));
    stringarray_append(property.value_names, string_make("200"));
    property.current_name = property.value_names.strings.data[1];
    version_initialise(property.value_version);

    mtp_cameraproperty_clear(property);
    EXPECT_EQ(property.type, MTP_CAMERAPROPERTY_ISO);
    EXPECT_EQ(property.to_string, &mtp_generic_compute_property_str);
    EXPECT_EQ(property.code, MTP_PROPERTY_Undefined);
    EXPECT_FALSE(property.supported);
    EXPECT_EQ(property.get, nullptr);
    EXPECT_EQ(property.value_names.strings.count, 0u);
    EXPECT_EQ(property.current_name.length, 0u);
    EXPECT_EQ(property.value_version.id, 0);
    mtp_cameraproperty_release(property);
    mtp_cameraproperty_release(property);
    EXPECT_STREQ(mtp_camerapropertytype_to_cstr(MTP_CAMERAPROPERTY_DRIVEMODE), "Drive mode");
    EXPECT_STREQ(mtp_camerapropertytype_to_cstr(12), "unknown");
}

TEST(PropertyText, StandardCodesReadAsPhotographersWriteThem)
{
    mtp_device_t device = {};
    mtp_device_callbacks_t callbacks = {};
    ASSERT_TRUE(mtp_device_initialise(device, nullptr, callbacks));
    struct Case
    {
        u32 code;
        u32 datatype;
        i64 value;
        const char* text;
    };
    const Case cases[] = {
        {MTP_PROPERTY_FNumber, MTP_DATATYPE_UINT16, 560, "5.6"},
        {MTP_PROPERTY_FNumber, MTP_DATATYPE_UINT16, 1100, "11"},
        {MTP_PROPERTY_ExposureTime, MTP_DATATYPE_UINT32, 80, "1/125"},
        {MTP_PROPERTY_ExposureTime, MTP_DATATYPE_UINT32, 4000, "1/2.5"},
        {MTP_PROPERTY_ExposureTime, MTP_DATATYPE_UINT32, 10000, "1"},
        {MTP_PROPERTY_ExposureTime, MTP_DATATYPE_UINT32, 25000, "2.5"},
        {MTP_PROPERTY_ExposureBiasCompensation, MTP_DATATYPE_INT16, -333, "-0.3"},
        {MTP_PROPERTY_ExposureIndex, MTP_DATATYPE_UINT16, 1600, "1600"},
        {MTP_PROPERTY_BatteryLevel, MTP_DATATYPE_UINT8, 255, "255"},
        {MTP_PROPERTY_CompressionSetting, MTP_DATATYPE_UINT8, 2, "C2"},
        {0xD0FF, MTP_DATATYPE_UINT16, 7, "7"},
    };
    stringbuffer_t text;
    stringbuffer_initialise(text);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        mtp_datavalue_t value = {};
        mtp_datavalue_initialise(value, c.datatype);
        switch (c.datatype)
        {
        case MTP_DATATYPE_UINT8:
            value.uint8 = static_cast<u8>(c.value);
            break;
        case MTP_DATATYPE_INT16:
            value.int16 = static_cast<i16>(c.value);
            break;
        case MTP_DATATYPE_UINT16:
            value.uint16 = static_cast<u16>(c.value);
            break;
        default:
            value.uint32 = static_cast<u32>(c.value);
            break;
        }
        mtp_generic_compute_property_str(device, text, value, static_cast<mtp_property_t>(c.code));
        EXPECT_STREQ(text.str, c.text);
        mtp_datavalue_release(value);
    }
    stringbuffer_release(text);
    mtp_device_release(device);
}
