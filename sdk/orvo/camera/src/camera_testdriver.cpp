// The simulated cameras: four cameras named "TEST 0" to "TEST 3" whose shots
// copy the next file of the sample folder, whose live view plays the JPEG
// frames of its "liveview" folder at the camera's frame rate, and whose
// settings are fixed ranges filled on connection.
#include "orvo/camera/camera_testdriver.h"

#include "orvo/core/core_file.h"
#include "orvo/core/core_folders.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_thread.h"
#include "orvo/core/core_time.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#ifndef LUMIVANE_SIMULATED_SAMPLES_DIR
#define LUMIVANE_SIMULATED_SAMPLES_DIR "simulated-samples"
#endif

namespace orvo
{
namespace
{
std::mutex settings_mutex;
testdriver_settings_t current_settings = testdriver_default_settings();

// Shared by every simulated camera for the life of the process.
std::atomic<i32> camera_number_counter{0};
std::atomic<i32> frame_counter{0};
std::atomic<i32> sample_counter{0};

const char* const DRIVER_NAME = "TEST mac";
const char* const FRAME_FOLDER = "liveview";

const char* const APERTURES[] = {"4.5", "5", "5.5", "6"};
const char* const SHUTTER_SPEEDS[] = {
    "Bulb",   "30",     "25",     "20",     "15",     "13",     "10",     "8",      "6",      "5",     "4",
    "3",      "2",      "1",      "1/3",    "1/4",    "1/5",    "1/6",    "1/8",    "1/10",   "1/25",  "1/30",
    "1/40",   "1/45",   "1/50",   "1/60",   "1/80",   "1/90",   "1/100",  "1/125",  "1/160",  "1/180", "1/200",
    "1/250",  "1/320",  "1/350",  "1/400",  "1/500",  "1/640",  "1/750",  "1/800",  "1/1000", "1/1250",
    "1/1500", "1/1600", "1/2000", "1/2500", "1/3000", "1/3200", "1/4000", "1/5000", "1/6000", "1/6400", "1/8000"};
const char* const ISOS[] = {"100", "200", "400", "800"};
const i32 ISO_VALUES[] = {100, 200, 400, 800};
const char* const EXPOSURES[] = {"-2", "-1", "0", "+1", "+2"};
const char* const QUALITIES[] = {"RAW", "JPEG Small", "JPEG Medium", "JPEG Large"};
const char* const PROGRAMS[] = {"Program", "Auto", "Av", "Tv"};
const char* const METERINGS[] = {"Spot", "Partial", "Evaluative", "Centre-Weighted"};
const char* const DRIVES[] = {"Single", "Continuous"};
const char* const FOCUS_MODES[] = {"One Shot", "AI Servo", "AI Focus"};
const char* const WHITE_BALANCES[] = {"AUTO", "Daylight", "Cloudy", "Tungsten", "Fluorescent", "Flash", "Shade"};
const char* const STORAGES[] = {"Disk", "Card", "Both", "JPEG"};

struct fixed_range_t
{
    const char* const* names;
    u64 count;
    u64 value; // after a sync
};

#define RANGE(names, value) {names, sizeof(names) / sizeof(names[0]), value}
const fixed_range_t FIXED_RANGES[] = {
    RANGE(APERTURES, 0),  RANGE(SHUTTER_SPEEDS, 20), RANGE(ISOS, 0),           RANGE(EXPOSURES, 2),
    RANGE(QUALITIES, 0),  RANGE(PROGRAMS, 0),        RANGE(METERINGS, 0),      RANGE(DRIVES, 0),
    RANGE(FOCUS_MODES, 0), RANGE(WHITE_BALANCES, 0), RANGE(STORAGES, 0),
};
#undef RANGE

std::string sample_folder()
{
    return testdriver_get_settings().sample_folder;
}

// Every file (not folder) of the folder in name order; false when none.
bool list_files(vector_t<filename_t>& files, const std::string& folder)
{
    vector_initialise(files, 0, true); // sorted: the order of names, not of the directory
    dirname_t dir;
    dirname_initialise(dir);
    const bool ok = dirname_set(dir, string_make(folder.c_str(), folder.size())) && dir_find_files(files, dir);
    dirname_release(dir);
    return ok && files.count > 0;
}

// Waits for the duration without spinning: the "CAMERA" thread is meant to
// be held, as a camera holds its owner during the real exposure.
void hold(u64 ticks)
{
    timer_t timer;
    timer_start(timer);
    while (timer_elapsed(timer) <= ticks)
        thread_sleep(1, TIMEUNIT_MILLISECONDS);
}

void set_text(stringid_t& id, const char* text)
{
    camera_text_set(id, string_make(text));
}
} // namespace

// --- settings -------------------------------------------------------------------------------------------

testdriver_settings_t testdriver_default_settings()
{
    testdriver_settings_t settings;
    settings.sample_folder = LUMIVANE_SIMULATED_SAMPLES_DIR;
    settings.autofocus_ticks = 4000000;
    settings.bulb_ticks_per_second = 1000000;
    settings.download_passes = 0;
    return settings;
}

void testdriver_set_settings(const testdriver_settings_t& settings)
{
    std::lock_guard<std::mutex> lock(settings_mutex);
    current_settings = settings;
    if (current_settings.sample_folder.empty())
        current_settings.sample_folder = LUMIVANE_SIMULATED_SAMPLES_DIR;
}

testdriver_settings_t testdriver_get_settings()
{
    std::lock_guard<std::mutex> lock(settings_mutex);
    return current_settings;
}

void testdriver_reset_counters()
{
    camera_number_counter = 0;
    frame_counter = 0;
    sample_counter = 0;
}

// --- TestSettings -----------------------------------------------------------------------------------------

TestSettings::TestSettings() = default;

TestSettings::~TestSettings()
{
    ClearAll();
}

bool TestSettings::SyncAll(TestDevice*)
{
    for (u32 type = 0; type < CameraProperty::MirrorLockup; ++type)
    {
        const CameraProperty::Type t = static_cast<CameraProperty::Type>(type);
        const fixed_range_t& fixed = FIXED_RANGES[type];
        CameraProperty& property = GetProperty(t);
        property.value = fixed.value;
        property.supported = true;
        property.value_version += 1;
        property.range_version += 1;
        camerarange_t& range = GetRange(t);
        for (u64 i = 0; i < fixed.count; ++i)
        {
            if (t == CameraProperty::Iso)
            {
                AddValue(t, ISO_VALUES[i], string_make(fixed.names[i]));
                continue;
            }
            // Value names only: the simulated camera has no codes of its own.
            stringid_t name = {empty_str};
            if (camera_text_set(name, string_make(fixed.names[i])) && !vector_insert(range.names, name))
                stringid_release(name);
        }
    }
    return true;
}

// --- TestPhoto ---------------------------------------------------------------------------------------------

TestPhoto::TestPhoto(TestDevice* device, const cameratracker_t* tracker, const filename_t& file)
    : CameraPhoto(device, tracker)
{
    filename_initialise(m_sample);
    TakeFile(file);
    camera_text_set(name, file.name);
    camera_text_set(camera_file_name, file.name);
    camera_text_set(path, file.path);

    datetime_t now;
    datetime_set_now(now);
    char text[64];
    std::snprintf(text, sizeof(text), "%04d%02d%02d %02d:%02d:%02d.%03d", now.year, now.month, now.day, now.hour,
                  now.minute, now.second, now.microsecond / 1000);
    set_text(date, text);
}

TestPhoto::~TestPhoto()
{
    filename_release(m_sample);
}

void TestPhoto::TakeFile(const filename_t& file)
{
    camera_text_set(type, file.extension);
    size = file.path.length ? static_cast<i64>(file_num_bytes(file.path)) : 0;
    filename_copy(m_sample, file);
}

void TestPhoto::Reshoot(TestDevice* device, const cameratracker_t* tracker, const filename_t& file)
{
    CameraPhoto::Reshoot(device, tracker);
    TakeFile(file);
}

// --- TestDriver --------------------------------------------------------------------------------------------

TestDriver::TestDriver(CameraProcessor* processor) : CameraDriver(processor)
{
    set_text(m_name, DRIVER_NAME);
}

TestDriver::~TestDriver() = default;

bool TestDriver::Initialise()
{
    return true;
}

void TestDriver::Release()
{
}

void TestDriver::Update()
{
}

void TestDriver::DetectCameras()
{
    if (!m_processor)
        return;
    for (int i = 0; i < 4; ++i)
        if (TestDevice* device = new (std::nothrow) TestDevice(this))
            m_processor->AddDevice(device);
}

bool TestDriver::HasNativeSupport(const string_t&, const string_t&)
{
    return false;
}

// --- TestDevice --------------------------------------------------------------------------------------------

TestDevice::TestDevice(TestDriver* driver)
    : CameraDevice(driver, new (std::nothrow) TestSettings()), m_number(camera_number_counter.fetch_add(1) % 4)
{
    std::memset(&m_frameTimer, 0, sizeof(m_frameTimer));
    char text[32];
    std::snprintf(text, sizeof(text), "TEST %d", m_number);
    set_text(name, text);
    std::snprintf(text, sizeof(text), "%d", m_number);
    set_text(serial, text);
    set_text(model, "TEST Camera");
    valid = true;
    connected = false;
    busy = false;
    focused = false;
    bulb_enabled = false;
    bulb_supported = true;
    liveview_supported = true;
    autofocus_supported = true;
    liveview_enabled = false;
    liveview_zoom_enabled = false;
    // A settings object that could not be made leaves the camera unusable.
    if (!m_settings)
        valid = false;
}

TestDevice::~TestDevice() = default;

const char* TestDevice::ValueName(CameraProperty::Type type) const
{
    if (!m_settings || !CameraSettings::IsValid(type))
        return "";
    const CameraProperty& property = m_settings->GetProperty(type);
    const camerarange_t& range = m_settings->GetRange(type);
    if (!property.supported || property.value >= range.names.count)
        return "";
    return range.names.data[property.value].str;
}

void TestDevice::Update()
{
    FinishDownloads();
    if (!liveview_enabled || liveview_fps <= 0)
        return;
    if (!countdown_expired(m_frameTimer))
        return;
    vector_t<filename_t> frames;
    if (list_files(frames, sample_folder() + "/" + FRAME_FOLDER))
    {
        const i32 count = static_cast<i32>(frames.count);
        i32 index = (frame_counter.load() + 1) % count;
        frame_counter = index;
        filecontents_t contents;
        filecontents_initialise(contents);
        if (filecontents_load(contents, frames.data[index].path))
        {
            if (CameraProcessor* processor = GetProcessor())
            {
                processor->BroadcastCameraStatus(this);
                processor->BroadcastLiveview(this, memorybuffer_view(contents.buffer));
            }
        }
        filecontents_release(contents);
    }
    dir_release_files(frames);
    countdown_start(m_frameTimer, static_cast<u64>(1000 / liveview_fps), TIMEUNIT_MILLISECONDS);
}

void TestDevice::Connect()
{
    if (!connected && m_settings)
        static_cast<TestSettings*>(m_settings)->SyncAll(this);
    battery = 2.0f;
    if (CameraProcessor* processor = GetProcessor())
        processor->SetConnected(true, this);
}

void TestDevice::Disconnect()
{
    // Downloads still waiting end with failure; their photos stay on the card.
    std::vector<queued_download_t> waiting;
    waiting.swap(m_downloads);
    CameraProcessor* processor = GetProcessor();
    for (const queued_download_t& queued : waiting)
    {
        if (!cameratracker_end_download(*this, queued.photo, false) && processor)
            processor->DownloadAttempt(queued.photo, false);
    }
    if (cameratracker_t* pending = m_pendingTracker)
    {
        m_pendingTracker = nullptr;
        cameratracker_decref(pending, false, this);
    }
    liveview_enabled = false;
    liveview_zoom_enabled = false;
    if (m_settings)
        m_settings->ClearAll();
    battery = -1.0f;
    if (processor)
        processor->SetDisconnected(true, this);
}

void TestDevice::Download(CameraPhoto* photo)
{
    if (testdriver_get_settings().download_passes > 0)
    {
        if (!IsQueued(photo))
            m_downloads.push_back(queued_download_t{photo, testdriver_get_settings().download_passes});
        return;
    }
    const bool ok = InternalDownload(photo);
    if (CameraProcessor* processor = GetProcessor())
        processor->DownloadAttempt(photo, ok);
}

void TestDevice::SetProperty(CameraProperty::Type type, unsigned long value)
{
    if (!m_settings || !CameraSettings::IsValid(type))
        return;
    CameraProperty& property = m_settings->GetProperty(type);
    property.value = value;
    property.value_version += 1;
    if (type == CameraProperty::ShutterSpeed)
        bulb_enabled = std::strcmp(ValueName(type), "Bulb") == 0;
    if (CameraProcessor* processor = GetProcessor())
        processor->BroadcastPropertyStatus(this, true);
}

void TestDevice::Connect(cameratracker_t* t)
{
    Connect();
    cameratracker_decref(t, true, this);
}

void TestDevice::Disconnect(cameratracker_t* t)
{
    Disconnect();
    cameratracker_decref(t, true, this);
}

void TestDevice::TakePhoto(cameratracker_t* t, float bulb_seconds)
{
    CameraProcessor* processor = GetProcessor();
    if (!connected || !processor)
    {
        cameratracker_decref(t, false, this);
        return;
    }
    if (bulb_seconds > 0.0f && bulb_seconds <= CAMERA_MAX_BULB_SECONDS &&
        std::strcmp(ValueName(CameraProperty::ShutterSpeed), "Bulb") == 0)
    {
        const u64 milliseconds = static_cast<u64>(bulb_seconds * 1000.0f);
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Bulb exposure of %llu ms: %s",
                   static_cast<unsigned long long>(milliseconds), name.str);
        hold(milliseconds * testdriver_get_settings().bulb_ticks_per_second / 1000);
    }

    filename_t file;
    filename_initialise(file);
    vector_t<filename_t> samples;
    if (list_files(samples, sample_folder()))
    {
        const i32 index = sample_counter.load() % static_cast<i32>(samples.count);
        sample_counter = index + 1;
        filename_copy(file, samples.data[index]);
    }
    dir_release_files(samples);

    CameraPhoto* photo = nullptr;
    if (t && t->type == CameraRequest::Reshoot && t->photo)
    {
        photo = t->photo;
        if (TestPhoto* sample = dynamic_cast<TestPhoto*>(photo))
            sample->Reshoot(this, t, file);
        else
            photo->Reshoot(this, t);
        processor->ReshootPhoto(this, photo);
    }
    else if (TestPhoto* added = new (std::nothrow) TestPhoto(this, t, file))
    {
        photo = added;
        processor->AddPhoto(this, added);
    }
    filename_release(file);
    cameratracker_decref(t, photo != nullptr, this);

    if (photo && std::strcmp(ValueName(CameraProperty::Storage), "Card") != 0 && processor->CanSavePhoto(photo))
        Download(photo);
}

void TestDevice::Autofocus(cameratracker_t* t)
{
    hold(testdriver_get_settings().autofocus_ticks);
    focused = true;
    ++autofocus_count;
    cameratracker_decref(t, true, this);
}

void TestDevice::Download(cameratracker_t* t, CameraPhoto* photo)
{
    if (testdriver_get_settings().download_passes > 0)
    {
        // One request at a time waits for its download, as on a real camera.
        if (m_pendingTracker)
        {
            cameratracker_decref(t, false, this);
            return;
        }
        // A photo already on its way ends the request when it arrives.
        m_pendingTracker = t;
        if (!IsQueued(photo))
            m_downloads.push_back(queued_download_t{photo, testdriver_get_settings().download_passes});
        return;
    }
    cameratracker_decref(t, InternalDownload(photo), this);
}

bool TestDevice::IsQueued(const CameraPhoto* photo) const
{
    for (const queued_download_t& queued : m_downloads)
        if (queued.photo == photo)
            return true;
    return false;
}

void TestDevice::FinishDownloads()
{
    if (m_downloads.empty())
        return;
    CameraProcessor* processor = GetProcessor();
    // In order: the first queued finishes first, whichever request waits.
    std::vector<queued_download_t> finished;
    for (auto it = m_downloads.begin(); it != m_downloads.end();)
    {
        if (--it->passes <= 0)
        {
            finished.push_back(*it);
            it = m_downloads.erase(it);
        }
        else
            ++it;
    }
    for (const queued_download_t& queued : finished)
    {
        const bool ok = InternalDownload(queued.photo);
        if (!cameratracker_end_download(*this, queued.photo, ok) && processor)
            processor->DownloadAttempt(queued.photo, ok);
    }
}

void TestDevice::EnableLiveview(cameratracker_t* t, bool on)
{
    liveview_enabled = on;
    liveview_zoom_enabled = false;
    sensor_width = 6000;
    sensor_height = 4000;
    sensor_region[0] = 0.0f;
    sensor_region[1] = 0.0f;
    sensor_region[2] = 6000.0f;
    sensor_region[3] = 4000.0f;
    if (CameraProcessor* processor = GetProcessor())
        processor->BroadcastLiveviewStatus(this);
    cameratracker_decref(t, true, this);
}

void TestDevice::EnableLiveviewZoom(cameratracker_t* t, bool on)
{
    liveview_zoom_enabled = on;
    if (on)
    {
        sensor_region[0] = 2600.0f;
        sensor_region[1] = 1700.0f;
        sensor_region[2] = 3400.0f;
        sensor_region[3] = 2300.0f;
    }
    else
    {
        sensor_region[0] = 0.0f;
        sensor_region[1] = 0.0f;
        sensor_region[2] = static_cast<float>(sensor_width);
        sensor_region[3] = static_cast<float>(sensor_height);
    }
    if (CameraProcessor* processor = GetProcessor())
        processor->BroadcastLiveviewStatus(this);
    cameratracker_decref(t, true, this);
}

void TestDevice::SetLiveviewFocus(cameratracker_t* t, int)
{
    cameratracker_decref(t, false, this);
}

void TestDevice::SetLiveviewPosition(cameratracker_t* t, int dx, int dy)
{
    sensor_region[0] += static_cast<float>(dx);
    sensor_region[2] += static_cast<float>(dx);
    sensor_region[1] -= static_cast<float>(dy);
    sensor_region[3] -= static_cast<float>(dy);
    if (CameraProcessor* processor = GetProcessor())
        processor->BroadcastLiveviewStatus(this);
    cameratracker_decref(t, true, this);
}

void TestDevice::EnableDof(cameratracker_t* t, bool)
{
    cameratracker_decref(t, false, this);
}

void TestDevice::EnableVideo(cameratracker_t* t, bool)
{
    cameratracker_decref(t, false, this);
}

void TestDevice::SetProperty(cameratracker_t* t, CameraProperty::Type type, unsigned long value)
{
    SetProperty(type, value);
    cameratracker_decref(t, true, this);
}

void TestDevice::Format(cameratracker_t* t)
{
    cameratracker_decref(t, true, this);
}

bool TestDevice::InternalDownload(CameraPhoto* photo)
{
    if (!photo || !photo->name_valid)
        return false;
    CameraProcessor* processor = GetProcessor();
    TestPhoto* sample = dynamic_cast<TestPhoto*>(photo);
    if (!processor || !sample)
        return false;
    timer_t timer;
    timer_start(timer);
    bool ok = false;
    u64 bytes = 0;
    filecontents_t contents;
    filecontents_initialise(contents);
    if (sample->GetFilename().length && filecontents_load(contents, sample->GetFilename()))
    {
        // What was loaded, not the size recorded when the photo was taken:
        // the sample may have changed since.
        bytes = contents.buffer.num_bytes;
        memorybuffer_t& buffer = processor->GetDownloadBuffer();
        if (memorybuffer_set(buffer, contents.buffer.data, bytes))
            ok = true;
    }
    filecontents_release(contents);
    bool saved = false;
    if (ok)
        saved = photo->Save(memory_t{processor->GetDownloadBuffer().data, bytes});

    const double megabytes = static_cast<double>(bytes) / 1048576.0;
    const double milliseconds = static_cast<double>(timer_elapsed(timer)) * 1000.0 / 1000000.0;
    const double rate = milliseconds > 0.0 ? megabytes / (milliseconds / 1000.0) : 0.0;
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Camera download performance: %.2f mbytes in %.2f ms (%.2f mbytes/sec)",
               megabytes, milliseconds, rate);
    download_rate = static_cast<float>(rate);
    return saved;
}
} // namespace orvo
