// CameraDataSurface: one consumer's mirror of the camera processor. It keeps
// copies of every camera record, photo record and camera's settings, rebuilt
// from the events of "BROADCAST::CameraEvent" alone, and hands each event as a
// CameraEvent to its routes. Its name is the origin of the consumer's
// requests, and its active camera, photo and all-cameras choice fill the
// request builders. It lives on its owner's message queue and is used only on
// the owner's thread.
#pragma once

#include "orvo/camera/camera_device.h"
#include "orvo/camera/camera_request.h"
#include "orvo/core/core_event_router.h"
#include "orvo/core/core_message_processor.h"

namespace orvo
{
// One decoded camera event; lives during one routing call.
struct CameraEvent
{
    i32 type;          // cameraevent_t
    cameraid_t camera; // id -1 and index 0: none
    i32 photo;         // photo index, -1: none
    i32 sequence;      // -1: none
    i32 batch;         // -1: none
    const char* text;  // the information text inside the message, or null
};

// Slots beyond these indexes are refused: an event naming one would make the
// mirror allocate without bound.
const i64 CAMERA_SURFACE_MAX_CAMERAS = 4096;
const i64 CAMERA_SURFACE_MAX_PHOTOS = 1 << 24;

class CameraDataSurface : public MessageProcessor, public EventRouter<CameraEvent>
{
public:
    // Location "orvo::CameraDataSurface" without reuse: an id of its own.
    explicit CameraDataSurface(const char* name);
    ~CameraDataSurface() override;

    void ReceiveRequest(const Message& message) override;
    void ReceiveResponse(const Message& message) override;
    void ReceiveEvent(const Message& message) override;

    // After the owner registered the surface on its queue: finds the camera
    // processor, subscribes to the camera events and asks for a Synchronise.
    virtual bool Initialise();
    // Drops every copy and the name. Safe twice.
    virtual void Release();

    // The slot of an index, growing the list with default slots up to it;
    // null (logged) for a negative or excessive index or when it cannot grow.
    camera_t* AddCamera(i64 index);
    photo_t* AddPhoto(i64 index);

    void HandleCameraList(const Message& message);
    void HandleCameraStatus(const Message& message);
    void HandlePhotoList(const Message& message);
    void HandlePhotoStatus(const Message& message);
    void HandlePropertyStatus(const Message& message);

    // --- the owner's reading and choices ----------------------------------------------
    u16 GetProcessorLocation() const { return static_cast<u16>(m_processorLocation); }
    bool IsSynchronised() const { return m_synchronised; }
    const stringid_t& GetName() const { return m_name; }
    const vector_t<camera_t>& GetCameras() const { return m_cameras; }
    const vector_t<photo_t>& GetPhotos() const { return m_photos; }
    const vector_t<CameraSettings*>& GetSettings() const { return m_settings; }
    // The active records, or the defaults when the selection lies outside the lists.
    const camera_t& GetActiveCamera() const;
    const photo_t& GetActivePhoto() const;

    bool m_allCameras;
    i32 m_activePhoto;
    cameraid_t m_activeCamera;

private:
    // Copies one camera record of a message into its slot.
    void StoreCamera(const camera_t& record);
    void ClearCameras();

    u32 m_processorLocation;
    bool m_synchronised;
    stringid_t m_name;
    photo_t m_defaultPhoto;
    camera_t m_defaultCamera;
    vector_t<photo_t> m_photos;
    vector_t<camera_t> m_cameras;
    vector_t<CameraSettings*> m_settings;
};
} // namespace orvo
