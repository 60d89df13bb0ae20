// libusb-1.0 behind the backend hooks. Bulk and control transfers use the
// synchronous calls on the caller's thread; the interrupt endpoint runs as an
// asynchronous transfer of one packet, resubmitted from its completion on the
// backend's event thread until it is cancelled or the device goes. Device
// strings are read once per attachment and kept.
#include "orvo/camera/src/mic/camera_mic_libusb.h"

#include "orvo/core/core_log.h"

#include <libusb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace orvo
{
namespace
{
// How long the event thread blocks in libusb before looking at its stop flag.
const int kEventWaitMs = 500;
// How long closing waits for a cancelled interrupt transfer to come back.
const auto kCancelWait = std::chrono::seconds(2);

struct Libusb
{
    libusb_context* context = nullptr;
    libusb_hotplug_callback_handle hotplug = 0;
    bool has_hotplug = false;
    std::atomic<u64> changes{0};
    std::atomic<bool> stop{false};
    std::thread events;
    std::mutex strings_mutex;
    std::map<u64, mic_usbinfo_t> known; // strings read per attachment
};

struct Handle
{
    Libusb* usb;
    libusb_device_handle* device;
    mic_usbinfo_t info;
    // The interrupt transfer.
    std::mutex mutex;
    std::condition_variable ended;
    libusb_transfer* transfer = nullptr;
    std::vector<u8> packet;
    bool running = false;
    bool stopping = false;
    mic_interrupt_callback_t callback = nullptr;
    void* callback_user = nullptr;
};

mic_status_t status_of(int error)
{
    switch (error)
    {
    case LIBUSB_SUCCESS:
        return MIC_STATUS_OK;
    case LIBUSB_ERROR_TIMEOUT:
        return MIC_STATUS_TIMEOUT;
    case LIBUSB_ERROR_PIPE:
        return MIC_STATUS_STALL;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
        return MIC_STATUS_NO_DEVICE;
    case LIBUSB_ERROR_BUSY:
        return MIC_STATUS_BUSY;
    case LIBUSB_ERROR_ACCESS:
        return MIC_STATUS_ACCESS;
    case LIBUSB_ERROR_OVERFLOW:
        return MIC_STATUS_OVERFLOW;
    default:
        return MIC_STATUS_ERROR;
    }
}

u64 device_id(libusb_device* device)
{
    return (static_cast<u64>(libusb_get_bus_number(device)) << 8) | libusb_get_device_address(device);
}

// The first still-image interface with its three endpoints.
bool find_interface(libusb_device* device, mic_usbinfo_t& info)
{
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS)
        return false;
    bool found = false;
    for (int i = 0; i < config->bNumInterfaces && !found; ++i)
    {
        const libusb_interface& interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting && !found; ++a)
        {
            const libusb_interface_descriptor& d = interface.altsetting[a];
            if (d.bInterfaceClass != LIBUSB_CLASS_IMAGE || d.bInterfaceSubClass != 1 || d.bInterfaceProtocol != 1)
                continue;
            u8 bulk_in = 0, bulk_out = 0, interrupt_in = 0;
            u16 bulk_packet = 0, interrupt_packet = 0;
            for (int e = 0; e < d.bNumEndpoints; ++e)
            {
                const libusb_endpoint_descriptor& ep = d.endpoint[e];
                int kind = ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
                bool in = (ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
                if (kind == LIBUSB_TRANSFER_TYPE_BULK && in && !bulk_in)
                {
                    bulk_in = ep.bEndpointAddress;
                    bulk_packet = ep.wMaxPacketSize & 0x7FF;
                }
                else if (kind == LIBUSB_TRANSFER_TYPE_BULK && !in && !bulk_out)
                    bulk_out = ep.bEndpointAddress;
                else if (kind == LIBUSB_TRANSFER_TYPE_INTERRUPT && in && !interrupt_in)
                {
                    interrupt_in = ep.bEndpointAddress;
                    interrupt_packet = ep.wMaxPacketSize & 0x7FF;
                }
            }
            if (!bulk_in || !bulk_out || !interrupt_in)
                continue;
            info.interface_number = d.bInterfaceNumber;
            info.bulk_in = bulk_in;
            info.bulk_out = bulk_out;
            info.interrupt_in = interrupt_in;
            info.bulk_packet_size = bulk_packet ? bulk_packet : 512;
            info.interrupt_packet_size = interrupt_packet ? interrupt_packet : 64;
            found = true;
        }
    }
    libusb_free_config_descriptor(config);
    return found;
}

std::string read_string(libusb_device_handle* handle, u8 index)
{
    if (!index)
        return std::string();
    unsigned char text[256];
    int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof(text));
    return n > 0 ? std::string(reinterpret_cast<char*>(text), static_cast<size_t>(n)) : std::string();
}

int LIBUSB_CALL on_hotplug(libusb_context*, libusb_device*, libusb_hotplug_event, void* user)
{
    // Only note it: libusb allows no device calls inside this callback.
    static_cast<Libusb*>(user)->changes.fetch_add(1);
    return 0;
}

void event_thread(Libusb* usb)
{
    while (!usb->stop.load())
    {
        timeval wait = {0, kEventWaitMs * 1000};
        libusb_handle_events_timeout_completed(usb->context, &wait, nullptr);
    }
}

bool list(void* user, std::vector<mic_usbinfo_t>& out)
{
    Libusb& usb = *static_cast<Libusb*>(user);
    out.clear();
    libusb_device** devices = nullptr;
    ssize_t count = libusb_get_device_list(usb.context, &devices);
    if (count < 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to list USB devices: %s",
                   libusb_strerror(static_cast<int>(count)));
        return false;
    }
    std::lock_guard<std::mutex> lock(usb.strings_mutex);
    std::map<u64, mic_usbinfo_t> seen;
    for (ssize_t i = 0; i < count; ++i)
    {
        libusb_device* device = devices[i];
        u64 id = device_id(device);
        auto known = usb.known.find(id);
        if (known != usb.known.end())
        {
            seen[id] = known->second;
            out.push_back(known->second);
            continue;
        }
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS)
            continue;
        mic_usbinfo_t info = mic_usbinfo_t();
        if (!find_interface(device, info))
            continue;
        info.id = id;
        info.vendor_id = descriptor.idVendor;
        info.product_id = descriptor.idProduct;
        info.bus = libusb_get_bus_number(device);
        info.address = libusb_get_device_address(device);
        libusb_device_handle* handle = nullptr;
        int error = libusb_open(device, &handle);
        if (error == LIBUSB_SUCCESS)
        {
            info.manufacturer = read_string(handle, descriptor.iManufacturer);
            info.product = read_string(handle, descriptor.iProduct);
            info.serial = read_string(handle, descriptor.iSerialNumber);
            libusb_close(handle);
        }
        else
            log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA,
                       "Cannot read the names of USB camera %04x:%04x: %s (is the udev rule installed?)",
                       info.vendor_id, info.product_id, libusb_strerror(error));
        seen[id] = info;
        out.push_back(info);
    }
    usb.known.swap(seen);
    libusb_free_device_list(devices, 1);
    return true;
}

u64 changes(void* user)
{
    return static_cast<Libusb*>(user)->changes.load();
}

mic_status_t open(void* user, const mic_usbinfo_t& info, void** result)
{
    Libusb& usb = *static_cast<Libusb*>(user);
    libusb_device** devices = nullptr;
    ssize_t count = libusb_get_device_list(usb.context, &devices);
    if (count < 0)
        return MIC_STATUS_ERROR;
    libusb_device* device = nullptr;
    for (ssize_t i = 0; i < count && !device; ++i)
        if (device_id(devices[i]) == info.id)
            device = devices[i];
    libusb_device_handle* handle = nullptr;
    int error = device ? libusb_open(device, &handle) : LIBUSB_ERROR_NO_DEVICE;
    libusb_free_device_list(devices, 1);
    if (error != LIBUSB_SUCCESS)
        return status_of(error);
    error = libusb_claim_interface(handle, info.interface_number);
    if (error != LIBUSB_SUCCESS)
    {
        libusb_close(handle);
        return status_of(error);
    }
    Handle* h = new (std::nothrow) Handle;
    if (!h)
    {
        libusb_release_interface(handle, info.interface_number);
        libusb_close(handle);
        return MIC_STATUS_ERROR;
    }
    h->usb = &usb;
    h->device = handle;
    h->info = info;
    *result = h;
    return MIC_STATUS_OK;
}

void stop_interrupt(void* handle);

void close(void*, void* handle)
{
    Handle* h = static_cast<Handle*>(handle);
    stop_interrupt(h);
    libusb_release_interface(h->device, h->info.interface_number);
    libusb_close(h->device);
    std::unique_lock<std::mutex> lock(h->mutex);
    if (h->running)
    {
        // The transfer never came back: leave the record to it rather than
        // free memory that libusb may still write.
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "USB event transfer did not end, leaking it");
        return;
    }
    lock.unlock();
    delete h;
}

int clamp_length(u64 length)
{
    return length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
}

mic_status_t bulk_out(void* handle, const u8* data, u64 length, u32 timeout_ms, u64& transferred)
{
    Handle* h = static_cast<Handle*>(handle);
    int done = 0;
    int error = libusb_bulk_transfer(h->device, h->info.bulk_out, const_cast<u8*>(data), clamp_length(length), &done,
                                     timeout_ms);
    transferred = done > 0 ? static_cast<u64>(done) : 0;
    return status_of(error);
}

mic_status_t bulk_in(void* handle, u8* data, u64 capacity, u32 timeout_ms, u64& transferred)
{
    Handle* h = static_cast<Handle*>(handle);
    int done = 0;
    int error = libusb_bulk_transfer(h->device, h->info.bulk_in, data, clamp_length(capacity), &done, timeout_ms);
    transferred = done > 0 ? static_cast<u64>(done) : 0;
    return status_of(error);
}

mic_status_t control(void* handle, u8 request_type, u8 request, u16 value, u8* data, u16 length, u32 timeout_ms,
                     u64& transferred)
{
    Handle* h = static_cast<Handle*>(handle);
    int n = libusb_control_transfer(h->device, request_type, request, value, h->info.interface_number, data, length,
                                    timeout_ms);
    transferred = n > 0 ? static_cast<u64>(n) : 0;
    return n < 0 ? status_of(n) : MIC_STATUS_OK;
}

mic_status_t clear_halt(void* handle, u8 endpoint)
{
    return status_of(libusb_clear_halt(static_cast<Handle*>(handle)->device, endpoint));
}

void LIBUSB_CALL on_interrupt(libusb_transfer* transfer)
{
    Handle* h = static_cast<Handle*>(transfer->user_data);
    mic_status_t status = MIC_STATUS_OK;
    switch (transfer->status)
    {
    case LIBUSB_TRANSFER_COMPLETED:
    case LIBUSB_TRANSFER_TIMED_OUT:
        break;
    case LIBUSB_TRANSFER_NO_DEVICE:
        status = MIC_STATUS_NO_DEVICE;
        break;
    case LIBUSB_TRANSFER_CANCELLED:
        status = MIC_STATUS_ERROR;
        break;
    case LIBUSB_TRANSFER_STALL:
        status = MIC_STATUS_STALL;
        break;
    default:
        status = MIC_STATUS_ERROR;
        break;
    }
    bool stopping;
    {
        std::lock_guard<std::mutex> lock(h->mutex);
        stopping = h->stopping;
    }
    if (!stopping && transfer->status != LIBUSB_TRANSFER_CANCELLED)
        h->callback(transfer->buffer, status == MIC_STATUS_OK ? static_cast<u64>(transfer->actual_length) : 0,
                    status, h->callback_user);
    if (status == MIC_STATUS_STALL && !stopping)
        libusb_clear_halt(h->device, h->info.interrupt_in);
    bool again = !stopping && (status == MIC_STATUS_OK || status == MIC_STATUS_STALL) &&
                 libusb_submit_transfer(transfer) == LIBUSB_SUCCESS;
    if (!again)
    {
        std::lock_guard<std::mutex> lock(h->mutex);
        h->running = false;
        h->ended.notify_all();
    }
}

bool start_interrupt(void* handle, mic_interrupt_callback_t callback, void* user)
{
    Handle* h = static_cast<Handle*>(handle);
    std::lock_guard<std::mutex> lock(h->mutex);
    if (h->running)
        return false;
    if (!h->transfer)
        h->transfer = libusb_alloc_transfer(0);
    if (!h->transfer)
        return false;
    h->packet.assign(h->info.interrupt_packet_size ? h->info.interrupt_packet_size : 64, 0);
    h->callback = callback;
    h->callback_user = user;
    h->stopping = false;
    libusb_fill_interrupt_transfer(h->transfer, h->device, h->info.interrupt_in, h->packet.data(),
                                   static_cast<int>(h->packet.size()), on_interrupt, h, 0);
    if (libusb_submit_transfer(h->transfer) != LIBUSB_SUCCESS)
        return false;
    h->running = true;
    return true;
}

void stop_interrupt(void* handle)
{
    Handle* h = static_cast<Handle*>(handle);
    std::unique_lock<std::mutex> lock(h->mutex);
    if (h->running)
    {
        h->stopping = true;
        lock.unlock();
        libusb_cancel_transfer(h->transfer);
        lock.lock();
        if (!h->ended.wait_for(lock, kCancelWait, [h] { return !h->running; }))
            return; // logged by close, which keeps the record
    }
    if (h->transfer)
    {
        libusb_free_transfer(h->transfer);
        h->transfer = nullptr;
    }
}

void release(void* user)
{
    Libusb* usb = static_cast<Libusb*>(user);
    usb->stop.store(true);
    if (usb->has_hotplug)
        libusb_hotplug_deregister_callback(usb->context, usb->hotplug);
    libusb_interrupt_event_handler(usb->context);
    if (usb->events.joinable())
        usb->events.join();
    libusb_exit(usb->context);
    delete usb;
}
} // namespace

bool mic_libusb_initialise(mic_backend_t& backend)
{
    backend = mic_backend_t();
    Libusb* usb = new (std::nothrow) Libusb;
    if (!usb)
        return false;
    int error = libusb_init(&usb->context);
    if (error != LIBUSB_SUCCESS)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to initialise libusb: %s", libusb_strerror(error));
        delete usb;
        return false;
    }
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG))
    {
        error = libusb_hotplug_register_callback(
            usb->context,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            LIBUSB_HOTPLUG_MATCH_ANY, on_hotplug, usb, &usb->hotplug);
        usb->has_hotplug = error == LIBUSB_SUCCESS;
    }
    const libusb_version* version = libusb_get_version();
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "libusb %u.%u.%u initialised (%s)", version->major, version->minor,
               version->micro, usb->has_hotplug ? "hotplug" : "listing every 2 s");
    usb->events = std::thread(event_thread, usb);
    backend.list = list;
    backend.changes = changes;
    backend.open = open;
    backend.close = close;
    backend.bulk_out = bulk_out;
    backend.bulk_in = bulk_in;
    backend.control = control;
    backend.clear_halt = clear_halt;
    backend.start_interrupt = start_interrupt;
    backend.stop_interrupt = stop_interrupt;
    backend.release = release;
    backend.user = usb;
    backend.hotplug = usb->has_hotplug;
    backend.name = "libusb";
    return true;
}
} // namespace orvo
