// A scripted camera driver for tests of the camera processor: cameras that a
// test attaches and detaches by serial, whose operations end at once or after
// a given number of passes, with success or failure, whose shots add photos
// and whose downloads stay in flight for a while. The test thread changes the
// script while the "CAMERA" thread runs the driver; the script is guarded by
// a mutex and the call counts are atomic.
#pragma once

#include "orvo/camera/camera_processor.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace lumivane_test
{
// How one camera behaves; read by the camera at every operation.
struct CameraScript
{
    std::string model = "Scripted 1";
    std::string serial;
    std::string name; // the camera's name when detected; empty keeps none
    int passes = 0;       // 0: operations end before returning; n: after n passes of the device
    bool succeed = true;  // the result of every operation
    int download_passes = 1; // passes a download stays in flight
    int photos_per_shot = 1;
    // Live view: frames of this many bytes broadcast, one per pass, while
    // frames_left is above 0.
    int frames_left = 0;
    size_t frame_bytes = 0;
};

// What the cameras of one serial were asked to do, counted across detections.
struct CameraCalls
{
    std::atomic<int> connect{0};
    std::atomic<int> disconnect{0};
    std::atomic<int> take_photo{0};
    std::atomic<int> download{0};
    std::atomic<int> property{0};
    std::atomic<int> position{0};
    std::atomic<int> shutter{0};
    std::atomic<int> last_x{0};
    std::atomic<int> last_y{0};
    std::atomic<int> last_shutter{-1};
    std::atomic<int> deleted{0}; // devices of this serial deleted
};

class ScriptedDriver;

class ScriptedPhoto : public orvo::CameraPhoto
{
public:
    ScriptedPhoto(orvo::CameraDevice* device, const orvo::cameratracker_t* tracker, const std::string& file_name);
};

class ScriptedCamera : public orvo::CameraDevice
{
public:
    ScriptedCamera(ScriptedDriver* driver, const CameraScript& script);
    ~ScriptedCamera() override;

    void Update() override;
    void Connect() override;
    void Disconnect() override;
    void Download(orvo::CameraPhoto* photo) override;
    void SetProperty(orvo::CameraProperty::Type type, unsigned long value) override;
    void Connect(orvo::cameratracker_t* t) override;
    void Disconnect(orvo::cameratracker_t* t) override;
    void TakePhoto(orvo::cameratracker_t* t, float bulb_seconds) override;
    void Autofocus(orvo::cameratracker_t* t) override;
    void Download(orvo::cameratracker_t* t, orvo::CameraPhoto* photo) override;
    void EnableLiveview(orvo::cameratracker_t* t, bool on) override;
    void EnableLiveviewZoom(orvo::cameratracker_t* t, bool on) override;
    void SetLiveviewFocus(orvo::cameratracker_t* t, int step) override;
    void SetLiveviewPosition(orvo::cameratracker_t* t, int x, int y) override;
    void EnableDof(orvo::cameratracker_t* t, bool on) override;
    void EnableVideo(orvo::cameratracker_t* t, bool on) override;
    void SetProperty(orvo::cameratracker_t* t, orvo::CameraProperty::Type type, unsigned long value) override;
    void SetShutterButton(orvo::cameratracker_t* t, int state) override;

private:
    enum Kind
    {
        OPERATION,
        CONNECT,
        DISCONNECT,
        DOWNLOAD,
    };
    struct Pending
    {
        Kind kind;
        orvo::cameratracker_t* tracker;
        orvo::CameraPhoto* photo;
        int passes;
        bool succeed;
    };

    CameraScript Script() const;
    // Ends now, or on a later pass, as the script says.
    void Run(Kind kind, orvo::cameratracker_t* t, orvo::CameraPhoto* photo);
    void Finish(const Pending& pending, bool ok);

    ScriptedDriver* m_scripted;
    std::shared_ptr<CameraCalls> m_calls;
    std::vector<Pending> m_pending;
    int m_shots;
};

class ScriptedDriver : public orvo::CameraDriver
{
public:
    // The name is the make of its cameras.
    explicit ScriptedDriver(orvo::CameraProcessor* processor, bool fail_initialise = false,
                            const char* name = "Scripted");
    ~ScriptedDriver() override;

    bool Initialise() override;
    void Release() override;
    void Update() override;
    void DetectCameras() override;
    bool HasNativeSupport(const orvo::string_t& make, const orvo::string_t& model) override;

    // Test thread or "CAMERA" thread.
    void Attach(const CameraScript& script);
    void Detach(const std::string& serial);
    void SetScript(const CameraScript& script);
    CameraScript GetScript(const std::string& serial) const;
    bool IsAttached(const std::string& serial) const;
    std::shared_ptr<CameraCalls> Calls(const std::string& serial);
    // The live-view frame counter of the script, used by the camera.
    bool TakeFrame(const std::string& serial, size_t& bytes);

    std::atomic<int> initialised{0};
    std::atomic<int> released{0};

private:
    mutable std::mutex m_mutex;
    std::map<std::string, CameraScript> m_attached;
    std::map<std::string, std::shared_ptr<CameraCalls>> m_calls;
    bool m_failInitialise;
};
} // namespace lumivane_test
