// The responder's own encoder of PTP data: little-endian integers, counted
// arrays, PTP strings and string lists, and the DeviceInfo, ObjectInfo and
// DevicePropDesc datasets, each with the byte offset of every field so that a
// test can cut or corrupt a dataset exactly where it wants. Written from the
// PTP layout alone and never calling the engine's readers or writers, so that
// fixtures are not made by the code they test. Plain std types throughout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace ptpsim
{
typedef std::vector<uint8_t> Bytes;

// PTP datatype codes, as the wire carries them.
enum Datatype : uint16_t
{
    kUndefined = 0x0000,
    kInt8 = 0x0001,
    kUint8 = 0x0002,
    kInt16 = 0x0003,
    kUint16 = 0x0004,
    kInt32 = 0x0005,
    kUint32 = 0x0006,
    kInt64 = 0x0007,
    kUint64 = 0x0008,
    kInt128 = 0x0009,
    kUint128 = 0x000A,
    kAint8 = 0x4001,
    kAuint8 = 0x4002,
    kAint16 = 0x4003,
    kAuint16 = 0x4004,
    kAint32 = 0x4005,
    kAuint32 = 0x4006,
    kAint64 = 0x4007,
    kAuint64 = 0x4008,
    kStr = 0xFFFF,
};

// Form flags of a DevicePropDesc.
enum Form : uint8_t
{
    kFormNone = 0,
    kFormRange = 1,
    kFormEnumeration = 2,
};

// Width in bytes of an integer datatype or of an array's element; 0 otherwise.
size_t datatype_width(uint16_t datatype);
bool datatype_is_signed(uint16_t datatype);

// One value of some datatype. Integers keep their bits in `bits` (the low
// width bytes are written); arrays keep theirs in `elements`; STR its UTF-8
// text. The datatype travels separately (the dataset says it).
struct Value
{
    uint64_t bits = 0;
    std::vector<uint64_t> elements;
    std::string text;

    static Value integer(int64_t value);
    static Value array(std::initializer_list<int64_t> values);
    static Value array(const std::vector<uint64_t>& values);
    static Value str(const std::string& text);
};

// An appending little-endian writer. Every call returns the encoder so calls
// chain; nothing fails (the bytes are the test's to make wrong on purpose).
class Encoder
{
public:
    Encoder& u8(uint8_t value);
    Encoder& i8(int8_t value) { return u8(static_cast<uint8_t>(value)); }
    Encoder& u16(uint16_t value);
    Encoder& i16(int16_t value) { return u16(static_cast<uint16_t>(value)); }
    Encoder& u32(uint32_t value);
    Encoder& i32(int32_t value) { return u32(static_cast<uint32_t>(value)); }
    Encoder& u64(uint64_t value);
    Encoder& i64(int64_t value) { return u64(static_cast<uint64_t>(value)); }
    // The low width bytes of value, low byte first (width 1 to 8).
    Encoder& integer(uint64_t value, size_t width);
    // 16 bytes in wire order.
    Encoder& u128(const uint8_t (&bytes)[16]);
    Encoder& bytes(const void* data, size_t size);
    Encoder& bytes(std::initializer_list<uint8_t> list);
    Encoder& bytes(const Bytes& data) { return bytes(data.data(), data.size()); }

    // A u32 count, then each element at the width.
    Encoder& array(const std::vector<uint64_t>& elements, size_t width);
    Encoder& u16_array(const std::vector<uint16_t>& elements);
    Encoder& u32_array(const std::vector<uint32_t>& elements);

    // A PTP string: count byte (UTF-16 units with the terminator), the units
    // little-endian, a zero unit. The empty text is the single byte 00, as the
    // standard writes it. Characters past U+FFFF become surrogate pairs.
    Encoder& str(const std::string& utf8);
    // A string from raw units: the count byte is units + 1 when terminated,
    // else units; for control characters, lone surrogates and the like.
    Encoder& str_units(const std::vector<uint16_t>& units, bool terminated = true);
    // A count byte that promises `count` units followed by only the units
    // given: a string cut short.
    Encoder& str_claiming(uint8_t count, const std::vector<uint16_t>& units);
    // A u32 count, then the strings.
    Encoder& str_list(const std::vector<std::string>& texts);

    // A value of the datatype: integer, counted array or string.
    Encoder& value(uint16_t datatype, const Value& value);

    size_t size() const { return m_bytes.size(); }
    const Bytes& data() const { return m_bytes; }
    Bytes take() { return std::move(m_bytes); }

private:
    Bytes m_bytes;
};

// The UTF-16 units of a UTF-8 text (invalid bytes taken as Latin-1).
std::vector<uint16_t> utf16_units(const std::string& utf8);

// --- DeviceInfo -----------------------------------------------------------------------

enum DeviceInfoField
{
    kStandardVersion,
    kVendorExtensionId,
    kVendorExtensionVersion,
    kVendorExtensionDesc,
    kFunctionalMode,
    kOperationsSupported,
    kEventsSupported,
    kDevicePropertiesSupported,
    kCaptureFormats,
    kImageFormats,
    kManufacturer,
    kModel,
    kDeviceVersion,
    kSerialNumber,
    kDeviceInfoEnd, // the byte after the dataset
    kDeviceInfoFieldCount,
};

struct DeviceInfo
{
    uint16_t standard_version = 100;
    uint32_t vendor_extension_id = 6; // the MTP extension's id
    uint16_t vendor_extension_version = 100;
    std::string vendor_extension_desc = "microsoft.com: 1.0";
    uint16_t functional_mode = 0;
    std::vector<uint16_t> operations = {0x1001, 0x1002, 0x1003, 0x1004, 0x1005, 0x1007,
                                        0x1008, 0x1009, 0x100B, 0x100E, 0x1014, 0x1015, 0x1016, 0x101B};
    std::vector<uint16_t> events = {0x4002, 0x4004, 0x4005, 0x4006, 0x4008, 0x400D};
    std::vector<uint16_t> properties = {0x5001, 0x5003, 0x5007, 0x500F, 0x5011};
    std::vector<uint16_t> capture_formats = {0x3801};
    std::vector<uint16_t> playback_formats = {0x3001, 0x3801};
    std::string manufacturer = "Acme";
    std::string model = "Acme One";
    std::string device_version = "1.00";
    std::string serial_number = "0001";
};

struct Encoded
{
    Bytes bytes;
    std::vector<size_t> offsets; // start of each field, indexed by the field enum
};

Encoded encode_deviceinfo(const DeviceInfo& info);

// --- ObjectInfo -----------------------------------------------------------------------

enum ObjectInfoField
{
    kStorageId,
    kObjectFormat,
    kProtectionStatus,
    kObjectCompressedSize,
    kThumbFormat,
    kThumbCompressedSize,
    kThumbPixWidth,
    kThumbPixHeight,
    kImagePixWidth,
    kImagePixHeight,
    kImageBitDepth,
    kParentObject,
    kAssociationType,
    kAssociationDesc,
    kSequenceNumber,
    kFilename,
    kCaptureDate,
    kModificationDate,
    kKeywords,
    kObjectInfoEnd,
    kObjectInfoFieldCount,
};

struct ObjectInfo
{
    uint32_t storage_id = 0x00010001;
    uint16_t format = 0x3801;
    uint16_t protection = 0;
    uint32_t compressed_size = 0;
    uint16_t thumb_format = 0x3808;
    uint32_t thumb_size = 0;
    uint32_t thumb_width = 160;
    uint32_t thumb_height = 120;
    uint32_t width = 6000;
    uint32_t height = 4000;
    uint32_t bit_depth = 24;
    uint32_t parent = 0;
    uint16_t association_type = 0;
    uint32_t association_desc = 0;
    uint32_t sequence_number = 0;
    std::string filename = "IMG_0001.JPG";
    std::string capture_date = "20171231T235959";
    std::string modification_date = "20171231T235959";
    std::string keywords;
};

Encoded encode_objectinfo(const ObjectInfo& info);

// --- DevicePropDesc --------------------------------------------------------------------

enum DevicePropDescField
{
    kPropertyCode,
    kDatatype,
    kGetSet,
    kFactoryDefault,
    kCurrentValue,
    kFormFlag,
    kFormData, // Range min, or the Enumeration count
    kDevicePropDescEnd,
    kDevicePropDescFieldCount,
};

struct DevicePropDesc
{
    uint16_t code = 0x5001;
    uint16_t datatype = kUint8;
    uint8_t getset = 0;
    Value factory_default;
    Value current;
    uint8_t form = kFormNone;
    Value min, max, step;            // Range
    std::vector<Value> enumeration;  // Enumeration
    // When set, the Enumeration's u16 count written instead of its size.
    int32_t enumeration_count = -1;
};

Encoded encode_devicepropdesc(const DevicePropDesc& desc);

// The first n bytes of an encoding: a dataset cut short.
Bytes truncated(const Bytes& bytes, size_t n);
} // namespace ptpsim
