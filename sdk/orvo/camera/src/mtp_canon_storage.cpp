// The camera properties of a Canon EOS body on its own codes, the storage
// modes "Card", "Disk", "Both" and "JPEG" built on the camera's
// CaptureDestination values, and the drive-mode override that keeps a
// self-timer from holding a bulb exposure.
#include "orvo/camera/mtp_canon.h"

#include "orvo/camera/mtp_deviceproperty.h"
#include "orvo/camera/mtp_generic.h"
#include "orvo/core/core_log.h"

namespace orvo
{
namespace
{
const char* const g_storage_names[4] = {"Card", "Disk", "Both", "JPEG"};

const u32 g_property_codes[MTP_CAMERAPROPERTY_COUNT] = {
    MTP_PROPERTY_Canon_Aperture,           MTP_PROPERTY_Canon_ShutterSpeed,       MTP_PROPERTY_Canon_ISOSpeed,
    MTP_PROPERTY_Canon_ExpCompensation,    MTP_PROPERTY_Canon_ImageFormat,        MTP_PROPERTY_Canon_AutoExposureMode,
    MTP_PROPERTY_Canon_MeteringMode,       MTP_PROPERTY_Canon_FocusMode,          MTP_PROPERTY_Canon_DriveMode,
    MTP_PROPERTY_Canon_WhiteBalance,       MTP_PROPERTY_Canon_CaptureDestination, MTP_PROPERTY_Canon_MirrorLockupState,
};

void log_invalid_destination(i32 value)
{
    log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Canon capture destination invalid: %d", value);
}

// The storage property keeps one raw value per name: the index of the
// CaptureDestination value that implements it, or -1.
void build_slots(mtp_cameraproperty_t& property, const mtp_devicepropdesc_t& desc, i32 first)
{
    stringarray_clear(property.value_names);
    property.raw_values.count = 0;
    for (const char* name : g_storage_names)
    {
        stringarray_append(property.value_names, string_make(name));
        vector_insert(property.raw_values, -1);
    }
    if (property.raw_values.count != 4 || property.value_names.strings.count != 4)
        return;
    int* slots = property.raw_values.data;
    const mtp_datavalue_t& values = desc.dataset.values;
    if (values.datatype != MTP_DATATYPE_AUINT32)
    {
        for (u64 j = 0; j < mtp_datavalue_num_elements(values); ++j)
            log_invalid_destination(0);
        return;
    }
    for (u64 j = 0; j < values.auint32.count; ++j)
    {
        i32 value = static_cast<i32>(values.auint32.data[j]);
        int index = static_cast<int>(j);
        switch (value)
        {
        case 1:
        case 2:
            if (slots[0] == -1 || value == first)
                slots[0] = index;
            break;
        case 4:
            slots[1] = index;
            break;
        case 5:
            if (slots[2] == -1 || first == 1 || first == 2)
                slots[2] = index;
            break;
        case 6:
            if (slots[2] == -1 || first == 2)
                slots[2] = index;
            break;
        default:
            log_invalid_destination(value);
            break;
        }
    }
}
} // namespace

void mtp_canon_set_cameraproperties(mtp_device_t& device)
{
    for (u32 type = 0; type < MTP_CAMERAPROPERTY_COUNT; ++type)
    {
        u32 code = g_property_codes[type];
        if (!mtp_deviceinfo_is_supported(device.deviceinfo, static_cast<mtp_property_t>(code)))
            continue;
        mtp_cameraproperty_t& property = device.cameraproperties[type];
        mtp_cameraproperty_clear(property);
        property.code = static_cast<i32>(code);
        property.to_string = mtp_canon_compute_property_str;
        if (type == MTP_CAMERAPROPERTY_STORAGEMODE)
        {
            property.get = mtp_canon_get_storagemode;
            property.set = mtp_canon_set_storagemode;
        }
        else
        {
            property.get = mtp_generic_get_cameraproperty;
            property.set = mtp_generic_set_cameraproperty;
        }
    }
}

// --- storage mode ---------------------------------------------------------------------------------------

bool mtp_canon_get_storagemode(mtp_device_t& device, mtp_cameraproperty_t& property)
{
    mtp_canon_state_t* state = mtp_canon_state(device);
    const mtp_devicepropdesc_t* desc =
        mtp_device_get_deviceprop(device, MTP_PROPERTY_Canon_CaptureDestination, false);
    if (!state || !desc)
        return false;
    if (!version_equal(property.range_version, desc->range_version))
    {
        property.range_version = desc->range_version;
        property.current_index = -1;
        property.current_name = empty_str;
        build_slots(property, *desc, state->first_capture_destination);
        property.value_version = version_t{};
    }
    if (version_equal(property.value_version, desc->value_version))
        return true;
    property.value_version = desc->value_version;
    property.supported = !state->movie_storage;
    if (desc->current_value.datatype != MTP_DATATYPE_UINT32)
        log_invalid_destination(0);
    else
    {
        i32 value = static_cast<i32>(desc->current_value.uint32);
        if (value == 1 || value == 2)
            state->storage_index = 0;
        else if (value == 5 || value == 6)
            state->storage_index = 2;
        else if (value == 4)
            state->storage_index = 1;
        else
            log_invalid_destination(value);
    }
    i32 index = state->requested_storage_index != -1 ? state->requested_storage_index : state->storage_index;
    if (index >= 0 && static_cast<u64>(index) < property.value_names.strings.count)
    {
        property.current_index = index;
        property.current_name = property.value_names.strings.data[index];
    }
    else
    {
        property.current_index = -1;
        property.current_name = empty_str;
    }
    device.camera_storage_mode = true;
    device.download = false;
    device.jpeg_only = false;
    device.delete_after_download = false;
    device.host_only = state->storage_index == 1;
    if (state->requested_storage_index == 3)
        device.jpeg_only = true;
    if (state->requested_storage_index == 2)
        device.download = true;
    return true;
}

bool mtp_canon_set_storagemode(mtp_device_t& device, mtp_cameraproperty_t& property, i32 index)
{
    mtp_canon_state_t* state = mtp_canon_state(device);
    const mtp_devicepropdesc_t* desc =
        mtp_device_get_deviceprop(device, MTP_PROPERTY_Canon_CaptureDestination, false);
    if (!state || !desc || index < 0 || index > 3)
        return false;
    if (property.raw_values.count != 4)
        mtp_canon_get_storagemode(device, property);
    if (property.raw_values.count != 4)
        return false;
    if (index != 1 && device.cards == 0)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "No memory card present so unable to set storage mode: %s",
                   g_storage_names[index]);
        index = 1;
    }
    state->requested_storage_index = -1;
    int slot = property.raw_values.data[index];
    if (slot == -1)
    {
        // No destination value of its own: kept on the card, the downloads
        // chosen per new object instead.
        state->requested_storage_index = index;
        slot = property.raw_values.data[0];
        if (slot == -1)
            return false;
    }
    bool ok = mtp_device_set_deviceprop(device, MTP_PROPERTY_Canon_CaptureDestination, static_cast<i32>(slot));
    if (ok)
        property.value_version.id = 0; // the next get takes the index again
    if (mtp_deviceinfo_is_supported(device.deviceinfo, MTP_COMMAND_Canon_PCHDDCapacity))
        mtp_canon_set_capacity(device, true);
    return ok;
}

// --- drive-mode override ------------------------------------------------------------------------------------

void mtp_canon_override_timer(mtp_device_t& device, bool bulb)
{
    mtp_canon_state_t* state = mtp_canon_state(device);
    mtp_devicepropdesc_t* desc = mtp_device_get_deviceprop(device, MTP_PROPERTY_Canon_DriveMode, false);
    if (!state || !desc)
        return;
    i32 current = static_cast<i32>(mtp_datavalue_to_uint(desc->current_value));
    u32 target = 0;
    if (bulb)
    {
        // 10 s timer continuous, 10 s timer, 2 s timer.
        if (current != 7 && current != 16 && current != 17)
            return;
        target = 0; // single frame
    }
    else
    {
        if (state->saved_drive_mode == -1)
            return;
        target = static_cast<u32>(state->saved_drive_mode);
    }
    mtp_datavalue_t value = {};
    mtp_datavalue_initialise(value, MTP_DATATYPE_UINT32);
    value.uint32 = target;
    bool ok = device.hooks.write_devicepropvalue && device.hooks.write_devicepropvalue(device, *desc, value);
    mtp_datavalue_release(value);
    desc->value_due = true;
    mtp_device_set_changed(device, MTP_CHANGE_PROPERTIES);
    if (!ok)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to override drive mode timer");
        return;
    }
    state->saved_drive_mode = bulb ? current : -1;
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Canon drive mode timer override: %s", bulb ? "enabled" : "disabled");
}
} // namespace orvo
