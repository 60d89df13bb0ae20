// Two camera properties of the generic extension that do not map onto one
// PTP property: the quality, made of ImageSize and CompressionSetting (one
// name per offered pair, the pair packed into the raw values), and the
// storage mode, a setting of the program alone that chooses which new objects
// are downloaded and whether the camera's copy is deleted afterwards.
#include "orvo/camera/mtp_generic.h"

#include "orvo/core/core_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace orvo
{
namespace
{
const char* const g_storage_names[4] = {"Card", "Disk", "Both", "JPEG"};

bool contains(const string_t& text, const char* word)
{
    if (!text.str || text.length == 0)
        return false;
    std::string copy(text.str, text.length);
    return copy.find(word) != std::string::npos;
}

// The allowed values of a description as a list, or its current value alone
// for a property without one.
u64 allowed_count(const mtp_devicepropdesc_t& desc)
{
    const mtp_datavalue_t& values = desc.dataset.values;
    u64 count = mtp_datatype_is_array(values.datatype) ? mtp_datavalue_num_elements(values) : 0;
    return count > 0 ? count : 1;
}

mtp_datavalue_t allowed_value(const mtp_devicepropdesc_t& desc, u64 index)
{
    const mtp_datavalue_t& values = desc.dataset.values;
    if (mtp_datatype_is_array(values.datatype) && mtp_datavalue_num_elements(values) > 0)
        return mtp_datavalue_get_element(values, index);
    mtp_datavalue_t copy = {};
    mtp_datavalue_set(copy, desc.current_value);
    return copy;
}

i32 allowed_index(const mtp_devicepropdesc_t& desc)
{
    const mtp_datavalue_t& values = desc.dataset.values;
    if (mtp_datatype_is_array(values.datatype) && mtp_datavalue_num_elements(values) > 0)
        return mtp_datavalue_find_index(values, desc.current_value);
    return 0;
}

void name_value(mtp_device_t& device, mtp_cameraproperty_t& property, const mtp_devicepropdesc_t& desc, u64 index,
                stringbuffer_t& out)
{
    stringbuffer_clear(out);
    if (!property.to_string)
        return;
    mtp_datavalue_t value = allowed_value(desc, index);
    property.to_string(device, out, value, static_cast<mtp_property_t>(desc.code));
    mtp_datavalue_release(value);
}

void quality_rebuild(mtp_device_t& device, mtp_cameraproperty_t& property, const mtp_devicepropdesc_t& sizes,
                     const mtp_devicepropdesc_t& compressions)
{
    property.range_version = compressions.range_version;
    property.second_range_version = sizes.range_version;
    property.current_index = -1;
    property.current_name = empty_str;
    stringarray_clear(property.value_names);
    property.raw_values.count = 0;
    // The index is looked up again against the new names.
    property.value_version = version_t{};
    property.second_value_version = version_t{};

    u64 num_sizes = allowed_count(sizes);
    u64 num_compressions = allowed_count(compressions);
    stringbuffer_t text;
    stringbuffer_initialise(text);

    // Sizes by their pixel width: the widest "Large", then "Small",
    // "Medium", "Medium2", ... from the narrowest up.
    std::vector<std::string> size_names(num_sizes);
    std::vector<std::pair<int, u64>> widths; // (width, camera index) of the sizes that parse
    for (u64 i = 0; i < num_sizes; ++i)
    {
        name_value(device, property, sizes, i, text);
        size_names[i].assign(text.str ? text.str : "", text.length);
        int width = 0;
        if (std::sscanf(size_names[i].c_str(), "%20d", &width) == 1)
            widths.emplace_back(width, i);
    }
    u64 largest = 0;
    int largest_width = -1;
    for (const auto& entry : widths)
        if (entry.first > largest_width)
        {
            largest_width = entry.first;
            largest = entry.second;
        }
    std::stable_sort(widths.begin(), widths.end(),
                     [](const std::pair<int, u64>& a, const std::pair<int, u64>& b) { return a.first < b.first; });
    for (u64 rank = 0; rank < widths.size(); ++rank)
    {
        u64 i = widths[rank].second;
        char name[32];
        if (i == largest)
            std::snprintf(name, sizeof name, "Large");
        else if (rank == 0)
            std::snprintf(name, sizeof name, "Small");
        else if (rank == 1)
            std::snprintf(name, sizeof name, "Medium");
        else
            std::snprintf(name, sizeof name, "Medium%u", static_cast<unsigned>(rank));
        size_names[i] = name;
    }

    std::vector<std::string> compression_names(num_compressions);
    for (u64 c = 0; c < num_compressions; ++c)
    {
        name_value(device, property, compressions, c, text);
        compression_names[c].assign(text.str ? text.str : "", text.length);
    }

    for (u64 s = 0; s < num_sizes && s < 0x8000; ++s)
    {
        for (u64 c = 0; c < num_compressions && c < 0x10000; ++c)
        {
            bool jpeg = compression_names[c].find("JPEG") != std::string::npos;
            if (s != largest && !jpeg)
                continue;
            std::string name = jpeg ? compression_names[c] + " " + size_names[s] : compression_names[c];
            int raw = static_cast<int>(s * 65536 + c);
            if (!vector_insert(property.raw_values, raw))
                continue;
            if (!stringarray_append(property.value_names, string_make(name.c_str(), name.size())))
                --property.raw_values.count;
        }
    }
    stringbuffer_release(text);
}

void storagemode_apply(mtp_device_t& device, i32 index)
{
    device.camera_storage_mode = false;
    device.host_only = false;
    device.download = index == 1 || index == 2;
    device.jpeg_only = index == 3;
    device.delete_after_download = index == 1;
}
} // namespace

// --- quality ------------------------------------------------------------------------------------------

bool mtp_generic_get_quality(mtp_device_t& device, mtp_cameraproperty_t& property)
{
    const mtp_devicepropdesc_t* sizes = mtp_device_get_deviceprop(device, MTP_PROPERTY_ImageSize, false);
    const mtp_devicepropdesc_t* compressions = mtp_device_get_deviceprop(device, MTP_PROPERTY_CompressionSetting, false);
    if (!sizes || !compressions)
        return false;
    if (!version_equal(property.range_version, compressions->range_version) ||
        !version_equal(property.second_range_version, sizes->range_version))
        quality_rebuild(device, property, *sizes, *compressions);
    if (version_equal(property.value_version, compressions->value_version) &&
        version_equal(property.second_value_version, sizes->value_version))
        return true;

    property.value_version = compressions->value_version;
    property.second_value_version = sizes->value_version;
    property.supported = sizes->getset != 0 || compressions->getset != 0;
    property.current_index = -1;
    property.current_name = empty_str;
    i32 size = allowed_index(*sizes);
    i32 compression = allowed_index(*compressions);
    if (size < 0 || compression < 0)
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Quality out of sync: %d, %d", size, compression);
    else
    {
        int raw = size * 65536 + compression;
        for (u64 i = 0; i < property.raw_values.count && i < property.value_names.strings.count; ++i)
            if (property.raw_values.data[i] == raw)
            {
                property.current_index = static_cast<i32>(i);
                property.current_name = property.value_names.strings.data[i];
                break;
            }
    }
    device.files_per_shot =
        contains(property.current_name, "RAW") && contains(property.current_name, "JPEG") ? 2 : 1;
    return true;
}

bool mtp_generic_set_quality(mtp_device_t& device, mtp_cameraproperty_t& property, i32 index)
{
    if (index < 0 || static_cast<u64>(index) >= property.raw_values.count)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Property value index out of range: %s - %d", "Quality", index);
        return false;
    }
    int raw = property.raw_values.data[index];
    i32 size = raw / 65536;
    i32 compression = raw % 65536;
    // Leaving a RAW setting, the compression goes first: some cameras refuse
    // a size change while they record RAW.
    bool ok_size;
    bool ok_compression;
    if (contains(property.current_name, "RAW"))
    {
        ok_compression = mtp_device_set_deviceprop(device, MTP_PROPERTY_CompressionSetting, compression);
        ok_size = mtp_device_set_deviceprop(device, MTP_PROPERTY_ImageSize, size);
    }
    else
    {
        ok_size = mtp_device_set_deviceprop(device, MTP_PROPERTY_ImageSize, size);
        ok_compression = mtp_device_set_deviceprop(device, MTP_PROPERTY_CompressionSetting, compression);
    }
    return ok_size && ok_compression;
}

// --- storage mode -----------------------------------------------------------------------------------------

bool mtp_generic_get_storagemode(mtp_device_t& device, mtp_cameraproperty_t& property)
{
    if (property.value_names.strings.count > 0)
        return true;
    for (const char* name : g_storage_names)
        stringarray_append(property.value_names, string_make(name));
    if (property.value_names.strings.count != 4)
    {
        stringarray_clear(property.value_names);
        return false;
    }
    property.supported = true;
    property.current_index = 2;
    property.current_name = property.value_names.strings.data[2];
    version_initialise(property.range_version);
    version_initialise(property.value_version);
    storagemode_apply(device, 2);
    return true;
}

bool mtp_generic_set_storagemode(mtp_device_t& device, mtp_cameraproperty_t& property, i32 index)
{
    if (index < 0 || index > 3)
        return false;
    if (property.value_names.strings.count != 4 && !mtp_generic_get_storagemode(device, property))
        return false;
    property.current_index = index;
    property.current_name = property.value_names.strings.data[index];
    version_bump(property.value_version);
    storagemode_apply(device, index);
    mtp_device_set_changed(device, MTP_CHANGE_PROPERTIES);
    return true;
}
} // namespace orvo
