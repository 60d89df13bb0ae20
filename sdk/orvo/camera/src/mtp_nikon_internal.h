// Helpers shared by the Nikon extension's sources: the vendor state of a
// device, support tests, choosing an allowed value, and undoing the storage
// override of live view and movies. Device lock held throughout.
#pragma once

#include "orvo/camera/mtp_deviceproperty.h"
#include "orvo/camera/mtp_nikon.h"

namespace orvo
{
inline mtp_nikon_state_t* mtp_nikon_state(mtp_device_t& device)
{
    return static_cast<mtp_nikon_state_t*>(device.vendor_state);
}

inline bool mtp_nikon_has_operation(const mtp_device_t& device, mtp_command_t operation)
{
    return mtp_deviceinfo_is_supported(device.deviceinfo, operation);
}

inline bool mtp_nikon_has_property(const mtp_device_t& device, mtp_property_t property)
{
    return mtp_deviceinfo_is_supported(device.deviceinfo, property);
}

// Whether the camera's state property reads "on": its low byte is not 0.
inline bool mtp_nikon_is_on(const mtp_devicepropdesc_t* desc)
{
    return desc && (mtp_datavalue_to_uint(desc->current_value) & 0xFFu) != 0;
}

// Index of the first allowed value of the description equal to wanted, -1
// when none is (or the description has no list).
i32 mtp_nikon_find_allowed(const mtp_devicepropdesc_t& desc, i32 wanted);
// Number of allowed values in the description's list.
u64 mtp_nikon_num_allowed(const mtp_devicepropdesc_t& desc);
// Writes the first allowed value equal to wanted; false (not logged) when
// none is or the write fails.
bool mtp_nikon_select_value(mtp_device_t& device, mtp_property_t code, const mtp_devicepropdesc_t& desc, i32 wanted);
// The storage slot (allowed-value index of RecordingMedia) for a mode, -1 when
// the camera has none.
i32 mtp_nikon_storage_slot(const mtp_device_t& device, i32 index);
// Clears the storage override and has the camera's own storage setting read
// back (value and description due, flag 0x4).
void mtp_nikon_undo_storage_override(mtp_device_t& device, mtp_nikon_state_t& state);
// Switches the storage to the camera's memory (the Disk slot, else the Card
// slot with the mode kept as requested) without the card check.
void mtp_nikon_select_memory_storage(mtp_device_t& device, mtp_nikon_state_t& state);
} // namespace orvo
