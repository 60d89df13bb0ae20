// DeviceInfo: reading the dataset, support tests and overrides, the dump, and
// the module's cache of the kinds of camera already dumped, so that a room of
// identical cameras logs one full dump and one short line per further camera.
// The cache lives from the first initialised record to the last released one.
#include "orvo/camera/mtp_dataset.h"

#include "orvo/core/core_log.h"
#include "orvo/core/core_mutex.h"

#include <cstring>

namespace orvo
{
namespace
{
// One kind of camera seen: its type number and its raw DeviceInfo.
struct deviceinfo_entry_t
{
    i32 type;
    memorybuffer_t raw;
};

// Records normally live on the camera thread only; the lock keeps the cache
// sound should several engines ever run (tests start cameras from threads).
struct deviceinfo_cache_t
{
    i32 users;
    vector_t<deviceinfo_entry_t> entries;
};

global_mutex_t cache_lock;
deviceinfo_cache_t cache = {0, {nullptr, 0, 0, false}};

const u64 CODE_LIST_CAPACITY = 8;
const u64 OBJECT_PROPERTY_LISTS_CAPACITY = 4;

void release_object_properties(mtp_deviceinfo_t& info)
{
    for (u64 i = 0; i < info.object_properties.count; ++i)
        vector_release(info.object_properties.data[i]);
    info.object_properties.count = 0;
}

bool list_contains(const vector_t<u16>& list, u32 code)
{
    for (u64 i = 0; i < list.count; ++i)
    {
        if (list.data[i] == code)
            return true;
    }
    return false;
}

void override_code(vector_t<u16>& list, u32 code, bool supported)
{
    for (u64 i = 0; i < list.count; ++i)
    {
        if (list.data[i] == code)
        {
            if (!supported)
                vector_remove(list, i);
            return;
        }
    }
    if (supported)
        vector_insert(list, static_cast<u16>(code)); // a failure is logged by the allocator
}

void print_codes(const vector_t<u16>& list, u32 width, const char* (*name)(u32, u32), u32 protocol)
{
    for (u64 i = 0; i < list.count; ++i)
        log_printf("\n%*s%04X - %s", static_cast<int>(width + 2), "", list.data[i], name(protocol, list.data[i]));
}

// The same bytes outside the serial number's own range.
bool same_kind(const memorybuffer_t& entry, const mtp_deviceinfo_t& info)
{
    const u64 length = info.raw.num_bytes;
    if (entry.num_bytes != length)
        return false;
    if (length == 0)
        return true;
    const u64 start = info.serial_start < length ? info.serial_start : length;
    const u64 end = info.serial_end < length ? info.serial_end : length;
    return std::memcmp(entry.data, info.raw.data, start) == 0 &&
           std::memcmp(entry.data + end, info.raw.data + end, length - end) == 0;
}
} // namespace

void mtp_deviceinfo_initialise(mtp_deviceinfo_t& info)
{
    std::memset(static_cast<void*>(&info), 0, sizeof(info));
    mutex_lock(cache_lock);
    if (cache.users++ == 0)
        vector_initialise(cache.entries, 4, false);
    mutex_unlock(cache_lock);
    info.registered = true;
    version_initialise(info.version);
    stringbuffer_initialise(info.vendor_extension_desc);
    vector_initialise(info.operations, CODE_LIST_CAPACITY, false);
    vector_initialise(info.events, CODE_LIST_CAPACITY, false);
    vector_initialise(info.properties, CODE_LIST_CAPACITY, false);
    vector_initialise(info.capture_formats, CODE_LIST_CAPACITY, false);
    vector_initialise(info.playback_formats, CODE_LIST_CAPACITY, false);
    stringbuffer_initialise(info.manufacturer);
    stringbuffer_initialise(info.model);
    stringbuffer_initialise(info.device_version);
    stringbuffer_initialise(info.serial_number);
    vector_initialise(info.object_properties, OBJECT_PROPERTY_LISTS_CAPACITY, false);
    memorybuffer_initialise(info.raw);
}

void mtp_deviceinfo_release(mtp_deviceinfo_t& info)
{
    stringbuffer_release(info.vendor_extension_desc);
    vector_release(info.operations);
    vector_release(info.events);
    vector_release(info.properties);
    vector_release(info.capture_formats);
    vector_release(info.playback_formats);
    stringbuffer_release(info.manufacturer);
    stringbuffer_release(info.model);
    stringbuffer_release(info.device_version);
    stringbuffer_release(info.serial_number);
    release_object_properties(info);
    vector_release(info.object_properties);
    memorybuffer_release(info.raw);
    info.serial_start = 0;
    info.serial_end = 0;
    if (!info.registered)
        return;
    info.registered = false;
    mutex_lock(cache_lock);
    if (--cache.users == 0)
    {
        for (u64 i = 0; i < cache.entries.count; ++i)
            memorybuffer_release(cache.entries.data[i].raw);
        vector_release(cache.entries);
    }
    mutex_unlock(cache_lock);
}

bool mtp_deviceinfo_parse(mtp_deviceinfo_t& info, const mtp_buffer_t& buffer, u64& cursor)
{
    info.standard_version = 0;
    info.vendor_extension_id = 0;
    info.vendor_extension_version = 0;
    stringbuffer_clear(info.vendor_extension_desc);
    info.functional_mode = 0;
    info.operations.count = 0;
    info.events.count = 0;
    info.properties.count = 0;
    info.capture_formats.count = 0;
    info.playback_formats.count = 0;
    stringbuffer_clear(info.manufacturer);
    stringbuffer_clear(info.model);
    stringbuffer_clear(info.device_version);
    stringbuffer_clear(info.serial_number);
    info.serial_start = 0;
    info.serial_end = 0;
    release_object_properties(info);

    const char* failed = nullptr;
    u64 serial_start = 0;
    if (!mtp_buffer_extract(buffer, cursor, info.standard_version))
        failed = "standard_version";
    else if (!mtp_buffer_extract(buffer, cursor, info.vendor_extension_id))
        failed = "extension_id";
    else if (!mtp_buffer_extract(buffer, cursor, info.vendor_extension_version))
        failed = "mtp_version";
    else if (!mtp_buffer_extract(buffer, cursor, info.vendor_extension_desc))
        failed = "extensions";
    else if (!mtp_buffer_extract(buffer, cursor, info.functional_mode))
        failed = "functional_mode";
    else if (!mtp_buffer_extract(buffer, cursor, info.operations))
        failed = "supported_operations";
    else if (!mtp_buffer_extract(buffer, cursor, info.events))
        failed = "supported_events";
    else if (!mtp_buffer_extract(buffer, cursor, info.properties))
        failed = "supported_properties";
    else if (!mtp_buffer_extract(buffer, cursor, info.capture_formats))
        failed = "capture_formats";
    else if (!mtp_buffer_extract(buffer, cursor, info.playback_formats))
        failed = "playback_formats";
    else if (!mtp_buffer_extract(buffer, cursor, info.manufacturer))
        failed = "manufacturer";
    else if (!mtp_buffer_extract(buffer, cursor, info.model))
        failed = "model";
    else if (!mtp_buffer_extract(buffer, cursor, info.device_version))
        failed = "device_version";
    else
    {
        serial_start = cursor;
        if (!mtp_buffer_extract(buffer, cursor, info.serial_number))
            failed = "serial_number";
    }
    if (failed)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to extract MTP DeviceInfo: %s", failed);
        return false;
    }
    info.serial_start = serial_start;
    info.serial_end = cursor;

    stringbuffer_trimright(info.manufacturer, is_whitespace);
    stringbuffer_trimleft(info.manufacturer, is_whitespace);
    stringbuffer_trimright(info.model, is_whitespace);
    stringbuffer_trimleft(info.model, is_whitespace);
    stringbuffer_trimright(info.device_version, is_whitespace);
    stringbuffer_trimleft(info.device_version, is_whitespace);
    mtp_trim_serial_number(info.serial_number);

    // The raw copy only feeds the once-per-kind log: a failed copy (logged by
    // the allocator) leaves it empty and the DeviceInfo is still good.
    if (!buffer.data || buffer.length == 0 || !memorybuffer_set(info.raw, buffer.data, buffer.length))
        memorybuffer_release(info.raw);
    version_bump(info.version);
    return true;
}

bool mtp_deviceinfo_is_supported(const mtp_deviceinfo_t& info, mtp_command_t operation)
{
    return list_contains(info.operations, operation);
}

bool mtp_deviceinfo_is_supported(const mtp_deviceinfo_t& info, mtp_event_t event)
{
    return list_contains(info.events, event);
}

bool mtp_deviceinfo_is_supported(const mtp_deviceinfo_t& info, mtp_property_t property)
{
    return list_contains(info.properties, property);
}

bool mtp_deviceinfo_is_supported(const mtp_deviceinfo_t& info, mtp_format_t format, mtp_property_t property)
{
    for (u64 i = 0; i < info.capture_formats.count; ++i)
    {
        if (info.capture_formats.data[i] == format)
            return i < info.object_properties.count && list_contains(info.object_properties.data[i], property);
    }
    return false;
}

void mtp_deviceinfo_override(mtp_deviceinfo_t& info, u32 protocol, mtp_command_t operation, bool supported)
{
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Overriding %s to: %s", mtp_command_to_cstr(protocol, operation),
               supported ? "supported" : "unsupported");
    override_code(info.operations, operation, supported);
}

void mtp_deviceinfo_override(mtp_deviceinfo_t& info, u32 protocol, mtp_property_t property, bool supported)
{
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Overriding %s to: %s", mtp_property_to_cstr(protocol, property),
               supported ? "supported" : "unsupported");
    override_code(info.properties, property, supported);
}

void mtp_deviceinfo_print(const mtp_deviceinfo_t& info, u32 protocol, u32 width)
{
    const int w = static_cast<int>(width);
    log_printf("\n%*sStandard Version:        %u", w, "", info.standard_version);
    log_printf("\n%*sMTP Vendor Extension ID: %u", w, "", info.vendor_extension_id);
    log_printf("\n%*sMTP Version:             %u", w, "", info.vendor_extension_version);
    log_printf("\n%*sMTP Extensions:          %s", w, "", info.vendor_extension_desc.str);
    log_printf("\n%*sFunctional Mode:         %u", w, "", info.functional_mode);
    log_printf("\n%*sOperations Supported:", w, "");
    print_codes(info.operations, width, mtp_command_to_cstr, protocol);
    log_printf("\n%*sEvents Supported:", w, "");
    print_codes(info.events, width, mtp_event_to_cstr, protocol);
    log_printf("\n%*sDevice Properties Supported:", w, "");
    print_codes(info.properties, width, mtp_property_to_cstr, protocol);
    log_printf("\n%*sCapture Formats:", w, "");
    print_codes(info.capture_formats, width, mtp_format_to_cstr, protocol);
    log_printf("\n%*sPlayback Formats:", w, "");
    print_codes(info.playback_formats, width, mtp_format_to_cstr, protocol);
    log_printf("\n%*sManufacturer:            %s", w, "", info.manufacturer.str);
    log_printf("\n%*sModel:                   %s", w, "", info.model.str);
    log_printf("\n%*sDevice Version:          %s", w, "", info.device_version.str);
    log_printf("\n%*sSerial Number:           %s", w, "", info.serial_number.str);
    for (u64 i = 0; i < info.object_properties.count; ++i)
    {
        // The lists come from separate transactions and may outnumber the
        // capture formats; such a list has no format to name.
        const char* format = i < info.capture_formats.count
                                 ? mtp_format_to_cstr(protocol, info.capture_formats.data[i])
                                 : "unknown";
        log_printf("\n%*sObject Properties Supported for: %s", w, "", format);
        print_codes(info.object_properties.data[i], width, mtp_property_to_cstr, protocol);
    }
}

void mtp_deviceinfo_log(const mtp_deviceinfo_t& info, u32 protocol)
{
    mutex_lock(cache_lock);
    for (u64 i = 0; i < cache.entries.count; ++i)
    {
        if (same_kind(cache.entries.data[i].raw, info))
        {
            const i32 type = cache.entries.data[i].type;
            mutex_unlock(cache_lock);
            log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "MTP device info: serial number %s, see previous %s (type %d)",
                       info.serial_number.str, info.model.str, type);
            return;
        }
    }
    deviceinfo_entry_t entry;
    entry.type = static_cast<i32>(cache.entries.count);
    memorybuffer_initialise(entry.raw);
    if (info.raw.num_bytes && !memorybuffer_set(entry.raw, info.raw.data, info.raw.num_bytes))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to allocate memory: %llu bytes",
                   static_cast<unsigned long long>(info.raw.num_bytes));
    }
    // A record that was never initialised has no cache to join; it is still
    // dumped, under the type number it would have had.
    if (cache.users <= 0 || !vector_insert(cache.entries, entry))
        memorybuffer_release(entry.raw);
    mutex_unlock(cache_lock);

    if (log_lock(LOGLEVEL_INFO, LOGMODULE_CAMERA))
    {
        log_printf("MTP device info: %s (type %d)", info.model.str, entry.type);
        mtp_deviceinfo_print(info, protocol, 0);
        log_print("\n");
        log_unlock();
    }
}
} // namespace orvo
