// The camera data surface: the mirror of cameras, photos and settings that a
// consumer rebuilds from camera events, and the routing of each event.
// Every field is read through the checked readers of camera_request.h, and
// every slot an event names is bounded before the lists grow.
#include "orvo/camera/camera_datasurface.h"

#include "orvo/core/core_location.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_message_queue.h"

#include <cstring>
#include <new>

namespace orvo
{
namespace
{
const char* const SURFACE_LOCATION = "orvo::CameraDataSurface";
const u64 PHOTO_CAPACITY = 10;
const u64 CAMERA_CAPACITY = 4;

void default_photo(photo_t& photo)
{
    photo_initialise(photo, cameraid_t{CAMERAID_NONE, 0});
}

void default_camera(camera_t& camera)
{
    camera_initialise(camera, stringid_t{empty_str});
}
} // namespace

CameraDataSurface::CameraDataSurface(const char* name)
    : MessageProcessor(SURFACE_LOCATION, false), m_allCameras(false), m_activePhoto(-1),
      m_activeCamera{CAMERAID_NONE, 0}, m_processorLocation(0), m_synchronised(false), m_name{empty_str}
{
    camera_text_set(m_name, string_make(name ? name : ""));
    default_photo(m_defaultPhoto);
    default_camera(m_defaultCamera);
    vector_initialise(m_photos, PHOTO_CAPACITY, false);
    vector_initialise(m_cameras, CAMERA_CAPACITY, false);
    vector_initialise(m_settings, CAMERA_CAPACITY, false);
}

CameraDataSurface::~CameraDataSurface()
{
    Release();
}

bool CameraDataSurface::Initialise()
{
    m_processorLocation = Location::GetLocationId(CAMERA_PROCESSOR_LOCATION, true);
    if (!Subscribe(CAMERA_EVENT_CHANNEL))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Camera data surface %s could not subscribe to: %s", m_name.str,
                   CAMERA_EVENT_CHANNEL);
        return false;
    }
    m_synchronised = false;
    if (!m_queue)
        return false;
    const photoid_t photo = GetActivePhoto().index;
    const cameraid_t camera = GetActiveCamera().id;
    CameraMessageSender sender(m_queue->GetEncoder(), photo, camera, m_name, m_allCameras, this, this);
    sender.Synchronise();
    return true;
}

void CameraDataSurface::ClearCameras()
{
    for (u64 i = 0; i < m_cameras.count; ++i)
        camera_release(m_cameras.data[i]);
    for (u64 i = 0; i < m_settings.count; ++i)
        delete m_settings.data[i];
    m_cameras.count = 0;
    m_settings.count = 0;
}

void CameraDataSurface::Release()
{
    m_processorLocation = 0;
    m_synchronised = false;
    ClearCameras();
    for (u64 i = 0; i < m_photos.count; ++i)
        photo_release(m_photos.data[i]);
    m_photos.count = 0;
    photo_release(m_defaultPhoto);
    camera_release(m_defaultCamera);
    stringid_release(m_name);
    vector_release(m_photos);
    vector_release(m_cameras);
    vector_release(m_settings);
}

// --- slots ------------------------------------------------------------------------------------------------

camera_t* CameraDataSurface::AddCamera(i64 index)
{
    if (index < 0 || index >= CAMERA_SURFACE_MAX_CAMERAS)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Camera data surface %s: camera index refused: %lld",
                   m_name.str, static_cast<long long>(index));
        return nullptr;
    }
    while (m_cameras.count <= static_cast<u64>(index))
    {
        CameraSettings* settings = new (std::nothrow) CameraSettings();
        if (!settings)
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "FATAL ERROR failed to allocate %d bytes",
                       static_cast<int>(sizeof(CameraSettings)));
            return nullptr;
        }
        camera_t camera;
        default_camera(camera);
        if (!vector_insert(m_settings, settings))
        {
            delete settings;
            camera_release(camera);
            return nullptr;
        }
        if (!vector_insert(m_cameras, camera))
        {
            m_settings.count -= 1;
            delete settings;
            camera_release(camera);
            return nullptr;
        }
    }
    return &m_cameras.data[index];
}

photo_t* CameraDataSurface::AddPhoto(i64 index)
{
    if (index < 0 || index >= CAMERA_SURFACE_MAX_PHOTOS)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Camera data surface %s: photo index refused: %lld",
                   m_name.str, static_cast<long long>(index));
        return nullptr;
    }
    while (m_photos.count <= static_cast<u64>(index))
    {
        photo_t photo;
        default_photo(photo);
        if (!vector_insert(m_photos, photo))
        {
            photo_release(photo);
            return nullptr;
        }
    }
    return &m_photos.data[index];
}

const camera_t& CameraDataSurface::GetActiveCamera() const
{
    if (m_activeCamera.index >= 0 && static_cast<u64>(m_activeCamera.index) < m_cameras.count)
        return m_cameras.data[m_activeCamera.index];
    return m_defaultCamera;
}

const photo_t& CameraDataSurface::GetActivePhoto() const
{
    if (m_activePhoto >= 0 && static_cast<u64>(m_activePhoto) < m_photos.count)
        return m_photos.data[m_activePhoto];
    return m_defaultPhoto;
}

// --- mirror updates -------------------------------------------------------------------------------------

void CameraDataSurface::StoreCamera(const camera_t& received)
{
    // The record may sit unaligned in the message: copy it out first.
    camera_t record;
    std::memcpy(static_cast<void*>(&record), &received, sizeof(record));
    camera_t* slot = AddCamera(record.id.index);
    if (slot)
        camera_copy(*slot, record); // takes a reference on each of the five texts
}

void CameraDataSurface::HandleCameraList(const Message& message)
{
    m_activeCamera = cameraid_t{CAMERAID_NONE, 0};
    ClearCameras();
    const void* data = nullptr;
    u32 count = 0;
    if (!camerarequest_get_data(message, CAMERAFIELD_CAMERAS, sizeof(camera_t), data, count))
        return;
    const u8* bytes = static_cast<const u8*>(data);
    for (u32 i = 0; i < count; ++i)
        StoreCamera(*reinterpret_cast<const camera_t*>(bytes + static_cast<u64>(i) * sizeof(camera_t)));
}

void CameraDataSurface::HandleCameraStatus(const Message& message)
{
    const void* data = nullptr;
    u32 count = 0;
    if (!camerarequest_get_data(message, CAMERAFIELD_CAMERAS, sizeof(camera_t), data, count) || count < 1)
        return;
    StoreCamera(*static_cast<const camera_t*>(data));
}

void CameraDataSurface::HandlePhotoList(const Message& message)
{
    const void* data = nullptr;
    u32 count = 0;
    if (!camerarequest_get_data(message, CAMERAFIELD_PHOTOS, sizeof(photo_t), data, count))
        return;
    const u8* bytes = static_cast<const u8*>(data);
    for (u32 i = 0; i < count; ++i)
    {
        photo_t record;
        std::memcpy(static_cast<void*>(&record), bytes + static_cast<u64>(i) * sizeof(photo_t), sizeof(record));
        if (photo_t* slot = AddPhoto(record.index))
            photo_copy(*slot, record);
    }
}

void CameraDataSurface::HandlePhotoStatus(const Message& message)
{
    HandlePhotoList(message);
}

void CameraDataSurface::HandlePropertyStatus(const Message& message)
{
    cameraid_t camera;
    CameraProperty::Type type;
    if (!camerarequest_get_camera(message, camera) || !camerarequest_get_property_type(message, type))
        return;
    if (camera.index < 0 || static_cast<u64>(camera.index) >= m_settings.count)
        return;
    CameraSettings& settings = *m_settings.data[camera.index];
    const void* data = nullptr;
    u32 count = 0;
    if (camerarequest_get_data(message, CAMERAFIELD_PROPERTY, sizeof(CameraProperty), data, count) && count >= 1)
        std::memcpy(static_cast<void*>(&settings.GetProperty(type)), data, sizeof(CameraProperty));
    if (camerarequest_get_data(message, CAMERAFIELD_PROPERTY_NAMES, sizeof(string_t), data, count))
    {
        camerarange_t& range = settings.GetRange(type);
        for (u64 i = 0; i < range.names.count; ++i)
            stringid_release(range.names.data[i]);
        range.names.count = 0;
        const u8* bytes = static_cast<const u8*>(data);
        for (u32 i = 0; i < count; ++i)
        {
            string_t view;
            std::memcpy(static_cast<void*>(&view), bytes + static_cast<u64>(i) * sizeof(string_t), sizeof(view));
            // Interned texts live for the whole process, so the view is valid;
            // resolving it takes this surface's own reference.
            stringid_t name = {empty_str};
            if (camera_text_set(name, view) && !vector_insert(range.names, name))
                stringid_release(name);
        }
    }
}

// --- messages ------------------------------------------------------------------------------------------

void CameraDataSurface::ReceiveRequest(const Message&)
{
}

void CameraDataSurface::ReceiveResponse(const Message& message)
{
    i32 type = -1;
    bool result = false;
    if (camerarequest_get_int(message, CAMERAFIELD_REQUEST, type) && type == CameraRequest::Synchronise &&
        camerarequest_get_bool(message, CAMERAFIELD_RESULT, result))
        m_synchronised = result;
}

void CameraDataSurface::ReceiveEvent(const Message& message)
{
    if (message.IsNull() || message.GetNumBytes() <= 16)
        return;
    CameraEvent event;
    if (!camerarequest_get_int(message, CAMERAFIELD_EVENT, event.type))
        return;
    event.camera = cameraid_t{CAMERAID_NONE, 0};
    event.photo = -1;
    event.sequence = -1;
    event.batch = -1;
    event.text = nullptr;
    string_t text;
    if (camerarequest_get_text(message, CAMERAFIELD_TEXT, text))
        event.text = text.str;
    camerarequest_get_int(message, CAMERAFIELD_SEQUENCE, event.sequence);
    camerarequest_get_int(message, CAMERAFIELD_BATCH, event.batch);
    camerarequest_get_camera(message, event.camera);
    camerarequest_get_photo(message, event.photo);

    switch (event.type)
    {
    case CAMERAEVENT_STATUS:
        HandleCameraList(message);
        HandlePhotoList(message);
        break;
    case CAMERAEVENT_PHOTO_TAKEN:
        if (event.photo >= 0)
            m_activePhoto = event.photo;
        break;
    case CAMERAEVENT_CAMERA_LIST:
        HandleCameraList(message);
        break;
    case CAMERAEVENT_LIVEVIEW:
    case CAMERAEVENT_CAMERA_STATUS:
    case CAMERAEVENT_CAMERA_METRICS:
        HandleCameraStatus(message);
        break;
    case CAMERAEVENT_PHOTO_STATUS:
        HandlePhotoStatus(message);
        break;
    case CAMERAEVENT_PROPERTY_STATUS:
        HandlePropertyStatus(message);
        break;
    default:
        break;
    }
    RouteEvent(event);
}
} // namespace orvo
