// Virtual still-image devices behind the backend hooks. Bulk-in reads follow
// the bus's rules: packets of the endpoint's size are gathered until a short
// or zero-length packet or until the read is full; a transfer that ends on a
// packet boundary without a zero-length packet runs on into the next one.
#include "orvo/camera/src/mic/camera_mic_loopback.h"

#include "orvo/core/core_log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace orvo
{
namespace
{
struct Pending
{
    mic_loopback_source_t source;
    u64 offset = 0;
};

struct Device
{
    mic_usbinfo_t info;
    mic_loopback_device_hooks_t hooks;
    std::mutex mutex; // bulk state
    std::condition_variable changed;
    std::deque<Pending> in;
    bool stalled_in = false;
    bool stalled_out = false;
    bool detached = false;
    bool busy = false;
    bool opened = false;
    // Interrupt state, under the backend's mutex.
    std::deque<std::vector<u8>> interrupts;
    mic_interrupt_callback_t callback = nullptr;
    void* callback_user = nullptr;
    bool tell_gone = false;
};

struct Loopback
{
    std::mutex mutex; // the device table and every device's interrupt state
    std::condition_variable changed;
    std::map<u64, std::shared_ptr<Device>> devices;
    // Detached devices whose event callback has still to hear it.
    std::vector<std::shared_ptr<Device>> gone;
    u64 next_id = 1;
    std::atomic<u64> changes{0};
    Device* delivering = nullptr;
    bool stop = false;
    std::thread events;
};

// An opened device; keeps the device alive after it was detached.
struct Handle
{
    Loopback* loopback;
    std::shared_ptr<Device> device;
};

Loopback& loopback_of(mic_backend_t& backend)
{
    return *static_cast<Loopback*>(backend.user);
}

std::shared_ptr<Device> find(Loopback& loop, u64 id)
{
    std::lock_guard<std::mutex> lock(loop.mutex);
    auto it = loop.devices.find(id);
    return it == loop.devices.end() ? nullptr : it->second;
}

void event_thread(Loopback* loop)
{
    std::unique_lock<std::mutex> lock(loop->mutex);
    for (;;)
    {
        Device* ready = nullptr;
        std::shared_ptr<Device> keep;
        for (auto it = loop->gone.begin(); it != loop->gone.end() && !ready; ++it)
        {
            if ((*it)->callback)
            {
                keep = *it;
                ready = keep.get();
            }
        }
        loop->gone.erase(std::remove_if(loop->gone.begin(), loop->gone.end(),
                                        [&](const std::shared_ptr<Device>& d) { return !d->callback && d != keep; }),
                         loop->gone.end());
        for (auto& entry : loop->devices)
        {
            Device& device = *entry.second;
            if (!ready && device.callback && !device.interrupts.empty())
                ready = &device;
        }
        if (!ready)
        {
            if (loop->stop)
                return;
            loop->changed.wait(lock);
            continue;
        }
        mic_interrupt_callback_t callback = ready->callback;
        void* user = ready->callback_user;
        std::vector<u8> packet;
        mic_status_t status = MIC_STATUS_OK;
        if (ready->tell_gone)
        {
            status = MIC_STATUS_NO_DEVICE;
            ready->tell_gone = false;
            ready->callback = nullptr;
            ready->interrupts.clear();
        }
        else
        {
            packet = std::move(ready->interrupts.front());
            ready->interrupts.pop_front();
        }
        loop->delivering = ready;
        lock.unlock();
        callback(packet.data(), packet.size(), status, user);
        lock.lock();
        loop->delivering = nullptr;
        loop->changed.notify_all();
    }
}

bool list(void* user, std::vector<mic_usbinfo_t>& out)
{
    Loopback& loop = *static_cast<Loopback*>(user);
    std::lock_guard<std::mutex> lock(loop.mutex);
    out.clear();
    for (auto& entry : loop.devices)
        out.push_back(entry.second->info);
    return true;
}

u64 changes(void* user)
{
    return static_cast<Loopback*>(user)->changes.load();
}

mic_status_t open(void* user, const mic_usbinfo_t& info, void** handle)
{
    Loopback& loop = *static_cast<Loopback*>(user);
    std::shared_ptr<Device> device = find(loop, info.id);
    if (!device)
        return MIC_STATUS_NO_DEVICE;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (device->detached)
        return MIC_STATUS_NO_DEVICE;
    if (device->busy || device->opened)
        return MIC_STATUS_BUSY;
    device->opened = true;
    *handle = new Handle{&loop, device};
    return MIC_STATUS_OK;
}

void close(void*, void* handle)
{
    Handle* h = static_cast<Handle*>(handle);
    {
        std::lock_guard<std::mutex> lock(h->device->mutex);
        h->device->opened = false;
    }
    delete h;
}

mic_status_t bulk_out(void* handle, const u8* data, u64 length, u32, u64& transferred)
{
    Handle* h = static_cast<Handle*>(handle);
    Device& device = *h->device;
    transferred = 0;
    {
        std::lock_guard<std::mutex> lock(device.mutex);
        if (device.detached)
            return MIC_STATUS_NO_DEVICE;
        if (device.stalled_out)
            return MIC_STATUS_STALL;
    }
    if (device.hooks.bulk_out)
        device.hooks.bulk_out(data, length);
    transferred = length;
    return MIC_STATUS_OK;
}

// Unplugs the device: gone from the table (the listing and the hotplug
// count see it), every transfer fails and the event callback hears it once.
void detach(Loopback& loop, u64 id)
{
    std::shared_ptr<Device> device;
    {
        std::lock_guard<std::mutex> lock(loop.mutex);
        auto it = loop.devices.find(id);
        if (it == loop.devices.end())
            return;
        device = it->second;
        loop.devices.erase(it);
        loop.changes.fetch_add(1);
        if (device->callback)
        {
            // The event thread still tells the callback, then forgets it.
            device->tell_gone = true;
            loop.gone.push_back(device);
        }
        loop.changed.notify_all();
    }
    std::lock_guard<std::mutex> lock(device->mutex);
    device->detached = true;
    device->changed.notify_all();
}

mic_status_t bulk_in(void* handle, u8* data, u64 capacity, u32 timeout_ms, u64& transferred)
{
    Handle* h = static_cast<Handle*>(handle);
    Device& device = *h->device;
    const u64 packet = device.info.bulk_packet_size ? device.info.bulk_packet_size : 512;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    transferred = 0;
    std::unique_lock<std::mutex> lock(device.mutex);
    for (;;)
    {
        if (device.detached)
            return MIC_STATUS_NO_DEVICE;
        if (device.stalled_in)
            return transferred ? MIC_STATUS_OK : MIC_STATUS_STALL;
        if (transferred == capacity)
            return MIC_STATUS_OK;
        if (device.in.empty())
        {
            // Nothing yet, or a transfer that ended on a packet boundary and
            // has not been ended: the read stays open until more comes.
            if (device.changed.wait_until(lock, deadline) == std::cv_status::timeout && device.in.empty() &&
                !device.detached && !device.stalled_in)
                return MIC_STATUS_TIMEOUT;
            continue;
        }
        Pending& pending = device.in.front();
        const mic_loopback_source_t& source = pending.source;
        if (pending.offset == source.length)
        {
            bool zlp = source.zlp && source.length % packet == 0;
            device.in.pop_front();
            if (zlp)
                return MIC_STATUS_OK;
            continue;
        }
        if (pending.offset >= source.detach_at)
        {
            device.detached = true;
            device.changed.notify_all();
            const u64 id = device.info.id;
            lock.unlock();
            // Gone from the bus too, as a real unplug is: the next listing
            // and the hotplug count see it.
            detach(*h->loopback, id);
            return MIC_STATUS_NO_DEVICE;
        }
        u64 available = std::min(source.length, source.detach_at) - pending.offset;
        u64 room = capacity - transferred;
        u64 n;
        if (room >= packet)
            n = std::min(available, room / packet * packet);
        else if (available <= room)
            n = available;
        else
            return MIC_STATUS_OVERFLOW;
        if (source.fill)
            source.fill(pending.offset, data + transferred, n);
        pending.offset += n;
        transferred += n;
        if (n % packet != 0)
        {
            // A short packet ends the transfer.
            if (pending.offset == source.length)
                device.in.pop_front();
            return MIC_STATUS_OK;
        }
    }
}

mic_status_t control(void* handle, u8 request_type, u8 request, u16 value, u8* data, u16 length, u32,
                     u64& transferred)
{
    Handle* h = static_cast<Handle*>(handle);
    Device& device = *h->device;
    transferred = 0;
    {
        std::lock_guard<std::mutex> lock(device.mutex);
        if (device.detached)
            return MIC_STATUS_NO_DEVICE;
    }
    if (!device.hooks.control)
        return MIC_STATUS_STALL;
    return device.hooks.control(request_type, request, value, data, length, transferred);
}

mic_status_t clear_halt(void* handle, u8 endpoint)
{
    Handle* h = static_cast<Handle*>(handle);
    Device& device = *h->device;
    std::lock_guard<std::mutex> lock(device.mutex);
    if (device.detached)
        return MIC_STATUS_NO_DEVICE;
    if (endpoint == device.info.bulk_in)
        device.stalled_in = false;
    if (endpoint == device.info.bulk_out)
        device.stalled_out = false;
    return MIC_STATUS_OK;
}

bool start_interrupt(void* handle, mic_interrupt_callback_t callback, void* user)
{
    Handle* h = static_cast<Handle*>(handle);
    Loopback& loop = *h->loopback;
    {
        std::lock_guard<std::mutex> lock(h->device->mutex);
        if (h->device->detached)
            return false;
    }
    std::lock_guard<std::mutex> lock(loop.mutex);
    h->device->callback = callback;
    h->device->callback_user = user;
    loop.changed.notify_all();
    return true;
}

void stop_interrupt(void* handle)
{
    Handle* h = static_cast<Handle*>(handle);
    Loopback& loop = *h->loopback;
    std::unique_lock<std::mutex> lock(loop.mutex);
    h->device->callback = nullptr;
    h->device->tell_gone = false;
    loop.changed.wait(lock, [&] { return loop.delivering != h->device.get(); });
}

void release(void* user)
{
    Loopback* loop = static_cast<Loopback*>(user);
    {
        std::lock_guard<std::mutex> lock(loop->mutex);
        loop->stop = true;
        loop->changed.notify_all();
    }
    if (loop->events.joinable())
        loop->events.join();
    delete loop;
}
} // namespace

bool mic_loopback_initialise(mic_backend_t& backend)
{
    Loopback* loop = new (std::nothrow) Loopback;
    if (!loop)
        return false;
    backend = mic_backend_t();
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
    backend.user = loop;
    backend.hotplug = true;
    backend.name = "loopback";
    loop->events = std::thread(event_thread, loop);
    return true;
}

u64 mic_loopback_attach(mic_backend_t& backend, const mic_usbinfo_t& info, const mic_loopback_device_hooks_t& hooks)
{
    Loopback& loop = loopback_of(backend);
    auto device = std::make_shared<Device>();
    device->info = info;
    device->hooks = hooks;
    std::lock_guard<std::mutex> lock(loop.mutex);
    u64 id = loop.next_id++;
    device->info.id = id;
    loop.devices[id] = device;
    loop.changes.fetch_add(1);
    return id;
}

void mic_loopback_detach(mic_backend_t& backend, u64 id)
{
    detach(loopback_of(backend), id);
}

void mic_loopback_set_busy(mic_backend_t& backend, u64 id, bool busy)
{
    std::shared_ptr<Device> device = find(loopback_of(backend), id);
    if (!device)
        return;
    std::lock_guard<std::mutex> lock(device->mutex);
    device->busy = busy;
}

void mic_loopback_send(mic_backend_t& backend, u64 id, const mic_loopback_source_t& source)
{
    std::shared_ptr<Device> device = find(loopback_of(backend), id);
    if (!device)
        return;
    {
        std::lock_guard<std::mutex> lock(device->mutex);
        Pending pending;
        pending.source = source;
        device->in.push_back(std::move(pending));
    }
    // After the unlock: a reader woken under the lock would only wait for it.
    device->changed.notify_all();
}

void mic_loopback_flush(mic_backend_t& backend, u64 id)
{
    std::shared_ptr<Device> device = find(loopback_of(backend), id);
    if (!device)
        return;
    std::lock_guard<std::mutex> lock(device->mutex);
    device->in.clear();
}

void mic_loopback_stall(mic_backend_t& backend, u64 id, u8 endpoint)
{
    std::shared_ptr<Device> device = find(loopback_of(backend), id);
    if (!device)
        return;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (endpoint == device->info.bulk_in)
        device->stalled_in = true;
    if (endpoint == device->info.bulk_out)
        device->stalled_out = true;
    device->changed.notify_all();
}

void mic_loopback_interrupt(mic_backend_t& backend, u64 id, const u8* bytes, u64 length)
{
    Loopback& loop = loopback_of(backend);
    {
        std::lock_guard<std::mutex> lock(loop.mutex);
        auto it = loop.devices.find(id);
        if (it == loop.devices.end())
            return;
        Device& device = *it->second;
        u64 packet = device.info.interrupt_packet_size ? device.info.interrupt_packet_size : 64;
        for (u64 offset = 0; offset < length; offset += packet)
            device.interrupts.emplace_back(bytes + offset, bytes + std::min(length, offset + packet));
    }
    // After the unlock, as for the bulk data: the event thread takes the lock next.
    loop.changed.notify_all();
}

bool mic_loopback_wait_interrupts(mic_backend_t& backend, u64 id, u32 timeout_ms)
{
    Loopback& loop = loopback_of(backend);
    std::unique_lock<std::mutex> lock(loop.mutex);
    return loop.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        auto it = loop.devices.find(id);
        if (it == loop.devices.end())
            return true;
        Device& device = *it->second;
        return !device.callback || (device.interrupts.empty() && loop.delivering != &device);
    });
}
} // namespace orvo
