// The simulated cameras: a camera driver (TestDriver) whose four cameras
// (TestDevice) take their photos from a folder of sample files and their live
// view from the JPEG frames of its "liveview" folder, with fixed property
// ranges (TestSettings) and photos backed by a sample file (TestPhoto). They
// let the camera processor, naming, downloading, saving and every consumer of
// camera events run without a camera. The application never adds them on its
// own: a test adds a TestDriver with CameraProcessor::AddDriver, or the
// environment variable LUMIVANE_SIMULATED_CAMERAS=1 makes the processor add
// one. Everything runs on the "CAMERA" thread; autofocus and bulb exposures
// hold that thread for their simulated time.
#pragma once

#include "orvo/camera/camera_processor.h"
#include "orvo/core/core_filename.h"

#include <string>
#include <vector>

namespace orvo
{
// Process-wide settings of the simulated cameras; a test changes them before
// the "CAMERA" thread starts.
struct testdriver_settings_t
{
    // Folder of sample photos; its "liveview" folder holds the frames. Empty:
    // the folder fixed at build time.
    std::string sample_folder;
    // How long an autofocus takes: 4 s.
    u64 autofocus_ticks;
    // Ticks one second of bulb exposure takes: 1,000,000.
    u64 bulb_ticks_per_second;
    // 0: downloads end before they return. n: they end n passes later, in
    // the order queued, so that tests can see downloads in flight.
    int download_passes;
};

// The settings after start-up: the build's sample folder and the waits above.
testdriver_settings_t testdriver_default_settings();
void testdriver_set_settings(const testdriver_settings_t& settings);
testdriver_settings_t testdriver_get_settings();
// The three counters shared by all simulated cameras back to 0 (camera
// numbers, live-view frames, sample photos).
void testdriver_reset_counters();

class TestDevice;

class TestSettings : public CameraSettings
{
public:
    TestSettings();
    ~TestSettings() override;
    // Appends the fixed ranges and sets the values of properties 0 to 10;
    // the mirror lock-up stays unsupported. Runs only on a connection.
    bool SyncAll(TestDevice* device);
};

class TestPhoto : public CameraPhoto
{
public:
    TestPhoto(TestDevice* device, const cameratracker_t* tracker, const filename_t& file);
    ~TestPhoto() override;
    // The base's reshoot, then type, size and sample file from the new file.
    void Reshoot(TestDevice* device, const cameratracker_t* tracker, const filename_t& file);
    const string_t& GetFilename() const { return m_sample.path; }

private:
    void TakeFile(const filename_t& file);

    filename_t m_sample;
};

class TestDriver : public CameraDriver
{
public:
    explicit TestDriver(CameraProcessor* processor);
    ~TestDriver() override;

    bool Initialise() override;
    void Release() override;
    void Update() override;
    // Four new cameras every time; the processor keeps the ones it knows.
    void DetectCameras() override;
    bool HasNativeSupport(const string_t& make, const string_t& model) override;
};

class TestDevice : public CameraDevice
{
public:
    explicit TestDevice(TestDriver* driver);
    ~TestDevice() override;

    void Update() override;
    void Connect() override;
    void Disconnect() override;
    void Download(CameraPhoto* photo) override;
    void SetProperty(CameraProperty::Type type, unsigned long value) override;
    void Connect(cameratracker_t* t) override;
    void Disconnect(cameratracker_t* t) override;
    void TakePhoto(cameratracker_t* t, float bulb_seconds) override;
    void Autofocus(cameratracker_t* t) override;
    void Download(cameratracker_t* t, CameraPhoto* photo) override;
    void EnableLiveview(cameratracker_t* t, bool on) override;
    void EnableLiveviewZoom(cameratracker_t* t, bool on) override;
    void SetLiveviewFocus(cameratracker_t* t, int step) override;
    void SetLiveviewPosition(cameratracker_t* t, int dx, int dy) override;
    void EnableDof(cameratracker_t* t, bool on) override;
    void EnableVideo(cameratracker_t* t, bool on) override;
    void SetProperty(cameratracker_t* t, CameraProperty::Type type, unsigned long value) override;
    void Format(cameratracker_t* t) override;

    // Copies the photo's sample file into the processor's download buffer and
    // saves it; false when the name is not valid or nothing could be saved.
    bool InternalDownload(CameraPhoto* photo);
    i32 GetNumber() const { return m_number; }

private:
    struct queued_download_t
    {
        CameraPhoto* photo;
        int passes; // left before it ends
    };

    // The name of the property's current value, or "".
    const char* ValueName(CameraProperty::Type type) const;
    // Ends the downloads whose passes are over.
    void FinishDownloads();
    bool IsQueued(const CameraPhoto* photo) const;

    i32 m_number;
    countdown_t m_frameTimer;
    std::vector<queued_download_t> m_downloads;
};
} // namespace orvo
