// Nikon camera properties and value texts: the storage modes "Card", "Disk",
// "Both" and "JPEG" over RecordingMedia (modes the camera has no value for are
// kept as the requested index and emulated per new object), the shutter speed
// with its bulb state, the focus mode locked while the camera reports MF, and
// the display texts of the Nikon properties.
#include "orvo/camera/mtp_nikon.h"

#include "mtp_nikon_internal.h"

#include "orvo/camera/mtp_generic.h"
#include "orvo/core/core_log.h"

#include <cstring>
#include <initializer_list>
#include <strings.h>

namespace orvo
{
namespace
{
const char* const nikon_storage_names[4] = {"Card", "Disk", "Both", "JPEG"};
const u64 NIKON_STORAGE_SLOTS = 4;

const char* const nikon_quality_14[] = {"JPEG Basic",       "JPEG Basic",       "JPEG Normal",
                                        "JPEG Normal",      "JPEG Fine",        "JPEG Fine",
                                        "TIFF",             "RAW",              "RAW + JPEG Basic",
                                        "RAW + JPEG Basic", "RAW + JPEG Normal", "RAW + JPEG Normal",
                                        "RAW + JPEG Fine",  "RAW + JPEG Fine"};
const char* const nikon_quality_7[] = {"JPEG Basic",       "JPEG Normal",       "JPEG Fine",      "RAW",
                                       "RAW + JPEG Basic", "RAW + JPEG Normal", "RAW + JPEG Fine"};
const char* const nikon_quality_8[] = {"JPEG Basic", "JPEG Normal",      "JPEG Fine",         "TIFF",
                                       "RAW",        "RAW + JPEG Basic", "RAW + JPEG Normal", "RAW + JPEG Fine"};

bool nikon_is_integer(const mtp_datavalue_t& value)
{
    return value.datatype >= MTP_DATATYPE_INT8 && value.datatype <= MTP_DATATYPE_UINT64;
}

bool nikon_model_in(u32 model, std::initializer_list<const char*> names)
{
    const char* name = mtp_model_to_cstr(model);
    for (const char* candidate : names)
        if (std::strcmp(name, candidate) == 0)
            return true;
    return false;
}

void nikon_set_name(mtp_cameraproperty_t& property, i32 index)
{
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
}

// One of a fixed list of texts for an integer value, "%d" for others.
void nikon_pick(stringbuffer_t& out, const mtp_datavalue_t& value, const char* const* texts, i32 count,
                const char* not_integer)
{
    if (!nikon_is_integer(value))
    {
        stringbuffer_set(out, not_integer);
        return;
    }
    i32 number = mtp_datavalue_to_int(value);
    if (number >= 0 && number < count)
        stringbuffer_set(out, texts[number]);
    else
        stringbuffer_format(out, "%d", number);
}

void nikon_shutterspeed_str(stringbuffer_t& out, u32 value)
{
    switch (value)
    {
    case 0xFFFFFFFDu:
        stringbuffer_set(out, "Time");
        return;
    case 0xFFFFFFFEu:
        stringbuffer_set(out, "Flash");
        return;
    case 0xFFFFFFFFu:
        stringbuffer_set(out, "Bulb");
        return;
    default:
        break;
    }
    unsigned numerator = value >> 16;
    unsigned denominator = value & 0xFFFFu;
    if (denominator == 1)
        stringbuffer_format(out, "%u", numerator);
    else if (numerator == 1 || denominator == 0)
        stringbuffer_format(out, "%u/%u", numerator, denominator);
    else
    {
        double t = static_cast<double>(numerator) / denominator;
        if (t >= 1.0)
            stringbuffer_format(out, "%g", t);
        else if (t > 0.0)
            stringbuffer_format(out, "1/%g", 1.0 / t);
        else
            stringbuffer_format(out, "%u/%u", numerator, denominator);
    }
}
} // namespace

// --- storage mode ---------------------------------------------------------------------------

bool mtp_nikon_get_storagemode(mtp_device_t& device, mtp_cameraproperty_t& property)
{
    mtp_nikon_state_t* state = mtp_nikon_state(device);
    if (!state)
        return false;
    const mtp_devicepropdesc_t* desc = mtp_device_get_deviceprop(device, MTP_PROPERTY_Nikon_RecordingMedia, false);
    if (!desc)
        return false;

    if (!version_equal(property.range_version, desc->range_version))
    {
        property.range_version = desc->range_version;
        stringarray_clear(property.value_names);
        for (const char* name : nikon_storage_names)
            stringarray_append(property.value_names, string_make(name));
        property.raw_values.count = 0;
        for (u64 i = 0; i < NIKON_STORAGE_SLOTS; ++i)
            vector_insert(property.raw_values, -1);
        if (property.raw_values.count == NIKON_STORAGE_SLOTS)
        {
            const mtp_datavalue_t& values = desc->dataset.values;
            u64 count = mtp_datatype_is_array(values.datatype) ? mtp_datavalue_num_elements(values) : 0;
            bool integers = mtp_nikon_num_allowed(*desc) == count;
            for (u64 j = 0; j < count; ++j)
            {
                i32 value = integers ? mtp_datavalue_to_int(values, j) : 0;
                if (!integers || value == MTP_NIKON_STORAGE_CARD)
                    property.raw_values.data[MTP_NIKON_STORAGE_CARD] = static_cast<int>(j);
                else if (value == MTP_NIKON_STORAGE_DISK || value == MTP_NIKON_STORAGE_BOTH)
                    property.raw_values.data[value] = static_cast<int>(j);
                else
                    log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Nikon storage mode invalid: %d", value);
            }
        }
        property.value_version = version_t{};
    }
    if (version_equal(property.value_version, desc->value_version))
        return true;

    property.value_version = desc->value_version;
    property.supported = desc->getset != 0 && !state->storage_override;
    i32 value = nikon_is_integer(desc->current_value) ? mtp_datavalue_to_int(desc->current_value) : 0;
    if (value >= MTP_NIKON_STORAGE_CARD && value <= MTP_NIKON_STORAGE_BOTH)
        state->storage_index = value;
    else
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Nikon storage value invalid: %d", value);

    nikon_set_name(property,
                   state->requested_storage_index != -1 ? state->requested_storage_index : state->storage_index);
    device.camera_storage_mode = true;
    device.download = false;
    device.jpeg_only = false;
    device.delete_after_download = false;
    device.host_only = state->storage_index == MTP_NIKON_STORAGE_DISK;
    if (state->requested_storage_index == MTP_NIKON_STORAGE_JPEG)
        device.jpeg_only = true;
    else if (state->requested_storage_index == MTP_NIKON_STORAGE_BOTH)
        device.download = true;
    return true;
}

// The camera's value is read back at once: a shot fired before the next pass
// must already be captured and downloaded as the new mode says.
bool mtp_nikon_set_storagemode(mtp_device_t& device, mtp_cameraproperty_t& property, i32 index)
{
    mtp_nikon_state_t* state = mtp_nikon_state(device);
    if (!state || index < 0 || static_cast<u64>(index) >= NIKON_STORAGE_SLOTS)
        return false;
    const mtp_devicepropdesc_t* desc = mtp_device_get_deviceprop(device, MTP_PROPERTY_Nikon_RecordingMedia, false);
    if (!desc)
        return false;
    if (index != MTP_NIKON_STORAGE_DISK && device.cards == 0)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "No memory card present so unable to set storage mode: %s",
                   nikon_storage_names[index]);
        index = MTP_NIKON_STORAGE_DISK;
    }
    state->requested_storage_index = -1;
    i32 slot = mtp_nikon_storage_slot(device, index);
    if (slot == -1)
    {
        // A mode without a camera value: the card stores, and new objects
        // are downloaded as the requested mode says.
        state->requested_storage_index = index;
        slot = mtp_nikon_storage_slot(device, MTP_NIKON_STORAGE_CARD);
        if (slot == -1)
            return false;
    }
    if (!mtp_device_set_deviceprop(device, MTP_PROPERTY_Nikon_RecordingMedia, slot))
        return false;
    mtp_device_invalidate_deviceprop(device, MTP_PROPERTY_Nikon_RecordingMedia);
    mtp_nikon_get_storagemode(device, property);
    return true;
}

// --- shutter speed and focus mode ------------------------------------------------------------------

bool mtp_nikon_get_shutterspeed(mtp_device_t& device, mtp_cameraproperty_t& property)
{
    bool ok = mtp_generic_get_cameraproperty(device, property);
    device.bulb.enabled = property.current_name.str && strcasecmp(property.current_name.str, "Bulb") == 0;
    mtp_device_set_changed(device, MTP_CHANGE_BULB);
    return ok;
}

bool mtp_nikon_set_shutterspeed(mtp_device_t& device, mtp_cameraproperty_t& property, i32 index)
{
    mtp_device_set_changed(device, MTP_CHANGE_BULB);
    return mtp_device_set_deviceprop(device, static_cast<mtp_property_t>(property.code), index);
}

bool mtp_nikon_get_focusmode(mtp_device_t& device, mtp_cameraproperty_t& property)
{
    bool ok = mtp_generic_get_cameraproperty(device, property);
    const mtp_devicepropdesc_t* desc = mtp_device_get_deviceprop(device, MTP_PROPERTY_Nikon_AFModeSelect, false);
    // The lens switch set to M: the camera refuses any focus mode meanwhile.
    if (desc)
        property.supported = mtp_datavalue_to_int(desc->current_value) != 3;
    return ok;
}

// --- value texts ------------------------------------------------------------------------------------

void mtp_nikon_compute_property_str(mtp_device_t& device, stringbuffer_t& out, const mtp_datavalue_t& value,
                                    mtp_property_t code)
{
    static const char* const af_at_liveview[] = {"Face Detection AF", "Wide Area AF", "Normal Area AF",
                                                 "Target Tracking AF"};
    static const char* const dcin[] = {"Not Connected", "Connected"};
    static const char* const usb_speed[] = {"Full Speed", "High Speed", "Super Speed"};
    static const char* const enabled[] = {"disabled", "enabled"};
    static const char* const image_size[] = {"0", "QVGA", "VGA", "XGA"};
    static const char* const af_mode[] = {"AF Single", "AF Continuous", "AF Auto", "MF (fixed)", "MF"};

    i32 number = nikon_is_integer(value) ? mtp_datavalue_to_int(value) : 0;
    switch (static_cast<u32>(code))
    {
    case MTP_PROPERTY_CompressionSetting:
    {
        const char* const* names = nikon_quality_8;
        i32 count = 8;
        if (nikon_model_in(device.model, {"D5", "D500", "D850", "D7500"}))
        {
            names = nikon_quality_14;
            count = 14;
        }
        else if (nikon_model_in(device.model, {"D40", "D60", "D80", "D200"}))
        {
            names = nikon_quality_7;
            count = 7;
        }
        stringbuffer_set(out, number >= 0 && number < count ? names[number] : "unknown");
        return;
    }
    case MTP_PROPERTY_Nikon_AfAtLiveView:
        nikon_pick(out, value, af_at_liveview, 4, "Face Detection AF");
        return;
    case MTP_PROPERTY_Nikon_ShutterSpeed:
        nikon_shutterspeed_str(out, mtp_datavalue_to_uint(value));
        return;
    case MTP_PROPERTY_Nikon_ExternalDCIN:
        nikon_pick(out, value, dcin, 2, "Not Connected");
        return;
    case MTP_PROPERTY_Nikon_USBSpeed:
        nikon_pick(out, value, usb_speed, 3, "Full Speed");
        return;
    case MTP_PROPERTY_Nikon_AFModeSelect:
        if (!nikon_is_integer(value))
            stringbuffer_set(out, "AF Single");
        else
            stringbuffer_set(out, number >= 0 && number < 5 ? af_mode[number] : "unknown");
        return;
    case MTP_PROPERTY_Nikon_LiveViewStatus:
    case MTP_PROPERTY_Nikon_ApplicationMode:
        nikon_pick(out, value, enabled, 2, "disabled");
        return;
    case MTP_PROPERTY_Nikon_LiveViewImageZoomRatio:
        stringbuffer_format(out, "%d", number);
        return;
    case MTP_PROPERTY_Nikon_LiveViewImageSize:
        if (number >= 1 && number <= 3)
            stringbuffer_set(out, image_size[number]);
        else
            stringbuffer_format(out, "%d", number);
        return;
    default:
        mtp_generic_compute_property_str(device, out, value, code);
        return;
    }
}
} // namespace orvo
