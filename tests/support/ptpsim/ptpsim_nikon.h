// The responder's Nikon personality: dresses a Camera as one Nikon body (the
// DeviceInfo, the vendor properties listed only through GetVendorPropCodes,
// the model's live-view layout, zoom ratios and storage values) and answers
// the Nikon operations: DeviceReady with its busy runs, GetEvent from the
// camera's event list, capture into the card or the camera's memory (SDRAM),
// bulb, autofocus, live-view frames with their big-endian header, manual focus
// and movie recording. Test code; the Camera must outlive the personality.
#pragma once

#include "support/ptpsim/ptpsim_camera.h"

#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ptpsim
{
enum : uint16_t
{
    kNikonOpInitiateCaptureRecInSdram = 0x90C0,
    kNikonOpAfDrive = 0x90C1,
    kNikonOpChangeCameraMode = 0x90C2,
    kNikonOpGetEvent = 0x90C7,
    kNikonOpDeviceReady = 0x90C8,
    kNikonOpGetVendorPropCodes = 0x90CA,
    kNikonOpStartLiveView = 0x9201,
    kNikonOpEndLiveView = 0x9202,
    kNikonOpGetLiveViewImage = 0x9203,
    kNikonOpMfDrive = 0x9204,
    kNikonOpChangeAfArea = 0x9205,
    kNikonOpInitiateCaptureRecInMedia = 0x9207,
    kNikonOpGetVendorStorageIDs = 0x9209,
    kNikonOpStartMovieRecInCard = 0x920A,
    kNikonOpEndMovieRec = 0x920B,
    kNikonOpTerminateCapture = 0x920C,

    kRespDeviceBusy = 0x2019,
    kNikonRespOutOfFocus = 0xA002,
    kNikonRespNotLiveView = 0xA00B,
    kNikonRespBulbReleaseBusy = 0xA200,

    kNikonEvObjectAddedInSdram = 0xC101,
    kNikonEvCaptureCompleteRecInSdram = 0xC102,

    kNikonPropAfAtLiveView = 0xD05D,
    kNikonPropShutterSpeed = 0xD100,
    kNikonPropExternalDCIN = 0xD101,
    kNikonPropRecordingMedia = 0xD10B,
    kNikonPropUSBSpeed = 0xD10C,
    kNikonPropAFModeSelect = 0xD161,
    kNikonPropLiveViewStatus = 0xD1A2,
    kNikonPropLiveViewImageZoomRatio = 0xD1A3,
    kNikonPropLiveViewExposurePreview = 0xD1A5,
    kNikonPropLiveViewImageSize = 0xD1AC,
    kNikonPropApplicationMode = 0xD1F0,
};

// ShutterSpeed values: numerator in the high 16 bits, denominator in the low.
inline uint32_t nikon_shutter(uint16_t numerator, uint16_t denominator)
{
    return (static_cast<uint32_t>(numerator) << 16) | denominator;
}
const uint32_t kNikonShutterBulb = 0xFFFFFFFF;

// One body's row: what it lists and how it lays out its live-view frames.
struct NikonModel
{
    std::string name;           // the Model string ends with it: "D810"
    uint32_t jpeg_offset = 384; // where the frame's JPEG starts
    uint32_t header_offset = 8; // where its header starts
    bool capture_in_media = true;   // lists InitiateCaptureRecInMedia
    bool capture_in_sdram = true;   // lists InitiateCaptureRecInSdram
    bool liveview_listed = true;    // lists the live-view operations in DeviceInfo
    bool liveview = true;           // answers them (listed or not)
    bool movies = true;             // StartMovieRecInCard
    uint32_t sdram_handle = 0;      // fixed handle of objects in its memory; 0: fresh ones
    std::vector<int64_t> zoom_ratios = {0, 1, 2, 3, 4, 5, 6};
    std::vector<int64_t> recording_media = {0, 1, 2}; // empty: no RecordingMedia
    std::vector<int64_t> liveview_sizes = {1, 2};
    int compression_values = 8; // CompressionSetting values 0 .. n - 1
};

// The rows the tests use: D810, D80, D3x, D3200, D5100, D4, D500.
NikonModel nikon_model(const std::string& name);

// The header a frame carries (big-endian u16 fields at the header offset).
struct NikonFrameHeader
{
    uint16_t width = 640;  // W
    uint16_t height = 424; // H
    uint16_t area_width = 640;
    uint16_t area_height = 424;
    uint16_t centre_x = 320;
    uint16_t centre_y = 212;
};

// A live-view block as the camera sends it: zeros, the header at its offset,
// a JPEG of jpeg_size bytes at jpeg_offset. Written by the responder alone.
Bytes nikon_liveview_frame(const NikonFrameHeader& header, uint32_t header_offset, uint32_t jpeg_offset,
                           uint32_t jpeg_size, uint64_t seed);
// A GetEvent block: the u16 count, then u16 code and u32 parameter per entry.
Bytes nikon_event_block(const std::vector<std::pair<uint16_t, uint32_t>>& entries, int claimed_count = -1);

class NikonCamera
{
public:
    NikonCamera(Camera& camera, const NikonModel& model);
    NikonCamera(const NikonCamera&) = delete;
    NikonCamera& operator=(const NikonCamera&) = delete;

    Camera& camera() { return m_camera; }
    const NikonModel& model() const { return m_model; }

    // --- DeviceReady ----------------------------------------------------------------------
    // The next answers to DeviceReady, in order, before the camera's own.
    void script_ready(const std::vector<uint16_t>& answers);
    // After each capture or autofocus start, DeviceReady answers DeviceBusy
    // this many times, then `outcome` once (OK: the autofocus found focus).
    // Events of a capture appear in GetEvent only once the busy run is over.
    void set_busy_after_start(int polls, uint16_t outcome = kRespOK);
    // DeviceBusy for ever (a hung body).
    void set_stuck_busy(bool stuck);

    // --- capture ---------------------------------------------------------------------------
    // What a capture makes: one object per entry, `size` bytes each.
    void set_shots(const std::vector<ObjectInfo>& shots, uint64_t size);
    // Handles of the objects made by the last capture: the card copies, then
    // the memory copies (RecordingMedia "both" makes one of each per shot).
    std::vector<uint32_t> last_shots();
    std::vector<uint32_t> last_card_shots();
    std::vector<uint32_t> last_memory_shots();
    bool bulb_open();
    // Events queued for GetEvent right now (a test's own).
    void queue_event(uint16_t code, uint32_t parameter);

    // --- live view and movies -------------------------------------------------------------------
    void set_frame_header(const NikonFrameHeader& header);
    // Moves the frame's JPEG elsewhere (a firmware that changed its layout).
    void set_frame_jpeg_offset(uint32_t offset);
    // Cuts every frame to this many bytes (0: whole).
    void set_frame_length(uint32_t length);
    // The size of each frame's JPEG (4096 unless changed).
    void set_frame_jpeg_size(uint32_t size);
    bool liveview_on();
    bool movie_recording();
    // RecordingMedia's value at the last StartLiveView and StartMovieRecInCard.
    int64_t media_at_liveview_start();
    int64_t media_at_movie_start();
    std::vector<std::pair<uint32_t, uint32_t>> mf_drives();
    std::vector<std::pair<uint32_t, uint32_t>> af_area_moves();
    // ApplicationMode's value at each FormatStore.
    std::vector<int64_t> application_mode_at_format();
    std::vector<int64_t> media_at_format();

private:
    // Where a capture puts its objects: RecordingMedia's values.
    enum class Media
    {
        kCard = 0,
        kMemory = 1,
        kBoth = 2,
    };
    static Media media_of(int64_t value);

    uint16_t op_device_ready();
    uint16_t op_get_event(DataIn& in);
    uint16_t op_capture(Media media);
    uint16_t op_terminate_capture();
    uint16_t op_af_drive();
    uint16_t op_liveview(bool on);
    uint16_t op_liveview_image(DataIn& in);
    uint16_t op_movie(bool on);
    void make_shots_locked(Media media, std::vector<std::pair<uint16_t, uint32_t>>& events);
    void start_busy_locked();
    int64_t value_of(uint16_t code);

    Camera& m_camera;
    NikonModel m_model;
    std::mutex m_mutex;
    std::deque<uint16_t> m_ready_script;
    int m_busy_polls = 0;
    uint16_t m_busy_outcome = kRespOK;
    int m_busy_left = 0;
    bool m_outcome_due = false;
    bool m_stuck = false;
    std::vector<std::pair<uint16_t, uint32_t>> m_held_events; // released when the busy run ends
    std::vector<std::pair<uint16_t, uint32_t>> m_events;
    std::vector<ObjectInfo> m_shots;
    uint64_t m_shot_size = 65536;
    std::vector<uint32_t> m_last_card_shots;
    std::vector<uint32_t> m_last_memory_shots;
    bool m_bulb_open = false;
    Media m_bulb_media = Media::kCard;
    NikonFrameHeader m_header;
    uint32_t m_jpeg_offset;
    uint32_t m_frame_length = 0;
    uint32_t m_frame_jpeg_size = 4096;
    uint64_t m_frames = 0;
    bool m_movie = false;
    int64_t m_media_at_liveview = -1;
    int64_t m_media_at_movie = -1;
    std::vector<std::pair<uint32_t, uint32_t>> m_mf_drives;
    std::vector<std::pair<uint32_t, uint32_t>> m_af_moves;
    std::vector<int64_t> m_appmode_at_format;
    std::vector<int64_t> m_media_at_format;
};
} // namespace ptpsim
