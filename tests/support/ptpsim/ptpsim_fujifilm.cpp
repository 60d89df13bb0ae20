// The responder's Fujifilm personality, shaped after an X-T2 tethered over
// USB: standard PTP operations and events, the standard exposure properties,
// and a DeviceInfo that lists Fujifilm's vendor properties and a few standard
// ones that the body then refuses to describe (DeviceProp Not Supported), as
// real bodies do for dozens of listed codes. InitiateCapture stores a JPEG and
// a RAF and announces them with ObjectAdded, then CaptureComplete.
#include "support/ptpsim/ptpsim_camera.h"

namespace ptpsim
{
namespace
{
DevicePropDesc enumerated(uint16_t code, uint16_t datatype, int64_t current, const std::vector<int64_t>& values)
{
    DevicePropDesc desc;
    desc.code = code;
    desc.datatype = datatype;
    desc.getset = 1;
    desc.factory_default = Value::integer(current);
    desc.current = Value::integer(current);
    desc.form = kFormEnumeration;
    for (int64_t v : values)
        desc.enumeration.push_back(Value::integer(v));
    return desc;
}

// Listed in DeviceInfo and refused by GetDevicePropDesc.
const std::vector<uint16_t> kFujifilmRefusedProperties = {0x500A, 0x500B, 0xD017, 0xD018, 0xD201,
                                                          0xD206, 0xD213, 0xD218, 0xD219};
} // namespace

void Camera::install_fujifilm()
{
    m_info.vendor_extension_id = 0x0000000E;
    m_info.vendor_extension_desc = "fujifilm.co.jp: 1.0;";
    m_info.manufacturer = "FUJIFILM";
    m_info.model = "X-T2";
    m_info.device_version = "4.10";
    m_info.serial_number = "93531633303330361637173131301D3";
    m_info.operations = {0x1001, 0x1002, 0x1003, 0x1004, 0x1005, 0x1007, 0x1008, 0x1009,
                         0x100B, 0x100E, 0x100F, 0x1014, 0x1015, 0x1016, 0x101B};
    m_info.events = {0x4002, 0x4004, 0x4005, 0x4006, 0x400D};
    m_info.capture_formats = {0x3801};
    m_info.playback_formats = {0x3001, 0x3801, 0x3000};
    m_info.properties = {0x5001, 0x5003, 0x5004, 0x5005, 0x5007, 0x500D, 0x500E,
                         0x500F, 0x5010, 0x5011, 0x5013};
    m_info.properties.insert(m_info.properties.end(), kFujifilmRefusedProperties.begin(),
                             kFujifilmRefusedProperties.end());
    m_storages = {0x10000001};

    m_properties[0x5004] = enumerated(0x5004, kUint8, 2, {1, 2, 4});
    m_properties[0x5005] = enumerated(0x5005, kUint16, 2, {2, 4, 6, 0x8001});
    m_properties[0x500D] = enumerated(0x500D, kUint32, 80, {40, 80, 125, 4000, 10000, 25000});
    m_properties[0x500E] = enumerated(0x500E, kUint16, 3, {1, 2, 3, 4});
    DevicePropDesc bias = enumerated(0x5010, kInt16, -333, {-1000, -667, -333, 0, 333, 667, 1000});
    m_properties[0x5010] = bias;
    m_properties[0x5013] = enumerated(0x5013, kUint16, 1, {1, 2});

    ObjectInfo jpeg;
    jpeg.storage_id = 0x10000001;
    jpeg.format = 0x3801;
    jpeg.filename = "DSCF0001.JPG";
    ObjectInfo raw = jpeg;
    raw.format = 0x3000; // Fujifilm announces RAF files as undefined
    raw.filename = "DSCF0001.RAF";
    m_capture_objects = {jpeg, raw};
    m_capture_size = 200000;
}
} // namespace ptpsim
