// DeviceInfo, ObjectInfo and DevicePropDesc read from fixtures that the
// responder's independent encoder builds: whole datasets, every field cut
// short, lying counts, the once-per-kind DeviceInfo dump, serial trimming,
// supported-code tests and overrides, and property descriptions in every form.
#include "orvo/camera/mtp_dataset.h"
#include "support/ptpsim/ptpsim_encoder.h"
#include "support/support_log_capture.h"
#include "support/support_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace orvo;
using lumivane_test::LogCapture;
using lumivane_test::Str;
using ptpsim::Bytes;
using ptpsim::Encoder;

namespace
{
mtp_buffer_t view(const Bytes& bytes)
{
    return mtp_buffer_t{const_cast<u8*>(bytes.data()), bytes.size(), bytes.size(), false};
}

std::vector<u16> codes_of(const vector_t<u16>& list)
{
    return std::vector<u16>(list.data, list.data + list.count);
}

struct MtpDeviceInfo : ::testing::Test
{
    LogCapture log;
    mtp_deviceinfo_t info;
    void SetUp() override { mtp_deviceinfo_initialise(info); }
    void TearDown() override { mtp_deviceinfo_release(info); }

    bool Parse(const Bytes& bytes)
    {
        u64 cursor = 0;
        return mtp_deviceinfo_parse(info, view(bytes), cursor);
    }
};
} // namespace

// --- DeviceInfo -------------------------------------------------------------------------

TEST_F(MtpDeviceInfo, ParsesEveryFieldAndTrimsTheStrings)
{
    ptpsim::DeviceInfo fixture;
    fixture.vendor_extension_id = 11;
    fixture.vendor_extension_version = 200;
    fixture.vendor_extension_desc = "Canon: 1.0";
    fixture.functional_mode = 1;
    fixture.operations = {0x1001, 0x9116, 0x9128};
    fixture.events = {0xC189};
    fixture.properties = {0xD101, 0x5001};
    fixture.capture_formats = {0x3801, 0xB103};
    fixture.playback_formats = {};
    fixture.manufacturer = " \tCanon Inc.\r\n";
    fixture.model = "Canon EOS 5D Mark III ";
    fixture.device_version = " 3-1.2.3";
    fixture.serial_number = "  0042 ";
    ptpsim::Encoded encoded = ptpsim::encode_deviceinfo(fixture);

    const version_t before = info.version;
    ASSERT_TRUE(Parse(encoded.bytes));
    EXPECT_EQ(info.version.id, before.id);
    EXPECT_EQ(info.version.version, before.version + 1);
    EXPECT_EQ(info.standard_version, 100u);
    EXPECT_EQ(info.vendor_extension_id, 11u);
    EXPECT_EQ(info.vendor_extension_version, 200u);
    EXPECT_EQ(Str(info.vendor_extension_desc), "Canon: 1.0");
    EXPECT_EQ(info.functional_mode, 1u);
    EXPECT_EQ(codes_of(info.operations), (std::vector<u16>{0x1001, 0x9116, 0x9128}));
    EXPECT_EQ(codes_of(info.events), (std::vector<u16>{0xC189}));
    EXPECT_EQ(codes_of(info.properties), (std::vector<u16>{0xD101, 0x5001}));
    EXPECT_EQ(codes_of(info.capture_formats), (std::vector<u16>{0x3801, 0xB103}));
    EXPECT_TRUE(codes_of(info.playback_formats).empty());
    EXPECT_EQ(Str(info.manufacturer), "Canon Inc.");
    EXPECT_EQ(Str(info.model), "Canon EOS 5D Mark III");
    EXPECT_EQ(Str(info.device_version), "3-1.2.3");
    EXPECT_EQ(Str(info.serial_number), "42");

    // raw is the whole data phase plus a zero byte; the serial offsets frame
    // its SerialNumber string.
    ASSERT_EQ(info.raw.num_bytes, encoded.bytes.size());
    EXPECT_EQ(std::memcmp(info.raw.data, encoded.bytes.data(), encoded.bytes.size()), 0);
    EXPECT_EQ(info.raw.data[info.raw.num_bytes], 0);
    EXPECT_EQ(info.serial_start, encoded.offsets[ptpsim::kSerialNumber]);
    EXPECT_EQ(info.serial_end, encoded.offsets[ptpsim::kDeviceInfoEnd]);
}

TEST_F(MtpDeviceInfo, EveryFieldCutShortIsNamedAndKeepsTheVersion)
{
    ptpsim::DeviceInfo fixture;
    ptpsim::Encoded encoded = ptpsim::encode_deviceinfo(fixture);
    const char* names[] = {"standard_version", "extension_id",         "mtp_version",          "extensions",
                           "functional_mode",  "supported_operations", "supported_events",     "supported_properties",
                           "capture_formats",  "playback_formats",     "manufacturer",         "model",
                           "device_version",   "serial_number"};
    for (int field = ptpsim::kStandardVersion; field <= ptpsim::kSerialNumber; ++field)
    {
        const size_t start = encoded.offsets[field];
        const size_t end = encoded.offsets[field + 1];
        // Missing altogether, and cut one byte before its end.
        for (size_t cut : {start, end - 1})
        {
            SCOPED_TRACE(std::string(names[field]) + " cut at " + std::to_string(cut));
            log.Clear();
            const version_t before = info.version;
            EXPECT_FALSE(Parse(ptpsim::truncated(encoded.bytes, cut)));
            EXPECT_EQ(info.version.version, before.version);
            EXPECT_EQ(log.Count("Failed to extract MTP DeviceInfo: "), 1u);
            EXPECT_TRUE(log.Contains(std::string("Failed to extract MTP DeviceInfo: ") + names[field]));
        }
    }
    // What was read before the failure stays.
    EXPECT_FALSE(Parse(ptpsim::truncated(encoded.bytes, encoded.offsets[ptpsim::kSerialNumber] + 2)));
    EXPECT_EQ(Str(info.model), "Acme One");
    EXPECT_EQ(codes_of(info.operations), fixture.operations);
}

TEST_F(MtpDeviceInfo, ListCountsThatLieFailWithoutSizingAnything)
{
    ptpsim::DeviceInfo fixture;
    ptpsim::Encoded encoded = ptpsim::encode_deviceinfo(fixture);
    // The operations count says four billion; the real codes follow.
    Bytes bytes = encoded.bytes;
    const size_t at = encoded.offsets[ptpsim::kOperationsSupported];
    bytes[at] = bytes[at + 1] = bytes[at + 2] = bytes[at + 3] = 0xFF;
    EXPECT_FALSE(Parse(bytes));
    EXPECT_TRUE(log.Contains("Failed to extract MTP DeviceInfo: supported_operations"));
    EXPECT_LE(info.operations.capacity, bytes.size() / 2);
}

TEST_F(MtpDeviceInfo, ReparseStartsAfresh)
{
    ptpsim::DeviceInfo first;
    first.operations = {0x1001, 0x1002, 0x1003};
    ASSERT_TRUE(Parse(ptpsim::encode_deviceinfo(first).bytes));
    vector_t<u16> list;
    vector_initialise(list, 2, false);
    vector_insert(list, u16(0xDC01));
    vector_insert(info.object_properties, list);

    ptpsim::DeviceInfo second;
    second.operations = {0x1009};
    second.serial_number = "";
    ASSERT_TRUE(Parse(ptpsim::encode_deviceinfo(second).bytes));
    EXPECT_EQ(codes_of(info.operations), (std::vector<u16>{0x1009}));
    EXPECT_EQ(info.object_properties.count, 0u) << "the per-format lists belong to the previous connection";
    EXPECT_EQ(Str(info.serial_number), "");
}

TEST_F(MtpDeviceInfo, SupportTestsAndOverrides)
{
    ptpsim::DeviceInfo fixture;
    fixture.operations = {0x1001, 0x100E, 0x90C8};
    fixture.events = {0x4002};
    fixture.properties = {0x5001, 0xD10B};
    fixture.capture_formats = {0x3801, 0x3000};
    ASSERT_TRUE(Parse(ptpsim::encode_deviceinfo(fixture).bytes));

    EXPECT_TRUE(mtp_deviceinfo_is_supported(info, MTP_COMMAND_InitiateCapture));
    EXPECT_FALSE(mtp_deviceinfo_is_supported(info, MTP_COMMAND_GetObject));
    EXPECT_TRUE(mtp_deviceinfo_is_supported(info, MTP_EVENT_ObjectAdded));
    EXPECT_FALSE(mtp_deviceinfo_is_supported(info, MTP_EVENT_CaptureComplete));
    EXPECT_TRUE(mtp_deviceinfo_is_supported(info, MTP_PROPERTY_Nikon_RecordingMedia));
    EXPECT_FALSE(mtp_deviceinfo_is_supported(info, MTP_PROPERTY_FNumber));

    // One object property list, for the first capture format only.
    vector_t<u16> list;
    vector_initialise(list, 2, false);
    vector_insert(list, u16(MTP_PROPERTY_ObjectFileName));
    vector_insert(info.object_properties, list);
    EXPECT_TRUE(mtp_deviceinfo_is_supported(info, MTP_FORMAT_EXIF_JPEG, MTP_PROPERTY_ObjectFileName));
    EXPECT_FALSE(mtp_deviceinfo_is_supported(info, MTP_FORMAT_EXIF_JPEG, MTP_PROPERTY_Width));
    EXPECT_FALSE(mtp_deviceinfo_is_supported(info, MTP_FORMAT_Undefined, MTP_PROPERTY_ObjectFileName))
        << "a format without its list";
    EXPECT_FALSE(mtp_deviceinfo_is_supported(info, MTP_FORMAT_PNG, MTP_PROPERTY_ObjectFileName));

    mtp_deviceinfo_override(info, MTP_PROTOCOL_NIKON, MTP_COMMAND_Nikon_DeviceReady, false);
    EXPECT_EQ(codes_of(info.operations), (std::vector<u16>{0x1001, 0x100E}));
    mtp_deviceinfo_override(info, MTP_PROTOCOL_NIKON, MTP_COMMAND_Nikon_GetEvent, true);
    EXPECT_EQ(codes_of(info.operations), (std::vector<u16>{0x1001, 0x100E, 0x90C7}));
    mtp_deviceinfo_override(info, MTP_PROTOCOL_NIKON, MTP_COMMAND_GetDeviceInfo, true);
    EXPECT_EQ(codes_of(info.operations), (std::vector<u16>{0x1001, 0x100E, 0x90C7}));
    mtp_deviceinfo_override(info, MTP_PROTOCOL_NIKON, MTP_PROPERTY_Nikon_RecordingMedia, false);
    mtp_deviceinfo_override(info, MTP_PROTOCOL_NIKON, MTP_PROPERTY_ExposureTime, false);
    EXPECT_EQ(codes_of(info.properties), (std::vector<u16>{0x5001}));

    EXPECT_TRUE(log.Contains("Overriding Nikon_DeviceReady to: unsupported"));
    EXPECT_TRUE(log.Contains("Overriding Nikon_GetEvent to: supported"));
    EXPECT_TRUE(log.Contains("Overriding GetDeviceInfo to: supported")) << "logged even when nothing changes";
    EXPECT_TRUE(log.Contains("Overriding Nikon_RecordingMedia to: unsupported"));
    EXPECT_TRUE(log.Contains("Overriding ExposureTime to: unsupported"));
}

TEST_F(MtpDeviceInfo, LoggedOncePerKindOfCamera)
{
    ptpsim::DeviceInfo fixture;
    fixture.serial_number = "0001";
    ASSERT_TRUE(Parse(ptpsim::encode_deviceinfo(fixture).bytes));
    mtp_deviceinfo_log(info, MTP_PROTOCOL_GENERIC);
    EXPECT_TRUE(log.Contains("MTP device info: Acme One (type 0)"));
    EXPECT_TRUE(log.Contains("Standard Version:        100"));
    EXPECT_TRUE(log.Contains("  1001 - GetDeviceInfo"));
    EXPECT_TRUE(log.Contains("Serial Number:           1"));

    // The same model and firmware, another serial of the same length.
    mtp_deviceinfo_t twin;
    mtp_deviceinfo_initialise(twin);
    fixture.serial_number = "0002";
    u64 cursor = 0;
    Bytes twin_bytes = ptpsim::encode_deviceinfo(fixture).bytes;
    ASSERT_TRUE(mtp_deviceinfo_parse(twin, view(twin_bytes), cursor));
    log.Clear();
    mtp_deviceinfo_log(twin, MTP_PROTOCOL_GENERIC);
    std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("MTP device info: serial number 2, see previous Acme One (type 0)"), std::string::npos);

    // A serial of another length shifts nothing else but is a new kind.
    mtp_deviceinfo_t other;
    mtp_deviceinfo_initialise(other);
    fixture.serial_number = "00003";
    cursor = 0;
    Bytes other_bytes = ptpsim::encode_deviceinfo(fixture).bytes;
    ASSERT_TRUE(mtp_deviceinfo_parse(other, view(other_bytes), cursor));
    log.Clear();
    mtp_deviceinfo_log(other, MTP_PROTOCOL_GENERIC);
    EXPECT_TRUE(log.Contains("MTP device info: Acme One (type 1)"));

    // Another firmware with the first serial is a new kind as well.
    fixture.serial_number = "0001";
    fixture.device_version = "1.01";
    cursor = 0;
    Bytes firmware_bytes = ptpsim::encode_deviceinfo(fixture).bytes;
    ASSERT_TRUE(mtp_deviceinfo_parse(other, view(firmware_bytes), cursor));
    log.Clear();
    mtp_deviceinfo_log(other, MTP_PROTOCOL_GENERIC);
    EXPECT_TRUE(log.Contains("MTP device info: Acme One (type 2)"));

    mtp_deviceinfo_release(other);
    mtp_deviceinfo_release(twin);
    mtp_deviceinfo_release(twin); // safe twice, and the cache still has its last user

    log.Clear();
    mtp_deviceinfo_log(info, MTP_PROTOCOL_GENERIC);
    EXPECT_TRUE(log.Contains("see previous Acme One (type 0)"));
}

TEST_F(MtpDeviceInfo, CacheEndsWithTheLastRecord)
{
    ASSERT_TRUE(Parse(ptpsim::encode_deviceinfo(ptpsim::DeviceInfo()).bytes));
    mtp_deviceinfo_log(info, MTP_PROTOCOL_GENERIC);
    mtp_deviceinfo_release(info);

    mtp_deviceinfo_initialise(info);
    ASSERT_TRUE(Parse(ptpsim::encode_deviceinfo(ptpsim::DeviceInfo()).bytes));
    log.Clear();
    mtp_deviceinfo_log(info, MTP_PROTOCOL_GENERIC);
    EXPECT_TRUE(log.Contains("MTP device info: Acme One (type 0)")) << "a fresh cache dumps again";
}

TEST_F(MtpDeviceInfo, DumpNamesVendorCodesUnderTheProtocolAndSurvivesExtraLists)
{
    ptpsim::DeviceInfo fixture;
    fixture.operations = {0x9116};
    fixture.capture_formats = {0xB103};
    ASSERT_TRUE(Parse(ptpsim::encode_deviceinfo(fixture).bytes));
    // Two lists for one capture format: the second has no format to name.
    for (int i = 0; i < 2; ++i)
    {
        vector_t<u16> list;
        vector_initialise(list, 1, false);
        vector_insert(list, u16(0xDC07));
        vector_insert(info.object_properties, list);
    }
    ASSERT_TRUE(log_lock(LOGLEVEL_INFO, LOGMODULE_CAMERA));
    mtp_deviceinfo_print(info, MTP_PROTOCOL_CANON, 4);
    log_unlock();
    EXPECT_TRUE(log.Contains("      9116 - Canon_GetEvent"));
    EXPECT_TRUE(log.Contains("    Capture Formats:"));
    EXPECT_TRUE(log.Contains("      B103 - Canon_CR2"));
    EXPECT_TRUE(log.Contains("    Object Properties Supported for: Canon_CR2"));
    EXPECT_TRUE(log.Contains("    Object Properties Supported for: unknown"));
    EXPECT_TRUE(log.Contains("      DC07 - ObjectFileName"));
}

TEST(MtpDeviceInfoRecord, ZeroedRecordReleasesAndLogsSafely)
{
    LogCapture log;
    mtp_deviceinfo_t info;
    std::memset(static_cast<void*>(&info), 0, sizeof(info));
    mtp_deviceinfo_release(info);
    mtp_deviceinfo_log(info, MTP_PROTOCOL_GENERIC);
    EXPECT_TRUE(log.Contains("MTP device info:  (type 0)"));
}

// --- serial numbers -----------------------------------------------------------------------

TEST(MtpSerialNumber, TrimsBlanksAndLeadingZeros)
{
    struct Case
    {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"  0042 ", "42"}, {"000", "0"},         {"0", "0"},           {"", ""},
        {"A001", "A001"},  {"\t\r\n 12 \n", "12"}, {"0 0", " 0"},        {"00A0", "A0"},
        {" ", ""},         {"1000", "1000"},     {"0\xC3\xA9", "\xC3\xA9"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.in);
        stringbuffer_t serial;
        stringbuffer_initialise(serial);
        stringbuffer_set(serial, c.in);
        mtp_trim_serial_number(serial);
        EXPECT_EQ(Str(serial), c.out);
        EXPECT_EQ(serial.str[serial.length], '\0');
        stringbuffer_release(serial);
    }
}

// --- ObjectInfo -----------------------------------------------------------------------------

namespace
{
struct MtpObjectInfo : ::testing::Test
{
    LogCapture log;
    mtp_objectinfo_t info;
    void SetUp() override { mtp_objectinfo_initialise(info, MTP_PROTOCOL_CANON, 0x1234); }
    void TearDown() override { mtp_objectinfo_release(info); }

    bool Parse(const Bytes& bytes, u64 start = 0)
    {
        u64 cursor = start;
        return mtp_objectinfo_parse(info, view(bytes), cursor);
    }
};
} // namespace

TEST_F(MtpObjectInfo, ParsesTheFixedFieldsNameAndDate)
{
    ptpsim::ObjectInfo fixture;
    fixture.storage_id = 0x00020001;
    fixture.format = 0xB103;
    fixture.protection = 1;
    fixture.compressed_size = 25 * 1024 * 1024;
    fixture.thumb_format = 0x3801;
    fixture.thumb_size = 9000;
    fixture.thumb_width = 160;
    fixture.thumb_height = 120;
    fixture.width = 5760;
    fixture.height = 3840;
    fixture.bit_depth = 14;
    // The four fields before Filename are never looked at, whatever they hold.
    fixture.parent = 0xFFFFFFFF;
    fixture.association_type = 0xFFFF;
    fixture.association_desc = 0xFFFFFFFF;
    fixture.sequence_number = 0xFFFFFFFF;
    fixture.filename = "IMG_4711.CR2";
    fixture.capture_date = "20171231T235959.0";
    ASSERT_TRUE(Parse(ptpsim::encode_objectinfo(fixture).bytes));

    EXPECT_EQ(info.protocol, MTP_PROTOCOL_CANON);
    EXPECT_EQ(info.handle, 0x1234u) << "the handle is the holder's";
    EXPECT_EQ(info.storage_id, 0x00020001u);
    EXPECT_EQ(info.format, 0xB103u);
    EXPECT_EQ(info.protection, 1u);
    EXPECT_EQ(info.size, 25u * 1024u * 1024u);
    EXPECT_EQ(info.thumb_format, 0x3801u);
    EXPECT_EQ(info.thumb_size, 9000u);
    EXPECT_EQ(info.thumb_width, 160u);
    EXPECT_EQ(info.thumb_height, 120u);
    EXPECT_EQ(info.width, 5760u);
    EXPECT_EQ(info.height, 3840u);
    EXPECT_EQ(info.bit_depth, 14u);
    EXPECT_EQ(Str(info.filename), "IMG_4711.CR2");
    EXPECT_EQ(info.capture_date.year, 2017);
    EXPECT_EQ(info.capture_date.ticks, 1514764799ll * 1000000);
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(MtpObjectInfo, ExactlyFiftyTwoBytesThenNameAndDate)
{
    Bytes bytes(52, 0xEE);
    Bytes tail = Encoder().str("DSC_0001.JPG").str("20180704T101500").take();
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    ASSERT_TRUE(Parse(bytes));
    EXPECT_EQ(Str(info.filename), "DSC_0001.JPG");
    EXPECT_EQ(info.capture_date.hour, 10);
    EXPECT_EQ(info.format, 0xEEEEu);
}

TEST_F(MtpObjectInfo, ParsesFromWhereTheDatasetStarts)
{
    // A dataset behind 6 bytes of something else: the offset of Filename counts
    // from the dataset, not from the buffer.
    Bytes bytes = Encoder().bytes({1, 2, 3, 4, 5, 6}).take();
    Bytes dataset = ptpsim::encode_objectinfo(ptpsim::ObjectInfo()).bytes;
    bytes.insert(bytes.end(), dataset.begin(), dataset.end());
    ASSERT_TRUE(Parse(bytes, 6));
    EXPECT_EQ(Str(info.filename), "IMG_0001.JPG");
    EXPECT_EQ(info.storage_id, 0x00010001u);
}

TEST_F(MtpObjectInfo, EveryFieldCutShortIsNamed)
{
    ptpsim::Encoded encoded = ptpsim::encode_objectinfo(ptpsim::ObjectInfo());
    struct Case
    {
        int field; // cut inside this field
        const char* name;
    };
    const Case cases[] = {
        {ptpsim::kStorageId, "storage_id"},
        {ptpsim::kObjectFormat, "format"},
        {ptpsim::kProtectionStatus, "protection"},
        {ptpsim::kObjectCompressedSize, "num_bytes"},
        {ptpsim::kThumbFormat, "thumb_format"},
        {ptpsim::kThumbCompressedSize, "thumb_num_bytes"},
        {ptpsim::kThumbPixWidth, "thumb_width"},
        {ptpsim::kThumbPixHeight, "thumb_height"},
        {ptpsim::kImagePixWidth, "width"},
        {ptpsim::kImagePixHeight, "height"},
        {ptpsim::kImageBitDepth, "depth"},
        {ptpsim::kParentObject, "filename"},
        {ptpsim::kSequenceNumber, "filename"},
        {ptpsim::kFilename, "filename"},
        {ptpsim::kCaptureDate, "date_created"},
    };
    for (const Case& c : cases)
    {
        for (size_t cut : {encoded.offsets[c.field], encoded.offsets[c.field + 1] - 1})
        {
            SCOPED_TRACE(std::string(c.name) + " cut at " + std::to_string(cut));
            log.Clear();
            EXPECT_FALSE(Parse(ptpsim::truncated(encoded.bytes, cut)));
            EXPECT_EQ(log.Count("Failed to extract MTP objectinfo: "), 1u);
            EXPECT_TRUE(log.Contains(std::string("Failed to extract MTP objectinfo: ") + c.name));
        }
    }
    // Nothing after CaptureDate is read.
    EXPECT_TRUE(Parse(ptpsim::truncated(encoded.bytes, encoded.offsets[ptpsim::kModificationDate])));
}

TEST_F(MtpObjectInfo, CaptureDates)
{
    struct Case
    {
        const char* date;
        bool ok;
        i32 year;
    };
    const Case cases[] = {
        {"20180704T101500", true, 2018},
        {"20180704T101500+0200", true, 2018},
        // An empty date is PTP's "unknown": still a photo to download.
        {"", true, 0},
        {"2018", false, 0},
        {"July 4th", false, 0},
        {"20181304T101500", false, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.date);
        log.Clear();
        ptpsim::ObjectInfo fixture;
        fixture.capture_date = c.date;
        EXPECT_EQ(Parse(ptpsim::encode_objectinfo(fixture).bytes), c.ok);
        if (c.ok)
        {
            EXPECT_EQ(info.capture_date.year, c.year);
            EXPECT_EQ(Str(info.filename), "IMG_0001.JPG");
        }
        else
        {
            EXPECT_TRUE(log.Contains("Failed to extract MTP objectinfo: date_created"));
        }
    }
}

TEST_F(MtpObjectInfo, CopyClearAndValidity)
{
    ASSERT_TRUE(Parse(ptpsim::encode_objectinfo(ptpsim::ObjectInfo()).bytes));
    EXPECT_TRUE(mtp_objectinfo_is_valid(info));

    mtp_objectinfo_t copy;
    mtp_objectinfo_initialise(copy, MTP_PROTOCOL_NIKON, 0);
    EXPECT_FALSE(mtp_objectinfo_is_valid(copy));
    ASSERT_TRUE(mtp_objectinfo_copy(copy, info));
    EXPECT_EQ(copy.protocol, MTP_PROTOCOL_NIKON) << "the target keeps its protocol";
    EXPECT_EQ(copy.handle, 0x1234u);
    EXPECT_EQ(copy.width, 6000u);
    EXPECT_EQ(copy.capture_date.ticks, info.capture_date.ticks);
    EXPECT_EQ(Str(copy.filename), "IMG_0001.JPG");
    EXPECT_NE(copy.filename.str, info.filename.str) << "a name of its own";

    mtp_objectinfo_clear(info);
    EXPECT_EQ(info.protocol, MTP_PROTOCOL_CANON);
    EXPECT_EQ(info.handle, 0u);
    EXPECT_EQ(info.format, 0x3000u);
    EXPECT_EQ(info.thumb_format, 0x3000u);
    EXPECT_EQ(info.width, 0u);
    EXPECT_EQ(Str(info.filename), "");
    EXPECT_EQ(Str(copy.filename), "IMG_0001.JPG");

    // An empty source name empties the target and frees its storage.
    ASSERT_TRUE(mtp_objectinfo_copy(copy, info));
    EXPECT_EQ(Str(copy.filename), "");
    EXPECT_EQ(copy.filename.storage.buf, nullptr);
    mtp_objectinfo_release(copy);
    mtp_objectinfo_release(copy);
}

TEST(MtpObjectFormats, VideoAndImageFormatsPerProtocol)
{
    struct Case
    {
        u32 protocol;
        u32 format;
        bool video;
        imageformat_t image;
    };
    const Case cases[] = {
        {0, 0x3801, false, IMAGEFORMAT_JPEG},   {2, 0x3808, false, IMAGEFORMAT_JPEG},
        {0, 0x380F, false, IMAGEFORMAT_JPEG},   {0, 0x380B, false, IMAGEFORMAT_PNG},
        {0, 0x3802, false, IMAGEFORMAT_TIFF},   {0, 0x380D, false, IMAGEFORMAT_TIFF},
        {3, 0x380E, false, IMAGEFORMAT_TIFF},   {0, 0x3810, false, IMAGEFORMAT_UNKNOWN},
        {1, 0xB101, false, IMAGEFORMAT_RAW},    {1, 0xB103, false, IMAGEFORMAT_RAW},
        {2, 0xB103, false, IMAGEFORMAT_UNKNOWN}, {0, 0xB103, false, IMAGEFORMAT_UNKNOWN},
        {1, 0xB104, true, IMAGEFORMAT_UNKNOWN}, {1, 0xB105, true, IMAGEFORMAT_UNKNOWN},
        {2, 0xB104, false, IMAGEFORMAT_UNKNOWN}, {0, 0x300A, true, IMAGEFORMAT_UNKNOWN},
        {0, 0x300D, true, IMAGEFORMAT_UNKNOWN}, {0, 0x300E, false, IMAGEFORMAT_UNKNOWN},
        {2, 0xB980, true, IMAGEFORMAT_UNKNOWN}, {0, 0xB984, true, IMAGEFORMAT_UNKNOWN},
        {0, 0xB985, false, IMAGEFORMAT_UNKNOWN}, {0, 0x3000, false, IMAGEFORMAT_UNKNOWN},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.protocol) + " " + std::to_string(c.format));
        EXPECT_EQ(mtp_format_is_video(c.protocol, c.format), c.video);
        EXPECT_EQ(mtp_format_to_imageformat(c.protocol, c.format), c.image);
        mtp_objectinfo_t info;
        mtp_objectinfo_initialise(info, c.protocol, 1);
        info.format = static_cast<u16>(c.format);
        EXPECT_EQ(mtp_objectinfo_is_video(info), c.video);
        mtp_objectinfo_release(info);
    }
}

TEST_F(MtpObjectInfo, PrintsTheRecord)
{
    ASSERT_TRUE(Parse(ptpsim::encode_objectinfo(ptpsim::ObjectInfo()).bytes));
    ASSERT_TRUE(log_lock(LOGLEVEL_INFO, LOGMODULE_CAMERA));
    mtp_objectinfo_print(info, 2);
    log_unlock();
    EXPECT_TRUE(log.Contains("  Handle:       4660"));
    EXPECT_TRUE(log.Contains("  Format:       EXIF_JPEG"));
    EXPECT_TRUE(log.Contains("  Filename:     IMG_0001.JPG"));
    EXPECT_TRUE(log.Contains("  Date created: 20171231 23:59:59.000"));
}

// --- DevicePropDesc ------------------------------------------------------------------------

namespace
{
struct MtpPropDesc : ::testing::Test
{
    LogCapture log;
    mtp_devicepropdesc_t desc;
    bool initialised = false;

    void Init(u32 protocol, u32 code)
    {
        if (initialised)
            mtp_devicepropdesc_release(desc);
        mtp_devicepropdesc_initialise(desc, protocol, code);
        initialised = true;
    }
    void TearDown() override
    {
        if (initialised)
            mtp_devicepropdesc_release(desc);
    }
    bool Parse(const Bytes& bytes)
    {
        u64 cursor = 0;
        return mtp_devicepropdesc_parse(desc, view(bytes), cursor);
    }
};

std::vector<i64> values_of(const mtp_datavalue_t& values)
{
    std::vector<i64> out;
    for (u64 i = 0; i < mtp_datavalue_num_elements(values); ++i)
        out.push_back(mtp_datavalue_to_int(values, i));
    return out;
}
} // namespace

TEST_F(MtpPropDesc, InitialiseNamesTheOwnerAndSchedulesBothReads)
{
    Init(MTP_PROTOCOL_CANON, 0xD101);
    EXPECT_EQ(desc.protocol, MTP_PROTOCOL_CANON);
    EXPECT_FALSE(desc.valid);
    EXPECT_TRUE(desc.value_due);
    EXPECT_TRUE(desc.description_due);
    EXPECT_EQ(desc.code_read, 0x5000u);
    EXPECT_EQ(desc.value_version.version, 1);
    EXPECT_EQ(desc.range_version.version, 1);
    EXPECT_NE(desc.value_version.id, desc.range_version.id);
    Init(MTP_PROTOCOL_CANON, 0x5007);
    EXPECT_EQ(desc.protocol, MTP_PROTOCOL_GENERIC);
    Init(MTP_PROTOCOL_NIKON, 0xD101);
    EXPECT_EQ(desc.protocol, MTP_PROTOCOL_NIKON);
}

TEST_F(MtpPropDesc, EveryFormAndDatatype)
{
    struct Case
    {
        const char* name;
        ptpsim::DevicePropDesc fixture;
        std::vector<i64> values;          // integer forms
        std::vector<std::string> strings; // STR enumerations
    };
    auto make = [](u16 code, u16 datatype, u8 getset, ptpsim::Value current, u8 form) {
        ptpsim::DevicePropDesc d;
        d.code = code;
        d.datatype = datatype;
        d.getset = getset;
        d.factory_default = current;
        d.current = current;
        d.form = form;
        return d;
    };
    std::vector<Case> cases;
    {
        Case c{"FNumber UINT16 enumeration", make(0x5007, ptpsim::kUint16, 1, ptpsim::Value::integer(560),
                                                  ptpsim::kFormEnumeration),
               {280, 400, 560, 800},
               {}};
        for (i64 v : c.values)
            c.fixture.enumeration.push_back(ptpsim::Value::integer(v));
        cases.push_back(c);
    }
    {
        Case c{"ExposureIndex UINT16 range",
               make(0x500F, ptpsim::kUint16, 1, ptpsim::Value::integer(400), ptpsim::kFormRange), {100, 200, 300, 400},
               {}};
        c.fixture.min = ptpsim::Value::integer(100);
        c.fixture.max = ptpsim::Value::integer(400);
        c.fixture.step = ptpsim::Value::integer(100);
        cases.push_back(c);
    }
    {
        Case c{"ExposureBiasCompensation INT16 enumeration",
               make(0x5010, ptpsim::kInt16, 1, ptpsim::Value::integer(-333), ptpsim::kFormEnumeration),
               {-667, -333, 0, 333},
               {}};
        for (i64 v : c.values)
            c.fixture.enumeration.push_back(ptpsim::Value::integer(v));
        cases.push_back(c);
    }
    {
        Case c{"BatteryLevel UINT8 read-only range",
               make(0x5001, ptpsim::kUint8, 0, ptpsim::Value::integer(99), ptpsim::kFormRange), {0, 50, 100}, {}};
        c.fixture.min = ptpsim::Value::integer(0);
        c.fixture.max = ptpsim::Value::integer(100);
        c.fixture.step = ptpsim::Value::integer(50);
        cases.push_back(c);
    }
    {
        Case c{"ImageSize STR enumeration",
               make(0x5003, ptpsim::kStr, 1, ptpsim::Value::str("6000x4000"), ptpsim::kFormEnumeration),
               {},
               {"6000x4000", "3984x2656", "2976x1984"}};
        for (const std::string& s : c.strings)
            c.fixture.enumeration.push_back(ptpsim::Value::str(s));
        cases.push_back(c);
    }
    cases.push_back(Case{"DateTime STR without a form",
                         make(0x5011, ptpsim::kStr, 1, ptpsim::Value::str("20171231T235959"), ptpsim::kFormNone),
                         {},
                         {}});
    cases.push_back(Case{"an AUINT8 value without a form",
                         make(0x5006, ptpsim::kAuint8, 0, ptpsim::Value::array({1, 2, 3}), ptpsim::kFormNone),
                         {},
                         {}});
    cases.push_back(Case{"UINT32 without a form",
                         make(0x5008, ptpsim::kUint32, 0, ptpsim::Value::integer(5000), ptpsim::kFormNone),
                         {},
                         {}});

    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Init(MTP_PROTOCOL_GENERIC, c.fixture.code);
        const version_t value_before = desc.value_version;
        const version_t range_before = desc.range_version;
        ptpsim::Encoded encoded = ptpsim::encode_devicepropdesc(c.fixture);
        u64 cursor = 0;
        ASSERT_TRUE(mtp_devicepropdesc_parse(desc, view(encoded.bytes), cursor));
        EXPECT_EQ(cursor, encoded.bytes.size());
        EXPECT_TRUE(desc.valid);
        EXPECT_FALSE(desc.value_due);
        EXPECT_FALSE(desc.description_due);
        EXPECT_EQ(desc.value_version.version, value_before.version + 1);
        EXPECT_EQ(desc.range_version.version, range_before.version + 1);
        EXPECT_EQ(desc.code_read, c.fixture.code);
        EXPECT_EQ(desc.datatype, c.fixture.datatype);
        EXPECT_EQ(desc.getset, c.fixture.getset);
        EXPECT_EQ(desc.form_flag, c.fixture.form);
        EXPECT_EQ(desc.current_value.datatype, c.fixture.datatype);
        EXPECT_TRUE(mtp_datavalue_equals(desc.default_value, desc.current_value));
        if (c.fixture.datatype == ptpsim::kStr)
        {
            EXPECT_EQ(Str(desc.current_value.str), c.fixture.current.text);
            std::vector<std::string> strings;
            for (u64 i = 0; i < mtp_datavalue_num_elements(desc.dataset.values); ++i)
                strings.push_back(Str(desc.dataset.values.astr.strings.data[i]));
            EXPECT_EQ(strings, c.strings);
        }
        else if (c.fixture.datatype == ptpsim::kAuint8)
        {
            EXPECT_EQ(values_of(desc.current_value), (std::vector<i64>{1, 2, 3}));
        }
        else
        {
            EXPECT_EQ(static_cast<u64>(static_cast<i64>(mtp_datavalue_to_int(desc.current_value))) &
                          ((1ull << (8 * ptpsim::datatype_width(c.fixture.datatype))) - 1),
                      c.fixture.current.bits & ((1ull << (8 * ptpsim::datatype_width(c.fixture.datatype))) - 1));
            EXPECT_EQ(values_of(desc.dataset.values), c.values);
        }
    }
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(MtpPropDesc, DescriptionForAnotherCodeIsRefusedWhole)
{
    Init(MTP_PROTOCOL_GENERIC, 0x5007);
    ptpsim::DevicePropDesc fixture;
    fixture.code = 0x500F;
    fixture.datatype = ptpsim::kUint16;
    EXPECT_FALSE(Parse(ptpsim::encode_devicepropdesc(fixture).bytes));
    EXPECT_TRUE(log.Contains("MTP propertyinfo code mismatch"));
    EXPECT_FALSE(desc.valid);
    EXPECT_TRUE(desc.description_due);
    EXPECT_EQ(desc.range_version.version, 1);
}

TEST_F(MtpPropDesc, EveryFieldCutShortIsNamedWithTheProperty)
{
    ptpsim::DevicePropDesc fixture;
    fixture.code = 0xD101;
    fixture.datatype = ptpsim::kUint16;
    fixture.factory_default = ptpsim::Value::integer(48);
    fixture.current = ptpsim::Value::integer(48);
    fixture.form = ptpsim::kFormEnumeration;
    fixture.enumeration = {ptpsim::Value::integer(40), ptpsim::Value::integer(48)};
    ptpsim::Encoded encoded = ptpsim::encode_devicepropdesc(fixture);
    struct Case
    {
        int field;
        const char* line;
    };
    const Case cases[] = {
        {ptpsim::kPropertyCode, "Failed to extract MTP propertyinfo: code (Canon_Aperture)"},
        {ptpsim::kDatatype, "Failed to extract MTP propertyinfo: datatype (Canon_Aperture)"},
        {ptpsim::kGetSet, "Failed to extract MTP propertyinfo: getset (Canon_Aperture)"},
        {ptpsim::kFactoryDefault, "Failed to extract MTP propertyinfo: default_value (Canon_Aperture)"},
        {ptpsim::kCurrentValue, "Failed to extract MTP propertyinfo: current_value (Canon_Aperture)"},
        {ptpsim::kFormFlag, "Failed to extract MTP propertyinfo: formflag (Canon_Aperture)"},
        {ptpsim::kFormData, "Failed to extract MTP propertyinfo: dataset (Canon_Aperture)"},
    };
    for (const Case& c : cases)
    {
        for (size_t cut : {encoded.offsets[c.field], encoded.offsets[c.field + 1] - 1})
        {
            SCOPED_TRACE(std::string(c.line) + " cut at " + std::to_string(cut));
            Init(MTP_PROTOCOL_CANON, 0xD101);
            log.Clear();
            EXPECT_FALSE(Parse(ptpsim::truncated(encoded.bytes, cut)));
            EXPECT_TRUE(log.Contains(c.line));
            EXPECT_FALSE(desc.valid);
            EXPECT_EQ(desc.value_version.version, 1);
        }
    }
    Init(MTP_PROTOCOL_CANON, 0xD101);
    EXPECT_TRUE(Parse(encoded.bytes));
    EXPECT_EQ(values_of(desc.dataset.values), (std::vector<i64>{40, 48}));
}

TEST_F(MtpPropDesc, MalformedForms)
{
    struct Case
    {
        const char* name;
        ptpsim::DevicePropDesc fixture;
        std::vector<const char*> lines;
    };
    ptpsim::DevicePropDesc lying;
    lying.code = 0x5007;
    lying.datatype = ptpsim::kUint16;
    lying.form = ptpsim::kFormEnumeration;
    lying.enumeration = {ptpsim::Value::integer(280), ptpsim::Value::integer(400)};
    lying.enumeration_count = 0xFFFF;

    ptpsim::DevicePropDesc text_range;
    text_range.code = 0x5003;
    text_range.datatype = ptpsim::kStr;
    text_range.form = ptpsim::kFormRange;
    text_range.min = ptpsim::Value::str("a");
    text_range.max = ptpsim::Value::str("z");
    text_range.step = ptpsim::Value::str("b");

    ptpsim::DevicePropDesc zero_step;
    zero_step.code = 0x500F;
    zero_step.datatype = ptpsim::kUint16;
    zero_step.form = ptpsim::kFormRange;
    zero_step.min = ptpsim::Value::integer(100);
    zero_step.max = ptpsim::Value::integer(6400);
    zero_step.step = ptpsim::Value::integer(0);

    ptpsim::DevicePropDesc long_string;
    long_string.code = 0x501E;
    long_string.datatype = ptpsim::kStr;
    long_string.form = 7; // LongString: not read

    ptpsim::DevicePropDesc wide;
    wide.code = 0x5002;
    wide.datatype = ptpsim::kUint128;

    const Case cases[] = {
        {"enumeration count past the data", lying, {"Failed to extract MTP propertyinfo: dataset (FNumber)"}},
        {"range of strings",
         text_range,
         {"Invalid type for dataset range: STR: ", "Failed to extract MTP propertyinfo: dataset (ImageSize)"}},
        {"range with step 0",
         zero_step,
         {"Invalid step for dataset range: UINT16", "Failed to extract MTP propertyinfo: dataset (ExposureIndex)"}},
        {"a form that is not read", long_string, {"Failed to extract MTP propertyinfo: dataset (Artist)"}},
        {"a datatype that is not held",
         wide,
         {"Failed to extract MTP propertyinfo: default_value (FunctionalMode)"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Init(MTP_PROTOCOL_GENERIC, c.fixture.code);
        log.Clear();
        EXPECT_FALSE(Parse(ptpsim::encode_devicepropdesc(c.fixture).bytes));
        for (const char* line : c.lines)
            EXPECT_TRUE(log.Contains(line)) << line;
        EXPECT_FALSE(desc.valid);
    }
}

TEST_F(MtpPropDesc, UpdateReplacesOnlyWithACompleteValue)
{
    ptpsim::DevicePropDesc fixture;
    fixture.code = 0x5003;
    fixture.datatype = ptpsim::kStr;
    fixture.current = ptpsim::Value::str("6000x4000");
    Init(MTP_PROTOCOL_GENERIC, 0x5003);
    ASSERT_TRUE(Parse(ptpsim::encode_devicepropdesc(fixture).bytes));
    desc.value_due = true;
    const i32 before = desc.value_version.version;

    Bytes value = Encoder().str("3984x2656").take();
    u64 cursor = 0;
    ASSERT_TRUE(mtp_devicepropdesc_update(desc, view(value), cursor));
    EXPECT_EQ(Str(desc.current_value.str), "3984x2656");
    EXPECT_FALSE(desc.value_due);
    EXPECT_EQ(desc.value_version.version, before + 1);

    // A value cut short keeps the last complete one.
    desc.value_due = true;
    Bytes cut = Encoder().str_claiming(10, {'2', '9'}).take();
    cursor = 0;
    EXPECT_FALSE(mtp_devicepropdesc_update(desc, view(cut), cursor));
    EXPECT_EQ(Str(desc.current_value.str), "3984x2656");
    EXPECT_TRUE(desc.value_due);
    EXPECT_EQ(desc.value_version.version, before + 1);
    EXPECT_TRUE(log.Contains("Failed to extract MTP property value: ImageSize (STR)"));

    // An array value cut short likewise.
    ptpsim::DevicePropDesc array;
    array.code = 0x5006;
    array.datatype = ptpsim::kAuint16;
    array.current = ptpsim::Value::array({1, 2});
    array.factory_default = array.current;
    Init(MTP_PROTOCOL_GENERIC, 0x5006);
    ASSERT_TRUE(Parse(ptpsim::encode_devicepropdesc(array).bytes));
    Bytes short_array = Encoder().u32(3).u16(7).u16(8).take();
    cursor = 0;
    EXPECT_FALSE(mtp_devicepropdesc_update(desc, view(short_array), cursor));
    EXPECT_EQ(values_of(desc.current_value), (std::vector<i64>{1, 2}));
}

TEST_F(MtpPropDesc, PrintsTheRecord)
{
    ptpsim::DevicePropDesc fixture;
    fixture.code = 0x5007;
    fixture.datatype = ptpsim::kUint16;
    fixture.getset = 1;
    fixture.factory_default = ptpsim::Value::integer(400);
    fixture.current = ptpsim::Value::integer(560);
    fixture.form = ptpsim::kFormEnumeration;
    fixture.enumeration = {ptpsim::Value::integer(400), ptpsim::Value::integer(560)};
    Init(MTP_PROTOCOL_GENERIC, 0x5007);
    ASSERT_TRUE(Parse(ptpsim::encode_devicepropdesc(fixture).bytes));
    ASSERT_TRUE(log_lock(LOGLEVEL_INFO, LOGMODULE_CAMERA));
    mtp_devicepropdesc_print(desc, 1);
    log_unlock();
    EXPECT_TRUE(log.Contains(" Property:  FNumber"));
    EXPECT_TRUE(log.Contains(" Data type: UINT16"));
    EXPECT_TRUE(log.Contains(" Get/Set:   1"));
    EXPECT_TRUE(log.Contains(" Default:   400"));
    EXPECT_TRUE(log.Contains(" Current:   560"));
    EXPECT_TRUE(log.Contains(" Form flag: Enumeration"));
    EXPECT_TRUE(log.Contains(" Data set:  400, 560, "));
}
