// The camera processor's life and passes: construction and the options,
// initialisation of the PTP context and the drivers, one pass of the "CAMERA"
// thread, detection and the device list, the photo list and download queue,
// the serial table, and a release that ends every camera's work before
// anything a camera may still touch is freed.
#include "orvo/camera/camera_processor.h"

#include "orvo/camera/camera_handlers.h"
#include "orvo/camera/camera_testdriver.h"
#include "orvo/camera/src/mic/camera_mic_driver.h"
#include "orvo/core/core_file.h"
#include "orvo/core/core_filename.h"
#include "orvo/core/core_location.h"
#include "orvo/core/core_log.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace orvo
{
u16 CameraProcessor::BroadcastEventId = 0;
u16 CameraProcessor::BroadcastLiveviewId = 0;
bool CameraProcessor::SupportPTP = true;
const char* const CAMERA_SIMULATED_ENVIRONMENT = "LUMIVANE_SIMULATED_CAMERAS";

namespace
{
// The USB driver unless a test or the simulated cameras install another.
cameradriver_factory_t ptp_driver_factory = mic_driver_create;
camera_os_event_pump_t os_event_pump = nullptr;
void* os_event_pump_user = nullptr;

void set_text(stringbuffer_t& buffer, const char* text)
{
    stringbuffer_initialise(buffer);
    stringbuffer_set(buffer, text);
}

stringbuffer_t* option_texts(cameraoptions_t& options, u32 index)
{
    stringbuffer_t* texts[] = {&options.download_folder,     &options.fallback_folder, &options.liveview_folder,
                               &options.filename_expression, &options.validation_text, &options.text_a,
                               &options.text_u,              &options.text_z,          &options.default_storage,
                               &options.default_focus_mode};
    return texts[index];
}
const u32 OPTION_NUM_TEXTS = 10;
} // namespace

void process_os_events()
{
    if (os_event_pump)
        os_event_pump(os_event_pump_user);
}

void CameraProcessor::SetPTPDriverFactory(cameradriver_factory_t factory)
{
    ptp_driver_factory = factory;
}

void CameraProcessor::SetOSEventPump(camera_os_event_pump_t pump, void* user)
{
    os_event_pump = pump;
    os_event_pump_user = user;
}

// --- construction ------------------------------------------------------------------------------------

CameraProcessor::CameraProcessor()
    : MessageProcessor(CAMERA_PROCESSOR_LOCATION, true), m_downloadQueueHead(0), m_contextInitialised(false),
      m_requestTimeout(time_compute_ticks(CAMERA_REQUEST_TIMEOUT_SECONDS, TIMEUNIT_SECONDS))
{
    BroadcastEventId = Location::GetSubscriptionId(CAMERA_EVENT_CHANNEL);
    BroadcastLiveviewId = Location::GetSubscriptionId(CAMERA_LIVEVIEW_CHANNEL);

    std::memset(&m_options, 0, sizeof(m_options));
    m_options.next_camera_id = 0;
    m_options.sequence_number = 1;
    m_options.batch_number = 1;
    m_options.liveview_limit = CAMERA_LIVEVIEW_LIMIT_GIB;
    set_text(m_options.download_folder, "");
    set_text(m_options.fallback_folder, "");
    set_text(m_options.liveview_folder, "");
    set_text(m_options.filename_expression, "LVP_[S]");
    set_text(m_options.validation_text, "");
    set_text(m_options.text_a, "Group1");
    set_text(m_options.text_u, "Custom1");
    set_text(m_options.text_z, "");
    set_text(m_options.default_storage, "Disk");
    set_text(m_options.default_focus_mode, "");

    photo_validation_initialise(m_validation);
    memorybuffer_initialise(m_downloadBuffer);
    vector_initialise(m_photos, 8, false);
    vector_initialise(m_devices, 4, false);
    vector_initialise(m_drivers, 2, false);
    vector_initialise(m_downloadQueue, 8, false);
    vector_initialise(m_trackers, 8, false);
    // A zeroed context is valid to release; initialise comes with the thread.
    std::memset(static_cast<void*>(&m_context), 0, sizeof(m_context));
    if (!hashtable_initialise(m_serials, CAMERA_SERIAL_BUCKETS))
        log_write(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to create the camera serial table");
    std::memset(m_handlers, 0, sizeof(m_handlers));
    std::memset(m_notices, 0, sizeof(m_notices));
    camera_handlers_install(*this);
}

CameraProcessor::~CameraProcessor()
{
    // A processor that never ran its release (its thread failed to start)
    // still frees what it owns, cameras' work first.
    ProcessorRelease();
    for (u32 i = 0; i < OPTION_NUM_TEXTS; ++i)
        stringbuffer_release(*option_texts(m_options, i));
    photo_validation_release(m_validation);
    memorybuffer_release(m_downloadBuffer);
    vector_release(m_photos);
    vector_release(m_devices);
    vector_release(m_drivers);
    vector_release(m_downloadQueue);
    vector_release(m_trackers);
    ReleaseSerialTable();
}

bool CameraProcessor::SetRequestHandler(i32 type, camerarequest_handler_t handler, camerarequest_notice_t notice)
{
    if (type < 0 || type >= CAMERAREQUEST_COUNT)
        return false;
    m_handlers[type] = handler;
    m_notices[type] = notice;
    return true;
}

camerarequest_handler_t CameraProcessor::GetRequestHandler(i32 type) const
{
    return type >= 0 && type < CAMERAREQUEST_COUNT ? m_handlers[type] : nullptr;
}

camerarequest_notice_t CameraProcessor::GetRequestNotice(i32 type) const
{
    return type >= 0 && type < CAMERAREQUEST_COUNT ? m_notices[type] : nullptr;
}

// --- initialise and release -------------------------------------------------------------------------------

bool CameraProcessor::ProcessorInitialise()
{
    if (!m_contextInitialised)
    {
        if (!mtp_context_initialise(m_context))
        {
            log_write(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to initialise CameraProcessor");
            return false;
        }
        m_contextInitialised = true;
    }
    mtp_context_auto_sync_time(m_context, m_options.synchronise_clocks);
    mtp_context_set_download_waker(m_context, WakeForDownloads, this);
    mtp_context_set_default(m_context, MTP_CAMERAPROPERTY_STORAGEMODE, m_options.default_storage);
    mtp_context_set_default(m_context, MTP_CAMERAPROPERTY_FOCUSMODE, m_options.default_focus_mode);

    if (SupportPTP && ptp_driver_factory)
        AddDriver(ptp_driver_factory(this));
    // The simulated cameras stand in for real ones only when asked for.
    if (const char* simulated = std::getenv(CAMERA_SIMULATED_ENVIRONMENT))
        if (std::strcmp(simulated, "1") == 0)
            AddDriver(new (std::nothrow) TestDriver(this));

    for (u64 i = 0; i < m_drivers.count; ++i)
    {
        CameraDriver* driver = m_drivers.data[i];
        if (!driver->Initialise())
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to initialise driver: %s", driver->GetName().str);
            log_write(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to initialise CameraProcessor");
            return false;
        }
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Initialised driver: %s", driver->GetName().str);
    }
    log_write(LOGLEVEL_INFO, LOGMODULE_CAMERA, "CameraProcessor initialised");
    return true;
}

void CameraProcessor::ProcessorRelease()
{
    const bool anything = m_devices.count || m_photos.count || m_drivers.count || m_contextInitialised ||
                          m_trackers.count;
    if (!anything)
        return;
    process_os_events();
    if (m_contextInitialised)
        mtp_context_set_download_waker(m_context, nullptr, nullptr);

    // Every camera ends its work first: a disconnect ends the requests and
    // downloads a device still completes, and those endings read the photos
    // and the devices. Only then is anything freed.
    for (u64 i = 0; i < m_devices.count; ++i)
        m_devices.data[i]->Disconnect();
    // Stops the download threads; tasks still held are reported to the photos.
    if (m_contextInitialised)
    {
        mtp_context_release(m_context);
        m_contextInitialised = false;
    }
    while (m_devices.count)
    {
        CameraDevice* device = m_devices.data[m_devices.count - 1];
        vector_remove(m_devices, m_devices.count - 1);
        DeleteDevice(device);
    }
    // A request whose camera never ended its operation is still answered.
    FailTrackers();
    m_downloadQueue.count = 0;
    m_downloadQueueHead = 0;
    for (u64 i = 0; i < m_photos.count; ++i)
        delete m_photos.data[i];
    m_photos.count = 0;

    for (u64 i = 0; i < m_drivers.count; ++i)
    {
        CameraDriver* driver = m_drivers.data[i];
        driver->Release();
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Released driver: %s", driver->GetName().str);
        delete driver;
    }
    m_drivers.count = 0;
    for (u32 i = 0; i < OPTION_NUM_TEXTS; ++i)
        stringbuffer_clear(*option_texts(m_options, i));
    log_write(LOGLEVEL_INFO, LOGMODULE_CAMERA, "CameraProcessor released");
}

void CameraProcessor::FailTrackers()
{
    while (m_trackers.count)
    {
        cameratracker_t* tracker = m_trackers.data[m_trackers.count - 1];
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Request never completed by its camera: %s",
                   GetRequestName(tracker->type));
        tracker->camera = nullptr;
        tracker->references = 1;
        cameratracker_decref(tracker, false, nullptr); // answers only one still owed
    }
}

// --- one pass -----------------------------------------------------------------------------------------------

void CameraProcessor::ProcessorUpdate()
{
    process_os_events();
    if (m_options.detection_pending)
    {
        m_options.detection_pending = false;
        DetectCameras();
    }
    // Downloads that ended since the last pass are acknowledged before the
    // cameras update: a camera is not updated while a download of it is
    // unacknowledged, so an event it raised meanwhile (the next photo of a
    // series) is read in this pass rather than the next.
    UpdateContext();
    EmptyDownloadQueue();
    for (u64 i = 0; i < m_devices.count; ++i)
        m_devices.data[i]->Update();
    ExpireTrackers();
    // Again after the cameras: the downloads they queued start in this pass.
    UpdateContext();
    for (u64 i = 0; i < m_drivers.count; ++i)
        m_drivers.data[i]->Update();
}

// A download thread's task waits for this thread: it is stepped at the next
// pump rather than at the next pass, so a photo is acknowledged, saved and
// announced without waiting a pass for each step.
void CameraProcessor::WakeForDownloads(void* user)
{
    static_cast<CameraProcessor*>(user)->RequestWake();
}

void CameraProcessor::ProcessorWake()
{
    UpdateContext();
}

void CameraProcessor::UpdateContext()
{
    if (!m_contextInitialised)
        return;
    const i32 flags = mtp_context_update(m_context);
    if (flags & MTP_ATTACH_ATTACHED)
        BroadcastCameraAttached();
    if (flags & MTP_ATTACH_DETACHED)
        BroadcastCameraDetached();
}

void CameraProcessor::EmptyDownloadQueue()
{
    // Devices may queue more while this runs; those wait for the next pass.
    const u64 end = m_downloadQueue.count;
    for (u64 i = m_downloadQueueHead; i < end; ++i)
    {
        CameraPhoto* photo = m_downloadQueue.data[i];
        if (photo->downloaded || photo->orphaned)
            continue;
        CameraDevice* device = nullptr;
        if (!FindDevice(photo->owner, device))
            continue;
        if (!CanSavePhoto(photo))
            continue;
        BroadcastPhotoDownloading(photo);
        device->Download(photo);
    }
    if (end == m_downloadQueue.count)
    {
        m_downloadQueue.count = 0;
        m_downloadQueueHead = 0;
    }
    else
        m_downloadQueueHead = end;
}

bool CameraProcessor::QueueDownload(CameraPhoto* photo)
{
    if (!photo)
        return false;
    return vector_insert(m_downloadQueue, photo);
}

bool CameraProcessor::CanSavePhoto(const photo_t* photo) const
{
    if (m_options.download_folder.length)
        return true;
    log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "No download folder set: photo %s not saved, kept on the camera",
               photo && photo->name.str ? photo->name.str : "");
    return false;
}

// --- drivers and devices ------------------------------------------------------------------------------------

void CameraProcessor::AddDriver(CameraDriver* driver)
{
    if (!driver)
        return;
    if (!vector_insert(m_drivers, driver))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to add driver: %s", driver->GetName().str);
        delete driver;
    }
}

void CameraProcessor::AddDevice(CameraDevice* device)
{
    if (!device)
        return;
    if (!device->valid)
    {
        delete device;
        return;
    }
    for (u64 i = 0; i < m_devices.count; ++i)
    {
        if (device->IsEqual(m_devices.data[i]))
        {
            m_devices.data[i]->valid = true;
            delete device;
            return;
        }
    }
    device->id.id = m_options.next_camera_id;
    if (!vector_insert(m_devices, device))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to add camera: %s %s", device->make.str,
                   device->model.str);
        delete device;
        return;
    }
    ++m_options.next_camera_id;
    device->id.index = static_cast<i64>(m_devices.count - 1);
    if (const camera_serial_entry_t* entry = FindSerial(device->serial))
    {
        camera_text_set(device->name, entry->name);
        camera_text_set(device->group, entry->group);
    }
}

void CameraProcessor::DeleteDevice(CameraDevice* device)
{
    if (cameratracker_t* pending = device->m_pendingTracker)
    {
        device->m_pendingTracker = nullptr;
        cameratracker_decref(pending, false, nullptr);
    }
    for (u64 i = 0; i < m_trackers.count; ++i)
        if (m_trackers.data[i]->camera == device)
            m_trackers.data[i]->camera = nullptr;
    for (u64 i = 0; i < m_photos.count; ++i)
        if (m_photos.data[i]->GetDevice() == device)
            m_photos.data[i]->DetachDevice();
    delete device;
}

void CameraProcessor::RemoveInvalidDevices()
{
    u64 kept = 0;
    for (u64 i = 0; i < m_devices.count; ++i)
    {
        CameraDevice* device = m_devices.data[i];
        if (device->valid)
            m_devices.data[kept++] = device;
        else
            DeleteDevice(device);
    }
    m_devices.count = kept;
}

void CameraProcessor::DetectCameras()
{
    BroadcastInformation("Detecting cameras...");
    RemoveInvalidDevices();
    for (u64 i = 0; i < m_devices.count; ++i)
        m_devices.data[i]->valid = false;
    for (u64 i = 0; i < m_drivers.count; ++i)
        m_drivers.data[i]->DetectCameras();
    RemoveInvalidDevices();
    for (u64 i = 0; i < m_devices.count; ++i)
    {
        CameraDevice* device = m_devices.data[i];
        device->id.index = static_cast<i64>(i);
    }
    // Photos follow their camera to its new place, so that a camera that
    // moved up the list can still download and reshoot them.
    for (u64 p = 0; p < m_photos.count; ++p)
    {
        CameraPhoto* photo = m_photos.data[p];
        if (photo->owner.id < 0)
            continue;
        for (u64 i = 0; i < m_devices.count; ++i)
            if (m_devices.data[i]->id.id == photo->owner.id)
                photo->owner.index = static_cast<i64>(i);
    }
    if (m_options.auto_connect)
        for (u64 i = 0; i < m_devices.count; ++i)
            if (!m_devices.data[i]->connected)
                m_devices.data[i]->Connect();
    BroadcastStatus();
    if (m_devices.count == 1)
        BroadcastInformation("1 camera detected");
    else if (m_devices.count > 1)
        BroadcastInformationf("%ld cameras detected", static_cast<long>(m_devices.count));
    else
        BroadcastInformation("No cameras detected");
}

bool CameraProcessor::FindDevice(const cameraid_t& id, CameraDevice*& device) const
{
    device = nullptr;
    if (id.id < 0 || id.index < 0 || static_cast<u64>(id.index) >= m_devices.count)
        return false;
    CameraDevice* found = m_devices.data[id.index];
    if (found->id.id != id.id)
        return false;
    device = found;
    return true;
}

bool CameraProcessor::FindPhoto(photoid_t id, CameraPhoto*& photo) const
{
    photo = nullptr;
    if (id < 0 || static_cast<u64>(id) >= m_photos.count)
        return false;
    photo = m_photos.data[id];
    return true;
}

bool CameraProcessor::HasNativeSupport(const string_t&, const string_t&) const
{
    return false;
}

void CameraProcessor::BroadcastCameraAttached()
{
    BroadcastInformation("New camera detected...");
    m_options.detection_pending = true;
}

void CameraProcessor::BroadcastCameraDetached()
{
    BroadcastInformation("WARNING: Camera disconnected...");
    m_options.detection_pending = true;
}

// --- photos ----------------------------------------------------------------------------------------------------

void CameraProcessor::AddPhoto(CameraDevice* device, CameraPhoto* photo)
{
    if (!photo)
        return;
    if (!vector_insert(m_photos, photo))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to add photo: %s", photo->camera_file_name.str);
        delete photo;
        return;
    }
    photo->index = static_cast<i32>(m_photos.count - 1);
    camera_t* camera = device;
    i32 camera_batch = camera ? camera->batch_number : m_options.batch_number;

    if (m_options.generate_names || photo->name.length == 0)
    {
        if (m_options.reset_sequence || m_options.reset_batch)
        {
            const i64 stamp = static_cast<i64>(dir_timestamp(m_options.download_folder));
            if (m_options.folder_stamp == 0 || m_options.folder_stamp != stamp)
            {
                m_options.folder_stamp = stamp;
                if (dir_is_empty(m_options.download_folder))
                {
                    if (m_options.reset_sequence)
                    {
                        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Photo sequence number reset from %d to: 1",
                                   m_options.sequence_number);
                        m_options.sequence_number = 1;
                    }
                    if (m_options.reset_batch)
                    {
                        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Photo batch number reset from %d to: 1",
                                   m_options.batch_number);
                        m_options.batch_number = 1;
                        for (u64 i = 0; i < m_devices.count; ++i)
                            m_devices.data[i]->batch_number = 1;
                        if (camera)
                            camera->batch_number = 1;
                        camera_batch = 1;
                    }
                }
            }
        }
        stringbuffer_t name;
        stringbuffer_initialise(name);
        photo_compute_filename(name, m_options.filename_expression, m_options.text_a, m_options.text_u,
                               m_options.text_z, camera ? string_t(camera->name) : empty_str,
                               camera ? string_t(camera->serial) : empty_str,
                               camera ? string_t(camera->group) : empty_str, photo->camera_file_name, photo->type,
                               camera ? camera->id.id : CAMERAID_NONE, m_options.sequence_number, camera_batch);
        camera_text_set(photo->name, name);
        stringbuffer_release(name);
    }
    photo->sequence = m_options.sequence_number++;
    photo->batch = camera_batch;
    if (camera && !photo->video)
    {
        ++camera->photos_taken;
        if (++camera->photos_in_batch >= camera->photos_per_shot)
        {
            camera->photos_in_batch = 0;
            ++camera->batch_number;
        }
        if (m_options.batch_number < camera->batch_number)
            m_options.batch_number = camera->batch_number;
    }

    const char* kind = photo->video ? "Video" : "Photo";
    bool valid = IsNameValid(photo->name);
    if (!valid)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Photo filename failed validation against: %s",
                   m_options.validation_text.str);
        photo->name_valid = false;
    }
    if (device)
        BroadcastCameraStatus(device);
    BroadcastPhotoStatus(photo);
    if (valid)
        BroadcastInformationf("%s taken: %s", kind, photo->name.str);
    else
        BroadcastInformationf("ERROR: Photo filename failed validation: %s", photo->name.str);
    BroadcastPhotoTaken(photo);
}

void CameraProcessor::DownloadAttempt(CameraPhoto* photo, bool ok)
{
    if (!photo)
    {
        BroadcastInformation("ERROR: Failed to download");
        return;
    }
    // A photo deleted (or rolled back) while its download was in flight has
    // had the saved file removed (CameraPhoto::Save): it was not downloaded.
    if (ok && photo->deleted && !photo->downloaded)
        ok = false;
    CameraDevice* owner = nullptr;
    if (FindDevice(photo->owner, owner))
    {
        if (ok)
            ++owner->downloads_complete;
        else
            ++owner->downloads_failed;
        BroadcastCameraStatus(owner);
    }
    photo->downloaded = ok;
    BroadcastPhotoStatus(photo);
    if (ok)
        BroadcastInformationf("%s downloaded: %s", photo->video ? "Video" : "Photo", photo->name.str);
    else if (photo->name_valid)
        BroadcastInformationf("ERROR: Failed to download: %s", photo->name.str);
    else
        BroadcastInformationf("ERROR: Unable to download due to invalid filename: %s", photo->name.str);
    if (ok)
        BroadcastPhotoDownloaded(photo);
}

// --- options ---------------------------------------------------------------------------------------------------

bool CameraProcessor::SetFolder(stringbuffer_t& folder, const string_t& path)
{
    if (!path.str || path.length == 0)
    {
        stringbuffer_clear(folder);
        return true;
    }
    dirname_t dir;
    dirname_initialise(dir);
    const bool ok = dirname_set(dir, path) && dir.path.length && stringbuffer_set(folder, dir.path);
    dirname_release(dir);
    if (!ok)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Folder refused: %s", path.str);
        stringbuffer_clear(folder);
    }
    return ok;
}

bool CameraProcessor::SetDownloadFolder(const string_t& path)
{
    return SetFolder(m_options.download_folder, path);
}

bool CameraProcessor::SetFallbackFolder(const string_t& path)
{
    return SetFolder(m_options.fallback_folder, path);
}

bool CameraProcessor::SetLiveviewFolder(const string_t& path)
{
    return SetFolder(m_options.liveview_folder, path);
}

bool CameraProcessor::SetValidation(const string_t& text)
{
    if (!photo_validation_compile(m_validation, text))
    {
        // Validation is off until an expression compiles.
        photo_validation_release(m_validation);
        stringbuffer_clear(m_options.validation_text);
        return false;
    }
    if (!text.str || !text.length)
        stringbuffer_clear(m_options.validation_text);
    else
        stringbuffer_set(m_options.validation_text, text);
    return true;
}

bool CameraProcessor::IsNameValid(const string_t& name) const
{
    if (m_options.validation_text.length == 0)
        return true;
    return photo_validation_match(m_validation, name);
}

void CameraProcessor::SetBatchNumber(i32 batch)
{
    m_options.batch_number = batch;
    for (u64 i = 0; i < m_devices.count; ++i)
    {
        CameraDevice* device = m_devices.data[i];
        if (device->batch_number != batch)
        {
            device->batch_number = batch;
            BroadcastCameraStatus(device);
        }
    }
}

// --- the serial table -----------------------------------------------------------------------------------------

const camera_serial_entry_t* CameraProcessor::FindSerial(const stringid_t& serial)
{
    if (stringid_is_empty_id(serial) || serial.length == 0)
        return nullptr;
    return hashtable_find(m_serials, serial.str);
}

bool CameraProcessor::SetSerial(const string_t& serial, const string_t& name, const string_t& group)
{
    stringid_t key = {empty_str};
    if (!camera_text_set(key, serial) || stringid_is_empty_id(key))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to store camera serial: %s %s", serial.str, name.str);
        return false;
    }
    if (camera_serial_entry_t* entry = hashtable_find(m_serials, key.str))
    {
        stringid_release(key);
        return stringbuffer_set(entry->name, name.length ? name : empty_str) &&
               stringbuffer_set(entry->group, group.length ? group : empty_str);
    }
    camera_serial_entry_t entry;
    entry.serial = key;
    stringbuffer_initialise(entry.name);
    stringbuffer_initialise(entry.group);
    bool ok = stringbuffer_set(entry.name, name) && stringbuffer_set(entry.group, group) &&
              hashtable_insert(m_serials, entry);
    if (!ok)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to store camera serial: %s %s", serial.str, name.str);
        stringbuffer_release(entry.name);
        stringbuffer_release(entry.group);
        stringid_release(entry.serial);
    }
    return ok;
}

void CameraProcessor::ReleaseSerialTable()
{
    for (u64 b = 0; b < m_serials.buckets.count; ++b)
    {
        vector_t<camera_serial_entry_t>& bucket = m_serials.buckets.data[b];
        for (u64 i = 0; i < bucket.count; ++i)
        {
            stringbuffer_release(bucket.data[i].name);
            stringbuffer_release(bucket.data[i].group);
            stringid_release(bucket.data[i].serial);
        }
    }
    hashtable_release(m_serials);
}
} // namespace orvo
