// The libusb-1.0 backend: real cameras. One libusb context and one event
// thread per backend; hotplug notices where libusb offers them (the browser
// lists every 2 seconds otherwise); devices are the interfaces of class 6,
// subclass 1, protocol 1 with bulk-in, bulk-out and interrupt-in endpoints.
#pragma once

#include "orvo/camera/src/mic/camera_mic_backend.h"

namespace orvo
{
// Initialises libusb and starts the event thread. False (logged) when libusb
// cannot be initialised; the record is then left empty.
bool mic_libusb_initialise(mic_backend_t& backend);
} // namespace orvo
