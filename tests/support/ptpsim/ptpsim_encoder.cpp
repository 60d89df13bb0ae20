// The responder's PTP encoder: byte-level writers and the three datasets in
// the order the PTP standard lays them out. Independent of the engine by
// design: it shares no code with the codec it produces fixtures for.
#include "support/ptpsim/ptpsim_encoder.h"

namespace ptpsim
{
size_t datatype_width(uint16_t datatype)
{
    switch (datatype & ~0x4000u)
    {
    case kInt8:
    case kUint8:
        return 1;
    case kInt16:
    case kUint16:
        return 2;
    case kInt32:
    case kUint32:
        return 4;
    case kInt64:
    case kUint64:
        return 8;
    case kInt128:
    case kUint128:
        return 16;
    default:
        return 0;
    }
}

bool datatype_is_signed(uint16_t datatype)
{
    switch (datatype & ~0x4000u)
    {
    case kInt8:
    case kInt16:
    case kInt32:
    case kInt64:
    case kInt128:
        return true;
    default:
        return false;
    }
}

Value Value::integer(int64_t value)
{
    Value result;
    result.bits = static_cast<uint64_t>(value);
    return result;
}

Value Value::array(std::initializer_list<int64_t> values)
{
    Value result;
    for (int64_t v : values)
        result.elements.push_back(static_cast<uint64_t>(v));
    return result;
}

Value Value::array(const std::vector<uint64_t>& values)
{
    Value result;
    result.elements = values;
    return result;
}

Value Value::str(const std::string& text)
{
    Value result;
    result.text = text;
    return result;
}

Encoder& Encoder::u8(uint8_t value)
{
    m_bytes.push_back(value);
    return *this;
}

Encoder& Encoder::u16(uint16_t value)
{
    return integer(value, 2);
}

Encoder& Encoder::u32(uint32_t value)
{
    return integer(value, 4);
}

Encoder& Encoder::u64(uint64_t value)
{
    return integer(value, 8);
}

Encoder& Encoder::integer(uint64_t value, size_t width)
{
    for (size_t i = 0; i < width && i < 8; ++i)
        m_bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
}

Encoder& Encoder::u128(const uint8_t (&data)[16])
{
    return bytes(data, 16);
}

Encoder& Encoder::bytes(const void* data, size_t size)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    m_bytes.insert(m_bytes.end(), p, p + size);
    return *this;
}

Encoder& Encoder::bytes(std::initializer_list<uint8_t> list)
{
    m_bytes.insert(m_bytes.end(), list.begin(), list.end());
    return *this;
}

Encoder& Encoder::array(const std::vector<uint64_t>& elements, size_t width)
{
    u32(static_cast<uint32_t>(elements.size()));
    for (uint64_t element : elements)
        integer(element, width);
    return *this;
}

Encoder& Encoder::u16_array(const std::vector<uint16_t>& elements)
{
    u32(static_cast<uint32_t>(elements.size()));
    for (uint16_t element : elements)
        u16(element);
    return *this;
}

Encoder& Encoder::u32_array(const std::vector<uint32_t>& elements)
{
    u32(static_cast<uint32_t>(elements.size()));
    for (uint32_t element : elements)
        u32(element);
    return *this;
}

std::vector<uint16_t> utf16_units(const std::string& utf8)
{
    std::vector<uint16_t> units;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(utf8.data());
    const size_t n = utf8.size();
    size_t i = 0;
    while (i < n)
    {
        uint32_t c = s[i];
        size_t length = 1;
        if (c >= 0xC0 && c < 0xE0 && i + 1 < n)
        {
            c = ((c & 0x1F) << 6) | (s[i + 1] & 0x3F);
            length = 2;
        }
        else if (c >= 0xE0 && c < 0xF0 && i + 2 < n)
        {
            c = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
            length = 3;
        }
        else if (c >= 0xF0 && c < 0xF8 && i + 3 < n)
        {
            c = ((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F);
            length = 4;
        }
        if (c >= 0x10000)
        {
            units.push_back(static_cast<uint16_t>(0xD800 + ((c - 0x10000) >> 10)));
            units.push_back(static_cast<uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        }
        else
            units.push_back(static_cast<uint16_t>(c));
        i += length;
    }
    return units;
}

Encoder& Encoder::str(const std::string& utf8)
{
    if (utf8.empty())
        return u8(0);
    return str_units(utf16_units(utf8), true);
}

Encoder& Encoder::str_units(const std::vector<uint16_t>& units, bool terminated)
{
    u8(static_cast<uint8_t>(units.size() + (terminated ? 1 : 0)));
    for (uint16_t unit : units)
        u16(unit);
    if (terminated)
        u16(0);
    return *this;
}

Encoder& Encoder::str_claiming(uint8_t count, const std::vector<uint16_t>& units)
{
    u8(count);
    for (uint16_t unit : units)
        u16(unit);
    return *this;
}

Encoder& Encoder::str_list(const std::vector<std::string>& texts)
{
    u32(static_cast<uint32_t>(texts.size()));
    for (const std::string& text : texts)
        str(text);
    return *this;
}

Encoder& Encoder::value(uint16_t datatype, const Value& v)
{
    if (datatype == kStr)
        return str(v.text);
    const size_t width = datatype_width(datatype);
    if (datatype & 0x4000)
        return array(v.elements, width);
    return integer(v.bits, width);
}

Encoded encode_deviceinfo(const DeviceInfo& info)
{
    Encoder e;
    std::vector<size_t> offsets(kDeviceInfoFieldCount, 0);
    offsets[kStandardVersion] = e.size();
    e.u16(info.standard_version);
    offsets[kVendorExtensionId] = e.size();
    e.u32(info.vendor_extension_id);
    offsets[kVendorExtensionVersion] = e.size();
    e.u16(info.vendor_extension_version);
    offsets[kVendorExtensionDesc] = e.size();
    e.str(info.vendor_extension_desc);
    offsets[kFunctionalMode] = e.size();
    e.u16(info.functional_mode);
    offsets[kOperationsSupported] = e.size();
    e.u16_array(info.operations);
    offsets[kEventsSupported] = e.size();
    e.u16_array(info.events);
    offsets[kDevicePropertiesSupported] = e.size();
    e.u16_array(info.properties);
    offsets[kCaptureFormats] = e.size();
    e.u16_array(info.capture_formats);
    offsets[kImageFormats] = e.size();
    e.u16_array(info.playback_formats);
    offsets[kManufacturer] = e.size();
    e.str(info.manufacturer);
    offsets[kModel] = e.size();
    e.str(info.model);
    offsets[kDeviceVersion] = e.size();
    e.str(info.device_version);
    offsets[kSerialNumber] = e.size();
    e.str(info.serial_number);
    offsets[kDeviceInfoEnd] = e.size();
    return Encoded{e.take(), offsets};
}

Encoded encode_objectinfo(const ObjectInfo& info)
{
    Encoder e;
    std::vector<size_t> offsets(kObjectInfoFieldCount, 0);
    offsets[kStorageId] = e.size();
    e.u32(info.storage_id);
    offsets[kObjectFormat] = e.size();
    e.u16(info.format);
    offsets[kProtectionStatus] = e.size();
    e.u16(info.protection);
    offsets[kObjectCompressedSize] = e.size();
    e.u32(info.compressed_size);
    offsets[kThumbFormat] = e.size();
    e.u16(info.thumb_format);
    offsets[kThumbCompressedSize] = e.size();
    e.u32(info.thumb_size);
    offsets[kThumbPixWidth] = e.size();
    e.u32(info.thumb_width);
    offsets[kThumbPixHeight] = e.size();
    e.u32(info.thumb_height);
    offsets[kImagePixWidth] = e.size();
    e.u32(info.width);
    offsets[kImagePixHeight] = e.size();
    e.u32(info.height);
    offsets[kImageBitDepth] = e.size();
    e.u32(info.bit_depth);
    offsets[kParentObject] = e.size();
    e.u32(info.parent);
    offsets[kAssociationType] = e.size();
    e.u16(info.association_type);
    offsets[kAssociationDesc] = e.size();
    e.u32(info.association_desc);
    offsets[kSequenceNumber] = e.size();
    e.u32(info.sequence_number);
    offsets[kFilename] = e.size();
    e.str(info.filename);
    offsets[kCaptureDate] = e.size();
    e.str(info.capture_date);
    offsets[kModificationDate] = e.size();
    e.str(info.modification_date);
    offsets[kKeywords] = e.size();
    e.str(info.keywords);
    offsets[kObjectInfoEnd] = e.size();
    return Encoded{e.take(), offsets};
}

Encoded encode_devicepropdesc(const DevicePropDesc& desc)
{
    Encoder e;
    std::vector<size_t> offsets(kDevicePropDescFieldCount, 0);
    offsets[kPropertyCode] = e.size();
    e.u16(desc.code);
    offsets[kDatatype] = e.size();
    e.u16(desc.datatype);
    offsets[kGetSet] = e.size();
    e.u8(desc.getset);
    offsets[kFactoryDefault] = e.size();
    e.value(desc.datatype, desc.factory_default);
    offsets[kCurrentValue] = e.size();
    e.value(desc.datatype, desc.current);
    offsets[kFormFlag] = e.size();
    e.u8(desc.form);
    offsets[kFormData] = e.size();
    if (desc.form == kFormRange)
    {
        e.value(desc.datatype, desc.min);
        e.value(desc.datatype, desc.max);
        e.value(desc.datatype, desc.step);
    }
    else if (desc.form == kFormEnumeration)
    {
        const uint16_t count = desc.enumeration_count >= 0 ? static_cast<uint16_t>(desc.enumeration_count)
                                                           : static_cast<uint16_t>(desc.enumeration.size());
        e.u16(count);
        for (const Value& v : desc.enumeration)
            e.value(desc.datatype, v);
    }
    offsets[kDevicePropDescEnd] = e.size();
    return Encoded{e.take(), offsets};
}

Bytes truncated(const Bytes& bytes, size_t n)
{
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n < bytes.size() ? n : bytes.size()));
}
} // namespace ptpsim
