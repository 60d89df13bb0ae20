// The responder on the wire: containers in, containers out, through the
// loopback backend. See ptpsim_usb.h.
#include "support/ptpsim/ptpsim_usb.h"

#include "orvo/camera/src/mic/camera_mic_loopback.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace ptpsim
{
namespace
{
const uint16_t kOpOpenSession = 0x1002;
const uint16_t kOpCloseSession = 0x1003;
const uint16_t kRespSessionAlreadyOpen = 0x201E;
const uint16_t kRespDeviceBusy = 0x2019;
const uint8_t kBulkIn = 0x81;
const uint8_t kBulkOut = 0x02;
const uint8_t kInterruptIn = 0x83;

// Operations whose data phase goes from the host to the camera.
bool has_data_out(uint16_t operation)
{
    return operation == 0x1016 || operation == 0x100C || operation == 0x100D || operation == 0x9110;
}

// Operations that answer with a data phase even when it is empty.
bool has_data_in(uint16_t operation)
{
    switch (operation)
    {
    case kOpGetDeviceInfo:
    case kOpGetStorageIDs:
    case 0x1005: // GetStorageInfo
    case 0x1007: // GetObjectHandles
    case kOpGetObjectInfo:
    case kOpGetObject:
    case kOpGetDevicePropDesc:
    case kOpGetDevicePropValue:
    case kOpGetPartialObject:
    case kOpGetObjectPropsSupported:
        return true;
    default:
        return false;
    }
}

uint32_t get32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put_header(uint8_t* out, uint32_t length, uint16_t type, uint16_t code, uint32_t transaction)
{
    for (int i = 0; i < 4; ++i)
        out[i] = uint8_t(length >> (8 * i));
    out[4] = uint8_t(type);
    out[5] = uint8_t(type >> 8);
    out[6] = uint8_t(code);
    out[7] = uint8_t(code >> 8);
    for (int i = 0; i < 4; ++i)
        out[8 + i] = uint8_t(transaction >> (8 * i));
}
} // namespace

UsbCamera::UsbCamera(Camera& camera, orvo::mic_backend_t& backend, const UsbOptions& options)
    : m_camera(camera), m_backend(backend), m_options(options)
{
    m_info = orvo::mic_usbinfo_t();
    m_info.vendor_id = 0x1d6b;
    m_info.product_id = 0x0106;
    m_info.interface_number = 0;
    m_info.bulk_in = kBulkIn;
    m_info.bulk_out = kBulkOut;
    m_info.interrupt_in = kInterruptIn;
    m_info.bulk_packet_size = options.bulk_packet;
    m_info.interrupt_packet_size = options.interrupt_packet;
    m_info.manufacturer = options.manufacturer;
    m_info.product = options.product;
    m_info.serial = options.serial;
    m_session_open = options.session_open;
    orvo::mic_loopback_device_hooks_t hooks;
    hooks.bulk_out = [this](const uint8_t* data, uint64_t length) { on_bulk_out(data, length); };
    hooks.control = [this](uint8_t type, uint8_t request, uint16_t, uint8_t* data, uint16_t length, uint64_t& done) {
        return on_control(type, request, data, length, done);
    };
    m_id = orvo::mic_loopback_attach(backend, m_info, hooks);
    m_info.id = m_id;
    m_camera.attach_sink([this](uint16_t code, const std::vector<uint32_t>& parameters) { on_event(code, parameters); });
}

UsbCamera::~UsbCamera()
{
    m_camera.detach();
    unplug();
}

orvo::mic_usbinfo_t UsbCamera::info() const
{
    return m_info;
}

void UsbCamera::add_fault(const UsbFault& fault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.push_back(fault);
}

void UsbCamera::unplug()
{
    orvo::mic_loopback_detach(m_backend, m_id);
}

void UsbCamera::set_busy(bool busy)
{
    orvo::mic_loopback_set_busy(m_backend, m_id, busy);
}

void UsbCamera::drain_events()
{
    m_camera.drain_events();
    orvo::mic_loopback_wait_interrupts(m_backend, m_id, 5000);
}

std::vector<UsbCamera::Command> UsbCamera::commands()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commands;
}

Bytes UsbCamera::last_data_out()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_last_out;
}

bool UsbCamera::session_open()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_session_open;
}

int UsbCamera::cancels()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cancels;
}

int UsbCamera::status_requests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_status_requests;
}

int UsbCamera::resets()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_resets;
}

std::vector<std::string> UsbCamera::violations()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_violations;
}

bool UsbCamera::take_fault(uint16_t operation, UsbFault& fault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (UsbFault& f : m_faults)
    {
        bool session = operation == kOpOpenSession || operation == kOpCloseSession;
        if (f.remaining == 0 || (f.operation ? f.operation != operation : session))
            continue;
        if (f.remaining > 0)
            --f.remaining;
        fault = f;
        return true;
    }
    return false;
}

// --- bulk-out: containers in ------------------------------------------------------

void UsbCamera::on_bulk_out(const uint8_t* data, uint64_t length)
{
    std::vector<std::pair<Command, std::unique_ptr<Bytes>>> ready;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stream.insert(m_stream.end(), data, data + length);
        while (m_stream.size() >= 12)
        {
            uint32_t size = get32(m_stream.data());
            uint16_t type = uint16_t(m_stream[4] | m_stream[5] << 8);
            uint16_t code = uint16_t(m_stream[6] | m_stream[7] << 8);
            uint32_t transaction = get32(m_stream.data() + 8);
            if (size < 12)
            {
                m_violations.push_back("container length below 12: " + std::to_string(size));
                m_stream.clear();
                break;
            }
            if (m_stream.size() < size)
                break;
            if (type == 1)
            {
                if (size > 12 + 4 * 5 || (size - 12) % 4)
                    m_violations.push_back("command container of " + std::to_string(size) + " bytes");
                Command command;
                command.operation = code;
                command.transaction = transaction;
                for (uint32_t i = 12; i + 4 <= size; i += 4)
                    command.parameters.push_back(get32(m_stream.data() + i));
                // Ids count up by one within a session; OpenSession carries 0.
                if (code == kOpOpenSession)
                {
                    if (transaction != 0)
                        m_violations.push_back("OpenSession with transaction " + std::to_string(transaction));
                }
                else if (m_have_last && transaction != m_last_transaction + 1)
                    m_violations.push_back("transaction " + std::to_string(transaction) + " after " +
                                           std::to_string(m_last_transaction));
                m_have_last = true;
                m_last_transaction = transaction;
                m_commands.push_back(command);
                if (m_have_pending)
                    m_violations.push_back("command before the data of the previous one");
                if (has_data_out(code))
                {
                    m_pending = command;
                    m_have_pending = true;
                }
                else
                    ready.emplace_back(command, nullptr);
            }
            else if (type == 2)
            {
                if (!m_have_pending || m_pending.transaction != transaction)
                    m_violations.push_back("data container without its command");
                else
                {
                    m_have_pending = false;
                    m_last_out.assign(m_stream.begin() + 12, m_stream.begin() + size);
                    ready.emplace_back(m_pending, std::make_unique<Bytes>(m_last_out));
                }
            }
            else
                m_violations.push_back("container of type " + std::to_string(type) + " on bulk-out");
            m_stream.erase(m_stream.begin(), m_stream.begin() + size);
        }
    }
    for (auto& entry : ready)
        run(entry.first, entry.second.get());
}

// --- one transaction -----------------------------------------------------------------

void UsbCamera::run(const Command& command, const Bytes* out)
{
    UsbFault fault;
    bool bent = take_fault(command.operation, fault);
    if (bent && fault.kind == UsbFault::Kind::kStall)
    {
        orvo::mic_loopback_stall(m_backend, m_id, kBulkIn);
        return;
    }
    if (bent && fault.kind == UsbFault::Kind::kNoAnswer)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_busy_polls = fault.value;
        return;
    }

    uint16_t response;
    auto in = std::make_shared<DataIn>();
    bool session_open;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        session_open = m_session_open;
        if (command.operation == kOpOpenSession)
            m_session_open = true;
        if (command.operation == kOpCloseSession)
            m_session_open = false;
    }
    if (command.operation == kOpOpenSession)
        response = session_open ? kRespSessionAlreadyOpen : uint16_t(kRespOK);
    else if (command.operation == kOpCloseSession)
        response = uint16_t(session_open ? kRespOK : kRespSessionNotOpen);
    else if (!session_open)
        response = kRespSessionNotOpen;
    else
        response = m_camera.transact(command.operation, command.parameters.data(),
                                     uint32_t(command.parameters.size()), out, in.get());

    uint32_t transaction = command.transaction;
    bool data = response == kRespOK && (in->size() > 0 || has_data_in(command.operation));
    if (data && !(bent && fault.kind == UsbFault::Kind::kResponseForData))
    {
        uint64_t size = in->size();
        uint64_t length = 12 + size;
        uint64_t extra = 0;
        uint64_t detach_at = ~0ull;
        uint32_t data_transaction = transaction;
        uint64_t sent = length;
        if (bent)
        {
            switch (fault.kind)
            {
            case UsbFault::Kind::kDataLength:
                length = fault.value;
                break;
            case UsbFault::Kind::kTruncateData:
                sent = std::min<uint64_t>(sent, fault.value);
                break;
            case UsbFault::Kind::kOverlongData:
                extra = fault.value;
                break;
            case UsbFault::Kind::kDataTransaction:
                data_transaction += uint32_t(fault.value);
                break;
            case UsbFault::Kind::kUnplugInData:
                detach_at = fault.value;
                break;
            default:
                break;
            }
        }
        send_container(2, command.operation, data_transaction, length, in, sent >= 12 ? std::min(size, sent - 12) : 0,
                       extra, detach_at);
        if (sent < 12)
            return; // nothing sensible follows a cut header
        if (bent && fault.kind == UsbFault::Kind::kNoResponse)
            return;
    }
    uint64_t response_length = 12;
    if (bent && fault.kind == UsbFault::Kind::kResponseLength)
        response_length = fault.value;
    if (bent && fault.kind == UsbFault::Kind::kResponseTransaction)
        transaction += uint32_t(fault.value);
    send_response(response, transaction, response_length);
}

void UsbCamera::send_container(uint16_t type, uint16_t code, uint32_t transaction, uint64_t length_field,
                               std::shared_ptr<DataIn> payload, uint64_t payload_size, uint64_t extra,
                               uint64_t detach_at)
{
    auto header = std::make_shared<std::array<uint8_t, 12>>();
    put_header(header->data(), uint32_t(length_field), type, code, transaction);
    uint64_t header_size = payload_size == 0 && length_field < 12 ? std::min<uint64_t>(12, length_field) : 12;
    orvo::mic_loopback_source_t source;
    source.length = header_size + payload_size + extra;
    source.zlp = m_options.zlp;
    source.detach_at = detach_at;
    source.fill = [header, payload, header_size, payload_size](uint64_t offset, uint8_t* out, uint64_t n) {
        while (n > 0)
        {
            uint64_t take;
            if (offset < header_size)
            {
                take = std::min(n, header_size - offset);
                std::memcpy(out, header->data() + offset, take);
            }
            else if (offset < header_size + payload_size)
            {
                take = std::min(n, header_size + payload_size - offset);
                payload->read(offset - header_size, out, size_t(take));
            }
            else
            {
                take = n;
                std::memset(out, 0xEE, take);
            }
            out += take;
            offset += take;
            n -= take;
        }
    };
    orvo::mic_loopback_send(m_backend, m_id, source);
}

void UsbCamera::send_response(uint16_t code, uint32_t transaction, uint64_t length_field)
{
    auto bytes = std::make_shared<Bytes>(std::max<uint64_t>(12, std::min<uint64_t>(length_field, 64)), 0);
    put_header(bytes->data(), uint32_t(length_field), 3, code, transaction);
    orvo::mic_loopback_source_t source;
    // A length field that claims more than 12 bytes gets that many bytes (a
    // longer container); one below 12 still sends the header.
    source.length = bytes->size();
    source.zlp = m_options.zlp;
    source.fill = [bytes](uint64_t offset, uint8_t* out, uint64_t n) { std::memcpy(out, bytes->data() + offset, n); };
    orvo::mic_loopback_send(m_backend, m_id, source);
}

// --- class requests and events --------------------------------------------------------

orvo::mic_status_t UsbCamera::on_control(uint8_t type, uint8_t request, uint8_t* data, uint16_t length,
                                         uint64_t& done)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    done = 0;
    if (request == 0x64 && type == 0x21 && length == 6)
    {
        ++m_cancels;
        m_have_pending = false;
        m_stream.clear();
        orvo::mic_loopback_flush(m_backend, m_id);
        done = 6;
        return orvo::MIC_STATUS_OK;
    }
    if (request == 0x67 && type == 0xA1 && length >= 4)
    {
        ++m_status_requests;
        uint16_t code = kRespOK;
        if (m_busy_polls > 0)
        {
            --m_busy_polls;
            code = kRespDeviceBusy;
        }
        data[0] = 4;
        data[1] = 0;
        data[2] = uint8_t(code);
        data[3] = uint8_t(code >> 8);
        done = 4;
        return orvo::MIC_STATUS_OK;
    }
    if (request == 0x66 && type == 0x21)
    {
        ++m_resets;
        m_have_pending = false;
        m_stream.clear();
        orvo::mic_loopback_flush(m_backend, m_id);
        return orvo::MIC_STATUS_OK;
    }
    return orvo::MIC_STATUS_STALL;
}

void UsbCamera::on_event(uint16_t code, const std::vector<uint32_t>& parameters)
{
    Bytes bytes(12 + 4 * parameters.size());
    put_header(bytes.data(), uint32_t(bytes.size()), 4, code, 0);
    for (size_t i = 0; i < parameters.size(); ++i)
        for (int b = 0; b < 4; ++b)
            bytes[12 + 4 * i + b] = uint8_t(parameters[i] >> (8 * b));
    orvo::mic_loopback_interrupt(m_backend, m_id, bytes.data(), bytes.size());
}
} // namespace ptpsim
