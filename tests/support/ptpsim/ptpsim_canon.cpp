// The Canon EOS personality of the responder and its encoder of Canon
// records (GetEvent records, image-format, custom-function and focus records,
// live-view blocks), written from the record layouts alone.
#include "support/ptpsim/ptpsim_canon.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace ptpsim
{
namespace
{
typedef uint16_t (Camera::*Handler)(const std::vector<uint32_t>&, const Bytes*, DataIn&);

template <typename T>
Handler handler(uint16_t (T::*method)(const std::vector<uint32_t>&, const Bytes*, DataIn&))
{
    return static_cast<Handler>(method);
}

uint32_t read_u32(const Bytes& bytes, size_t at)
{
    if (at + 4 > bytes.size())
        return 0;
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
           static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

bool is_imageformat(uint16_t code)
{
    return code >= 0xD120 && code <= 0xD123;
}

// A small but whole JPEG for the live-view frames.
Bytes tiny_jpeg(uint8_t seed)
{
    return {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, seed, 0x00, 0xFF, 0xDA, 0x12, 0x34, seed, 0xFF, 0xD9};
}
} // namespace

// --- records ------------------------------------------------------------------------------

Bytes canon_record(uint32_t type, const Bytes& payload)
{
    return Encoder().u32(static_cast<uint32_t>(payload.size() + 8)).u32(type).bytes(payload).take();
}

Bytes canon_terminator()
{
    return Encoder().u32(8).u32(0).take();
}

Bytes canon_u32(uint32_t value)
{
    return Encoder().u32(value).take();
}

Bytes canon_prop_value(uint16_t code, const Bytes& value)
{
    return canon_record(kEvCanonPropValueChanged, Encoder().u32(code).bytes(value).take());
}

Bytes canon_avail_list(uint16_t code, const std::vector<uint32_t>& values)
{
    Encoder e;
    e.u32(code).u32(3).u32(static_cast<uint32_t>(values.size()));
    for (uint32_t v : values)
        e.u32(v);
    return canon_record(kEvCanonAvailListChanged, e.take());
}

Bytes canon_avail_list_records(uint16_t code, const std::vector<Bytes>& records)
{
    Encoder e;
    e.u32(code).u32(3).u32(static_cast<uint32_t>(records.size()));
    for (const Bytes& r : records)
        e.bytes(r);
    return canon_record(kEvCanonAvailListChanged, e.take());
}

Bytes canon_imageformat(const std::vector<std::vector<uint32_t>>& entries)
{
    Encoder e;
    e.u32(static_cast<uint32_t>(entries.size()));
    for (const auto& entry : entries)
        e.u32(16).u32(entry.size() > 0 ? entry[0] : 0).u32(entry.size() > 1 ? entry[1] : 0).u32(
            entry.size() > 2 ? entry[2] : 0);
    return e.take();
}

Bytes canon_customfuncex(uint32_t group, const std::vector<std::pair<uint32_t, uint32_t>>& items)
{
    Encoder body;
    for (const auto& item : items)
        body.u32(item.first).u32(1).u32(item.second);
    Bytes items_bytes = body.take();
    Encoder e;
    uint32_t group_size = static_cast<uint32_t>(12 + items_bytes.size());
    e.u32(8 + group_size).u32(1).u32(group).u32(group_size).u32(static_cast<uint32_t>(items.size()));
    e.bytes(items_bytes);
    return e.take();
}

Bytes canon_focusinfoex(uint16_t entries, uint16_t result)
{
    Encoder e;
    e.u32(20 + 8u * entries + 2).u16(1).u16(1).u16(entries).u16(0).u16(0).u16(0).u16(0).u16(0);
    for (uint16_t i = 0; i < entries; ++i)
        e.u32(i).u32(0);
    e.u16(result);
    return e.take();
}

Bytes canon_viewfinder_block(uint32_t type, const Bytes& payload)
{
    return canon_record(type, payload);
}

// --- the camera -------------------------------------------------------------------------------

CanonCamera::CanonCamera(const std::string& model) : Camera(Personality::kCanon)
{
    m_info.vendor_extension_id = 0x0000000B;
    m_info.vendor_extension_desc = "";
    m_info.manufacturer = "Canon Inc.";
    m_info.model = model;
    m_info.device_version = "1-1.3.3";
    m_info.serial_number = "083021001234";
    m_info.operations = {0x1001, 0x1002, 0x1003, 0x1004, 0x1005, 0x1008, 0x1009, 0x100B, 0x100F, 0x1014,
                         0x1015, 0x1016, 0x101B, 0x9108, 0x910F, 0x9110, 0x9114, 0x9115, 0x9116, 0x9117,
                         0x9118, 0x911A, 0x9127, 0x9128, 0x9129, 0x9153, 0x9154, 0x9155, 0x9158, 0x9159,
                         0x9160};
    m_info.events = {0x4002, 0x4004, 0x4005, 0x4006, 0x400D};
    m_info.properties = {0x5001};
    m_info.capture_formats = {0x3801, 0xB103};
    m_info.playback_formats = {0x3001, 0x3801, 0xB103, 0xB104};
    m_properties.erase(kPropImageSize);
    m_properties.erase(kPropFNumber);
    m_properties.erase(kPropExposureIndex);
    m_properties.erase(kPropDateTime);
    m_properties[kPropBatteryLevel].current = Value::integer(80);

    m_handlers[0x9108] = handler(&CanonCamera::op_get_deviceinfoex);
    m_handlers[0x9114] = handler(&CanonCamera::op_set_remote_mode);
    m_handlers[0x9115] = handler(&CanonCamera::op_set_event_mode);
    m_handlers[0x9116] = handler(&CanonCamera::op_get_event);
    m_handlers[0x9117] = handler(&CanonCamera::op_transfer_complete);
    m_handlers[0x9118] = handler(&CanonCamera::op_cancel_transfer);
    m_handlers[0x911A] = handler(&CanonCamera::op_pchdd_capacity);
    m_handlers[0x9127] = handler(&CanonCamera::op_request_devicepropvalue);
    m_handlers[0x9110] = handler(&CanonCamera::op_set_devicepropvalue_ex);
    m_handlers[0x9128] = handler(&CanonCamera::op_remote_release_on);
    m_handlers[0x9129] = handler(&CanonCamera::op_remote_release_off);
    m_handlers[0x910F] = handler(&CanonCamera::op_remote_release);
    m_handlers[0x9153] = handler(&CanonCamera::op_get_viewfinder_data);
    m_handlers[0x9154] = handler(&CanonCamera::op_do_af);
    m_handlers[0x9160] = handler(&CanonCamera::op_af_cancel);
    m_handlers[0x9155] = handler(&CanonCamera::op_drive_lens);
    m_handlers[0x9158] = handler(&CanonCamera::op_zoom);
    m_handlers[0x9159] = handler(&CanonCamera::op_zoom_position);

    auto u32_prop = [this](uint16_t code, uint32_t value, std::vector<uint32_t> allowed) {
        Property p;
        p.value = canon_u32(value);
        p.allowed = std::move(allowed);
        m_canon[code] = p;
        m_listed.push_back(code);
    };
    auto record_prop = [this](uint16_t code, const Bytes& value, std::vector<Bytes> allowed = {}) {
        Property p;
        p.record = true;
        p.value = value;
        p.allowed_records = std::move(allowed);
        m_canon[code] = p;
        m_listed.push_back(code);
    };
    u32_prop(kCanonAperture, 48, {32, 40, 48, 56});
    u32_prop(kCanonShutterSpeed, 112, {12, 16, 104, 112});
    u32_prop(kCanonISOSpeed, 0x48, {0x48, 0x50, 0x58});
    u32_prop(kCanonExpCompensation, 0, {0xF8, 0, 8});
    u32_prop(kCanonAutoExposureMode, 3, {0, 1, 2, 3, 4});
    u32_prop(kCanonDriveMode, 0, {0, 1, 7, 16, 17});
    u32_prop(kCanonMeteringMode, 3, {1, 3, 4, 5});
    u32_prop(kCanonFocusMode, 0, {0, 1, 2});
    u32_prop(kCanonWhiteBalance, 0, {0, 1, 2});
    u32_prop(kCanonBatterySelect, 0, {});
    u32_prop(kCanonAvailableShots, 950, {});
    u32_prop(kCanonCaptureDestination, 1, {1, 4, 5});
    record_prop(kCanonImageFormat, canon_imageformat({{1, 0, 3}}),
                {canon_imageformat({{1, 0, 3}}), canon_imageformat({{1, 1, 3}}), canon_imageformat({{6, 0, 0}}),
                 canon_imageformat({{6, 0, 0}, {1, 0, 3}})});
    record_prop(kCanonCustomFuncEx, canon_customfuncex(3, {{0x60F, 0}, {0x510, 1}}));
    Bytes serial(m_info.serial_number.begin(), m_info.serial_number.end());
    serial.push_back(0);
    record_prop(kCanonSerialNumber, serial);
    u32_prop(kCanonEVFOutputDevice, 0, {0, 1, 2});
    u32_prop(kCanonEVFMode, 1, {0, 1, 2});
    u32_prop(kCanonDepthOfFieldPreview, 0, {0, 1});
    u32_prop(kCanonEVFRecordStatus, 0, {0, 3, 4});
    u32_prop(kCanonLvAfSystem, 0, {0, 1, 2});
    u32_prop(kCanonMirrorLockupState, 0, {0, 1});
    record_prop(kCanonFocusInfoEx, canon_focusinfoex(2, 0));
}

// --- model -------------------------------------------------------------------------------------

void CanonCamera::announce_locked(uint16_t code, bool with_list)
{
    auto it = m_canon.find(code);
    if (it == m_canon.end())
        return;
    const Property& p = it->second;
    if (with_list && !p.allowed.empty())
        m_records.push_back(canon_avail_list(code, p.allowed));
    if (with_list && !p.allowed_records.empty())
        m_records.push_back(canon_avail_list_records(code, p.allowed_records));
    m_records.push_back(canon_prop_value(code, p.value));
}

void CanonCamera::set_u32(uint16_t code, uint32_t value, const std::vector<uint32_t>& allowed, bool announce)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Property& p = m_canon[code];
    p.record = false;
    p.value = canon_u32(value);
    if (!allowed.empty())
        p.allowed = allowed;
    if (std::find(m_listed.begin(), m_listed.end(), code) == m_listed.end())
        m_listed.push_back(code);
    if (announce)
        announce_locked(code, !allowed.empty());
}

uint32_t CanonCamera::u32(uint16_t code)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_canon.find(code);
    return it == m_canon.end() ? 0 : read_u32(it->second.value, 0);
}

void CanonCamera::set_bytes(uint16_t code, const Bytes& value, bool announce)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Property& p = m_canon[code];
    p.record = true;
    p.value = value;
    if (std::find(m_listed.begin(), m_listed.end(), code) == m_listed.end())
        m_listed.push_back(code);
    if (announce)
        announce_locked(code, false);
}

Bytes CanonCamera::bytes(uint16_t code)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_canon.find(code);
    return it == m_canon.end() ? Bytes() : it->second.value;
}

void CanonCamera::unlist_property(uint16_t code)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listed.erase(std::remove(m_listed.begin(), m_listed.end(), code), m_listed.end());
}

void CanonCamera::unlist_operations(const std::vector<uint16_t>& operations)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (uint16_t op : operations)
        m_info.operations.erase(std::remove(m_info.operations.begin(), m_info.operations.end(), op),
                                m_info.operations.end());
}

void CanonCamera::queue_record(const Bytes& record)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.push_back(record);
}

void CanonCamera::set_next_event_data(const Bytes& data)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_next_data_set = true;
    m_next_data = data;
}

bool CanonCamera::remote_mode()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_remote;
}

bool CanonCamera::event_mode()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_event_mode;
}

int CanonCamera::capacity_reports()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_capacity_reports;
}

std::vector<uint32_t> CanonCamera::capacity_parameters()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_capacity_parameters;
}

std::vector<uint32_t> CanonCamera::memory_handles()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_memory;
}

std::vector<uint32_t> CanonCamera::card_handles()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint32_t> handles;
    for (const auto& entry : m_objects)
        if (std::find(m_memory.begin(), m_memory.end(), entry.first) == m_memory.end())
            handles.push_back(entry.first);
    return handles;
}

std::vector<uint32_t> CanonCamera::transferred()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_transferred;
}

std::vector<uint32_t> CanonCamera::cancelled()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cancelled;
}

std::vector<Bytes> CanonCamera::setex_records()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_setex;
}

int CanonCamera::shots()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_shots;
}

void CanonCamera::set_focus_result(int result)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_focus_result = result;
}

void CanonCamera::set_viewfinder(const Bytes& blocks)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_viewfinder_set = true;
    m_viewfinder = blocks;
}

bool CanonCamera::zoomed()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_zoomed;
}

std::pair<uint32_t, uint32_t> CanonCamera::zoom_position()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return {m_zoom_x, m_zoom_y};
}

bool CanonCamera::bulb_locked()
{
    return read_u32(m_canon[kCanonAutoExposureMode].value, 0) == 4 ||
           read_u32(m_canon[kCanonShutterSpeed].value, 0) == 12;
}

// One release: the photos the image format asks for, on the card or in the
// camera's memory as CaptureDestination says, each announced by its record.
void CanonCamera::shoot_locked()
{
    ++m_shots;
    uint32_t destination = read_u32(m_canon[kCanonCaptureDestination].value, 0);
    bool card = destination != 4;
    bool memory = destination == 4 || destination == 5 || destination == 6;
    uint32_t count = read_u32(m_canon[kCanonImageFormat].value, 0);
    std::vector<uint16_t> formats;
    const Bytes& format = m_canon[kCanonImageFormat].value;
    for (uint32_t k = 0; k < count && k < 2; ++k)
        formats.push_back(read_u32(format, 8 + 16 * k) == 6 ? static_cast<uint16_t>(kFormatCanonCR2) : static_cast<uint16_t>(kFormatJpeg));
    if (formats.empty())
        formats.push_back(kFormatJpeg);
    for (uint16_t object_format : formats)
    {
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%04d.%s", 1000 + m_shots, object_format == kFormatJpeg ? "JPG" : "CR2");
        uint64_t size = object_format == kFormatJpeg ? 180000 + m_shots : 260000 + m_shots;
        auto make = [&](uint32_t storage) {
            Object object;
            object.handle = m_next_handle++;
            object.info.storage_id = storage;
            object.info.format = object_format;
            object.info.filename = name;
            object.info.compressed_size = static_cast<uint32_t>(size);
            object.size = size;
            object.served = size;
            object.content = object_format == kFormatJpeg ? Content::kJpeg : Content::kPattern;
            object.seed = 0x9E3779B97F4A7C15ull * object.handle;
            m_objects[object.handle] = object;
            return object.handle;
        };
        if (card)
        {
            uint32_t handle = make(m_storages.empty() ? 0x00010001 : m_storages[0]);
            Encoder e;
            e.u32(handle).u32(0x00010001).u16(object_format).u16(0).u32(0).u32(0).u32(static_cast<uint32_t>(size));
            e.u32(0).u32(0).u32(0);
            e.bytes(name, std::strlen(name)).u8(0);
            m_records.push_back(canon_record(kEvCanonObjectAddedEx2, e.take()));
        }
        if (memory)
        {
            uint32_t handle = make(0);
            m_memory.push_back(handle);
            Encoder e;
            e.u32(handle).u16(object_format).u16(0).u32(0).u32(static_cast<uint32_t>(size));
            m_records.push_back(canon_record(kEvCanonRequestObjectTransfer, e.take()));
        }
    }
}

// --- operations ---------------------------------------------------------------------------------

uint16_t CanonCamera::op_get_deviceinfoex(const std::vector<uint32_t>&, const Bytes*, DataIn& in)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Encoder e;
    std::vector<uint32_t> events = {0xC181, 0xC186, 0xC189, 0xC18A, 0xC18B, 0xC1A7, 0xC1A9};
    e.u32(0);
    e.u32(static_cast<uint32_t>(events.size()));
    for (uint32_t v : events)
        e.u32(v);
    e.u32(static_cast<uint32_t>(m_listed.size()));
    for (uint16_t code : m_listed)
        e.u32(code);
    Bytes bytes = e.take();
    uint32_t size = static_cast<uint32_t>(bytes.size());
    bytes[0] = size & 0xFF;
    bytes[1] = (size >> 8) & 0xFF;
    in.replace(bytes);
    return kRespOK;
}

uint16_t CanonCamera::op_set_remote_mode(const std::vector<uint32_t>& p, const Bytes*, DataIn&)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_remote = !p.empty() && p[0] != 0;
    return kRespOK;
}

uint16_t CanonCamera::op_set_event_mode(const std::vector<uint32_t>& p, const Bytes*, DataIn&)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_event_mode = !p.empty() && p[0] != 0;
    if (m_event_mode)
    {
        // Real bodies answer the next GetEvent with every property and list.
        for (uint16_t code : m_listed)
            announce_locked(code, true);
    }
    return kRespOK;
}

uint16_t CanonCamera::op_get_event(const std::vector<uint32_t>&, const Bytes*, DataIn& in)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_next_data_set)
    {
        m_next_data_set = false;
        in.replace(m_next_data);
        return kRespOK;
    }
    Encoder e;
    for (const Bytes& record : m_records)
        e.bytes(record);
    e.bytes(canon_terminator());
    m_records.clear();
    in.replace(e.take());
    return kRespOK;
}

uint16_t CanonCamera::op_transfer_complete(const std::vector<uint32_t>& p, const Bytes*, DataIn&)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = p.empty() ? m_memory.end() : std::find(m_memory.begin(), m_memory.end(), p[0]);
    if (it == m_memory.end())
        return kRespInvalidObjectHandle;
    if (!m_read_whole[*it])
        violation_locked("TransferComplete of object " + std::to_string(*it) + " before it was read whole");
    m_transferred.push_back(*it);
    m_objects.erase(*it);
    m_memory.erase(it);
    return kRespOK;
}

uint16_t CanonCamera::op_cancel_transfer(const std::vector<uint32_t>& p, const Bytes*, DataIn&)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = p.empty() ? m_memory.end() : std::find(m_memory.begin(), m_memory.end(), p[0]);
    if (it == m_memory.end())
        return kRespInvalidObjectHandle;
    m_cancelled.push_back(*it);
    m_objects.erase(*it);
    m_memory.erase(it);
    return kRespOK;
}

uint16_t CanonCamera::op_pchdd_capacity(const std::vector<uint32_t>& p, const Bytes*, DataIn&)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_capacity_reports;
    m_capacity_parameters = p;
    return kRespOK;
}

uint16_t CanonCamera::op_request_devicepropvalue(const std::vector<uint32_t>& p, const Bytes*, DataIn&)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (p.empty() || !m_canon.count(static_cast<uint16_t>(p[0])))
        return kRespGeneralError;
    announce_locked(static_cast<uint16_t>(p[0]), false);
    return kRespOK;
}

uint16_t CanonCamera::op_set_devicepropvalue_ex(const std::vector<uint32_t>&, const Bytes* out, DataIn&)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!out || out->size() < 8 || read_u32(*out, 0) != out->size())
    {
        violation_locked("SetDevicePropValueEx record size does not match its bytes");
        return kRespInvalidDevicePropFormat;
    }
    m_setex.push_back(*out);
    uint16_t code = static_cast<uint16_t>(read_u32(*out, 4));
    Bytes value(out->begin() + 8, out->end());
    auto it = m_canon.find(code);
    if (it == m_canon.end())
        return kRespDevicePropNotSupported;
    Property& p = it->second;
    if (code == kCanonCustomFuncEx)
    {
        // One group, one item, one value: the custom function set.
        if (value.size() != 32 || read_u32(value, 0) != 32)
            return kRespInvalidDevicePropValue;
        uint32_t item = read_u32(value, 20);
        uint32_t setting = read_u32(value, 28);
        if (item == 0x60F)
        {
            m_canon[kCanonMirrorLockupState].value = canon_u32(setting);
            announce_locked(kCanonMirrorLockupState, false);
        }
        return kRespOK;
    }
    if (p.record || is_imageformat(code))
    {
        if (is_imageformat(code) && (value.size() < 4 || value.size() != 4 + 16 * read_u32(value, 0)))
            return kRespInvalidDevicePropValue;
        p.value = value;
        announce_locked(code, false);
        return kRespOK;
    }
    if (value.size() != 4)
        return kRespInvalidDevicePropFormat;
    uint32_t v = read_u32(value, 0);
    if (!p.allowed.empty() && std::find(p.allowed.begin(), p.allowed.end(), v) == p.allowed.end())
        return kRespInvalidDevicePropValue;
    p.value = value;
    announce_locked(code, false);
    return kRespOK;
}

uint16_t CanonCamera::op_remote_release_on(const std::vector<uint32_t>& p, const Bytes*, DataIn&)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (p.size() < 2)
        return kRespInvalidParameter;
    if (p[0] == 2)
    {
        if (bulb_locked())
            m_bulb_open = true;
        else
            shoot_locked();
    }
    return kRespOK;
}

uint16_t CanonCamera::op_remote_release_off(const std::vector<uint32_t>& p, const Bytes*, DataIn&)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (p.empty())
        return kRespInvalidParameter;
    if (p[0] == 2 && m_bulb_open)
    {
        m_bulb_open = false;
        shoot_locked();
    }
    return kRespOK;
}

uint16_t CanonCamera::op_remote_release(const std::vector<uint32_t>&, const Bytes*, DataIn&)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    shoot_locked();
    return kRespOK;
}

uint16_t CanonCamera::op_get_viewfinder_data(const std::vector<uint32_t>&, const Bytes*, DataIn& in)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (read_u32(m_canon[kCanonEVFOutputDevice].value, 0) != 2)
        return kRespCanonNotReady;
    if (m_viewfinder_set)
    {
        in.replace(m_viewfinder);
        return kRespOK;
    }
    Encoder e;
    e.bytes(canon_viewfinder_block(1, tiny_jpeg(static_cast<uint8_t>(m_zoom_x))));
    e.bytes(canon_viewfinder_block(4, canon_u32(m_zoomed ? 5 : 1)));
    e.bytes(canon_viewfinder_block(5, Encoder().u32(m_zoom_x).u32(m_zoom_y).take()));
    in.replace(e.take());
    return kRespOK;
}

uint16_t CanonCamera::op_do_af(const std::vector<uint32_t>&, const Bytes*, DataIn&)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_focus_result >= 0)
    {
        m_canon[kCanonFocusInfoEx].value = canon_focusinfoex(2, static_cast<uint16_t>(m_focus_result));
        announce_locked(kCanonFocusInfoEx, false);
    }
    return kRespOK;
}

uint16_t CanonCamera::op_af_cancel(const std::vector<uint32_t>&, const Bytes*, DataIn&)
{
    return kRespOK;
}

uint16_t CanonCamera::op_drive_lens(const std::vector<uint32_t>& p, const Bytes*, DataIn&)
{
    return p.empty() ? kRespInvalidParameter : kRespOK;
}

uint16_t CanonCamera::op_zoom(const std::vector<uint32_t>& p, const Bytes*, DataIn&)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (p.empty())
        return kRespInvalidParameter;
    m_zoomed = p[0] == 5;
    return kRespOK;
}

uint16_t CanonCamera::op_zoom_position(const std::vector<uint32_t>& p, const Bytes*, DataIn&)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (p.size() < 2)
        return kRespInvalidParameter;
    m_zoom_x = p[0];
    m_zoom_y = p[1];
    return kRespOK;
}
} // namespace ptpsim
