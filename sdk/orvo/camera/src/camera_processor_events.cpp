// Camera events: every Broadcast* encoder of the processor (one message at a
// time in the queue's encoder, sent from the processor's location to the
// event channels), the connection callbacks of the drivers and the optional
// recording of live-view frames to JPEG files.
#include "orvo/camera/camera_processor.h"

#include "orvo/core/core_channel.h"
#include "orvo/core/core_file.h"
#include "orvo/core/core_filename.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_message_queue.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace orvo
{
namespace
{
const u64 GIB = 1ull << 30;

// A string field holding the view's bytes and a zero.
bool add_text(MessageEncoder& encoder, i32 id, const string_t& text)
{
    const u64 length = text.str ? strnlen(text.str, text.length) : 0;
    MessageField* field = nullptr;
    if (length >= 0xFFFFFFFFull || !encoder.AllocateField(field, id, MESSAGEFIELD_STRING, 1, static_cast<u32>(length + 1)))
        return false;
    if (length)
        std::memcpy(field->GetData(), text.str, length);
    field->GetData()[length] = 0;
    return true;
}

// Each camera's live-view frames and its metrics are two streams; up to
// CHANNEL_STREAM_SLOTS / 2 cameras each have stream slots of their own.
u32 frame_stream(const cameraid_t& camera)
{
    return static_cast<u32>(camera.id);
}

u32 metrics_stream(const cameraid_t& camera)
{
    return static_cast<u32>(camera.id) + CHANNEL_STREAM_SLOTS / 2;
}
} // namespace

bool CameraProcessor::BeginEvent(i32 type)
{
    if (!m_queue)
        return false;
    MessageEncoder* encoder = m_queue->GetEncoder();
    return encoder->Begin() && encoder->AddField(CAMERAFIELD_EVENT, static_cast<int>(type));
}

void CameraProcessor::SendToChannel(Message& message, u16 channel)
{
    if (!message.IsNull())
        SendEvent(message, channel);
}

void CameraProcessor::Broadcast(Message& message)
{
    SendToChannel(message, BroadcastEventId);
}

void CameraProcessor::BroadcastStatus()
{
    if (BeginEvent(CAMERAEVENT_STATUS))
    {
        MessageEncoder* encoder = m_queue->GetEncoder();
        MessageField* field = nullptr;
        if (encoder->AllocateField(field, CAMERAFIELD_CAMERAS, MESSAGEFIELD_DATA, sizeof(camera_t),
                                   static_cast<u32>(m_devices.count)))
            for (u64 i = 0; i < m_devices.count; ++i)
                std::memcpy(field->GetData() + i * sizeof(camera_t), static_cast<camera_t*>(m_devices.data[i]),
                            sizeof(camera_t));
        if (encoder->AllocateField(field, CAMERAFIELD_PHOTOS, MESSAGEFIELD_DATA, sizeof(photo_t),
                                   static_cast<u32>(m_photos.count)))
            for (u64 i = 0; i < m_photos.count; ++i)
                std::memcpy(field->GetData() + i * sizeof(photo_t), static_cast<photo_t*>(m_photos.data[i]),
                            sizeof(photo_t));
        Message message = encoder->End();
        Broadcast(message);
    }
    for (u64 i = 0; i < m_devices.count; ++i)
        BroadcastPropertyStatus(m_devices.data[i], true);
}

void CameraProcessor::BroadcastPhotoTaken(CameraPhoto* photo)
{
    if (!photo || !BeginEvent(CAMERAEVENT_PHOTO_TAKEN))
        return;
    MessageEncoder* encoder = m_queue->GetEncoder();
    const i32 index = photo->index;
    encoder->AddField(CAMERAFIELD_PHOTO, &index, 1, 4);
    encoder->AddField(CAMERAFIELD_SEQUENCE, static_cast<int>(m_options.sequence_number));
    encoder->AddField(CAMERAFIELD_BATCH, static_cast<int>(m_options.batch_number));
    Message message = encoder->End();
    Broadcast(message);
}

void CameraProcessor::BroadcastPhotoDownloaded(CameraPhoto* photo)
{
    if (!photo || !BeginEvent(CAMERAEVENT_PHOTO_DOWNLOADED))
        return;
    MessageEncoder* encoder = m_queue->GetEncoder();
    const i32 index = photo->index;
    encoder->AddField(CAMERAFIELD_PHOTO, &index, 1, 4);
    Message message = encoder->End();
    Broadcast(message);
}

void CameraProcessor::BroadcastPhotoDownloading(CameraPhoto* photo)
{
    if (!BeginEvent(CAMERAEVENT_INFORMATION))
        return;
    MessageEncoder* encoder = m_queue->GetEncoder();
    if (photo)
        encoder->AddFieldf(CAMERAFIELD_TEXT, "Downloading photo: %s", photo->name.str ? photo->name.str : "");
    else
        encoder->AddField(CAMERAFIELD_TEXT, "Downloading content");
    Message message = encoder->End();
    Broadcast(message);
}

Message CameraProcessor::EncodeCameraRecord(CameraDevice* device, i32 event)
{
    if (!device || !BeginEvent(event))
        return Message();
    MessageEncoder* encoder = m_queue->GetEncoder();
    encoder->AddField(CAMERAFIELD_CAMERA, &device->id, 1, sizeof(cameraid_t));
    encoder->AddField(CAMERAFIELD_CAMERAS, static_cast<camera_t*>(device), 1, sizeof(camera_t));
    return encoder->End();
}

void CameraProcessor::BroadcastCameraRecord(CameraDevice* device, i32 event)
{
    Message message = EncodeCameraRecord(device, event);
    Broadcast(message);
}

void CameraProcessor::BroadcastCameraStatus(CameraDevice* device)
{
    BroadcastCameraRecord(device, CAMERAEVENT_CAMERA_STATUS);
}

// Sent with every live-view frame. Each carries the camera's whole record and
// supersedes the earlier ones, so they travel as a stream of their own, as the
// frames do: a consumer that falls behind is left a few of each camera rather
// than a channel that grows for as long as live view runs. Status events,
// which carry the same record, are never left out.
void CameraProcessor::BroadcastCameraMetrics(CameraDevice* device)
{
    Message message = EncodeCameraRecord(device, CAMERAEVENT_CAMERA_METRICS);
    if (!message.IsNull())
        SendStreamEvent(message, BroadcastEventId, metrics_stream(device->id));
}

void CameraProcessor::BroadcastLiveviewStatus(CameraDevice* device)
{
    if (!device)
        return;
    ++device->liveview_changes;
    BroadcastCameraStatus(device);
}

void CameraProcessor::BroadcastPhotoStatus(CameraPhoto* photo)
{
    if (!photo || !BeginEvent(CAMERAEVENT_PHOTO_STATUS))
        return;
    MessageEncoder* encoder = m_queue->GetEncoder();
    const i32 index = photo->index;
    encoder->AddField(CAMERAFIELD_PHOTO, &index, 1, 4);
    encoder->AddField(CAMERAFIELD_PHOTOS, static_cast<photo_t*>(photo), 1, sizeof(photo_t));
    Message message = encoder->End();
    Broadcast(message);
}

void CameraProcessor::BroadcastPropertyStatus(CameraDevice* device, bool force)
{
    if (!device || !device->GetSettings())
        return;
    CameraSettings& settings = *device->GetSettings();
    for (u32 i = 0; i < CameraProperty::NumProperties; ++i)
    {
        const CameraProperty::Type type = static_cast<CameraProperty::Type>(i);
        const CameraProperty& property = settings.GetProperty(type);
        cameraversion_t& sent = settings.GetVersion(type);
        if (!force && property.value_version == sent.value_version)
            continue;
        if (!BeginEvent(CAMERAEVENT_PROPERTY_STATUS))
            return;
        MessageEncoder* encoder = m_queue->GetEncoder();
        const i32 raw = static_cast<i32>(type);
        encoder->AddField(CAMERAFIELD_CAMERA, &device->id, 1, sizeof(cameraid_t));
        encoder->AddField(CAMERAFIELD_PROPERTY_TYPE, &raw, 1, 4);
        encoder->AddField(CAMERAFIELD_PROPERTY, &property, 1, sizeof(CameraProperty));
        if (force || property.range_version != sent.range_version)
        {
            const camerarange_t& range = settings.GetRange(type);
            MessageField* field = nullptr;
            if (encoder->AllocateField(field, CAMERAFIELD_PROPERTY_NAMES, MESSAGEFIELD_DATA, sizeof(string_t),
                                       static_cast<u32>(range.names.count)))
                for (u64 k = 0; k < range.names.count; ++k)
                {
                    const string_t view = range.names.data[k];
                    std::memcpy(field->GetData() + k * sizeof(string_t), &view, sizeof(string_t));
                }
        }
        Message message = encoder->End();
        Broadcast(message);
        sent.value_version = property.value_version;
        sent.range_version = property.range_version;
    }
}

void CameraProcessor::BroadcastInformation(const string_t& text)
{
    const char* line = text.str ? text.str : "";
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "%s", line);
    if (!BeginEvent(CAMERAEVENT_INFORMATION))
        return;
    MessageEncoder* encoder = m_queue->GetEncoder();
    add_text(*encoder, CAMERAFIELD_TEXT, text);
    encoder->AddField(CAMERAFIELD_SEQUENCE, static_cast<int>(m_options.sequence_number));
    encoder->AddField(CAMERAFIELD_BATCH, static_cast<int>(m_options.batch_number));
    Message message = encoder->End();
    Broadcast(message);
}

void CameraProcessor::BroadcastInformation(const char* text)
{
    BroadcastInformation(string_make(text));
}

void CameraProcessor::BroadcastInformationf(const char* format, ...)
{
    stringbuffer_t text;
    stringbuffer_initialise(text);
    va_list args;
    va_start(args, format);
    stringbuffer_formatv(text, format, args);
    va_end(args);
    BroadcastInformation(text);
    stringbuffer_release(text);
}

// --- live view ----------------------------------------------------------------------------------------

void CameraProcessor::BroadcastLiveview(CameraDevice* device, const memory_t& frame)
{
    if (!device)
        return;
    ++device->liveview_frames;
    BroadcastCameraMetrics(device);
    if (BeginEvent(CAMERAEVENT_LIVEVIEW))
    {
        MessageEncoder* encoder = m_queue->GetEncoder();
        encoder->AddField(CAMERAFIELD_CAMERA, &device->id, 1, sizeof(cameraid_t));
        encoder->AddField(CAMERAFIELD_CAMERAS, static_cast<camera_t*>(device), 1, sizeof(camera_t));
        if (frame.num_bytes <= 0xFFFFFFFFull && (frame.data || frame.num_bytes == 0))
            encoder->AddField(CAMERAFIELD_LIVEVIEW_FRAME, frame.data, static_cast<u32>(frame.num_bytes), 1);
        Message message = encoder->End();
        // Each frame supersedes the camera's earlier ones: a consumer that
        // falls behind is left a few frames of each camera to take, rather
        // than a channel that grows with every frame until the camera thread
        // has to wait for it.
        if (!message.IsNull())
            SendStreamEvent(message, BroadcastLiveviewId, frame_stream(device->id));
    }
    if (m_options.liveview_recording)
        RecordLiveview(device, frame);
}

void CameraProcessor::RecordLiveview(CameraDevice* device, const memory_t& frame)
{
    m_options.liveview_recorded += frame.num_bytes;
    // A negative limit records nothing.
    const u64 limit = m_options.liveview_limit > 0 ? static_cast<u64>(m_options.liveview_limit) * GIB : 0;
    if (m_options.liveview_recorded > limit)
    {
        BroadcastInformation("Liveview recording data limit reached");
        return;
    }
    if (m_options.liveview_folder.length == 0)
    {
        // Never a frame at the file-system root or in the working folder.
        log_write(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Failed to record Liveview frame: no live-view folder set");
        return;
    }

    const i64 now = time_get_wallclock();
    i64 seconds = now / 1000000;
    i64 micro = now % 1000000;
    if (micro < 0)
    {
        micro += 1000000;
        seconds -= 1;
    }
    struct tm tm;
    std::memset(&tm, 0, sizeof(tm));
    const time_t t = static_cast<time_t>(seconds);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
    if (localtime_r(&t, &tm))
    {
        year = tm.tm_year + 1900;
        month = tm.tm_mon + 1;
        day = tm.tm_mday;
        hour = tm.tm_hour;
        minute = tm.tm_min;
        second = tm.tm_sec;
        millisecond = static_cast<int>(micro / 1000);
    }
    char name[96];
    std::snprintf(name, sizeof(name), "Camera%d_%04d%02d%02d_%02d%02d%02d_%03d.jpg", device->id.id, year, month, day,
                  hour, minute, second, millisecond);
    filename_t path;
    filename_initialise(path);
    if (filename_set(path, m_options.liveview_folder, string_make(name)) && file_save(path.path, frame, false))
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Liveview frame saved to: %s", path.path.str);
    else
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Failed to record Liveview frame to: %s",
                   path.path.length ? path.path.str : name);
    filename_release(path);
}

// --- connection callbacks -----------------------------------------------------------------------------

void CameraProcessor::SetConnected(bool ok, CameraDevice* device)
{
    if (!device)
    {
        BroadcastInformation("ERROR: Failed to connect to camera");
        return;
    }
    i32 batch = device->batch_number > m_options.batch_number ? device->batch_number : m_options.batch_number;
    for (u64 i = 0; i < m_devices.count; ++i)
        if (m_devices.data[i]->batch_number > batch)
            batch = m_devices.data[i]->batch_number;
    device->batch_number = batch;
    device->connected = ok;
    ++device->connection_changes;
    if (const camera_serial_entry_t* entry = FindSerial(device->serial))
    {
        camera_text_set(device->name, entry->name);
        camera_text_set(device->group, entry->group);
    }
    BroadcastPropertyStatus(device, true);
    BroadcastCameraStatus(device);
    if (ok)
        BroadcastInformationf("Connected to camera: %s", device->name.str);
    else
        BroadcastInformationf("ERROR: Failed to connect to camera: %s", device->name.str);
}

void CameraProcessor::SetDisconnected(bool ok, CameraDevice* device)
{
    if (!device)
    {
        BroadcastInformation("ERROR: Failed to disconnect from camera");
        return;
    }
    device->connected = !ok;
    ++device->connection_changes;
    BroadcastCameraStatus(device);
    if (ok)
        BroadcastInformationf("Camera disconnected: %s", device->name.str);
    else
        BroadcastInformationf("ERROR: Failed to disconnect from camera: %s", device->name.str);
}

void CameraProcessor::CameraDisconnected(CameraDevice* device)
{
    if (!device)
        return;
    log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Camera has been removed: %s", device->name.str);
    device->valid = false;
    device->connected = false;
    ++device->connection_changes;
    BroadcastCameraStatus(device);
    BroadcastInformationf("Camera disconnected: %s", device->name.str);
    m_options.detection_pending = true;
}
} // namespace orvo
