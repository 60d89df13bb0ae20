// The camera and photo records: their values after construction, releasing
// and copying their interned texts, and the property names.
#include "orvo/camera/camera_types.h"

#include <cstring>

namespace orvo
{
namespace
{
const char* const PROPERTY_NAMES[CameraProperty::NumProperties] = {
    "Aperture",  "ShutterSpeed", "Iso",          "Exposure", "Quality", "ProgramMode",
    "MeteringMode", "DriveMode", "FocusMode", "WhiteBalance", "Storage", "MirrorLockup",
};

stringid_t* photo_texts(photo_t& photo, u32 index)
{
    stringid_t* texts[] = {&photo.path,  &photo.type,             &photo.origin, &photo.date,
                           &photo.uuid,  &photo.camera_file_name, &photo.name,   &photo.hash};
    return texts[index];
}

const u32 PHOTO_NUM_TEXTS = 8;
} // namespace

CameraProperty::Type CameraProperty::GetType(const char* name)
{
    if (!name)
        return None;
    for (u32 i = 0; i < NumProperties; ++i)
        if (std::strcmp(name, PROPERTY_NAMES[i]) == 0)
            return static_cast<Type>(i);
    return None;
}

const char* CameraProperty::GetName(u32 type)
{
    return type < NumProperties ? PROPERTY_NAMES[type] : "";
}

bool camera_text_set(stringid_t& id, const string_t& text)
{
    if (text.length == 0 || !text.str)
    {
        stringid_release(id);
        return true;
    }
    if (!stringid_resolve(id, text))
    {
        stringid_release(id);
        return false;
    }
    return true;
}

void camera_text_copy(stringid_t& id, const stringid_t& from)
{
    if (id.str == from.str)
        return;
    stringid_incref(from);
    stringid_release(id);
    id = from;
    if (!id.str)
        id = stringid_t{empty_str};
}

void camera_initialise(camera_t& camera, const stringid_t& make)
{
    std::memset(&camera, 0, sizeof(camera));
    camera.id.id = CAMERAID_NONE;
    camera.id.index = 0;
    camera.name = stringid_t{empty_str};
    camera.group = stringid_t{empty_str};
    camera.make = stringid_t{empty_str};
    camera.model = stringid_t{empty_str};
    camera.serial = stringid_t{empty_str};
    camera_text_copy(camera.make, make);
    camera.driver_flag0 = true;
    camera.battery = -1.0f;
    camera.liveview_fps = 20;
    camera.video_fps = 20;
    camera.batch_number = 1;
    camera.photos_per_shot = 1;
}

void camera_release(camera_t& camera)
{
    stringid_release(camera.name);
    stringid_release(camera.group);
    stringid_release(camera.make);
    stringid_release(camera.model);
    stringid_release(camera.serial);
}

void camera_copy(camera_t& to, const camera_t& from)
{
    if (&to == &from)
        return;
    camera_release(to);
    std::memcpy(&to, &from, sizeof(to));
    stringid_incref(to.name);
    stringid_incref(to.group);
    stringid_incref(to.make);
    stringid_incref(to.model);
    stringid_incref(to.serial);
}

void photo_initialise(photo_t& photo, const cameraid_t& owner)
{
    std::memset(&photo, 0, sizeof(photo));
    photo.index = -1;
    photo.owner = owner;
    for (u32 i = 0; i < PHOTO_NUM_TEXTS; ++i)
        *photo_texts(photo, i) = stringid_t{empty_str};
    photo.valid = true;
    photo.name_valid = true;
    photo.sequence = -1;
    photo.batch = -1;
    photo.format = IMAGEFORMAT_UNKNOWN;
}

void photo_release(photo_t& photo)
{
    for (u32 i = 0; i < PHOTO_NUM_TEXTS; ++i)
        stringid_release(*photo_texts(photo, i));
}

void photo_copy(photo_t& to, const photo_t& from)
{
    if (&to == &from)
        return;
    photo_release(to);
    std::memcpy(&to, &from, sizeof(to));
    for (u32 i = 0; i < PHOTO_NUM_TEXTS; ++i)
        stringid_incref(*photo_texts(to, i));
}
} // namespace orvo
