// MICPhoto from a PTP ObjectInfo, and MICSettings from the engine's camera
// properties.
#include "orvo/camera/camera_processor.h"
#include "orvo/camera/src/mic/camera_mic_device.h"
#include "orvo/core/core_filename.h"
#include "orvo/core/core_log.h"

namespace orvo
{
// --- MICPhoto ------------------------------------------------------------------------------------------

MICPhoto::MICPhoto(MICDevice* device, const cameratracker_t* tracker, const mtp_objectinfo_t& info, bool keep_name)
    : CameraPhoto(device, tracker)
{
    mtp_objectinfo_initialise(m_object, device->GetMTPDevice().protocol, 0);
    ExtractFromMTP(info, keep_name);
}

MICPhoto::~MICPhoto()
{
    mtp_objectinfo_release(m_object);
}

void MICPhoto::Reshoot(MICDevice* device, const cameratracker_t* tracker, const mtp_objectinfo_t& info)
{
    mtp_objectinfo_clear(m_object);
    CameraPhoto::Reshoot(device, tracker);
    ExtractFromMTP(info, true);
}

void MICPhoto::ExtractFromMTP(const mtp_objectinfo_t& info, bool keep_name)
{
    if (!mtp_objectinfo_copy(m_object, info))
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to copy object info of photo: %s", info.filename.str);
    width = static_cast<i32>(info.width);
    height = static_cast<i32>(info.height);
    size = static_cast<i64>(info.size);
    video = mtp_objectinfo_is_video(info);

    // Only the last component and its extension are taken; a name that comes
    // from the camera is made safe before it becomes a file name.
    stringbuffer_t file_name;
    stringbuffer_initialise(file_name);
    stringbuffer_t extension;
    stringbuffer_initialise(extension);
    filename_t parts;
    filename_initialise(parts);
    if (info.filename.length && filename_set(parts, info.filename))
    {
        stringbuffer_set(file_name, parts.name);
        stringbuffer_set(extension, parts.extension);
    }
    else
    {
        stringbuffer_set(file_name, info.filename);
        filename_sanitise_name(file_name);
    }
    filename_release(parts);

    if (!keep_name)
    {
        camera_text_set(name, file_name);
        camera_text_set(path, file_name);
    }
    stringbuffer_t date;
    stringbuffer_initialise(date);
    if (datetime_to_str(info.capture_date, date))
        camera_text_set(this->date, date);
    else
        camera_text_set(this->date, empty_str);
    stringbuffer_release(date);
    camera_text_set(type, extension);
    camera_text_set(camera_file_name, file_name);

    format = mtp_format_to_imageformat(info.protocol, info.format);
    if (format == IMAGEFORMAT_UNKNOWN)
        format = imageformat_from_extension(extension);
    stringbuffer_release(extension);
    stringbuffer_release(file_name);
}

// --- MICSettings ---------------------------------------------------------------------------------------

u32 mic_settings_engine_property(u32 type)
{
    // The engine orders drive mode and focus mode the other way round; the
    // camera's mirror lock-up is no settable property.
    static const u32 map[CameraProperty::NumProperties] = {
        MTP_CAMERAPROPERTY_APERTURE,     MTP_CAMERAPROPERTY_SHUTTERSPEED,
        MTP_CAMERAPROPERTY_ISO,          MTP_CAMERAPROPERTY_EXPOSURECOMPENSATION,
        MTP_CAMERAPROPERTY_QUALITY,      MTP_CAMERAPROPERTY_EXPOSUREPROGRAM,
        MTP_CAMERAPROPERTY_METERINGMODE, MTP_CAMERAPROPERTY_DRIVEMODE,
        MTP_CAMERAPROPERTY_FOCUSMODE,    MTP_CAMERAPROPERTY_WHITEBALANCE,
        MTP_CAMERAPROPERTY_STORAGEMODE,  CameraProperty::None,
    };
    return type < CameraProperty::NumProperties ? map[type] : static_cast<u32>(CameraProperty::None);
}

MICSettings::MICSettings()
{
    for (u32 i = 0; i < CameraProperty::NumProperties; ++i)
    {
        m_valueVersions[i] = version_t{0, 0};
        m_rangeVersions[i] = version_t{0, 0};
    }
}

bool MICSettings::SyncAll(MICDevice* device)
{
    mtp_device_t& mtp = device->GetMTPDevice();
    for (u32 j = 0; j < CameraProperty::NumProperties; ++j)
    {
        const u32 engine = mic_settings_engine_property(j);
        if (engine >= MTP_CAMERAPROPERTY_COUNT)
            continue;
        const CameraProperty::Type type = static_cast<CameraProperty::Type>(j);
        const mtp_cameraproperty_t& source = mtp.cameraproperties[engine];
        CameraProperty& property = GetProperty(type);
        // The range comes first, so that the value names a position in it.
        if (!version_equal(source.range_version, m_rangeVersions[j]))
        {
            ++property.range_version;
            camerarange_t& range = GetRange(type);
            for (u64 k = 0; k < range.names.count; ++k)
                stringid_release(range.names.data[k]);
            range.names.count = 0;
            range.values.count = 0;
            const u64 count = source.value_names.strings.count;
            for (u64 k = 0; k < count; ++k)
                AddValue(type, static_cast<i32>(k), source.value_names.strings.data[k]);
        }
        if (!version_equal(source.value_version, m_valueVersions[j]))
        {
            property.value = static_cast<u64>(static_cast<i64>(source.current_index));
            property.supported = source.supported;
            ++property.value_version;
        }
        m_rangeVersions[j] = source.range_version;
        m_valueVersions[j] = source.value_version;
    }
    return true;
}
} // namespace orvo
