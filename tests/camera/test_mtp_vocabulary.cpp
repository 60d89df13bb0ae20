// The PTP code and property vocabularies: standard codes are named alike on
// every camera, vendor codes only under their own protocol, the per-dialect
// counts of every table (which guard the transcription of the long tables),
// the codes that mean different things to different vendors, the owning
// dialect of property codes, value texts and file extensions.
#include "orvo/camera/mtp_codes.h"
#include "orvo/camera/mtp_propertycodes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace orvo;

namespace
{
typedef const char* (*name_fn)(u32 protocol, u32 code);

const char* property_name(u32 protocol, u32 code)
{
    return mtp_property_to_cstr(protocol, code);
}

bool is_unknown(const char* name)
{
    return std::strcmp(name, "unknown") == 0;
}

const char* const vendor_prefixes[] = {"", "Canon_", "Nikon_", "Fujifilm_"};

// Codes named under protocol 0: the standard table.
u32 count_standard(name_fn name)
{
    u32 count = 0;
    for (u32 code = 0; code <= 0xFFFF; ++code)
        count += is_unknown(name(MTP_PROTOCOL_GENERIC, code)) ? 0 : 1;
    return count;
}

// Codes named under the protocol but not under protocol 0: its vendor table.
u32 count_vendor(name_fn name, u32 protocol)
{
    u32 count = 0;
    for (u32 code = 0; code <= 0xFFFF; ++code)
    {
        const char* vendor = name(protocol, code);
        if (is_unknown(vendor) || !is_unknown(name(MTP_PROTOCOL_GENERIC, code)))
            continue;
        ++count;
        EXPECT_EQ(std::strncmp(vendor, vendor_prefixes[protocol], std::strlen(vendor_prefixes[protocol])), 0)
            << std::hex << code << " " << vendor;
    }
    return count;
}

struct TableCounts
{
    const char* name;
    name_fn function;
    u32 standard;
    u32 canon;
    u32 nikon;
    u32 fujifilm;
};
} // namespace

TEST(MtpVocabulary, EveryTableHoldsTheNamesItShould)
{
    const TableCounts tables[] = {
        {"operations", mtp_command_to_cstr, 36, 95, 41, 0},
        {"responses", mtp_response_to_cstr, 43, 0, 19, 0},
        {"events", mtp_event_to_cstr, 18, 23, 5, 0},
        // The Canon format table has five slots; 0xB102 among them is unnamed.
        {"formats", mtp_format_to_cstr, 73, 4, 0, 0},
        {"properties", property_name, 67, 121, 282, 7},
    };
    for (const TableCounts& t : tables)
    {
        SCOPED_TRACE(t.name);
        EXPECT_EQ(count_standard(t.function), t.standard);
        EXPECT_EQ(count_vendor(t.function, MTP_PROTOCOL_CANON), t.canon);
        EXPECT_EQ(count_vendor(t.function, MTP_PROTOCOL_NIKON), t.nikon);
        EXPECT_EQ(count_vendor(t.function, MTP_PROTOCOL_FUJIFILM), t.fujifilm);
        EXPECT_EQ(count_vendor(t.function, 7), 0u) << "a dialect we do not know names nothing of its own";

        // Standard codes read the same on every camera.
        for (u32 code = 0; code <= 0xFFFF; ++code)
        {
            const char* standard = t.function(MTP_PROTOCOL_GENERIC, code);
            if (is_unknown(standard))
                continue;
            for (u32 protocol : {1u, 2u, 3u, 7u})
                ASSERT_STREQ(t.function(protocol, code), standard) << std::hex << code;
        }
    }
}

TEST(MtpVocabulary, PropertiesAreOwnedByTheDialectThatNamesThem)
{
    for (u32 protocol : {0u, 1u, 2u, 3u, 7u})
    {
        SCOPED_TRACE(protocol);
        u32 owned = 0;
        for (u32 code = 0; code <= 0xFFFF; ++code)
        {
            const mtp_protocol_t owner = mtp_property_to_protocol(protocol, code);
            const bool vendor_named = !is_unknown(mtp_property_to_cstr(protocol, code)) &&
                                      is_unknown(mtp_property_to_cstr(MTP_PROTOCOL_GENERIC, code));
            ASSERT_EQ(owner, vendor_named ? static_cast<mtp_protocol_t>(protocol) : MTP_PROTOCOL_GENERIC)
                << std::hex << code;
            owned += owner != MTP_PROTOCOL_GENERIC ? 1 : 0;
        }
        const u32 expected[] = {0, 121, 282, 7, 0};
        EXPECT_EQ(owned, expected[protocol == 7 ? 4 : protocol]);
    }
}

TEST(MtpVocabulary, CodesThatDifferBetweenVendors)
{
    struct Case
    {
        const char* what;
        name_fn function;
        u32 code;
        const char* generic;
        const char* canon;
        const char* nikon;
        const char* fujifilm;
    };
    const Case cases[] = {
        {"Canon GetEvent", mtp_command_to_cstr, 0x9116, "unknown", "Canon_GetEvent", "unknown", "unknown"},
        {"Nikon DeviceReady", mtp_command_to_cstr, 0x90C8, "unknown", "unknown", "Nikon_DeviceReady", "unknown"},
        {"GetPartialObject", mtp_command_to_cstr, 0x101B, "GetPartialObject", "GetPartialObject",
         "GetPartialObject", "GetPartialObject"},
        {"MTP GetObjectPropsSupported", mtp_command_to_cstr, 0x9801, "GetObjectPropsSupported",
         "GetObjectPropsSupported", "GetObjectPropsSupported", "GetObjectPropsSupported"},
        {"Skip", mtp_command_to_cstr, 0x9820, "Skip", "Skip", "Skip", "Skip"},
        {"last PTP operation", mtp_command_to_cstr, 0x101C, "InitiateOpenCapture", "InitiateOpenCapture",
         "InitiateOpenCapture", "InitiateOpenCapture"},
        {"past the PTP operations", mtp_command_to_cstr, 0x101D, "unknown", "unknown", "unknown", "unknown"},
        {"Nikon hardware error", mtp_response_to_cstr, 0xA001, "unknown", "unknown", "Nikon_Hardware_Error",
         "unknown"},
        {"Device busy", mtp_response_to_cstr, 0x2019, "Device_Busy", "Device_Busy", "Device_Busy", "Device_Busy"},
        {"Store read-only", mtp_response_to_cstr, 0x200E, "Store_ReadOnly", "Store_ReadOnly", "Store_ReadOnly",
         "Store_ReadOnly"},
        {"last PTP response", mtp_response_to_cstr, 0x2020, "Specification_of_Destination_Unsupported",
         "Specification_of_Destination_Unsupported", "Specification_of_Destination_Unsupported",
         "Specification_of_Destination_Unsupported"},
        {"MTP response", mtp_response_to_cstr, 0xA80A, "ObjectProp_Not_Supported", "ObjectProp_Not_Supported",
         "ObjectProp_Not_Supported", "ObjectProp_Not_Supported"},
        {"0xC101 per vendor", mtp_event_to_cstr, 0xC101, "unknown", "Canon_RequestGetEvent",
         "Nikon_ObjectAddedInSdram", "unknown"},
        {"Nikon event table ends", mtp_event_to_cstr, 0xC106, "unknown", "unknown", "unknown", "unknown"},
        {"last Nikon event", mtp_event_to_cstr, 0xC105, "unknown", "unknown", "Nikon_RecordingInterrupted",
         "unknown"},
        {"CaptureComplete", mtp_event_to_cstr, 0x400D, "CaptureComplete", "CaptureComplete", "CaptureComplete",
         "CaptureComplete"},
        {"CR2", mtp_format_to_cstr, 0xB103, "unknown", "Canon_CR2", "unknown", "unknown"},
        {"the Canon format gap", mtp_format_to_cstr, 0xB102, "unknown", "unknown", "unknown", "unknown"},
        {"JPEG", mtp_format_to_cstr, 0x3801, "EXIF_JPEG", "EXIF_JPEG", "EXIF_JPEG", "EXIF_JPEG"},
        {"0xD017 per vendor", property_name, 0xD017, "unknown", "unknown", "Nikon_WbTuneAuto",
         "Fujifilm_ColorTemperature"},
        {"0xD101 per vendor", property_name, 0xD101, "unknown", "Canon_Aperture", "Nikon_ExternalDCIN", "unknown"},
        {"a gap in the Canon table", property_name, 0xD1DE, "unknown", "unknown", "unknown", "unknown"},
        {"past the Canon table", property_name, 0xD1E0, "unknown", "unknown", "unknown", "unknown"},
        {"last Canon property", property_name, 0xD1DF, "unknown", "Canon_CADarkBright", "unknown", "unknown"},
        {"FNumber everywhere", property_name, 0x5007, "FNumber", "FNumber", "FNumber", "FNumber"},
        {"an MTP object property", property_name, 0xDCD3, "ImageBitDepth", "ImageBitDepth", "ImageBitDepth",
         "ImageBitDepth"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        EXPECT_STREQ(c.function(MTP_PROTOCOL_GENERIC, c.code), c.generic);
        EXPECT_STREQ(c.function(MTP_PROTOCOL_CANON, c.code), c.canon);
        EXPECT_STREQ(c.function(MTP_PROTOCOL_NIKON, c.code), c.nikon);
        EXPECT_STREQ(c.function(MTP_PROTOCOL_FUJIFILM, c.code), c.fujifilm);
    }

    EXPECT_EQ(mtp_property_to_protocol(MTP_PROTOCOL_NIKON, 0xD017), MTP_PROTOCOL_NIKON);
    EXPECT_EQ(mtp_property_to_protocol(MTP_PROTOCOL_FUJIFILM, 0xD017), MTP_PROTOCOL_FUJIFILM);
    EXPECT_EQ(mtp_property_to_protocol(MTP_PROTOCOL_CANON, 0xD1DE), MTP_PROTOCOL_GENERIC);
    for (u32 protocol = 0; protocol < 4; ++protocol)
        EXPECT_EQ(mtp_property_to_protocol(protocol, 0x5007), MTP_PROTOCOL_GENERIC);
}

TEST(MtpVocabulary, EnumeratorsCarryTheirCodes)
{
    EXPECT_EQ(MTP_COMMAND_GetDeviceInfo, 0x1001u);
    EXPECT_EQ(MTP_COMMAND_Canon_GetEvent, 0x9116u);
    EXPECT_EQ(MTP_COMMAND_Nikon_DeviceReady, 0x90C8u);
    EXPECT_EQ(MTP_RESPONSE_OK, 0x2001u);
    EXPECT_EQ(MTP_RESPONSE_Nikon_Out_of_Focus, 0xA002u);
    EXPECT_EQ(MTP_EVENT_ObjectAdded, 0x4002u);
    EXPECT_EQ(MTP_EVENT_Canon_ObjectAddedEx, 0xC181u);
    EXPECT_EQ(MTP_FORMAT_EXIF_JPEG, 0x3801u);
    EXPECT_EQ(MTP_FORMAT_Canon_MOV2, 0xB105u);
    EXPECT_EQ(MTP_PROPERTY_DateTime, 0x5011u);
    EXPECT_EQ(MTP_PROPERTY_Canon_SerialNumber, 0xD1AFu);
    EXPECT_EQ(MTP_PROPERTY_Nikon_RecordingMedia, 0xD10Bu);
    EXPECT_EQ(MTP_PROPERTY_Fujifilm_ShutterSpeed, 0xD219u);
}

TEST(MtpVocabulary, ValueTexts)
{
    struct Case
    {
        const char* what;
        u32 protocol;
        u32 property;
        u32 value;
        const char* text;
    };
    const Case cases[] = {
        {"standard white balance on a Canon", 1, 0x5005, 2, "AUTO"},
        {"vendor extension of white balance everywhere", 0, 0x5005, 0x8010, "Cloudy"},
        {"vendor extension of white balance on a Nikon", 2, 0x5005, 0x8013, "Preset"},
        {"white balance past the list", 0, 0x5005, 8, "unknown"},
        {"focus mode", 3, 0x500A, 0x8011, "AF Continuous"},
        {"metering", 0, 0x500B, 0x8010, "Heighlight Weighted"},
        {"program mode", 2, 0x500E, 0x8051, "USER 2"},
        {"program mode gap", 2, 0x500E, 0x801A, "unknown"},
        {"still capture mode", 0, 0x5013, 0x8018, "Quiet Continuous"},
        {"still capture mode gap", 0, 0x5013, 0x8013, "unknown"},
        {"Canon white balance on a Canon", 1, 0xD109, 2, "Cloudy"},
        {"Canon white balance elsewhere", 0, 0xD109, 2, "unknown"},
        {"Canon white balance on a Nikon", 2, 0xD109, 2, "unknown"},
        {"Canon aperture 5.6", 1, 0xD101, 48, "5.6"},
        {"Canon aperture gap", 1, 0xD101, 50, "unknown"},
        {"Canon aperture past the table", 1, 0xD101, 113, "unknown"},
        {"Canon aperture first", 1, 0xD101, 8, "1"},
        {"Canon shutter bulb", 1, 0xD102, 12, "Bulb"},
        {"Canon shutter fastest", 1, 0xD102, 160, "1/8000"},
        {"Canon shutter 1/125", 1, 0xD102, 112, "1/125"},
        {"Canon ISO auto", 1, 0xD103, 0, "AUTO"},
        {"Canon ISO 102400", 1, 0xD103, 152, "102400"},
        {"Canon exposure compensation -0.3", 1, 0xD104, 253, "-0.3"},
        {"Canon exposure compensation gap", 1, 0xD104, 254, "unknown"},
        {"Canon exposure compensation +5", 1, 0xD104, 40, "5.0"},
        {"Canon exposure mode bulb", 1, 0xD105, 4, "Bulb"},
        {"Canon exposure mode last", 1, 0xD105, 44, "Movie Mini"},
        {"Canon exposure mode gap", 1, 0xD105, 16, "unknown"},
        {"Canon drive 2s timer", 1, 0xD106, 17, "2s Timer"},
        {"Canon metering gap", 1, 0xD107, 2, "unknown"},
        {"Canon focus MF", 1, 0xD108, 3, "MF"},
        {"Canon destination", 1, 0xD11C, 6, "Disk + SDCard"},
        {"Canon destination gap", 1, 0xD11C, 3, "unknown"},
        {"Canon mirror up", 1, 0xD13A, 1, "On"},
        {"Canon viewfinder", 1, 0xD1B1, 2, "Movie"},
        {"Canon movie recording", 1, 0xD1B8, 4, "Recording"},
        {"Canon mirror lock-up", 1, 0xD1BF, 2, "On + UP"},
        {"Nikon recording media", 2, 0xD10B, 2, "Both"},
        {"Nikon recording media past the list", 2, 0xD10B, 3, "unknown"},
        {"Nikon recording media on a Canon", 1, 0xD10B, 0, "unknown"},
        {"a property without texts", 1, 0x5007, 280, "unknown"},
        {"a value beyond 16 bits", 1, 0xD101, 0x10030, "unknown"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        EXPECT_STREQ(mtp_property_to_cstr(c.protocol, c.property, c.value), c.text);
    }
}

TEST(MtpVocabulary, FileExtensions)
{
    struct Case
    {
        u32 protocol;
        u32 format;
        const char* extension;
    };
    const Case cases[] = {
        {0, 0x3801, "JPG"}, {2, 0x3802, "TIFF"},   {0, 0x380E, "TIFF"},      {0, 0x380F, "JP2"},
        {0, 0x3810, "JPX"}, {1, 0xB101, "CRW"},    {1, 0xB103, "CR2"},       {1, 0xB104, "MOV"},
        {1, 0xB105, "MOV2"}, {0, 0xB103, "unknown"}, {1, 0xB102, "unknown"}, {0, 0x380B, "PNG"},
        {0, 0x3808, "JFIF"}, {0, 0x3000, "Undefined"}, {0, 0x380D, "TIFF"},   {2, 0xB104, "unknown"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.format);
        EXPECT_STREQ(mtp_format_to_extension_cstr(c.protocol, c.format), c.extension);
    }
}
