// The device's table of PTP property descriptions (one DevicePropDesc per code
// that the camera lists, read lazily through the vendor hooks, every change of
// value logged) and the generic hooks that read, write and name them over the
// standard operations GetDevicePropDesc, GetDevicePropValue and
// SetDevicePropValue, which every device holds until its vendor replaces them.
// The table lives in mtp_device_t; the functions here expect the device lock.
#pragma once

#include "orvo/camera/mtp_device.h"

namespace orvo
{
// --- the table ------------------------------------------------------------------------
// The description of a listed code, read first when due (refresh marks it due
// and sets the properties flag). Null when the camera does not list the code,
// its description could not be read, or a refresh asked for could not be read
// (the description stays due); a value that changed is logged.
mtp_devicepropdesc_t* mtp_device_get_deviceprop(mtp_device_t& device, mtp_property_t code, bool refresh);
// Marks a listed property for reading again; nothing for an unlisted code.
void mtp_device_invalidate_deviceprop(mtp_device_t& device, mtp_property_t code);
// Writes through the write_devicepropvalue hook and marks the value due so the
// next refresh reads back what the camera really kept. False for an unlisted code.
bool mtp_device_set_deviceprop(mtp_device_t& device, mtp_property_t code, const mtp_datavalue_t& value);
// Writes the index-th allowed value of the description; an index outside the
// allowed values is refused (logged) without a transaction.
bool mtp_device_set_deviceprop(mtp_device_t& device, mtp_property_t code, i32 index);
// Empties the table (each description's values freed, bucket storage kept) and
// inserts a fresh, due description for every code of DevicePropertiesSupported.
void mtp_device_reset_deviceprops(mtp_device_t& device);

// --- the generic hooks (defaults of every device) -----------------------------------------
// GetDevicePropDesc into the transfer buffer, parsed into the description.
bool mtp_generic_read_devicepropdesc(mtp_device_t& device, mtp_devicepropdesc_t& desc);
// GetDevicePropValue into the current value; false for a description not yet valid.
bool mtp_generic_read_devicepropvalue(mtp_device_t& device, mtp_devicepropdesc_t& desc);
// SetDevicePropValue with the encoded value.
bool mtp_generic_write_devicepropvalue(mtp_device_t& device, mtp_devicepropdesc_t& desc, const mtp_datavalue_t& value);
// Display text of a value: strings unchanged, the exposure codes in their
// photographic form ("5.6", "1/125", "-0.3"), anything else by the property
// vocabulary or as a number.
void mtp_generic_compute_property_str(mtp_device_t& device, stringbuffer_t& out, const mtp_datavalue_t& value,
                                      mtp_property_t code);
} // namespace orvo
