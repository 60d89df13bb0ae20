// The base behaviour of the abstract camera classes: settings with their
// ranges and version pairs, the device's construction and default
// operations, the driver's name, and photo construction and reshooting.
#include "orvo/camera/camera_device.h"

#include "orvo/camera/camera_processor.h"
#include "orvo/core/core_file.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_uuid.h"

#include <cstring>

namespace orvo
{
namespace
{
const u64 RANGE_CAPACITY = 4;
} // namespace

// --- CameraSettings ------------------------------------------------------------------------------

CameraSettings::CameraSettings() : m_device(nullptr)
{
    for (u32 i = 0; i < CameraProperty::NumProperties; ++i)
    {
        std::memset(&m_properties[i], 0, sizeof(m_properties[i]));
        vector_initialise(m_ranges[i].values, RANGE_CAPACITY, false);
        vector_initialise(m_ranges[i].names, RANGE_CAPACITY, false);
        m_versions[i] = cameraversion_t{-1, -1};
    }
}

CameraSettings::~CameraSettings()
{
    ClearAll();
    for (u32 i = 0; i < CameraProperty::NumProperties; ++i)
    {
        vector_release(m_ranges[i].values);
        vector_release(m_ranges[i].names);
    }
}

void CameraSettings::ClearAll()
{
    for (u32 i = 0; i < CameraProperty::NumProperties; ++i)
    {
        m_properties[i].value = 0;
        m_properties[i].supported = false;
        m_properties[i].value_version = 0;
        m_properties[i].range_version = 0;
        for (u64 k = 0; k < m_ranges[i].names.count; ++k)
            stringid_release(m_ranges[i].names.data[k]);
        m_ranges[i].names.count = 0;
        m_ranges[i].values.count = 0;
        m_versions[i] = cameraversion_t{-1, -1};
    }
}

bool CameraSettings::AddValue(CameraProperty::Type type, i32 value, const string_t& name)
{
    if (!IsValid(type))
        return false;
    camerarange_t& range = m_ranges[type];
    stringid_t id = {empty_str};
    if (!camera_text_set(id, name))
        return false;
    if (!vector_insert(range.names, id))
    {
        stringid_release(id);
        return false;
    }
    if (!vector_insert(range.values, value))
    {
        range.names.count -= 1;
        stringid_release(id);
        return false;
    }
    return true;
}

// --- CameraDevice ---------------------------------------------------------------------------------

CameraDevice::CameraDevice(CameraDriver* driver, CameraSettings* settings)
    : m_pendingTracker(nullptr), m_driver(driver), m_settings(settings)
{
    camera_initialise(*this, driver ? driver->GetName() : stringid_t{empty_str});
    memorybuffer_initialise(m_buffer);
    if (m_settings)
        m_settings->SetDevice(*this);
}

CameraDevice::~CameraDevice()
{
    memorybuffer_release(m_buffer);
    delete m_settings;
    m_settings = nullptr;
    camera_release(*this);
}

CameraProcessor* CameraDevice::GetProcessor() const
{
    return m_driver ? m_driver->GetProcessor() : nullptr;
}

bool CameraDevice::IsEqual(const CameraDevice* other) const
{
    // Interned: equal texts are the same entry.
    return other && make.str == other->make.str && model.str == other->model.str && serial.str == other->serial.str;
}

void CameraDevice::SetTime(long long, timeunit_t)
{
}

void CameraDevice::SetLiveviewFPS(cameratracker_t* t, int liveview, int video)
{
    if (liveview >= 0)
        liveview_fps = liveview;
    if (video >= 0)
        video_fps = video;
    if (CameraProcessor* processor = GetProcessor())
        processor->BroadcastLiveviewStatus(this);
    cameratracker_decref(t, true, this);
}

void CameraDevice::QueryTime(cameratracker_t* t)
{
    cameratracker_decref(t, false, this);
}

void CameraDevice::SetTime(cameratracker_t* t, long long, timeunit_t)
{
    cameratracker_decref(t, false, this);
}

void CameraDevice::Format(cameratracker_t* t)
{
    cameratracker_decref(t, false, this);
}

void CameraDevice::SetShutterButton(cameratracker_t* t, int)
{
    cameratracker_decref(t, true, this);
}

// --- CameraDriver ----------------------------------------------------------------------------------

CameraDriver::CameraDriver(CameraProcessor* processor) : m_name{empty_str}, m_processor(processor)
{
}

CameraDriver::~CameraDriver()
{
    stringid_release(m_name);
}

// --- CameraPhoto ------------------------------------------------------------------------------------

CameraPhoto::CameraPhoto(CameraDevice* device, const cameratracker_t* tracker)
    : m_device(device), m_driverOfDevice(device ? device->GetDriver() : nullptr)
{
    photo_initialise(*this, device ? device->id : cameraid_t{CAMERAID_NONE, 0});
    SetOrigin(tracker);
    stringbuffer_t text;
    stringbuffer_initialise(text);
    // uuid_generate writes the lower-case 8-4-4-4-12 form.
    if (uuid_generate(text))
        camera_text_set(uuid, text);
    stringbuffer_release(text);
}

CameraPhoto::~CameraPhoto()
{
    photo_release(*this);
}

void CameraPhoto::SetOrigin(const cameratracker_t* tracker)
{
    if (tracker)
        camera_text_copy(origin, tracker->origin);
    else
        camera_text_set(origin, string_make("manual"));
}

void CameraPhoto::Reshoot(CameraDevice* device, const cameratracker_t* tracker)
{
    if (downloaded && path.str && path.length && file_exists(path))
        file_delete(path);
    owner = device ? device->id : cameraid_t{CAMERAID_NONE, 0};
    valid = true;
    downloaded = false;
    orphaned = false;
    video = false;
    SetOrigin(tracker);
    m_device = device;
    m_driverOfDevice = device ? device->GetDriver() : nullptr;
}
} // namespace orvo
