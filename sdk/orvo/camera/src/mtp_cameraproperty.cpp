// The camera-property record, selecting a value under a tried device lock, and
// the camera properties built on one standard PTP property each: names rebuilt
// when the description's version moves, index and name when its value version
// moves, and set-by-index guarded against indexes from outdated names.
#include "orvo/camera/mtp_cameraproperty.h"

#include "orvo/camera/mtp_device.h"
#include "orvo/camera/mtp_generic.h"
#include "orvo/camera/mtp_deviceproperty.h"
#include "orvo/camera/mtp_propertycodes.h"
#include "orvo/core/core_log.h"

namespace orvo
{
namespace
{
const u64 MTP_CAMERAPROPERTY_RAW_CAPACITY = 8;

const char* const cameraproperty_names[MTP_CAMERAPROPERTY_COUNT] = {
    "Aperture",      "Shutter speed", "ISO",         "Exposure compensation", "Quality",      "Exposure program",
    "Metering mode", "Focus mode",    "Drive mode",  "White balance",         "Storage mode", "Mirror lock-up",
};

// The standard PTP property behind each type that has one.
const mtp_property_t cameraproperty_standard_codes[MTP_CAMERAPROPERTY_COUNT] = {
    MTP_PROPERTY_FNumber,
    MTP_PROPERTY_ExposureTime,
    MTP_PROPERTY_ExposureIndex,
    MTP_PROPERTY_ExposureBiasCompensation,
    MTP_PROPERTY_Undefined, // quality: image size with compression, the vendor's
    MTP_PROPERTY_ExposureProgramMode,
    MTP_PROPERTY_ExposureMeteringMode,
    MTP_PROPERTY_FocusMode,
    MTP_PROPERTY_StillCaptureMode,
    MTP_PROPERTY_WhiteBalance,
    MTP_PROPERTY_Undefined, // storage mode: a setting of the program, the vendor's
    MTP_PROPERTY_Undefined, // mirror lock-up: vendor properties only
};

void cameraproperty_clear_values(mtp_cameraproperty_t& property)
{
    property.current_index = 0;
    property.current_name = empty_str;
    stringarray_clear(property.value_names);
    property.raw_values.count = 0;
}

// The allowed values as a list: a property without one (form None) offers its
// current value only.
const mtp_datavalue_t* cameraproperty_allowed(const mtp_devicepropdesc_t& desc, u64& count)
{
    const mtp_datavalue_t& values = desc.dataset.values;
    count = mtp_datatype_is_array(values.datatype) ? mtp_datavalue_num_elements(values) : 0;
    return count > 0 ? &values : nullptr;
}
} // namespace

// --- record ------------------------------------------------------------------------------

void mtp_cameraproperty_initialise(mtp_cameraproperty_t& property, mtp_camerapropertytype_t type)
{
    property.type = type;
    property.to_string = nullptr;
    stringarray_initialise(property.value_names);
    vector_initialise(property.raw_values, MTP_CAMERAPROPERTY_RAW_CAPACITY, false);
    mtp_cameraproperty_clear(property);
}

void mtp_cameraproperty_clear(mtp_cameraproperty_t& property)
{
    property.code = MTP_PROPERTY_Undefined;
    property.supported = false;
    cameraproperty_clear_values(property);
    property.value_version = version_t{};
    property.range_version = version_t{};
    property.second_range_version = version_t{};
    property.second_value_version = version_t{};
    property.get = nullptr;
    property.set = nullptr;
}

void mtp_cameraproperty_release(mtp_cameraproperty_t& property)
{
    stringarray_release(property.value_names);
    vector_release(property.raw_values);
    property.current_name = empty_str;
}

const char* mtp_camerapropertytype_to_cstr(u32 type)
{
    return type < MTP_CAMERAPROPERTY_COUNT ? cameraproperty_names[type] : "unknown";
}

// --- selecting ---------------------------------------------------------------------------

bool mtp_device_set_cameraproperty(mtp_device_t& device, mtp_camerapropertytype_t type, i32 index)
{
    if (type >= MTP_CAMERAPROPERTY_COUNT || !mtp_device_try_lock(device))
        return false;
    mtp_cameraproperty_t& property = device.cameraproperties[type];
    bool ok = device.pending_downloads == 0 && property.set && property.supported &&
              property.set(device, property, index);
    mtp_device_unlock(device);
    return ok;
}

// --- standard codes --------------------------------------------------------------------

bool mtp_generic_get_cameraproperty(mtp_device_t& device, mtp_cameraproperty_t& property)
{
    const mtp_devicepropdesc_t* desc =
        mtp_device_get_deviceprop(device, static_cast<mtp_property_t>(property.code), false);
    if (!desc)
        return false;

    u64 count = 0;
    const mtp_datavalue_t* allowed = cameraproperty_allowed(*desc, count);
    if (!version_equal(property.range_version, desc->range_version))
    {
        property.range_version = desc->range_version;
        cameraproperty_clear_values(property);
        stringbuffer_t text;
        stringbuffer_initialise(text);
        for (u64 i = 0; i < (allowed ? count : 1); ++i)
        {
            stringbuffer_clear(text);
            if (property.to_string)
            {
                if (allowed)
                {
                    mtp_datavalue_t value = mtp_datavalue_get_element(*allowed, i);
                    property.to_string(device, text, value, static_cast<mtp_property_t>(property.code));
                    mtp_datavalue_release(value);
                }
                else
                    property.to_string(device, text, desc->current_value, static_cast<mtp_property_t>(property.code));
            }
            stringarray_append(property.value_names, text);
        }
        stringbuffer_release(text);
        // Views handed out before the names grew are gone; the index below is
        // looked up again.
        property.value_version = version_t{};
    }
    if (version_equal(property.value_version, desc->value_version))
        return true;

    property.value_version = desc->value_version;
    property.supported = desc->getset != 0;
    i32 index = allowed ? mtp_datavalue_find_index(*allowed, desc->current_value) : 0;
    if (index < 0 || static_cast<u64>(index) >= property.value_names.strings.count)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Property value out of sync: %s - %d",
                   mtp_property_to_cstr(desc->protocol, desc->code), -1);
        property.current_index = -1;
        property.current_name = empty_str;
        return true;
    }
    property.current_index = index;
    property.current_name = property.value_names.strings.data[index];
    return true;
}

bool mtp_generic_set_cameraproperty(mtp_device_t& device, mtp_cameraproperty_t& property, i32 index)
{
    mtp_property_t code = static_cast<mtp_property_t>(property.code);
    const mtp_devicepropdesc_t* desc = hashtable_find(device.properties, static_cast<u32>(code));
    if (!desc || !desc->valid)
        return false;
    const char* name = mtp_property_to_cstr(desc->protocol, desc->code);
    if (index < 0 || static_cast<u64>(index) >= property.value_names.strings.count)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Property value index out of range: %s - %d", name, index);
        return false;
    }
    // The index counts names built from one version of the camera's list; a
    // camera that has changed the list since (another mode, another lens) would
    // get a different value for the same index.
    if (!version_equal(property.range_version, desc->range_version))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Property value index out of date: %s - %d", name, index);
        return false;
    }
    u64 count = 0;
    if (!cameraproperty_allowed(*desc, count))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Property has no values to choose from: %s", name);
        return false;
    }
    return mtp_device_set_deviceprop(device, code, index);
}

void mtp_cameraproperty_set_generic(mtp_cameraproperty_t& property, mtp_device_t& device)
{
    mtp_cameraproperty_clear(property);
    if (property.type == MTP_CAMERAPROPERTY_STORAGEMODE)
    {
        // A setting of the program on every camera, unless a vendor maps it
        // onto a camera property of its own.
        property.get = mtp_generic_get_storagemode;
        property.set = mtp_generic_set_storagemode;
        property.to_string = nullptr;
        return;
    }
    if (property.type == MTP_CAMERAPROPERTY_QUALITY)
    {
        if (!mtp_deviceinfo_is_supported(device.deviceinfo, MTP_PROPERTY_CompressionSetting) ||
            !mtp_deviceinfo_is_supported(device.deviceinfo, MTP_PROPERTY_ImageSize))
            return;
        property.code = MTP_PROPERTY_CompressionSetting;
        property.get = mtp_generic_get_quality;
        property.set = mtp_generic_set_quality;
        property.to_string = mtp_generic_compute_property_str;
        return;
    }
    mtp_property_t code = property.type < MTP_CAMERAPROPERTY_COUNT ? cameraproperty_standard_codes[property.type]
                                                                   : MTP_PROPERTY_Undefined;
    if (code == MTP_PROPERTY_Undefined || !mtp_deviceinfo_is_supported(device.deviceinfo, code))
        return;
    property.code = code;
    property.get = mtp_generic_get_cameraproperty;
    property.set = mtp_generic_set_cameraproperty;
    property.to_string = mtp_generic_compute_property_str;
}
} // namespace orvo
