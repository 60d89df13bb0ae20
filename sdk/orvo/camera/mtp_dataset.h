// The PTP datasets the engine keeps: DeviceInfo (what a camera is and does),
// ObjectInfo (one object on the camera) and DevicePropDesc (one property with
// its type, current and allowed values), their support tests, dumps and the
// trimming of serial numbers. Plain records owned by their holder (the device
// record, download tasks, photos), used on the camera thread; the wire reads
// are mtp_codec.h's.
#pragma once

#include "orvo/camera/mtp_codec.h"
#include "orvo/camera/mtp_propertycodes.h"
#include "orvo/core/core_imageformat.h"
#include "orvo/core/core_version.h"

namespace orvo
{
struct mtp_deviceinfo_t
{
    version_t version; // raised by every successful parse
    u16 standard_version;
    u32 vendor_extension_id;
    u16 vendor_extension_version;
    stringbuffer_t vendor_extension_desc;
    u16 functional_mode;
    vector_t<u16> operations;
    vector_t<u16> events;
    vector_t<u16> properties;
    vector_t<u16> capture_formats;
    vector_t<u16> playback_formats;
    stringbuffer_t manufacturer;
    stringbuffer_t model;
    stringbuffer_t device_version;
    stringbuffer_t serial_number;
    // One list of supported object property codes per capture format, in the
    // order of capture_formats; the device fills it (GetObjectPropsSupported).
    vector_t<vector_t<u16>> object_properties;
    // The whole dataset as received, then a zero byte, and the byte range of
    // its SerialNumber string (count byte to the byte after the last unit).
    memorybuffer_t raw;
    u64 serial_start;
    u64 serial_end;
    bool registered; // counted as a user of the module's cache of dumps
};

struct mtp_objectinfo_t
{
    mtp_protocol_t protocol; // dialect of the device it came from, set by the holder
    u32 handle;              // 0: no object; set by the holder
    u32 storage_id;
    u16 format;       // mtp_format_t; 0x3000 for none
    u16 protection;
    u32 size;         // bytes
    u16 thumb_format; // 0x3000 for none
    u32 thumb_size;
    u32 thumb_width;
    u32 thumb_height;
    u32 width;
    u32 height;
    u32 bit_depth;
    stringbuffer_t filename;
    datetime_t capture_date;
};

struct mtp_devicepropdesc_t
{
    u32 protocol; // mtp_protocol_t that owns the code, used to name it
    u32 code;     // mtp_property_t, the key of the record
    version_t value_version; // raised whenever the current value is read
    version_t range_version; // raised whenever the whole description is read
    bool valid;              // a description has been read
    bool value_due;          // the current value must be read again
    bool description_due;    // the whole description must be read again
    // The camera lists the code but refused to describe it (DeviceProp Not
    // Supported): not asked again until the DeviceInfo is read anew.
    bool refused;
    u16 code_read;           // the code found in the dataset, 0x5000 until one is read
    u16 datatype;            // mtp_datatype_t
    u8 getset;               // 0 read-only, 1 settable, as the camera reports
    mtp_datavalue_t default_value;
    mtp_datavalue_t current_value;
    u8 form_flag; // mtp_datasetform_t
    mtp_dataset_t dataset;
};

// --- DeviceInfo --------------------------------------------------------------------
// Registers one more user of the cache of dumped DeviceInfos, takes a fresh
// version and empties every field.
void mtp_deviceinfo_initialise(mtp_deviceinfo_t& info);
// Frees everything; the last user frees the cache. Safe twice and on a zeroed
// record.
void mtp_deviceinfo_release(mtp_deviceinfo_t& info);
// Reads a DeviceInfo dataset (cursor normally 0). The first field that is
// missing is logged by name and fails the parse, keeping what was read and the
// version; success trims the strings, copies the whole buffer into raw and
// raises the version.
bool mtp_deviceinfo_parse(mtp_deviceinfo_t& info, const mtp_buffer_t& buffer, u64& cursor);
bool mtp_deviceinfo_is_supported(const mtp_deviceinfo_t& info, mtp_command_t operation);
bool mtp_deviceinfo_is_supported(const mtp_deviceinfo_t& info, mtp_event_t event);
bool mtp_deviceinfo_is_supported(const mtp_deviceinfo_t& info, mtp_property_t property);
// Whether the object property is in the list that belongs to the capture format.
bool mtp_deviceinfo_is_supported(const mtp_deviceinfo_t& info, mtp_format_t format, mtp_property_t property);
// Forces a code into or out of the supported list (logged either way).
void mtp_deviceinfo_override(mtp_deviceinfo_t& info, u32 protocol, mtp_command_t operation, bool supported);
void mtp_deviceinfo_override(mtp_deviceinfo_t& info, u32 protocol, mtp_property_t property, bool supported);
// Dumps every field into the current log line, indented by width blanks; the
// caller holds the log lock.
void mtp_deviceinfo_print(const mtp_deviceinfo_t& info, u32 protocol, u32 width);
// Logs the DeviceInfo once per kind of camera: a DeviceInfo equal to one seen
// before but for its serial number gets one short line naming that kind.
void mtp_deviceinfo_log(const mtp_deviceinfo_t& info, u32 protocol);

// --- ObjectInfo ----------------------------------------------------------------------
// For a record that holds no name yet: every number 0, both formats 0x3000.
void mtp_objectinfo_initialise(mtp_objectinfo_t& info, u32 protocol, u32 handle);
// The same for a record in use: the protocol stays, the name's storage is kept.
void mtp_objectinfo_clear(mtp_objectinfo_t& info);
void mtp_objectinfo_release(mtp_objectinfo_t& info);
// Copies every dataset field, the handle and its own copy of the name; the
// target keeps its protocol. False (logged) when the name cannot be copied.
bool mtp_objectinfo_copy(mtp_objectinfo_t& target, const mtp_objectinfo_t& source);
// Reads an ObjectInfo dataset starting at cursor (normally 0); the first
// missing field is logged by name.
bool mtp_objectinfo_parse(mtp_objectinfo_t& info, const mtp_buffer_t& buffer, u64& cursor);
bool mtp_objectinfo_is_valid(const mtp_objectinfo_t& info);
bool mtp_objectinfo_is_video(const mtp_objectinfo_t& info);
// Dumps the record into the current log line; the caller holds the log lock.
void mtp_objectinfo_print(const mtp_objectinfo_t& info, u32 width);
bool mtp_format_is_video(u32 protocol, u32 format);
imageformat_t mtp_format_to_imageformat(u32 protocol, u32 format);

// --- DevicePropDesc ----------------------------------------------------------------------
// The record of one property code on a device of the given dialect: fresh
// versions, not valid, both refreshes due, values Undefined.
void mtp_devicepropdesc_initialise(mtp_devicepropdesc_t& desc, u32 protocol, u32 code);
void mtp_devicepropdesc_release(mtp_devicepropdesc_t& desc);
// Reads a whole DevicePropDesc dataset. A dataset for another code is refused
// whole; any failure is logged with the field and leaves valid false.
bool mtp_devicepropdesc_parse(mtp_devicepropdesc_t& desc, const mtp_buffer_t& buffer, u64& cursor);
// Reads a bare current value of the description's datatype (GetDevicePropValue
// data or a vendor event). Only a complete value replaces the current one.
bool mtp_devicepropdesc_update(mtp_devicepropdesc_t& desc, const mtp_buffer_t& buffer, u64& cursor);
// Dumps the record into the current log line; the caller holds the log lock.
void mtp_devicepropdesc_print(const mtp_devicepropdesc_t& desc, u32 width);

// --- serial numbers ------------------------------------------------------------------------
// Trims blanks at both ends and drops leading zeros ("  0042 " becomes "42";
// a text of zeros becomes "0").
void mtp_trim_serial_number(stringbuffer_t& serial);
} // namespace orvo
