// The Nikon personality: model rows, the independent encoders of GetEvent
// blocks and live-view frames, and the Nikon operations over the Camera's
// model (properties, objects, storages) with a DeviceReady machine of its own.
#include "support/ptpsim/ptpsim_nikon.h"

#include "support/ptpsim/ptpsim_content.h"

#include <algorithm>

namespace ptpsim
{
namespace
{
DevicePropDesc enum_property(uint16_t code, uint16_t datatype, uint8_t getset, int64_t current,
                             const std::vector<int64_t>& values)
{
    DevicePropDesc desc;
    desc.code = code;
    desc.datatype = datatype;
    desc.getset = getset;
    desc.factory_default = Value::integer(current);
    desc.current = Value::integer(current);
    desc.form = kFormEnumeration;
    for (int64_t value : values)
        desc.enumeration.push_back(Value::integer(value));
    return desc;
}

void put_be16(Bytes& bytes, size_t at, uint16_t value)
{
    if (at + 2 > bytes.size())
        return;
    bytes[at] = static_cast<uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<uint8_t>(value & 0xFF);
}
} // namespace

NikonModel nikon_model(const std::string& name)
{
    NikonModel model;
    model.name = name;
    if (name == "D80")
    {
        // No live view, no capture into the card by vendor operation: the
        // computer gets objects from its memory under one fixed handle.
        model.header_offset = 0;
        model.capture_in_media = false;
        model.liveview_listed = false;
        model.liveview = false;
        model.movies = false;
        model.sdram_handle = 0xFFFF0001;
        model.compression_values = 7;
    }
    else if (name == "D3x")
    {
        // Lists InitiateCaptureRecInMedia, which its firmware does not honour.
        model.jpeg_offset = 64;
        model.header_offset = 0;
        model.movies = false;
        model.zoom_ratios = {0, 1, 2, 3, 4, 5};
    }
    else if (name == "D3200")
    {
        model.liveview_listed = false;
        model.zoom_ratios = {0, 1, 2, 3, 4};
    }
    else if (name == "D5100")
    {
        model.header_offset = 0;
        model.capture_in_media = false;
        model.zoom_ratios = {0, 1, 2, 3, 4, 5};
        model.recording_media = {0, 1};
    }
    else if (name == "D4")
    {
        model.header_offset = 0;
        model.zoom_ratios = {0, 1, 2, 3, 4, 5};
    }
    else if (name == "D500")
    {
        model.liveview_sizes = {1, 2, 3};
        model.compression_values = 14;
    }
    return model;
}

Bytes nikon_liveview_frame(const NikonFrameHeader& header, uint32_t header_offset, uint32_t jpeg_offset,
                           uint32_t jpeg_size, uint64_t seed)
{
    Bytes frame(static_cast<size_t>(jpeg_offset) + jpeg_size, 0);
    put_be16(frame, header_offset + 4, header.width);
    put_be16(frame, header_offset + 6, header.height);
    put_be16(frame, header_offset + 8, header.area_width);
    put_be16(frame, header_offset + 10, header.area_height);
    put_be16(frame, header_offset + 12, header.centre_x);
    put_be16(frame, header_offset + 14, header.centre_y);
    if (jpeg_size > 0)
        generate_content(Content::kJpeg, seed, jpeg_size, 0, frame.data() + jpeg_offset, jpeg_size);
    return frame;
}

Bytes nikon_event_block(const std::vector<std::pair<uint16_t, uint32_t>>& entries, int claimed_count)
{
    Encoder encoder;
    encoder.u16(static_cast<uint16_t>(claimed_count < 0 ? entries.size() : static_cast<size_t>(claimed_count)));
    for (const auto& entry : entries)
        encoder.u16(entry.first).u32(entry.second);
    return encoder.take();
}

NikonCamera::NikonCamera(Camera& camera, const NikonModel& model)
    : m_camera(camera), m_model(model), m_jpeg_offset(model.jpeg_offset)
{
    ObjectInfo shot;
    shot.filename = "DSC_0001.JPG";
    shot.format = kFormatJpeg;
    m_shots = {shot};

    std::vector<uint16_t> operations = {0x1001, 0x1002, 0x1003, 0x1004, 0x1005, 0x1007, 0x1008, 0x1009,
                                        0x100B, 0x100E, 0x100F, 0x1014, 0x1015, 0x1016, 0x101B,
                                        kNikonOpAfDrive, kNikonOpChangeCameraMode, kNikonOpGetEvent,
                                        kNikonOpDeviceReady, kNikonOpGetVendorPropCodes, kNikonOpGetVendorStorageIDs,
                                        kNikonOpTerminateCapture};
    if (model.capture_in_sdram)
        operations.push_back(kNikonOpInitiateCaptureRecInSdram);
    if (model.capture_in_media)
        operations.push_back(kNikonOpInitiateCaptureRecInMedia);
    if (model.liveview && model.liveview_listed)
        for (uint16_t op : {kNikonOpStartLiveView, kNikonOpEndLiveView, kNikonOpGetLiveViewImage, kNikonOpMfDrive,
                            kNikonOpChangeAfArea})
            operations.push_back(op);
    else if (model.liveview)
        operations.push_back(kNikonOpChangeAfArea);
    if (model.movies)
        for (uint16_t op : {kNikonOpStartMovieRecInCard, kNikonOpEndMovieRec})
            operations.push_back(op);

    std::vector<int64_t> compressions;
    for (int i = 0; i < model.compression_values; ++i)
        compressions.push_back(i);
    std::vector<DevicePropDesc> vendor = {
        enum_property(kNikonPropExternalDCIN, kUint8, 0, 0, {0, 1}),
        enum_property(kNikonPropUSBSpeed, kUint8, 0, 1, {0, 1}),
        enum_property(kNikonPropAFModeSelect, kUint8, 1, 0, {0, 1, 2, 3, 4}),
        enum_property(kNikonPropApplicationMode, kUint8, 1, 0, {0, 1}),
        enum_property(kNikonPropShutterSpeed, kUint32, 1, nikon_shutter(1, 250),
                      {nikon_shutter(1, 4000), nikon_shutter(1, 250), nikon_shutter(1, 60), nikon_shutter(13, 10),
                       nikon_shutter(30, 1), kNikonShutterBulb}),
    };
    if (!model.recording_media.empty())
        vendor.push_back(enum_property(kNikonPropRecordingMedia, kUint8, 1, 0, model.recording_media));
    if (model.liveview)
    {
        vendor.push_back(enum_property(kNikonPropLiveViewStatus, kUint8, 0, 0, {0, 1}));
        vendor.push_back(enum_property(kNikonPropLiveViewImageZoomRatio, kUint8, 1, 0, model.zoom_ratios));
        vendor.push_back(enum_property(kNikonPropLiveViewExposurePreview, kUint8, 1, 0, {0, 1}));
        vendor.push_back(enum_property(kNikonPropLiveViewImageSize, kUint8, 1, 1, model.liveview_sizes));
        vendor.push_back(enum_property(kNikonPropAfAtLiveView, kUint8, 1, 0, {0, 1, 2, 3}));
    }
    std::vector<uint16_t> vendor_codes;
    for (const DevicePropDesc& desc : vendor)
    {
        camera.set_property(desc);
        vendor_codes.push_back(desc.code);
    }
    camera.set_property(enum_property(kPropCompressionSetting, kUint8, 1, 2, compressions));

    camera.edit_deviceinfo([&](DeviceInfo& info) {
        info.vendor_extension_id = 0x0000000A;
        info.vendor_extension_desc = "";
        info.manufacturer = "Nikon Corporation";
        info.model = model.name;
        info.serial_number = "3001234";
        info.operations = operations;
        info.events = {0x4002, 0x4004, 0x4005, 0x4006, 0x4008, 0x400D, kNikonEvObjectAddedInSdram,
                       kNikonEvCaptureCompleteRecInSdram};
        // The vendor properties are listed only by GetVendorPropCodes.
        std::vector<uint16_t> standard;
        for (uint16_t code : info.properties)
            if (code < 0xD000)
                standard.push_back(code);
        info.properties = standard;
    });
    camera.set_polled_events(true);

    camera.set_operation(kNikonOpGetVendorPropCodes, [vendor_codes](const std::vector<uint32_t>&,
                                                                          const Bytes*, DataIn& in) {
        in.replace(Encoder().u16_array(vendor_codes).take());
        return static_cast<uint16_t>(kRespOK);
    });
    camera.set_operation(kNikonOpGetVendorStorageIDs, [this](const std::vector<uint32_t>&, const Bytes*, DataIn& in) {
        in.replace(Encoder().u32_array(m_camera.storages()).take());
        return static_cast<uint16_t>(kRespOK);
    });
    camera.set_operation(kNikonOpChangeCameraMode,
                         [](const std::vector<uint32_t>&, const Bytes*, DataIn&) { return uint16_t(kRespOK); });
    camera.set_operation(kNikonOpDeviceReady,
                         [this](const std::vector<uint32_t>&, const Bytes*, DataIn&) { return op_device_ready(); });
    camera.set_operation(kNikonOpGetEvent,
                         [this](const std::vector<uint32_t>&, const Bytes*, DataIn& in) { return op_get_event(in); });
    // The capture into the media names its destination; InitiateCapture
    // records where RecordingMedia says, as the body's own release would.
    camera.set_operation(kNikonOpInitiateCaptureRecInMedia, [this](const std::vector<uint32_t>& p, const Bytes*,
                                                                   DataIn&) {
        return op_capture(media_of(p.size() >= 2 ? p[1] : 0));
    });
    camera.set_operation(kNikonOpInitiateCaptureRecInSdram, [this](const std::vector<uint32_t>&, const Bytes*,
                                                                   DataIn&) { return op_capture(Media::kMemory); });
    camera.set_operation(kOpInitiateCapture, [this](const std::vector<uint32_t>&, const Bytes*, DataIn&) {
        return op_capture(media_of(value_of(kNikonPropRecordingMedia)));
    });
    camera.set_operation(kNikonOpTerminateCapture, [this](const std::vector<uint32_t>&, const Bytes*, DataIn&) {
        return op_terminate_capture();
    });
    camera.set_operation(kNikonOpAfDrive,
                         [this](const std::vector<uint32_t>&, const Bytes*, DataIn&) { return op_af_drive(); });
    camera.set_operation(kOpFormatStore, [this](const std::vector<uint32_t>& p, const Bytes*, DataIn&) {
        std::vector<uint32_t> ids = m_camera.storages();
        if (p.empty() || std::find(ids.begin(), ids.end(), p[0]) == ids.end())
            return static_cast<uint16_t>(kRespInvalidStorageID);
        if ((p[0] & 0xFFFF) == 0)
            return static_cast<uint16_t>(kRespStoreNotAvailable);
        int64_t appmode = value_of(kNikonPropApplicationMode);
        int64_t media = value_of(kNikonPropRecordingMedia);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_appmode_at_format.push_back(appmode);
        m_media_at_format.push_back(media);
        return static_cast<uint16_t>(kRespOK);
    });
    if (model.liveview)
    {
        // A body that hides its live view from DeviceInfo still answers it.
        bool hidden = !model.liveview_listed;
        camera.set_operation(
            kNikonOpStartLiveView,
            [this](const std::vector<uint32_t>&, const Bytes*, DataIn&) { return op_liveview(true); }, hidden);
        camera.set_operation(
            kNikonOpEndLiveView,
            [this](const std::vector<uint32_t>&, const Bytes*, DataIn&) { return op_liveview(false); }, hidden);
        camera.set_operation(
            kNikonOpGetLiveViewImage,
            [this](const std::vector<uint32_t>&, const Bytes*, DataIn& in) { return op_liveview_image(in); }, hidden);
        camera.set_operation(
            kNikonOpMfDrive,
            [this](const std::vector<uint32_t>& p, const Bytes*, DataIn&) {
                if (p.size() < 2)
                    return static_cast<uint16_t>(kRespInvalidParameter);
                std::lock_guard<std::mutex> lock(m_mutex);
                m_mf_drives.emplace_back(p[0], p[1]);
                return static_cast<uint16_t>(kRespOK);
            },
            hidden);
        camera.set_operation(kNikonOpChangeAfArea, [this](const std::vector<uint32_t>& p, const Bytes*, DataIn&) {
            if (p.size() < 2)
                return static_cast<uint16_t>(kRespInvalidParameter);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_af_moves.emplace_back(p[0], p[1]);
            return static_cast<uint16_t>(kRespOK);
        });
    }
    if (model.movies)
    {
        camera.set_operation(kNikonOpStartMovieRecInCard,
                             [this](const std::vector<uint32_t>&, const Bytes*, DataIn&) { return op_movie(true); });
        camera.set_operation(kNikonOpEndMovieRec,
                             [this](const std::vector<uint32_t>&, const Bytes*, DataIn&) { return op_movie(false); });
    }
}

int64_t NikonCamera::value_of(uint16_t code)
{
    return static_cast<int64_t>(m_camera.property_value(code).bits);
}

NikonCamera::Media NikonCamera::media_of(int64_t value)
{
    switch (value)
    {
    case 1:
        return Media::kMemory;
    case 2:
        return Media::kBoth;
    default:
        return Media::kCard;
    }
}

// --- DeviceReady ----------------------------------------------------------------------------------

void NikonCamera::script_ready(const std::vector<uint16_t>& answers)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ready_script.insert(m_ready_script.end(), answers.begin(), answers.end());
}

void NikonCamera::set_busy_after_start(int polls, uint16_t outcome)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_busy_polls = polls;
    m_busy_outcome = outcome;
}

void NikonCamera::set_stuck_busy(bool stuck)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stuck = stuck;
}

void NikonCamera::start_busy_locked()
{
    m_busy_left = m_busy_polls;
    m_outcome_due = true;
}

uint16_t NikonCamera::op_device_ready()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_ready_script.empty())
    {
        uint16_t answer = m_ready_script.front();
        m_ready_script.pop_front();
        return answer;
    }
    if (m_stuck)
        return kRespDeviceBusy;
    if (m_bulb_open)
        return kNikonRespBulbReleaseBusy;
    if (m_busy_left > 0)
    {
        --m_busy_left;
        return kRespDeviceBusy;
    }
    // The busy run is over: what the camera did shows up in its events now.
    m_events.insert(m_events.end(), m_held_events.begin(), m_held_events.end());
    m_held_events.clear();
    if (m_outcome_due)
    {
        m_outcome_due = false;
        return m_busy_outcome;
    }
    return kRespOK;
}

uint16_t NikonCamera::op_get_event(DataIn& in)
{
    std::vector<std::pair<uint16_t, uint32_t>> entries;
    // Events of the generic model (property changes after a write).
    for (const auto& event : m_camera.take_polled_events())
        entries.emplace_back(event.first, event.second.empty() ? 0 : event.second[0]);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        entries.insert(entries.end(), m_events.begin(), m_events.end());
        m_events.clear();
    }
    in.replace(nikon_event_block(entries));
    return kRespOK;
}

void NikonCamera::queue_event(uint16_t code, uint32_t parameter)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.emplace_back(code, parameter);
}

// --- capture -----------------------------------------------------------------------------------

void NikonCamera::set_shots(const std::vector<ObjectInfo>& shots, uint64_t size)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_shots = shots;
    m_shot_size = size;
}

std::vector<uint32_t> NikonCamera::last_shots()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<uint32_t> shots = m_last_card_shots;
    shots.insert(shots.end(), m_last_memory_shots.begin(), m_last_memory_shots.end());
    return shots;
}

std::vector<uint32_t> NikonCamera::last_card_shots()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_last_card_shots;
}

std::vector<uint32_t> NikonCamera::last_memory_shots()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_last_memory_shots;
}

bool NikonCamera::bulb_open()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bulb_open;
}

// Card copies are announced with ObjectAdded, memory copies with
// ObjectAddedInSdram; in "both" every shot leaves one of each, the card
// keeping its copy while the computer takes the one in memory.
void NikonCamera::make_shots_locked(Media media, std::vector<std::pair<uint16_t, uint32_t>>& events)
{
    const bool card = media != Media::kMemory;
    const bool memory = media != Media::kCard;
    std::vector<uint32_t> storages = m_camera.storages();
    m_last_card_shots.clear();
    m_last_memory_shots.clear();
    for (const ObjectInfo& shot : m_shots)
    {
        Content content = shot.format == kFormatJpeg ? Content::kJpeg : Content::kPattern;
        if (card)
        {
            ObjectInfo info = shot;
            info.storage_id = storages.empty() ? 0 : storages[0];
            uint32_t handle = m_camera.add_object(info, m_shot_size, content);
            events.emplace_back(kEvObjectAdded, handle);
            m_last_card_shots.push_back(handle);
        }
        if (memory)
        {
            ObjectInfo info = shot;
            info.storage_id = 0;
            uint32_t handle = m_model.sdram_handle
                                  ? m_camera.add_object_at(m_model.sdram_handle, info, m_shot_size, content)
                                  : m_camera.add_object(info, m_shot_size, content);
            // The fixed-handle bodies announce a parameter that means nothing.
            events.emplace_back(kNikonEvObjectAddedInSdram, m_model.sdram_handle ? 0x12345678u : handle);
            m_last_memory_shots.push_back(handle);
        }
    }
    events.emplace_back(static_cast<uint16_t>(card ? uint16_t(kEvCaptureComplete)
                                                   : uint16_t(kNikonEvCaptureCompleteRecInSdram)),
                        0u);
}

uint16_t NikonCamera::op_capture(Media media)
{
    bool bulb = static_cast<uint32_t>(value_of(kNikonPropShutterSpeed)) == kNikonShutterBulb;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bulb_open)
        return kRespDeviceBusy;
    if (bulb)
    {
        m_bulb_open = true;
        m_bulb_media = media;
        return kRespOK;
    }
    make_shots_locked(media, m_held_events);
    start_busy_locked();
    if (m_busy_left == 0 && !m_stuck)
    {
        m_events.insert(m_events.end(), m_held_events.begin(), m_held_events.end());
        m_held_events.clear();
    }
    return kRespOK;
}

uint16_t NikonCamera::op_terminate_capture()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bulb_open)
        return kRespGeneralError;
    m_bulb_open = false;
    make_shots_locked(m_bulb_media, m_events);
    return kRespOK;
}

uint16_t NikonCamera::op_af_drive()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    start_busy_locked();
    return kRespOK;
}

// --- live view and movies -----------------------------------------------------------------------------

void NikonCamera::set_frame_header(const NikonFrameHeader& header)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_header = header;
}

void NikonCamera::set_frame_jpeg_offset(uint32_t offset)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_jpeg_offset = offset;
}

void NikonCamera::set_frame_jpeg_size(uint32_t size)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frame_jpeg_size = size;
}

void NikonCamera::set_frame_length(uint32_t length)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frame_length = length;
}

bool NikonCamera::liveview_on()
{
    return value_of(kNikonPropLiveViewStatus) != 0;
}

bool NikonCamera::movie_recording()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_movie;
}

int64_t NikonCamera::media_at_liveview_start()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_media_at_liveview;
}

int64_t NikonCamera::media_at_movie_start()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_media_at_movie;
}

std::vector<std::pair<uint32_t, uint32_t>> NikonCamera::mf_drives()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mf_drives;
}

std::vector<std::pair<uint32_t, uint32_t>> NikonCamera::af_area_moves()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_af_moves;
}

std::vector<int64_t> NikonCamera::application_mode_at_format()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_appmode_at_format;
}

std::vector<int64_t> NikonCamera::media_at_format()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_media_at_format;
}

uint16_t NikonCamera::op_liveview(bool on)
{
    int64_t media = value_of(kNikonPropRecordingMedia);
    m_camera.change_property(kNikonPropLiveViewStatus, Value::integer(on ? 1 : 0), false);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (on)
        m_media_at_liveview = media;
    else
        m_movie = false;
    return kRespOK;
}

uint16_t NikonCamera::op_liveview_image(DataIn& in)
{
    if (!liveview_on())
        return kNikonRespNotLiveView;
    std::lock_guard<std::mutex> lock(m_mutex);
    Bytes frame = nikon_liveview_frame(m_header, m_model.header_offset, m_jpeg_offset, m_frame_jpeg_size, ++m_frames);
    if (m_frame_length && m_frame_length < frame.size())
        frame.resize(m_frame_length);
    in.replace(std::move(frame));
    return kRespOK;
}

uint16_t NikonCamera::op_movie(bool on)
{
    bool liveview = liveview_on();
    int64_t media = value_of(kNikonPropRecordingMedia);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (on)
    {
        // Movies record from live view onto the card only.
        if (!liveview)
            return kNikonRespNotLiveView;
        if (media != 0)
            return kRespAccessDenied;
        m_media_at_movie = media;
        m_movie = true;
        return kRespOK;
    }
    if (!m_movie)
        return kRespGeneralError;
    m_movie = false;
    return kRespOK;
}
} // namespace ptpsim
