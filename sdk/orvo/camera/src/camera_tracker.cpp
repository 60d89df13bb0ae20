// The request path of the camera processor: reading a request, its tracker
// (one reference per camera operation in flight, plus the handler's own),
// dispatch to the type's handler, and the one response that the last
// reference sends.
#include "orvo/camera/camera_processor.h"

#include "orvo/core/core_log.h"
#include "orvo/core/core_message_queue.h"
#include "orvo/core/core_time.h"

#include <atomic>
#include <cstring>
#include <new>

namespace orvo
{
namespace
{
std::atomic<i32> request_counter{0};
std::atomic<i32> response_counter{0};
} // namespace

i32 CameraProcessor::GetRequestCount()
{
    return request_counter.load();
}

i32 CameraProcessor::GetResponseCount()
{
    return response_counter.load();
}

const char* CameraProcessor::GetRequestName(i32 type)
{
    return CameraRequest::GetCStr(type);
}

bool CameraProcessor::AddTracker(cameratracker_t* tracker)
{
    return vector_insert(m_trackers, tracker);
}

void CameraProcessor::RemoveTracker(cameratracker_t* tracker)
{
    for (u64 i = 0; i < m_trackers.count; ++i)
        if (m_trackers.data[i] == tracker)
        {
            vector_remove(m_trackers, i);
            return;
        }
}

// --- receiving -------------------------------------------------------------------------------------------

void CameraProcessor::ReceiveRequest(const Message& message)
{
    i32 type = 0;
    if (!camerarequest_get_int(message, CAMERAFIELD_REQUEST, type))
    {
        HandleUnknownRequest(message);
        return;
    }
    cameratracker_t* tracker = cameratracker_create(*this, message);
    if (!tracker)
    {
        NotifyUnknownRequest(*message.GetHeader());
        return;
    }
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Request:  %d - %s", request_counter.fetch_add(1),
               GetRequestName(type));
    cameratracker_handle(tracker, message);
}

void CameraProcessor::ReceiveResponse(const Message&)
{
}

void CameraProcessor::ReceiveEvent(const Message&)
{
}

void CameraProcessor::Notify(Message& response, const MessageHeader& request)
{
    if (response.IsNull())
        return;
    i32 type = 0;
    if (camerarequest_get_int(response, CAMERAFIELD_REQUEST, type))
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Response: %d - %s", response_counter.fetch_add(1),
                   GetRequestName(type));
    SendResponse(response, request);
}

void CameraProcessor::NotifyUnknownRequest(const MessageHeader& request)
{
    if (!m_queue)
        return;
    // The request may lie in the encoder's buffer: keep its header first.
    const MessageHeader header = request;
    MessageEncoder* encoder = m_queue->GetEncoder();
    if (!encoder->Begin())
        return;
    encoder->AddField(CAMERAFIELD_REQUEST, static_cast<int>(CameraRequest::Unknown));
    encoder->AddField(CAMERAFIELD_RESULT, false);
    Message response = encoder->End();
    Notify(response, header);
}

void CameraProcessor::HandleUnknownRequest(const Message& request)
{
    if (request.IsNull())
        return;
    NotifyUnknownRequest(*request.GetHeader());
}

// --- trackers ---------------------------------------------------------------------------------------------

cameratracker_t* cameratracker_create(CameraProcessor& processor, const Message& request)
{
    i32 type = 0;
    if (request.IsNull() || !camerarequest_get_int(request, CAMERAFIELD_REQUEST, type))
        return nullptr;
    void* block = heap_alloc(sizeof(cameratracker_t), alignof(cameratracker_t), ORVO_HEAP_TAG);
    if (!block)
        return nullptr;
    cameratracker_t* tracker = new (block) cameratracker_t;
    std::memset(tracker, 0, sizeof(*tracker));
    tracker->references = 1;
    tracker->type = type;
    tracker->success = true;
    tracker->all_cameras = false;
    tracker->header = *request.GetHeader();
    tracker->origin = stringid_t{empty_str};
    tracker->processor = &processor;
    tracker->camera = nullptr;
    tracker->photo = nullptr;
    tracker->camera_id = cameraid_t{CAMERAID_NONE, 0};
    const u64 now = time_get_ticks();
    const u64 timeout = processor.GetRequestTimeout();
    tracker->deadline = timeout > ~0ull - now ? ~0ull : now + timeout; // a huge timeout means none
    tracker->answered = false;
    if (!processor.AddTracker(tracker))
    {
        heap_free(tracker, ORVO_HEAP_TAG);
        return nullptr;
    }
    return tracker;
}

void cameratracker_set_camera(cameratracker_t* tracker, CameraDevice* device)
{
    if (!tracker)
        return;
    tracker->camera = device;
    tracker->camera_id = device ? device->id : cameraid_t{CAMERAID_NONE, 0};
}

void cameratracker_handle(cameratracker_t* tracker, const Message& request)
{
    if (!tracker)
        return;
    CameraProcessor& processor = *tracker->processor;
    bool all = false;
    if (camerarequest_get_bool(request, CAMERAFIELD_ALL_CAMERAS, all))
        tracker->all_cameras = all;

    cameraid_t id;
    // Id -1 is how a requester without a chosen camera fills field 5 (a
    // Reshoot from a surface with no active camera): no camera, not a stale one.
    if (camerarequest_get_camera(request, id) && id.id != CAMERAID_NONE)
    {
        CameraDevice* device = nullptr;
        if (processor.FindDevice(id, device))
            cameratracker_set_camera(tracker, device);
        else if (!tracker->all_cameras)
        {
            // A stale or foreign identity: no camera is called.
            log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Request for a camera no longer listed: id %d index %lld",
                       id.id, static_cast<long long>(id.index));
            tracker->success = false;
            cameratracker_decref(tracker, false, nullptr);
            return;
        }
    }
    photoid_t photo_id = -1;
    if (camerarequest_get_photo(request, photo_id))
    {
        CameraPhoto* photo = nullptr;
        processor.FindPhoto(photo_id, photo);
        tracker->photo = photo;
    }

    bool ok = false;
    if (camerarequest_handler_t handler = processor.GetRequestHandler(tracker->type))
        ok = handler(processor, tracker, request);
    else
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Request not served: %d - %s", tracker->type,
                   CameraProcessor::GetRequestName(tracker->type));
    if (!ok)
        tracker->success = false;
    cameratracker_decref(tracker, tracker->success, nullptr);
}

void cameratracker_incref(cameratracker_t* tracker, CameraDevice* device)
{
    if (!tracker)
        return;
    ++tracker->references;
    if (device && !device->busy)
    {
        device->busy = true;
        tracker->processor->BroadcastCameraStatus(device);
    }
}

void cameratracker_decref(cameratracker_t* tracker, bool ok, CameraDevice* device)
{
    if (!tracker)
        return;
    CameraProcessor& processor = *tracker->processor;
    if (device)
    {
        device->busy = false;
        processor.BroadcastCameraStatus(device);
    }
    if (!ok)
        tracker->success = false;
    if (--tracker->references > 0)
        return;
    if (!tracker->answered)
        cameratracker_answer(tracker);
    processor.RemoveTracker(tracker);
    stringid_release(tracker->origin);
    tracker->~cameratracker_t();
    heap_free(tracker, ORVO_HEAP_TAG);
}

void cameratracker_answer(cameratracker_t* tracker)
{
    if (!tracker || tracker->answered)
        return;
    tracker->answered = true;
    CameraProcessor& processor = *tracker->processor;
    if (camerarequest_notice_t notice = processor.GetRequestNotice(tracker->type))
        notice(processor, tracker);

    if (MessageQueue* queue = processor.GetQueue())
    {
        MessageEncoder* encoder = queue->GetEncoder();
        if (encoder->Begin())
        {
            encoder->AddField(CAMERAFIELD_REQUEST, static_cast<int>(tracker->type));
            encoder->AddField(CAMERAFIELD_RESULT, tracker->success);
            if (tracker->camera_id.id >= 0)
                encoder->AddField(CAMERAFIELD_CAMERA, &tracker->camera_id, 1, sizeof(cameraid_t));
            if (tracker->photo)
            {
                const i32 index = tracker->photo->index;
                encoder->AddField(CAMERAFIELD_PHOTO, &index, 1, 4);
            }
            Message response = encoder->End();
            processor.Notify(response, tracker->header);
        }
    }
}

void cameratracker_extend(cameratracker_t* tracker, float seconds)
{
    if (!tracker || !(seconds > 0.0f) || seconds > CAMERA_MAX_BULB_SECONDS)
        return;
    const u64 extra = static_cast<u64>(static_cast<double>(seconds) * 1000000.0);
    tracker->deadline = extra > ~0ull - tracker->deadline ? ~0ull : tracker->deadline + extra;
}

bool cameratracker_end_download(CameraDevice& device, CameraPhoto* photo, bool ok)
{
    cameratracker_t* pending = device.m_pendingTracker;
    if (!pending || !photo || pending->type != CameraRequest::Download || pending->photo != photo)
        return false;
    device.m_pendingTracker = nullptr;
    cameratracker_decref(pending, ok, &device);
    return true;
}

// --- deadlines -------------------------------------------------------------------------------------------

void CameraProcessor::ExpireTrackers()
{
    if (!m_trackers.count)
        return;
    const u64 now = time_get_ticks();
    // Answering frees nothing: the cameras' references keep every tracker
    // of the list alive.
    for (u64 i = 0; i < m_trackers.count; ++i)
    {
        cameratracker_t* tracker = m_trackers.data[i];
        if (tracker->answered || now <= tracker->deadline)
            continue;
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Request timed out: %s", GetRequestName(tracker->type));
        tracker->success = false;
        // The cameras are free again before the response goes out: a device's
        // pending slot is emptied so that it takes new work. The reference the
        // device holds stays its own (it may still end the operation, which
        // then only drops it); one never dropped is freed at the release.
        for (u64 d = 0; d < m_devices.count; ++d)
        {
            CameraDevice* device = m_devices.data[d];
            const bool pending = device->m_pendingTracker == tracker;
            if (pending)
                device->m_pendingTracker = nullptr;
            if ((pending || device == tracker->camera) && device->busy)
            {
                device->busy = false;
                BroadcastCameraStatus(device);
            }
        }
        cameratracker_answer(tracker);
    }
}
} // namespace orvo
