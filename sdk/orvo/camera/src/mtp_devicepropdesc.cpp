// DevicePropDesc: the record of one device property (type, get/set, default
// and current value, allowed values) read from GetDevicePropDesc, its bare
// value updates, its dump, and the trimming of camera serial numbers. The
// record owns its values and dataset.
#include "orvo/camera/mtp_dataset.h"

#include "orvo/core/core_log.h"

#include <cstring>

namespace orvo
{
namespace
{
const u16 CODE_NOT_READ = 0x5000;

void log_failure(const mtp_devicepropdesc_t& desc, const char* field)
{
    log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to extract MTP propertyinfo: %s (%s)", field,
               mtp_property_to_cstr(desc.protocol, desc.code));
}
} // namespace

void mtp_devicepropdesc_initialise(mtp_devicepropdesc_t& desc, u32 protocol, u32 code)
{
    desc.protocol = mtp_property_to_protocol(protocol, code);
    desc.code = code;
    version_initialise(desc.value_version);
    version_initialise(desc.range_version);
    desc.valid = false;
    desc.value_due = true;
    desc.description_due = true;
    desc.refused = false;
    desc.code_read = CODE_NOT_READ;
    desc.datatype = MTP_DATATYPE_UNDEFINED;
    desc.getset = 0;
    mtp_datavalue_initialise(desc.default_value, MTP_DATATYPE_UNDEFINED);
    mtp_datavalue_initialise(desc.current_value, MTP_DATATYPE_UNDEFINED);
    desc.form_flag = MTP_DATASETFORM_NONE;
    mtp_dataset_initialise(desc.dataset, MTP_DATASETFORM_NONE, MTP_DATATYPE_UNDEFINED);
}

void mtp_devicepropdesc_release(mtp_devicepropdesc_t& desc)
{
    mtp_datavalue_release(desc.default_value);
    mtp_datavalue_release(desc.current_value);
    mtp_dataset_release(desc.dataset);
}

bool mtp_devicepropdesc_parse(mtp_devicepropdesc_t& desc, const mtp_buffer_t& buffer, u64& cursor)
{
    desc.valid = false;
    desc.code_read = CODE_NOT_READ;
    desc.datatype = MTP_DATATYPE_UNDEFINED;
    desc.getset = 0;
    mtp_datavalue_release(desc.default_value);
    mtp_datavalue_release(desc.current_value);
    mtp_dataset_release(desc.dataset);
    desc.form_flag = MTP_DATASETFORM_NONE;

    if (!mtp_buffer_extract(buffer, cursor, desc.code_read))
    {
        log_failure(desc, "code");
        return false;
    }
    if (!mtp_buffer_extract(buffer, cursor, desc.datatype))
    {
        log_failure(desc, "datatype");
        return false;
    }
    if (!mtp_buffer_extract(buffer, cursor, desc.getset))
    {
        log_failure(desc, "getset");
        return false;
    }
    if (desc.code_read != desc.code)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "MTP propertyinfo code mismatch");
        return false;
    }
    mtp_datavalue_initialise(desc.default_value, desc.datatype);
    mtp_datavalue_initialise(desc.current_value, desc.datatype);
    if (!mtp_datavalue_parse(desc.default_value, buffer, cursor))
    {
        log_failure(desc, "default_value");
        return false;
    }
    if (!mtp_datavalue_parse(desc.current_value, buffer, cursor))
    {
        log_failure(desc, "current_value");
        return false;
    }
    if (!mtp_buffer_extract(buffer, cursor, desc.form_flag))
    {
        log_failure(desc, "formflag");
        return false;
    }
    mtp_dataset_initialise(desc.dataset, desc.form_flag, desc.datatype);
    if (!mtp_dataset_parse(desc.dataset, buffer, cursor))
    {
        log_failure(desc, "dataset");
        return false;
    }
    desc.valid = true;
    desc.value_due = false;
    desc.description_due = false;
    version_bump(desc.value_version);
    version_bump(desc.range_version);
    return true;
}

bool mtp_devicepropdesc_update(mtp_devicepropdesc_t& desc, const mtp_buffer_t& buffer, u64& cursor)
{
    // Read into a value of its own first: a value cut short must not replace
    // the one the camera last reported completely.
    mtp_datavalue_t value;
    mtp_datavalue_initialise(value, desc.datatype);
    if (!mtp_datavalue_parse(value, buffer, cursor))
    {
        mtp_datavalue_release(value);
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to extract MTP property value: %s (%s)",
                   mtp_property_to_cstr(desc.protocol, desc.code), mtp_datatype_to_cstr(desc.datatype));
        return false;
    }
    mtp_datavalue_release(desc.current_value);
    desc.current_value = value; // takes over the storage
    desc.value_due = false;
    version_bump(desc.value_version);
    return true;
}

void mtp_devicepropdesc_print(const mtp_devicepropdesc_t& desc, u32 width)
{
    const int w = static_cast<int>(width);
    log_printf("\n%*sProperty:  %s", w, "", mtp_property_to_cstr(desc.protocol, desc.code));
    log_printf("\n%*sData type: %s", w, "", mtp_datatype_to_cstr(desc.datatype));
    log_printf("\n%*sGet/Set:   %u", w, "", desc.getset);
    log_printf("\n%*sDefault:   ", w, "");
    mtp_datavalue_print(desc.default_value);
    log_printf("\n%*sCurrent:   ", w, "");
    mtp_datavalue_print(desc.current_value);
    log_printf("\n%*sForm flag: %s", w, "", mtp_datasetform_to_cstr(desc.form_flag));
    if (desc.form_flag != MTP_DATASETFORM_NONE)
    {
        log_printf("\n%*sData set:  ", w, "");
        mtp_dataset_print(desc.dataset);
    }
}

void mtp_trim_serial_number(stringbuffer_t& serial)
{
    stringbuffer_trimright(serial, is_whitespace);
    stringbuffer_trimleft(serial, is_whitespace);
    u64 zeros = 0;
    while (zeros < serial.length && serial.str[zeros] == '0')
        ++zeros;
    if (zeros == 0)
        return;
    if (zeros == serial.length)
    {
        // A serial of zeros still names the camera: keep one.
        stringbuffer_set(serial, '0');
        return;
    }
    stringbuffer_set(serial, string_t{serial.str + zeros, serial.length - zeros});
}
} // namespace orvo
