// The USB seam under the camera layer: a backend finds still-image devices
// (interface class 6, subclass 1, protocol 1 with bulk-in, bulk-out and
// interrupt-in endpoints), opens them and carries bulk, control and interrupt
// transfers. Two backends fill this record: libusb-1.0 for real cameras and
// the loopback one whose virtual devices tests attach. The transport above
// never knows which one it talks to.
#pragma once

#include "orvo/core/core_types.h"

#include <string>
#include <vector>

namespace orvo
{
enum mic_status_t : u32
{
    MIC_STATUS_OK = 0,
    MIC_STATUS_TIMEOUT,   // nothing (or not all) arrived within the limit
    MIC_STATUS_STALL,     // the endpoint is halted until cleared
    MIC_STATUS_NO_DEVICE, // the device is gone
    MIC_STATUS_BUSY,      // another program holds the interface
    MIC_STATUS_ACCESS,    // no permission to open the device
    MIC_STATUS_OVERFLOW,  // the device sent more than the buffer holds
    MIC_STATUS_ERROR,     // any other failure
};

const char* mic_status_to_cstr(u32 status);

// One still-image interface of an attached device.
struct mic_usbinfo_t
{
    u64 id; // unique while the device stays attached (bus and address)
    u16 vendor_id;
    u16 product_id;
    u8 bus;
    u8 address;
    u8 interface_number;
    u8 bulk_in;      // endpoint addresses
    u8 bulk_out;
    u8 interrupt_in;
    u16 bulk_packet_size; // wMaxPacketSize of the bulk endpoints
    u16 interrupt_packet_size;
    std::string manufacturer; // the device's strings; empty when unreadable
    std::string product;
    std::string serial;
};

// The name a device is shown and logged under: its product string, else the
// vendor and product ids.
std::string mic_usbinfo_name(const mic_usbinfo_t& info);

// One packet (or several bytes of one interrupt transfer) from the interrupt
// endpoint, or the status that ended the stream (length 0 then).
typedef void (*mic_interrupt_callback_t)(const u8* bytes, u64 length, mic_status_t status, void* user);

// The backend's hooks; `user` is the backend's own state, `handle` an opened
// device. Every transfer ends by its timeout (milliseconds, never 0).
struct mic_backend_t
{
    // The still-image devices attached now.
    bool (*list)(void* user, std::vector<mic_usbinfo_t>& devices);
    // A count that moves whenever a device arrives or leaves; only meaningful
    // when `hotplug` is set (otherwise the browser lists every 2 seconds).
    u64 (*changes)(void* user);
    // Opens the device and claims its still-image interface.
    mic_status_t (*open)(void* user, const mic_usbinfo_t& device, void** handle);
    void (*close)(void* user, void* handle);
    // `transferred` tells what went or came even when the status is not OK. A
    // bulk read ends at a short (or zero-length) packet or when `capacity`
    // bytes arrived; capacity is a multiple of the packet size.
    mic_status_t (*bulk_out)(void* handle, const u8* data, u64 length, u32 timeout_ms, u64& transferred);
    mic_status_t (*bulk_in)(void* handle, u8* data, u64 capacity, u32 timeout_ms, u64& transferred);
    // A class request to the still-image interface (its number is the index).
    mic_status_t (*control)(void* handle, u8 request_type, u8 request, u16 value, u8* data, u16 length,
                            u32 timeout_ms, u64& transferred);
    mic_status_t (*clear_halt)(void* handle, u8 endpoint);
    // Delivers interrupt packets to the callback on the backend's one event
    // thread until stopped or the device goes.
    bool (*start_interrupt)(void* handle, mic_interrupt_callback_t callback, void* callback_user);
    // Cancels the interrupt transfer and returns once the callback can no
    // longer run.
    void (*stop_interrupt)(void* handle);
    // Frees the backend's state; every device must be closed before.
    void (*release)(void* user);
    void* user;
    bool hotplug;
    const char* name; // "libusb" or "loopback"
};

// Releases the backend through its hook and zeroes the record; safe twice.
void mic_backend_release(mic_backend_t& backend);
} // namespace orvo
