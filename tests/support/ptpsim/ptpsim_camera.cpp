// The responder's camera model, its transaction path (faults, gates, overlap
// check, operation handlers of the generic personality) and the event pump.
// Content generators and the value decoder live in ptpsim_content.cpp.
#include "support/ptpsim/ptpsim_camera.h"

#include "support/ptpsim/ptpsim_content.h"

#include "orvo/camera/mtp_update.h"
#include "orvo/core/core_time.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

namespace ptpsim
{
namespace
{
std::string hex16(uint16_t code)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", code);
    return text;
}

DevicePropDesc default_property(uint16_t code, uint16_t datatype, uint8_t getset, const Value& current)
{
    DevicePropDesc desc;
    desc.code = code;
    desc.datatype = datatype;
    desc.getset = getset;
    desc.factory_default = current;
    desc.current = current;
    return desc;
}

bool fault_matches(const Fault& fault, uint16_t operation, const std::vector<uint32_t>& parameters)
{
    if (fault.remaining == 0)
        return false;
    if (fault.operation != 0 && fault.operation != operation)
        return false;
    if (fault.match_parameter && (parameters.empty() || parameters[0] != fault.parameter))
        return false;
    return true;
}

void fault_spend(Fault& fault)
{
    if (fault.remaining > 0)
        --fault.remaining;
}
} // namespace

Camera::Camera(Personality personality) : m_personality(personality)
{
    install_generic();
    if (personality == Personality::kFujifilm)
        install_fujifilm();
}

Camera::~Camera()
{
    detach();
}

void Camera::install_generic()
{
    m_handlers[kOpGetDeviceInfo] = &Camera::op_get_deviceinfo;
    m_handlers[kOpGetStorageIDs] = &Camera::op_get_storage_ids;
    m_handlers[kOpGetObjectInfo] = &Camera::op_get_objectinfo;
    m_handlers[kOpGetObject] = &Camera::op_get_object;
    m_handlers[kOpGetPartialObject] = &Camera::op_get_partial_object;
    m_handlers[kOpDeleteObject] = &Camera::op_delete_object;
    m_handlers[kOpInitiateCapture] = &Camera::op_initiate_capture;
    m_handlers[kOpFormatStore] = &Camera::op_format_store;
    m_handlers[kOpGetDevicePropDesc] = &Camera::op_get_devicepropdesc;
    m_handlers[kOpGetDevicePropValue] = &Camera::op_get_devicepropvalue;
    m_handlers[kOpSetDevicePropValue] = &Camera::op_set_devicepropvalue;
    m_handlers[kOpGetObjectPropsSupported] = &Camera::op_get_object_props_supported;

    // The properties the default DeviceInfo lists.
    DevicePropDesc battery = default_property(kPropBatteryLevel, kUint8, 0, Value::integer(100));
    battery.form = kFormRange;
    battery.min = Value::integer(0);
    battery.max = Value::integer(100);
    battery.step = Value::integer(1);
    m_properties[kPropBatteryLevel] = battery;

    DevicePropDesc size = default_property(kPropImageSize, kStr, 1, Value::str("6000x4000"));
    size.form = kFormEnumeration;
    size.enumeration = {Value::str("6000x4000"), Value::str("3984x2656"), Value::str("2976x1984")};
    m_properties[kPropImageSize] = size;

    DevicePropDesc fnumber = default_property(kPropFNumber, kUint16, 1, Value::integer(560));
    fnumber.form = kFormEnumeration;
    for (int64_t f : {280, 400, 560, 800, 1100})
        fnumber.enumeration.push_back(Value::integer(f));
    m_properties[kPropFNumber] = fnumber;

    DevicePropDesc iso = default_property(kPropExposureIndex, kUint16, 1, Value::integer(400));
    iso.form = kFormRange;
    iso.min = Value::integer(100);
    iso.max = Value::integer(6400);
    iso.step = Value::integer(100);
    m_properties[kPropExposureIndex] = iso;

    // DateTime's value is the camera clock's; the stored one is not used.
    m_properties[kPropDateTime] = default_property(kPropDateTime, kStr, 1, Value::str(""));

    ObjectInfo shot;
    shot.filename = "IMG_0001.JPG";
    m_capture_objects = {shot};
    m_capture_size = 1 << 20;
}

// --- wiring -----------------------------------------------------------------------------

orvo::mtp_device_callbacks_t Camera::callbacks()
{
    orvo::mtp_device_callbacks_t callbacks = {};
    callbacks.execute = ptpsim::execute;
    callbacks.read = ptpsim::read;
    callbacks.write = ptpsim::write;
    callbacks.user = this;
    return callbacks;
}

void Camera::attach(orvo::mtp_device_t& device)
{
    detach();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_device = &device;
    m_stop = false;
    m_pump = std::thread(&Camera::pump, this);
}

void Camera::attach_sink(EventSink sink)
{
    detach();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sink = std::move(sink);
    m_stop = false;
    m_pump = std::thread(&Camera::pump, this);
}

void Camera::detach()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_changed.notify_all();
    }
    if (m_pump.joinable())
        m_pump.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_device = nullptr;
    m_sink = nullptr;
}

// --- model -----------------------------------------------------------------------------------

void Camera::edit_deviceinfo(const std::function<void(DeviceInfo&)>& edit)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    edit(m_info);
}

DeviceInfo Camera::deviceinfo()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_info;
}

void Camera::set_property(const DevicePropDesc& property)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_properties[property.code] = property;
    std::vector<uint16_t>& listed = m_info.properties;
    if (std::find(listed.begin(), listed.end(), property.code) == listed.end())
        listed.push_back(property.code);
}

void Camera::remove_property(uint16_t code, bool unlist)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_properties.erase(code);
    if (unlist)
    {
        std::vector<uint16_t>& listed = m_info.properties;
        listed.erase(std::remove(listed.begin(), listed.end(), code), listed.end());
    }
}

bool Camera::has_property(uint16_t code)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_properties.count(code) != 0;
}

Value Camera::property_value(uint16_t code)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (code == kPropDateTime)
        return clock_value();
    auto it = m_properties.find(code);
    return it == m_properties.end() ? Value() : it->second.current;
}

void Camera::change_property(uint16_t code, const Value& value, bool announce)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_properties.find(code);
    if (it == m_properties.end())
        return;
    it->second.current = value;
    if (announce)
        queue_event_locked(kEvDevicePropChanged, {code}, 0);
}

void Camera::set_announce_property_changes(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_announce_changes = on;
}

void Camera::set_object_properties(uint16_t format, const std::vector<uint16_t>& codes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_object_properties[format] = codes;
}

void Camera::set_storages(const std::vector<uint32_t>& ids)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_storages = ids;
}

std::vector<uint32_t> Camera::storages()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_storages;
}

uint32_t Camera::add_object(const ObjectInfo& info, uint64_t size, Content content)
{
    uint32_t handle;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        handle = m_next_handle++;
    }
    return add_object_at(handle, info, size, content);
}

uint32_t Camera::add_object_at(uint32_t handle, const ObjectInfo& info, uint64_t size, Content content)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Object object;
    object.handle = handle;
    object.info = info;
    if (object.info.compressed_size == 0)
        object.info.compressed_size = static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX));
    object.size = size;
    object.served = size;
    object.content = content;
    object.seed = 0x9E3779B97F4A7C15ull * object.handle;
    m_objects[object.handle] = object;
    return object.handle;
}

bool Camera::has_object(uint32_t handle)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_objects.count(handle) != 0;
}

size_t Camera::num_objects()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_objects.size();
}

std::vector<uint32_t> Camera::handles()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint32_t> result;
    for (const auto& entry : m_objects)
        result.push_back(entry.first);
    return result;
}

void Camera::truncate_object(uint32_t handle, uint64_t served)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_objects.find(handle);
    if (it != m_objects.end())
        it->second.served = std::min(served, it->second.size);
}

Bytes Camera::object_bytes(uint32_t handle, uint64_t offset, uint64_t length)
{
    Object object;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_objects.find(handle);
        if (it == m_objects.end())
            return Bytes();
        object = it->second;
    }
    if (offset >= object.size)
        return Bytes();
    uint64_t n = std::min(length, object.size - offset);
    Bytes bytes(n);
    generate_content(object.content, object.seed, object.size, offset, bytes.data(), n);
    return bytes;
}

std::vector<uint32_t> Camera::deleted_handles()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_deleted;
}

void Camera::set_clock_offset_us(int64_t offset)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_clock_offset_us = offset;
}

int64_t Camera::clock_offset_us()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_clock_offset_us;
}

std::vector<std::string> Camera::datetime_writes()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_datetime_writes;
}

void Camera::set_capture(const std::vector<ObjectInfo>& objects, uint64_t size, uint64_t delay_us)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_capture_objects = objects;
    m_capture_size = size;
    m_capture_delay_us = delay_us;
}

Value Camera::clock_value() const
{
    return Value::str(format_datetime(orvo::time_get_wallclock() + m_clock_offset_us));
}

// --- events -----------------------------------------------------------------------------------

void Camera::send_event(uint16_t code, std::vector<uint32_t> parameters, uint64_t delay_us)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    queue_event_locked(code, std::move(parameters), delay_us);
}

void Camera::queue_event_locked(uint16_t code, std::vector<uint32_t> parameters, uint64_t delay_us)
{
    if (m_polled_events)
    {
        m_polled.push_back(Event{code, std::move(parameters), orvo::time_get_ticks() + delay_us});
        return;
    }
    m_events.push_back(Event{code, std::move(parameters), orvo::time_get_ticks() + delay_us});
    m_changed.notify_all();
}

void Camera::drain_events()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_pump.joinable())
        return;
    // Nothing queued and nothing on its way: waking the pump (on every pass
    // of every camera) would only cost the host a thread switch.
    if (m_events.empty() && !m_delivering)
        return;
    m_changed.notify_all();
    m_changed.wait(lock, [this] {
        if (m_delivering)
            return false;
        uint64_t now = orvo::time_get_ticks();
        for (const Event& event : m_events)
            if (event.due <= now)
                return false;
        return true;
    });
}

size_t Camera::num_events_delivered()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_delivered;
}

void Camera::pump()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop)
    {
        uint64_t now = orvo::time_get_ticks();
        auto due = std::find_if(m_events.begin(), m_events.end(), [now](const Event& e) { return e.due <= now; });
        if (due == m_events.end())
        {
            // Events due later follow the (possibly injected) tick clock,
            // which cannot be waited on: look again shortly.
            if (m_events.empty())
                m_changed.wait(lock);
            else
                m_changed.wait_for(lock, std::chrono::milliseconds(1));
            continue;
        }
        Event event = *due;
        m_events.erase(due);
        m_delivering = true;
        orvo::mtp_device_t* device = m_device;
        EventSink sink = m_sink;
        lock.unlock();
        if (sink)
            sink(event.code, event.parameters);
        // A device that reads its events by polling gets none from the
        // interrupt pipe, as the USB layer drops them.
        else if (device && !device->events_by_polling.load(std::memory_order_acquire))
            orvo::mtp_device_handle(*device, static_cast<orvo::mtp_event_t>(event.code), event.parameters.data(),
                                    event.parameters.size());
        lock.lock();
        m_delivering = false;
        ++m_delivered;
        m_changed.notify_all();
    }
}

// --- faults -------------------------------------------------------------------------------------

void Camera::add_fault(const Fault& fault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.push_back(fault);
}

void Camera::fail(uint16_t operation, uint16_t response, int times)
{
    Fault fault;
    fault.kind = Fault::Kind::kResponse;
    fault.operation = operation;
    fault.response = response;
    fault.remaining = times;
    add_fault(fault);
}

void Camera::clear_faults()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.clear();
}

void Camera::set_unplugged(bool unplugged)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_unplugged = unplugged;
}

void Camera::set_partial_chunk_limit(uint64_t limit)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_partial_limit = limit;
}

void Camera::usb_transfer(uint64_t& packet_bytes, uint64_t& bytes_per_second)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    packet_bytes = m_usb_packet;
    bytes_per_second = m_usb_rate;
}

void Camera::set_usb_transfer(uint64_t packet_bytes, uint64_t bytes_per_second)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_usb_packet = packet_bytes;
    m_usb_rate = bytes_per_second;
}

void Camera::hold(uint16_t operation)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_gates[operation].closed = true;
}

void Camera::wait_held(uint16_t operation)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return m_gates[operation].waiting > 0; });
}

bool Camera::held(uint16_t operation)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_gates[operation].waiting > 0;
}

void Camera::release(uint16_t operation)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_gates[operation].closed = false;
    m_changed.notify_all();
}

void Camera::pass_gate(uint16_t operation)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    auto it = m_gates.find(operation);
    if (it == m_gates.end() || !it->second.closed)
        return;
    ++it->second.waiting;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return !m_gates[operation].closed; });
    --m_gates[operation].waiting;
}

// --- assertions ----------------------------------------------------------------------------------

std::vector<std::string> Camera::violations()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_violations;
}

void Camera::violation_locked(const std::string& text)
{
    m_violations.push_back(text);
}

int Camera::calls(uint16_t operation)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_calls.find(operation);
    return it == m_calls.end() ? 0 : it->second;
}

int Camera::calls(uint16_t operation, uint32_t parameter)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_parameter_calls.find({operation, parameter});
    return it == m_parameter_calls.end() ? 0 : it->second;
}

std::vector<uint32_t> Camera::last_parameters(uint16_t operation)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_last_parameters[operation];
}

void Camera::set_require_read_before_delete(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_require_read_before_delete = on;
}

void Camera::reset_calls()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
    m_parameter_calls.clear();
    m_last_parameters.clear();
}

// --- vendor personalities --------------------------------------------------------------------------

void Camera::set_operation(uint16_t operation, Operation handler, bool unlisted)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_operations[operation] = std::move(handler);
    m_unlisted[operation] = unlisted;
}

void Camera::set_polled_events(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_polled_events = on;
}

std::vector<std::pair<uint16_t, std::vector<uint32_t>>> Camera::take_polled_events()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::pair<uint16_t, std::vector<uint32_t>>> due;
    uint64_t now = orvo::time_get_ticks();
    for (auto it = m_polled.begin(); it != m_polled.end();)
    {
        if (it->due <= now)
        {
            due.emplace_back(it->code, it->parameters);
            it = m_polled.erase(it);
        }
        else
            ++it;
    }
    return due;
}

// --- transactions --------------------------------------------------------------------------------

bool Camera::listed(uint16_t operation) const
{
    return operation == kOpGetDeviceInfo ||
           std::find(m_info.operations.begin(), m_info.operations.end(), operation) != m_info.operations.end();
}

void Camera::apply_data_faults_locked(uint16_t operation, const std::vector<uint32_t>& params, DataIn& in)
{
    for (Fault& fault : m_faults)
    {
        if (!fault_matches(fault, operation, params))
            continue;
        switch (fault.kind)
        {
        case Fault::Kind::kShortData:
            in.shorten(fault.length);
            fault_spend(fault);
            break;
        case Fault::Kind::kData:
            in.replace(fault.data);
            fault_spend(fault);
            break;
        case Fault::Kind::kCorrupt:
            in.patch(fault.offset, fault.mask);
            fault_spend(fault);
            break;
        default:
            break;
        }
    }
}

uint16_t Camera::transact(uint16_t operation, const uint32_t* parameters, uint32_t count, const Bytes* out,
                          DataIn* in)
{
    // One camera runs one transaction at a time; the engine serialises them
    // with the device lock, and a second one arriving meanwhile is its fault.
    uint16_t other = m_active_operation.load(std::memory_order_acquire);
    if (m_active.fetch_add(1, std::memory_order_acq_rel) != 0)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        violation_locked("Transaction " + hex16(operation) + " overlaps transaction " + hex16(other));
    }
    m_active_operation.store(operation, std::memory_order_release);

    std::vector<uint32_t> params(parameters, parameters + (parameters ? count : 0));
    uint16_t response = kRespOK;
    uint64_t latency = 0;
    bool bent = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_calls[operation];
        if (!params.empty())
            ++m_parameter_calls[{operation, params[0]}];
        m_last_parameters[operation] = params;
        if (m_unplugged)
        {
            response = kRespSessionNotOpen;
            bent = true;
        }
        for (Fault& fault : m_faults)
        {
            if (bent || !fault_matches(fault, operation, params))
                continue;
            if (fault.kind == Fault::Kind::kLatency)
            {
                latency += fault.latency_us;
                fault_spend(fault);
            }
            else if (fault.kind == Fault::Kind::kResponse)
            {
                response = fault.response;
                bent = true;
                fault_spend(fault);
            }
        }
    }
    if (latency)
        std::this_thread::sleep_for(std::chrono::microseconds(latency));
    if (!bent)
    {
        pass_gate(operation);
        auto handler = m_handlers.find(operation);
        bool exists;
        Operation vendor;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_operations.find(operation);
            if (it != m_operations.end())
                vendor = it->second;
            exists = (vendor || handler != m_handlers.end()) && (listed(operation) || (vendor && m_unlisted[operation]));
        }
        if (!exists)
            response = kRespOperationNotSupported;
        else if (vendor)
        {
            DataIn scratch;
            response = vendor(params, out, in ? *in : scratch);
        }
        else
        {
            DataIn scratch;
            response = (this->*(handler->second))(params, out, in ? *in : scratch);
        }
    }
    if (response == kRespOK && in)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        apply_data_faults_locked(operation, params, *in);
        // What really left the camera: the last byte of an object read once.
        if (in->is_content() && in->end() == in->object_size())
            m_read_whole[in->handle()] = true;
    }

    m_active_operation.store(0, std::memory_order_release);
    m_active.fetch_sub(1, std::memory_order_acq_rel);
    return response;
}

// --- the generic operations ------------------------------------------------------------------------

uint16_t Camera::op_get_deviceinfo(const std::vector<uint32_t>&, const Bytes*, DataIn& in)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    in.replace(encode_deviceinfo(m_info).bytes);
    return kRespOK;
}

uint16_t Camera::op_get_storage_ids(const std::vector<uint32_t>&, const Bytes*, DataIn& in)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    in.replace(Encoder().u32_array(m_storages).take());
    return kRespOK;
}

uint16_t Camera::op_get_objectinfo(const std::vector<uint32_t>& p, const Bytes*, DataIn& in)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = p.empty() ? m_objects.end() : m_objects.find(p[0]);
    if (it == m_objects.end())
        return kRespInvalidObjectHandle;
    in.replace(encode_objectinfo(it->second.info).bytes);
    return kRespOK;
}

uint16_t Camera::op_get_object(const std::vector<uint32_t>& p, const Bytes*, DataIn& in)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = p.empty() ? m_objects.end() : m_objects.find(p[0]);
    if (it == m_objects.end())
        return kRespInvalidObjectHandle;
    in.content(it->second, 0, it->second.served);
    return kRespOK;
}

uint16_t Camera::op_get_partial_object(const std::vector<uint32_t>& p, const Bytes*, DataIn& in)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (p.size() < 3)
        return kRespInvalidParameter;
    auto it = m_objects.find(p[0]);
    if (it == m_objects.end())
        return kRespInvalidObjectHandle;
    const Object& object = it->second;
    uint64_t offset = p[1];
    uint64_t asked = p[2];
    if (asked > kMaxPartialChunk)
        violation_locked("GetPartialObject chunk of " + std::to_string(asked) + " bytes exceeds 30 MiB");
    // A download walks the object from 0 in chunks that follow each other.
    auto next = m_partial_next.find(object.handle);
    if (offset != 0 && (next == m_partial_next.end() || next->second != offset))
        violation_locked("GetPartialObject offset " + std::to_string(offset) + " does not follow the previous chunk");
    if (offset > object.served)
        return kRespInvalidParameter;
    uint64_t n = std::min(asked, object.served - offset);
    if (m_partial_limit)
        n = std::min(n, m_partial_limit);
    m_partial_next[object.handle] = offset + n;
    in.content(object, offset, n);
    return kRespOK;
}

uint16_t Camera::op_delete_object(const std::vector<uint32_t>& p, const Bytes*, DataIn&)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = p.empty() ? m_objects.end() : m_objects.find(p[0]);
    if (it == m_objects.end())
        return kRespInvalidObjectHandle;
    if (m_require_read_before_delete && !m_read_whole[it->first])
        violation_locked("DeleteObject of object " + std::to_string(it->first) + " before it was read whole");
    m_deleted.push_back(it->first);
    m_partial_next.erase(it->first);
    m_read_whole.erase(it->first);
    m_objects.erase(it);
    return kRespOK;
}

uint16_t Camera::op_initiate_capture(const std::vector<uint32_t>&, const Bytes*, DataIn&)
{
    std::vector<ObjectInfo> shots;
    uint64_t size;
    uint64_t delay;
    uint32_t storage;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        shots = m_capture_objects;
        size = m_capture_size;
        delay = m_capture_delay_us;
        storage = m_storages.empty() ? 0 : m_storages[0];
    }
    std::vector<uint32_t> added;
    for (ObjectInfo info : shots)
    {
        info.storage_id = storage;
        added.push_back(add_object(info, size, info.format == kFormatJpeg ? Content::kJpeg : Content::kPattern));
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (uint32_t handle : added)
        queue_event_locked(kEvObjectAdded, {handle}, delay);
    queue_event_locked(kEvCaptureComplete, {}, delay);
    return kRespOK;
}

uint16_t Camera::op_format_store(const std::vector<uint32_t>& p, const Bytes*, DataIn&)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (p.empty() || std::find(m_storages.begin(), m_storages.end(), p[0]) == m_storages.end())
        return kRespInvalidStorageID;
    if ((p[0] & 0xFFFF) == 0)
        return kRespStoreNotAvailable;
    for (auto it = m_objects.begin(); it != m_objects.end();)
        it = it->second.info.storage_id == p[0] ? m_objects.erase(it) : std::next(it);
    return kRespOK;
}

uint16_t Camera::op_get_devicepropdesc(const std::vector<uint32_t>& p, const Bytes*, DataIn& in)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = p.empty() ? m_properties.end() : m_properties.find(static_cast<uint16_t>(p[0]));
    if (it == m_properties.end())
        return kRespDevicePropNotSupported;
    DevicePropDesc desc = it->second;
    if (desc.code == kPropDateTime)
        desc.current = clock_value();
    in.replace(encode_devicepropdesc(desc).bytes);
    return kRespOK;
}

uint16_t Camera::op_get_devicepropvalue(const std::vector<uint32_t>& p, const Bytes*, DataIn& in)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = p.empty() ? m_properties.end() : m_properties.find(static_cast<uint16_t>(p[0]));
    if (it == m_properties.end())
        return kRespDevicePropNotSupported;
    Value value = it->second.code == kPropDateTime ? clock_value() : it->second.current;
    in.replace(Encoder().value(it->second.datatype, value).take());
    return kRespOK;
}

uint16_t Camera::op_set_devicepropvalue(const std::vector<uint32_t>& p, const Bytes* out, DataIn&)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = p.empty() ? m_properties.end() : m_properties.find(static_cast<uint16_t>(p[0]));
    if (it == m_properties.end())
        return kRespDevicePropNotSupported;
    DevicePropDesc& desc = it->second;
    Value value;
    if (!out || !decode_value(desc.datatype, *out, value))
    {
        violation_locked("SetDevicePropValue " + hex16(desc.code) + " data does not hold exactly one value");
        return kRespInvalidDevicePropFormat;
    }
    if (desc.getset == 0)
        return kRespAccessDenied;
    if (desc.code == kPropDateTime)
    {
        int64_t seconds = 0;
        if (!parse_datetime(value.text, seconds))
            return kRespInvalidDevicePropValue;
        m_clock_offset_us = seconds * 1000000 - orvo::time_get_wallclock();
        m_datetime_writes.push_back(value.text);
    }
    else
    {
        if (!value_allowed(desc, value))
            return kRespInvalidDevicePropValue;
        desc.current = value;
    }
    if (m_announce_changes)
        queue_event_locked(kEvDevicePropChanged, {desc.code}, 0);
    return kRespOK;
}

uint16_t Camera::op_get_object_props_supported(const std::vector<uint32_t>& p, const Bytes*, DataIn& in)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint16_t> codes;
    if (!p.empty())
    {
        auto it = m_object_properties.find(static_cast<uint16_t>(p[0]));
        if (it != m_object_properties.end())
            codes = it->second;
    }
    in.replace(Encoder().u16_array(codes).take());
    return kRespOK;
}

// --- transport callbacks ---------------------------------------------------------------------------

orvo::mtp_response_t execute(orvo::mtp_protocol_t, orvo::mtp_command_t operation, const orvo::u32* parameters,
                             orvo::u32 count, void* user)
{
    Camera* camera = static_cast<Camera*>(user);
    return static_cast<orvo::mtp_response_t>(
        camera->transact(static_cast<uint16_t>(operation), parameters, count, nullptr, nullptr));
}

orvo::mtp_response_t read(orvo::mtp_protocol_t, orvo::mtp_command_t operation, const orvo::u32* parameters,
                          orvo::u32 count, orvo::mtp_buffer_t& buffer, void* user)
{
    Camera* camera = static_cast<Camera*>(user);
    DataIn in;
    uint16_t response = camera->transact(static_cast<uint16_t>(operation), parameters, count, nullptr, &in);
    if (response != kRespOK)
        return static_cast<orvo::mtp_response_t>(response);
    uint64_t packet = 0, rate = 0;
    camera->usb_transfer(packet, rate);
    bool delivered = false;
    if (packet && in.is_content())
    {
        const auto start = std::chrono::steady_clock::now();
        delivered = in.deliver_in_packets(buffer, packet,
                                          [&](uint64_t done)
                                          {
                                              if (rate)
                                                  std::this_thread::sleep_until(
                                                      start + std::chrono::duration<double>(double(done) / double(rate)));
                                          });
    }
    else
        delivered = in.deliver(buffer);
    return static_cast<orvo::mtp_response_t>(delivered ? response : static_cast<uint16_t>(kRespGeneralError));
}

orvo::mtp_response_t write(orvo::mtp_protocol_t, orvo::mtp_command_t operation, const orvo::u32* parameters,
                           orvo::u32 count, const orvo::mtp_buffer_t& buffer, void* user)
{
    Camera* camera = static_cast<Camera*>(user);
    Bytes out(buffer.data, buffer.data + (buffer.data ? buffer.length : 0));
    return static_cast<orvo::mtp_response_t>(
        camera->transact(static_cast<uint16_t>(operation), parameters, count, &out, nullptr));
}
} // namespace ptpsim
