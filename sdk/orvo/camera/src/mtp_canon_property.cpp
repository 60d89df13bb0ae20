// Canon EOS property descriptions: made from event records (datatype and form
// by code), current values decoded by code (image formats, custom functions,
// the serial number, focus information, plain integers), the fixes of the
// allowed-value lists, the three property hooks (SetDevicePropValueEx for
// Canon codes) and the value texts, with the image-format, custom-function and
// focus-information records they need.
#include "orvo/camera/mtp_canon.h"

#include "orvo/camera/mtp_deviceproperty.h"
#include "orvo/camera/mtp_propertycodes.h"
#include "orvo/core/core_log.h"

namespace orvo
{
namespace
{
const u32 IMAGEFORMAT_ENTRY_FIELDS = 16; // size, type, image size, compression

bool is_imageformat(u32 code)
{
    return code >= MTP_PROPERTY_Canon_ImageFormat && code <= MTP_PROPERTY_Canon_ImageFormatExtHD;
}

u32 canon_datatype(u32 code)
{
    if (is_imageformat(code))
        return MTP_DATATYPE_UINT64;
    if (code == MTP_PROPERTY_Canon_SerialNumber)
        return MTP_DATATYPE_STR;
    return MTP_DATATYPE_UINT32;
}

u32 canon_form(u32 code)
{
    return code == MTP_PROPERTY_Canon_SerialNumber ? MTP_DATASETFORM_NONE : MTP_DATASETFORM_ENUMERATION;
}

u8 packed_byte(u64 packed, u32 index)
{
    return static_cast<u8>((packed >> (8 * index)) & 0xFFu);
}

// The allowed values as a list of the description's element type.
u64 allowed_count(const mtp_devicepropdesc_t& desc)
{
    const mtp_datavalue_t& values = desc.dataset.values;
    return mtp_datatype_is_array(values.datatype) ? mtp_datavalue_num_elements(values) : 0;
}

bool append_value(mtp_datavalue_t& values, const mtp_datavalue_t& value)
{
    if (values.datatype == MTP_DATATYPE_AUINT32 && value.datatype == MTP_DATATYPE_UINT32)
        return vector_insert(values.auint32, value.uint32);
    if (values.datatype == MTP_DATATYPE_AUINT64 && value.datatype == MTP_DATATYPE_UINT64)
        return vector_insert(values.auint64, value.uint64);
    return false;
}

void empty_values(mtp_datavalue_t& values)
{
    if (values.datatype == MTP_DATATYPE_AUINT32)
        values.auint32.count = 0;
    else if (values.datatype == MTP_DATATYPE_AUINT64)
        values.auint64.count = 0;
}

bool append_uint32(mtp_datavalue_t& values, u32 v)
{
    return values.datatype == MTP_DATATYPE_AUINT32 && vector_insert(values.auint32, v);
}

bool contains_uint32(const mtp_datavalue_t& values, u32 v)
{
    if (values.datatype != MTP_DATATYPE_AUINT32)
        return false;
    for (u64 i = 0; i < values.auint32.count; ++i)
        if (values.auint32.data[i] == v)
            return true;
    return false;
}

const char* jpeg_compression(u32 compression)
{
    switch (compression)
    {
    case 3:
        return " Fine";
    case 2:
        return " Normal";
    case 1:
        return " Basic";
    default:
        return "";
    }
}

const char* jpeg_size(u32 size)
{
    switch (size)
    {
    case 0:
        return " Large";
    case 1:
        return " Medium";
    case 2:
        return " Small";
    case 14:
        return " Small1";
    case 15:
        return " Small2";
    case 16:
        return " Small3";
    default:
        return "";
    }
}

void append_entry_text(stringbuffer_t& out, u32 type, u32 size, u32 compression)
{
    if (type == 6)
    {
        const char* raw = size == 0 ? "RAW" : (size == 1 ? "MRAW" : (size == 2 ? "SRAW" : "unknown"));
        stringbuffer_append(out, raw);
    }
    else if (type == 1)
        stringbuffer_appendf(out, "%s%s%s", "JPEG", jpeg_compression(compression), jpeg_size(size));
    else
        stringbuffer_append(out, "unknown");
}

bool fill_buffer_failed()
{
    log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to fill MTP transfer buffer");
    return false;
}
} // namespace

// --- descriptions ------------------------------------------------------------------------------------

bool mtp_canon_devicepropdesc_parse(mtp_device_t& device, mtp_devicepropdesc_t& desc, mtp_property_t code,
                                    const mtp_buffer_t* data, u64& cursor)
{
    (void)device;
    u32 datatype = canon_datatype(code);
    u32 form = canon_form(code);
    if (!desc.valid || desc.datatype != datatype)
    {
        // Canon bodies report no factory default: the default stays
        // Undefined until the first value arrives and then keeps that value,
        // which tells the list fixes whether there is a value to add yet.
        mtp_datavalue_release(desc.default_value);
        mtp_datavalue_release(desc.current_value);
        mtp_datavalue_initialise(desc.default_value, MTP_DATATYPE_UNDEFINED);
        mtp_datavalue_initialise(desc.current_value, datatype);
        mtp_dataset_release(desc.dataset);
        mtp_dataset_initialise(desc.dataset, form, datatype);
    }
    if (desc.code != code)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "MTP propertyinfo code mismatch");
        return false;
    }
    desc.valid = true;
    desc.value_due = false;
    desc.description_due = false;
    desc.code_read = static_cast<u16>(code);
    desc.datatype = static_cast<u16>(datatype);
    desc.getset = 0;
    desc.form_flag = static_cast<u8>(form);
    version_bump(desc.value_version);
    version_bump(desc.range_version);

    u32 count = 0;
    if (data && form == MTP_DATASETFORM_ENUMERATION && mtp_buffer_extract(*data, cursor, count))
    {
        mtp_datavalue_t& values = desc.dataset.values;
        if (is_imageformat(code))
        {
            empty_values(values);
            // Each record is walked by its own size: a record of more than
            // two entries does not put the next one out of step.
            for (u32 i = 0; i < count; ++i)
            {
                mtp_datavalue_t entry = {};
                if (!mtp_canon_imageformat_decode(*data, cursor, entry))
                    break;
                append_value(values, entry);
                mtp_datavalue_release(entry);
            }
        }
        else
        {
            // The codec bounds the count by the bytes present.
            mtp_datavalue_t read = {};
            mtp_datavalue_initialise(read, values.datatype);
            if (mtp_datavalue_parse(read, *data, cursor, count))
                mtp_datavalue_set(values, read);
            mtp_datavalue_release(read);
        }
    }
    mtp_canon_devicepropdesc_fill_enum(desc);
    return true;
}

bool mtp_canon_devicepropdesc_update(mtp_device_t& device, mtp_devicepropdesc_t& desc, const mtp_buffer_t& data,
                                     u64& cursor)
{
    bool ok = false;
    mtp_datavalue_t value = {};
    mtp_datavalue_initialise(value, desc.current_value.datatype);
    if (is_imageformat(desc.code))
    {
        ok = mtp_canon_imageformat_decode(data, cursor, value) && mtp_datavalue_set(desc.current_value, value);
    }
    else if (desc.code == MTP_PROPERTY_Canon_CustomFuncEx)
    {
        ok = mtp_canon_customfuncex_decode(device, data, cursor, value);
    }
    else if (desc.code == MTP_PROPERTY_Canon_SerialNumber)
    {
        ok = desc.current_value.datatype == MTP_DATATYPE_STR &&
             mtp_canon_buffer_extract(data, cursor, desc.current_value.str);
    }
    else if (desc.code == MTP_CANON_PROPERTY_FOCUSINFOEX)
    {
        ok = mtp_canon_focusinfoex_decode(data, cursor, value) && mtp_datavalue_set(desc.current_value, value);
    }
    else
    {
        ok = mtp_datavalue_parse(value, data, cursor) && mtp_datavalue_set(desc.current_value, value);
    }
    mtp_datavalue_release(value);
    if (ok)
    {
        desc.value_due = false;
        version_bump(desc.value_version);
        if (desc.default_value.datatype == MTP_DATATYPE_UNDEFINED)
            mtp_datavalue_set(desc.default_value, desc.current_value);
    }
    mtp_canon_devicepropdesc_fill_enum(desc);
    return ok;
}

void mtp_canon_devicepropdesc_fill_enum(mtp_devicepropdesc_t& desc)
{
    if (desc.form_flag != MTP_DATASETFORM_ENUMERATION)
        return;
    mtp_datavalue_t& values = desc.dataset.values;
    // Cameras leave out values they still accept: manual focus from the list
    // of a lens switched to MF, and the computer as a destination.
    if (desc.code == MTP_PROPERTY_Canon_FocusMode && !contains_uint32(values, 3))
        append_uint32(values, 3);
    if (desc.code == MTP_PROPERTY_Canon_CaptureDestination && !contains_uint32(values, 4))
        append_uint32(values, 4);
    if (desc.code == MTP_PROPERTY_Canon_MirrorLockupState)
    {
        // "On + up" can only be left, not chosen; otherwise off and on.
        desc.description_due = false;
        version_bump(desc.range_version);
        empty_values(values);
        if (mtp_datavalue_to_uint(desc.current_value) == 2)
            append_uint32(values, 2);
        else
        {
            append_uint32(values, 0);
            append_uint32(values, 1);
        }
    }
    // The current value is always selectable; before the first value has
    // arrived there is none, and the zero it holds must not become one.
    bool has_value = desc.default_value.datatype != MTP_DATATYPE_UNDEFINED;
    if (!mtp_datatype_is_array(values.datatype) || allowed_count(desc) < 2)
    {
        version_bump(desc.range_version);
        if (has_value || allowed_count(desc) == 0)
        {
            empty_values(values);
            append_value(values, desc.current_value);
        }
    }
    else if (has_value && mtp_datavalue_find_index(values, desc.current_value) < 0)
        append_value(values, desc.current_value);
    desc.getset = allowed_count(desc) > 1 ? 1 : 0;
}

// --- hooks ---------------------------------------------------------------------------------------------

bool mtp_canon_read_devicepropdesc(mtp_device_t& device, mtp_devicepropdesc_t& desc)
{
    if (desc.protocol == MTP_PROTOCOL_GENERIC)
        return mtp_generic_read_devicepropdesc(device, desc);
    // Canon descriptions come from the events only.
    desc.description_due = false;
    return true;
}

bool mtp_canon_read_devicepropvalue(mtp_device_t& device, mtp_devicepropdesc_t& desc)
{
    if (desc.protocol == MTP_PROTOCOL_GENERIC)
        return mtp_generic_read_devicepropvalue(device, desc);
    // A Canon value is kept current by GetEvent, so it is as fresh as it can
    // be; only the serial number has to be asked for.
    desc.value_due = false;
    if (desc.code == MTP_PROPERTY_Canon_SerialNumber && desc.valid)
    {
        u32 code = desc.code;
        return mtp_device_execute(device, MTP_COMMAND_Canon_RequestDevicePropValue, &code, 1);
    }
    return false;
}

bool mtp_canon_write_devicepropvalue(mtp_device_t& device, mtp_devicepropdesc_t& desc, const mtp_datavalue_t& value)
{
    if (desc.protocol == MTP_PROTOCOL_GENERIC)
        return mtp_generic_write_devicepropvalue(device, desc, value);
    mtp_canon_state_t* state = mtp_canon_state(device);
    if (!state)
        return false;
    mtp_buffer_t& buffer = mtp_device_transfer_buffer(device);
    mtp_buffer_clear(buffer);
    u64 cursor = 0;
    u32 code = desc.code;
    if (is_imageformat(code))
    {
        u32 size = value.datatype == MTP_DATATYPE_UINT64 ? static_cast<u32>(4 + mtp_canon_imageformat_num_bytes(value) + 4)
                                                          : 8;
        if (!mtp_buffer_write(buffer, cursor, size) || !mtp_buffer_write(buffer, cursor, code) ||
            !mtp_canon_imageformat_encode(buffer, cursor, value))
            return fill_buffer_failed();
    }
    else if (code == MTP_PROPERTY_Canon_MirrorLockupState)
    {
        if (state->mirror_function_id != -1 && state->mirror_function_group != -1)
        {
            u32 size = 8 + static_cast<u32>(mtp_canon_customfuncex_num_bytes(MTP_CANON_MIRROR_FUNCTION, value));
            if (!mtp_buffer_write(buffer, cursor, size) ||
                !mtp_buffer_write(buffer, cursor, static_cast<u32>(MTP_PROPERTY_Canon_CustomFuncEx)) ||
                !mtp_canon_customfuncex_encode(device, buffer, cursor, static_cast<u32>(state->mirror_function_group),
                                               MTP_CANON_MIRROR_FUNCTION, value))
                return fill_buffer_failed();
        }
        else if (mtp_deviceinfo_is_supported(device.deviceinfo, MTP_PROPERTY_Canon_MirrorUpSetting))
        {
            u32 size = static_cast<u32>(mtp_datavalue_num_bytes(value)) + 8;
            if (!mtp_buffer_write(buffer, cursor, size) ||
                !mtp_buffer_write(buffer, cursor, static_cast<u32>(MTP_PROPERTY_Canon_MirrorUpSetting)) ||
                !mtp_datavalue_write(value, buffer, cursor))
                return fill_buffer_failed();
        }
        else
            return fill_buffer_failed();
    }
    else
    {
        u32 size = static_cast<u32>(mtp_datavalue_num_bytes(value)) + 8;
        if (mtp_datavalue_num_bytes(value) == 0 || !mtp_buffer_write(buffer, cursor, size) ||
            !mtp_buffer_write(buffer, cursor, code) || !mtp_datavalue_write(value, buffer, cursor))
            return fill_buffer_failed();
    }
    return mtp_device_write(device, buffer, MTP_COMMAND_Canon_SetDevicePropValueEx);
}

void mtp_canon_compute_property_str(mtp_device_t& device, stringbuffer_t& out, const mtp_datavalue_t& value,
                                    mtp_property_t code)
{
    if (is_imageformat(code))
    {
        mtp_canon_imageformat_compute_str(device, out, value, code);
        return;
    }
    if (code == MTP_PROPERTY_Canon_Aperture || code == MTP_PROPERTY_Canon_ShutterSpeed)
    {
        stringbuffer_set(out, mtp_property_to_cstr(device.protocol, code, mtp_datavalue_to_uint(value)));
        return;
    }
    mtp_generic_compute_property_str(device, out, value, code);
}

void mtp_canon_requestdeviceprop(mtp_device_t& device, mtp_property_t code)
{
    if (mtp_deviceinfo_is_supported(device.deviceinfo, code))
        mtp_device_get_deviceprop(device, code, true);
}

// --- image formats ------------------------------------------------------------------------------------

bool mtp_canon_imageformat_decode(const mtp_buffer_t& buffer, u64& cursor, mtp_datavalue_t& out)
{
    mtp_datavalue_release(out);
    mtp_datavalue_initialise(out, MTP_DATATYPE_UINT64);
    u64 position = cursor;
    u32 count = 0;
    if (!mtp_buffer_extract(buffer, position, count))
        return false;
    u64 packed = count > 2 ? 2 : count;
    for (u32 k = 0; k < count; ++k)
    {
        // Every entry starts with its own size; it must hold the three fields.
        u64 entry = position;
        u32 size = 0;
        u32 type = 0;
        u32 image_size = 0;
        u32 compression = 0;
        if (!mtp_buffer_extract(buffer, position, size) || size < IMAGEFORMAT_ENTRY_FIELDS ||
            buffer.length - entry < size)
            return false;
        if (!mtp_buffer_extract(buffer, position, type) || !mtp_buffer_extract(buffer, position, image_size) ||
            !mtp_buffer_extract(buffer, position, compression))
            return false;
        if (k < 2)
        {
            packed |= static_cast<u64>(type & 0xFFu) << (8 * (1 + k));
            packed |= static_cast<u64>(image_size & 0xFFu) << (8 * (3 + k));
            packed |= static_cast<u64>(compression & 0xFFu) << (8 * (5 + k));
        }
        position = entry + size;
    }
    out.uint64 = packed;
    cursor = position;
    return true;
}

bool mtp_canon_imageformat_encode(mtp_buffer_t& buffer, u64& cursor, const mtp_datavalue_t& value)
{
    if (value.datatype != MTP_DATATYPE_UINT64)
        return false;
    u64 packed = value.uint64;
    u32 count = packed_byte(packed, 0);
    if (count > 2)
        count = 2;
    if (!mtp_buffer_write(buffer, cursor, count))
        return false;
    for (u32 k = 0; k < count; ++k)
    {
        if (!mtp_buffer_write(buffer, cursor, IMAGEFORMAT_ENTRY_FIELDS) ||
            !mtp_buffer_write(buffer, cursor, static_cast<u32>(packed_byte(packed, 1 + k))) ||
            !mtp_buffer_write(buffer, cursor, static_cast<u32>(packed_byte(packed, 3 + k))) ||
            !mtp_buffer_write(buffer, cursor, static_cast<u32>(packed_byte(packed, 5 + k))))
            return false;
    }
    return true;
}

u64 mtp_canon_imageformat_num_bytes(const mtp_datavalue_t& value)
{
    if (value.datatype != MTP_DATATYPE_UINT64)
        return 0;
    u32 count = packed_byte(value.uint64, 0);
    return 4 + 16 * static_cast<u64>(count > 2 ? 2 : count);
}

u8 mtp_canon_imageformat_photos_per_capture(const mtp_datavalue_t& value)
{
    return value.datatype == MTP_DATATYPE_UINT64 ? packed_byte(value.uint64, 0) : 1;
}

void mtp_canon_imageformat_compute_str(mtp_device_t& device, stringbuffer_t& out, const mtp_datavalue_t& value,
                                       mtp_property_t code)
{
    (void)device;
    (void)code;
    stringbuffer_clear(out);
    if (value.datatype != MTP_DATATYPE_UINT64)
    {
        stringbuffer_set(out, "unknown");
        return;
    }
    u64 packed = value.uint64;
    u32 count = packed_byte(packed, 0);
    for (u32 k = 0; k < count && k < 2; ++k)
    {
        if (k > 0)
            stringbuffer_append(out, " + ");
        append_entry_text(out, packed_byte(packed, 1 + k), packed_byte(packed, 3 + k), packed_byte(packed, 5 + k));
    }
}

// --- custom functions and focus information -------------------------------------------------------------

bool mtp_canon_customfuncex_decode(mtp_device_t& device, const mtp_buffer_t& buffer, u64& cursor,
                                   mtp_datavalue_t& value)
{
    (void)value;
    mtp_canon_state_t* state = mtp_canon_state(device);
    if (!state)
        return false;
    u64 position = cursor;
    u32 total = 0;
    u32 groups = 0;
    if (!mtp_buffer_extract(buffer, position, total) || !mtp_buffer_extract(buffer, position, groups))
        return false;
    for (u32 g = 0; g < groups; ++g)
    {
        u32 group = 0;
        u32 group_size = 0;
        u32 items = 0;
        if (!mtp_buffer_extract(buffer, position, group) || !mtp_buffer_extract(buffer, position, group_size) ||
            !mtp_buffer_extract(buffer, position, items))
            return false;
        for (u32 i = 0; i < items; ++i)
        {
            u32 item = 0;
            u32 values = 0;
            if (!mtp_buffer_extract(buffer, position, item) || !mtp_buffer_extract(buffer, position, values))
                return false;
            // The values are skipped, but only over bytes that are there.
            if (static_cast<u64>(values) * 4 > buffer.length - position)
                return false;
            position += static_cast<u64>(values) * 4;
            if (item == MTP_CANON_MIRROR_FUNCTION)
            {
                state->mirror_function_id = static_cast<i32>(MTP_CANON_MIRROR_FUNCTION);
                state->mirror_function_group = static_cast<i32>(group);
            }
        }
    }
    cursor = position;
    return true;
}

bool mtp_canon_customfuncex_encode(mtp_device_t& device, mtp_buffer_t& buffer, u64& cursor, u32 group, u32 item,
                                   const mtp_datavalue_t& value)
{
    (void)device;
    const u32 words[8] = {32, 1, group, 20, 1, item, 1, mtp_datavalue_to_uint(value)};
    for (u32 word : words)
        if (!mtp_buffer_write(buffer, cursor, word))
            return false;
    return true;
}

u64 mtp_canon_customfuncex_num_bytes(u32 item, const mtp_datavalue_t& value)
{
    (void)item;
    (void)value;
    return 32;
}

bool mtp_canon_focusinfoex_decode(const mtp_buffer_t& buffer, u64& cursor, mtp_datavalue_t& value)
{
    u64 start = cursor;
    if (buffer.length < start || buffer.length - start < 20)
        return false;
    u64 position = start + 8;
    u16 n = 0;
    if (!mtp_buffer_extract(buffer, position, n))
        return false;
    position = start + 20 + 8 * static_cast<u64>(n);
    u16 result = 0;
    if (!mtp_buffer_extract(buffer, position, result))
        return false;
    mtp_datavalue_release(value);
    mtp_datavalue_initialise(value, MTP_DATATYPE_UINT32);
    value.uint32 = result;
    cursor = position;
    return true;
}
} // namespace orvo
