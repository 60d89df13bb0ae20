// The loopback backend: virtual still-image devices that a program (the tests,
// a simulator) attaches and serves itself. The device side receives each
// bulk-out transfer and class request through its hooks and queues what it
// sends back: bulk-in transfers of any length, cut into packets of the
// endpoint's size (a short last packet, or a zero-length one when asked,
// ends the transfer as on a real bus), stalls, removal at any byte, and
// interrupt packets, delivered on the backend's one event thread.
#pragma once

#include "orvo/camera/src/mic/camera_mic_backend.h"

#include <functional>

namespace orvo
{
// A transfer the device sends on bulk-in, its bytes made on demand (so that a
// large object never has to exist whole).
struct mic_loopback_source_t
{
    u64 length = 0;
    std::function<void(u64 offset, u8* out, u64 n)> fill;
    // A zero-length packet follows when the length is a whole number of
    // packets (some cameras send it, some do not).
    bool zlp = true;
    // The device goes away once the host has read this many bytes of it.
    u64 detach_at = ~0ull;
};

struct mic_loopback_device_hooks_t
{
    // One bulk-out transfer as the device receives it (zero-length included).
    std::function<void(const u8* data, u64 length)> bulk_out;
    // A class request; answer the status and the bytes moved.
    std::function<mic_status_t(u8 request_type, u8 request, u16 value, u8* data, u16 length, u64& done)> control;
};

// Fills the backend record with the loopback hooks and starts its event
// thread. Hotplug: the change count moves on every attach and detach.
bool mic_loopback_initialise(mic_backend_t& backend);

// --- the device side (any thread) -------------------------------------------------
// Attaches a device; its id is assigned here and returned (also in the info
// that list reports).
u64 mic_loopback_attach(mic_backend_t& backend, const mic_usbinfo_t& info, const mic_loopback_device_hooks_t& hooks);
// Unplugs the device: every transfer in flight or to come fails with
// NO_DEVICE and the event callback hears it once.
void mic_loopback_detach(mic_backend_t& backend, u64 id);
// Another program holds the interface: open answers BUSY.
void mic_loopback_set_busy(mic_backend_t& backend, u64 id, bool busy);
void mic_loopback_send(mic_backend_t& backend, u64 id, const mic_loopback_source_t& source);
// Drops every bulk-in transfer not yet read (a cancelled transaction).
void mic_loopback_flush(mic_backend_t& backend, u64 id);
// Halts an endpoint until the host clears it.
void mic_loopback_stall(mic_backend_t& backend, u64 id, u8 endpoint);
// Queues interrupt bytes, cut into packets of the interrupt endpoint's size.
void mic_loopback_interrupt(mic_backend_t& backend, u64 id, const u8* bytes, u64 length);
// Waits until the queued interrupt packets were handed to the callback (or
// none can be); false when that took longer than the limit.
bool mic_loopback_wait_interrupts(mic_backend_t& backend, u64 id, u32 timeout_ms);
} // namespace orvo
