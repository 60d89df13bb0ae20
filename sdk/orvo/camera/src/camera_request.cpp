// Camera requests: the request names, the checked field readers and the two
// request encoders.
#include "orvo/camera/camera_request.h"

#include "orvo/core/core_log.h"
#include "orvo/core/core_message_processor.h"

#include <cstring>

namespace orvo
{
const char* const CAMERA_PROCESSOR_LOCATION = "orvo::CameraProcessor";
const char* const CAMERA_EVENT_CHANNEL = "BROADCAST::CameraEvent";
const char* const CAMERA_LIVEVIEW_CHANNEL = "BROADCAST::CameraLiveview";

namespace
{
const char* const REQUEST_NAMES[CameraRequest::Invalid + 1] = {
    "Synchronise",      "DetectCameras",  "Connect",       "Disconnect",     "TakePhoto",   "Reshoot",
    "Autofocus",        "Download",       "DownloadAll",   "Rename",         "Delete",      "EnableLiveview",
    "LiveviewZoom",     "LiveviewRecord", "LiveviewFocus", "LiveviewPosition", "LiveviewFPS", "EnableDof",
    "EnableVideo",      "SetProperty",    "SetName",       "SetOptions",     "SetSequenceNum", "SetBatchNum",
    "QueryTime",        "SetTime",        "Rollback",      "Format",         "SetShutterButton", "RelinkPhoto",
    "invalid",
};

// The field with the id when its type and element size are the ones asked.
const MessageField* find_typed(const Message& message, i32 id, i16 type, u32 element_size)
{
    const MessageField* field = nullptr;
    if (message.IsNull() || !message.FindField(id, field))
        return nullptr;
    if (field->type != type || field->elementSize != element_size)
        return nullptr;
    return field;
}

bool get_scalar(const Message& message, i32 id, i16 type, void* value)
{
    const MessageField* field = find_typed(message, id, type, 4);
    if (!field || field->count != 1)
        return false;
    std::memcpy(value, field->GetData(), 4);
    return true;
}
} // namespace

const char* CameraRequest::GetCStr(i32 type)
{
    if (type < 0 || type >= CAMERAREQUEST_COUNT)
        return REQUEST_NAMES[Invalid];
    return REQUEST_NAMES[type];
}

// --- readers ------------------------------------------------------------------------------------

bool camerarequest_text_refused(const Message& message, i32 id)
{
    string_t text;
    return find_typed(message, id, MESSAGEFIELD_STRING, 1) && !camerarequest_get_text(message, id, text);
}

bool camerarequest_get_int(const Message& message, i32 id, i32& value)
{
    return get_scalar(message, id, MESSAGEFIELD_INT, &value);
}

bool camerarequest_get_bool(const Message& message, i32 id, bool& value)
{
    i32 raw = 0;
    if (!get_scalar(message, id, MESSAGEFIELD_BOOL, &raw))
        return false;
    value = raw != 0;
    return true;
}

bool camerarequest_get_float(const Message& message, i32 id, float& value)
{
    return get_scalar(message, id, MESSAGEFIELD_FLOAT, &value);
}

bool camerarequest_get_text(const Message& message, i32 id, string_t& text)
{
    const MessageField* field = find_typed(message, id, MESSAGEFIELD_STRING, 1);
    if (!field || field->count == 0)
        return false;
    const u64 length = field->count - 1;
    const char* data = reinterpret_cast<const char*>(field->GetData());
    // The terminating zero must be there, and nothing may hide behind an
    // earlier one (the view's length would lie about the text).
    if (data[length] != 0 || std::memchr(data, 0, length) != nullptr)
        return false;
    if (length > CAMERAREQUEST_MAX_TEXT)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Request field %d refused: text of %llu bytes (limit %llu)", id,
                   static_cast<unsigned long long>(length), static_cast<unsigned long long>(CAMERAREQUEST_MAX_TEXT));
        return false;
    }
    text = string_make(data, length);
    return true;
}

bool camerarequest_get_data(const Message& message, i32 id, u32 element_size, const void*& data, u32& count)
{
    const MessageField* field = find_typed(message, id, MESSAGEFIELD_DATA, element_size);
    if (!field)
        return false;
    data = field->GetData();
    count = field->count;
    return true;
}

bool camerarequest_get_camera(const Message& message, cameraid_t& camera)
{
    const void* data = nullptr;
    u32 count = 0;
    if (!camerarequest_get_data(message, CAMERAFIELD_CAMERA, sizeof(cameraid_t), data, count) || count != 1)
        return false;
    std::memcpy(&camera, data, sizeof(camera));
    return true;
}

bool camerarequest_get_photo(const Message& message, photoid_t& photo)
{
    const void* data = nullptr;
    u32 count = 0;
    if (!camerarequest_get_data(message, CAMERAFIELD_PHOTO, 4, data, count) || count != 1)
        return false;
    std::memcpy(&photo, data, sizeof(photo));
    return true;
}

bool camerarequest_get_property_type(const Message& message, CameraProperty::Type& type)
{
    const void* data = nullptr;
    u32 count = 0;
    if (!camerarequest_get_data(message, CAMERAFIELD_PROPERTY_TYPE, 4, data, count) || count != 1)
        return false;
    i32 raw = 0;
    std::memcpy(&raw, data, sizeof(raw));
    if (raw < 0 || raw >= static_cast<i32>(CameraProperty::NumProperties))
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Request refused: camera property type %d out of range", raw);
        return false;
    }
    type = static_cast<CameraProperty::Type>(raw);
    return true;
}

bool camerarequest_get_position(const Message& message, i32& x, i32& y)
{
    const void* data = nullptr;
    u32 count = 0;
    if (!camerarequest_get_data(message, CAMERAFIELD_LIVEVIEW_POSITION, 4, data, count))
        return false;
    if (count < 2)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Request refused: live-view position with %u values", count);
        return false;
    }
    const u8* bytes = static_cast<const u8*>(data);
    std::memcpy(&x, bytes, 4);
    std::memcpy(&y, bytes + 4, 4);
    return true;
}

bool camerarequest_get_shutter_button(const Message& message, i32& state)
{
    i32 raw = 0;
    if (!camerarequest_get_int(message, CAMERAFIELD_SHUTTER_BUTTON, raw))
        return false;
    if (raw < 0)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Request refused: shutter button state %d", raw);
        return false;
    }
    state = raw;
    return true;
}

// --- the request encoder ---------------------------------------------------------------------------

CameraMessageBuilder::CameraMessageBuilder(MessageEncoder* encoder, photoid_t photo, const cameraid_t& camera,
                                           const string_t& origin, bool all_cameras)
    : m_encoder(encoder), m_photo(photo), m_camera(camera), m_origin(origin), m_allCameras(all_cameras),
      m_begun(false)
{
    if (!m_origin.str)
        m_origin = empty_str;
}

i32 CameraMessageBuilder::ToMilliseconds(long long value, timeunit_t unit)
{
    long long ms = 0;
    switch (unit)
    {
    case TIMEUNIT_TICKS:
    case TIMEUNIT_MICROSECONDS:
        ms = value / 1000;
        break;
    case TIMEUNIT_SECONDS:
        ms = value * 1000;
        break;
    case TIMEUNIT_MILLISECONDS:
        ms = value;
        break;
    default:
        ms = 0;
        break;
    }
    return static_cast<i32>(ms);
}

bool CameraMessageBuilder::Begin(i32 type)
{
    m_begun = m_encoder && m_encoder->Begin() && m_encoder->AddField(CAMERAFIELD_REQUEST, type);
    return m_begun;
}

void CameraMessageBuilder::AddTarget()
{
    if (m_allCameras)
        m_encoder->AddField(CAMERAFIELD_ALL_CAMERAS, true);
    else
        AddCamera(m_camera);
}

void CameraMessageBuilder::AddCamera(const cameraid_t& camera)
{
    // Field by field into a zeroed record: the padding of the caller's copy
    // is not sent.
    cameraid_t record;
    std::memset(&record, 0, sizeof(record));
    record.id = camera.id;
    record.index = camera.index;
    m_encoder->AddField(CAMERAFIELD_CAMERA, &record, 1, sizeof(cameraid_t));
}

void CameraMessageBuilder::AddPhoto()
{
    m_encoder->AddField(CAMERAFIELD_PHOTO, &m_photo, 1, 4);
}

void CameraMessageBuilder::AddText(i32 id, const string_t& text)
{
    // AddField writes up to the first zero; the view's own length is kept by
    // going through AllocateField.
    MessageField* field = nullptr;
    const u64 length = text.str ? text.length : 0;
    if (length >= 0xFFFFFFFFull || !m_encoder->AllocateField(field, id, MESSAGEFIELD_STRING, 1, static_cast<u32>(length + 1)))
        return;
    if (length)
        std::memcpy(field->GetData(), text.str, length);
    field->GetData()[length] = 0;
}

Message CameraMessageBuilder::End()
{
    if (!m_begun)
        return Message();
    m_begun = false;
    return m_encoder->End();
}

Message CameraMessageBuilder::TakePhoto(float bulb_seconds)
{
    if (!Begin(CameraRequest::TakePhoto))
        return Message();
    m_encoder->AddField(CAMERAFIELD_BULB, bulb_seconds);
    AddText(CAMERAFIELD_ORIGIN, m_origin);
    AddTarget();
    return End();
}

Message CameraMessageBuilder::MultiShot()
{
    if (!Begin(CameraRequest::TakePhoto))
        return Message();
    AddText(CAMERAFIELD_ORIGIN, m_origin);
    m_encoder->AddField(CAMERAFIELD_ALL_CAMERAS, true);
    return End();
}

Message CameraMessageBuilder::Reshoot(float bulb_seconds)
{
    if (!Begin(CameraRequest::Reshoot))
        return Message();
    AddCamera(m_camera);
    AddPhoto();
    m_encoder->AddField(CAMERAFIELD_BULB, bulb_seconds);
    AddText(CAMERAFIELD_ORIGIN, m_origin);
    return End();
}

Message CameraMessageBuilder::Autofocus()
{
    if (!Begin(CameraRequest::Autofocus))
        return Message();
    AddTarget();
    return End();
}

Message CameraMessageBuilder::Connect()
{
    if (!Begin(CameraRequest::Connect))
        return Message();
    AddTarget();
    return End();
}

Message CameraMessageBuilder::Disconnect()
{
    if (!Begin(CameraRequest::Disconnect))
        return Message();
    AddTarget();
    return End();
}

Message CameraMessageBuilder::Download()
{
    if (!Begin(CameraRequest::Download))
        return Message();
    AddPhoto();
    return End();
}

Message CameraMessageBuilder::Rename(const string_t& name)
{
    if (!Begin(CameraRequest::Rename))
        return Message();
    AddPhoto();
    AddText(CAMERAFIELD_PHOTO_NAME, name);
    return End();
}

Message CameraMessageBuilder::Delete()
{
    if (!Begin(CameraRequest::Delete))
        return Message();
    AddPhoto();
    return End();
}

Message CameraMessageBuilder::Rollback()
{
    if (!Begin(CameraRequest::Rollback))
        return Message();
    AddPhoto();
    return End();
}

Message CameraMessageBuilder::RelinkPhoto(const cameraid_t& camera)
{
    if (!Begin(CameraRequest::RelinkPhoto))
        return Message();
    AddPhoto();
    if (camera.id >= 0)
        AddCamera(camera);
    return End();
}

Message CameraMessageBuilder::EnableLiveview(bool on)
{
    if (!Begin(CameraRequest::EnableLiveview))
        return Message();
    m_encoder->AddField(CAMERAFIELD_LIVEVIEW, on);
    AddTarget();
    return End();
}

Message CameraMessageBuilder::EnableLiveviewZoom(bool on)
{
    if (!Begin(CameraRequest::LiveviewZoom))
        return Message();
    m_encoder->AddField(CAMERAFIELD_LIVEVIEW_ZOOM, on);
    AddTarget();
    return End();
}

Message CameraMessageBuilder::EnableLiveviewRecord(bool on)
{
    if (!Begin(CameraRequest::LiveviewRecord))
        return Message();
    m_encoder->AddField(CAMERAFIELD_LIVEVIEW_RECORD, on);
    return End();
}

Message CameraMessageBuilder::FocusLiveview(int step)
{
    if (!Begin(CameraRequest::LiveviewFocus))
        return Message();
    m_encoder->AddField(CAMERAFIELD_LIVEVIEW_FOCUS, step);
    AddTarget();
    return End();
}

Message CameraMessageBuilder::PositionLiveview(int x, int y)
{
    if (!Begin(CameraRequest::LiveviewPosition))
        return Message();
    const i32 position[2] = {x, y};
    m_encoder->AddField(CAMERAFIELD_LIVEVIEW_POSITION, position, 2, 4);
    // A position always belongs to one camera's frame.
    AddCamera(m_camera);
    return End();
}

Message CameraMessageBuilder::SetLiveviewFPS(int liveview, int video)
{
    if (!Begin(CameraRequest::LiveviewFPS))
        return Message();
    m_encoder->AddField(CAMERAFIELD_LIVEVIEW_FPS, liveview);
    m_encoder->AddField(CAMERAFIELD_VIDEO_FPS, video);
    AddTarget();
    return End();
}

Message CameraMessageBuilder::EnableDof(bool on)
{
    if (!Begin(CameraRequest::EnableDof))
        return Message();
    m_encoder->AddField(CAMERAFIELD_DOF, on);
    AddTarget();
    return End();
}

Message CameraMessageBuilder::EnableVideo(bool on)
{
    if (!Begin(CameraRequest::EnableVideo))
        return Message();
    m_encoder->AddField(CAMERAFIELD_VIDEO, on);
    AddTarget();
    return End();
}

Message CameraMessageBuilder::SetProperty(CameraProperty::Type type, const string_t& value)
{
    if (!Begin(CameraRequest::SetProperty))
        return Message();
    const i32 raw = static_cast<i32>(type);
    m_encoder->AddField(CAMERAFIELD_PROPERTY_TYPE, &raw, 1, 4);
    AddText(CAMERAFIELD_PROPERTY_VALUE, value);
    AddTarget();
    return End();
}

Message CameraMessageBuilder::SetName(const string_t& name, const string_t& group, const string_t& serial)
{
    if (!Begin(CameraRequest::SetName))
        return Message();
    AddText(CAMERAFIELD_CAMERA_NAME, name);
    AddText(CAMERAFIELD_CAMERA_GROUP, group);
    AddText(CAMERAFIELD_SERIAL, serial);
    if (m_camera.id >= 0)
        AddCamera(m_camera);
    return End();
}

Message CameraMessageBuilder::SetOptions(const string_t& download_folder, const string_t& backup_folder,
                                         const string_t& liveview_folder, int liveview_limit,
                                         const string_t& expression, const string_t& validation,
                                         const string_t& text_a, const string_t& text_u, const string_t& text_z,
                                         bool generate_names, bool auto_connect, bool synchronise_clocks,
                                         bool reset_sequence, bool reset_batch, const string_t& default_storage,
                                         const string_t& default_focus)
{
    if (!Begin(CameraRequest::SetOptions))
        return Message();
    AddText(CAMERAFIELD_DOWNLOAD_FOLDER, download_folder);
    AddText(CAMERAFIELD_BACKUP_FOLDER, backup_folder);
    AddText(CAMERAFIELD_LIVEVIEW_FOLDER, liveview_folder);
    m_encoder->AddField(CAMERAFIELD_LIVEVIEW_LIMIT, liveview_limit);
    AddText(CAMERAFIELD_FILENAME_EXPRESSION, expression);
    AddText(CAMERAFIELD_FILENAME_VALIDATION, validation);
    AddText(CAMERAFIELD_TEXT_A, text_a);
    AddText(CAMERAFIELD_TEXT_U, text_u);
    AddText(CAMERAFIELD_TEXT_Z, text_z);
    m_encoder->AddField(CAMERAFIELD_GENERATE_NAMES, generate_names);
    m_encoder->AddField(CAMERAFIELD_AUTO_CONNECT, auto_connect);
    m_encoder->AddField(CAMERAFIELD_SYNC_CLOCKS, synchronise_clocks);
    m_encoder->AddField(CAMERAFIELD_RESET_SEQUENCE, reset_sequence);
    m_encoder->AddField(CAMERAFIELD_RESET_BATCH, reset_batch);
    AddText(CAMERAFIELD_DEFAULT_STORAGE, default_storage);
    AddText(CAMERAFIELD_DEFAULT_FOCUS, default_focus);
    return End();
}

Message CameraMessageBuilder::SetSequenceNum(int sequence)
{
    if (!Begin(CameraRequest::SetSequenceNum))
        return Message();
    m_encoder->AddField(CAMERAFIELD_SEQUENCE, sequence);
    return End();
}

Message CameraMessageBuilder::SetBatchNum(int batch)
{
    if (!Begin(CameraRequest::SetBatchNum))
        return Message();
    m_encoder->AddField(CAMERAFIELD_BATCH, batch);
    return End();
}

Message CameraMessageBuilder::SetTime(long long value, timeunit_t unit)
{
    if (!Begin(CameraRequest::SetTime))
        return Message();
    m_encoder->AddField(CAMERAFIELD_TIME, static_cast<int>(ToMilliseconds(value, unit)));
    return End();
}

Message CameraMessageBuilder::SetShutterButton(int state)
{
    if (!Begin(CameraRequest::SetShutterButton))
        return Message();
    m_encoder->AddField(CAMERAFIELD_SHUTTER_BUTTON, state);
    AddTarget();
    return End();
}

// --- the sender ------------------------------------------------------------------------------------

CameraMessageSender::CameraMessageSender(MessageEncoder* encoder, photoid_t photo, const cameraid_t& camera,
                                         const string_t& origin, bool all_cameras, MessageProcessor* sender,
                                         u16 destination)
    : CameraMessageBuilder(encoder, photo, camera, origin, all_cameras), m_sender(sender), m_destination(destination)
{
}

bool CameraMessageSender::Send(i32 type)
{
    if (!m_sender || !Begin(type))
        return false;
    Message message = End();
    return !message.IsNull() && m_sender->SendRequest(message, m_destination);
}

bool CameraMessageSender::Synchronise()
{
    return Send(CameraRequest::Synchronise);
}

bool CameraMessageSender::DetectCameras()
{
    return Send(CameraRequest::DetectCameras);
}

bool CameraMessageSender::DownloadAll()
{
    return Send(CameraRequest::DownloadAll);
}

bool CameraMessageSender::QueryTime()
{
    return Send(CameraRequest::QueryTime);
}

bool CameraMessageSender::Format()
{
    return Send(CameraRequest::Format);
}
} // namespace orvo
