// The responder's Canon EOS personality: a body (a 5D Mark III by default)
// that keeps remote and event mode, answers GetEvent with its record stream
// (and dumps every property after SetEventMode(1), as real bodies do), takes
// SetDevicePropValueEx records, releases through the virtual shutter button,
// keeps photos on its card or in its memory by CaptureDestination until
// TransferComplete frees them, focuses with DoAf, and serves GetViewFinderData
// frames. Canon records are built by its own encoder below, never by the
// engine. Test code: any member, any thread.
#pragma once

#include "support/ptpsim/ptpsim_camera.h"

#include <map>
#include <string>
#include <vector>

namespace ptpsim
{
enum : uint16_t
{
    kOpCanonRemoteRelease = 0x910F,
    kOpCanonSetDevicePropValueEx = 0x9110,
    kOpCanonSetRemoteMode = 0x9114,
    kOpCanonSetEventMode = 0x9115,
    kOpCanonGetEvent = 0x9116,
    kOpCanonTransferComplete = 0x9117,
    kOpCanonCancelTransfer = 0x9118,
    kOpCanonPCHDDCapacity = 0x911A,
    kOpCanonGetDeviceInfoEx = 0x9108,
    kOpCanonRequestDevicePropValue = 0x9127,
    kOpCanonRemoteReleaseOn = 0x9128,
    kOpCanonRemoteReleaseOff = 0x9129,
    kOpCanonGetViewFinderData = 0x9153,
    kOpCanonDoAf = 0x9154,
    kOpCanonDriveLens = 0x9155,
    kOpCanonZoom = 0x9158,
    kOpCanonZoomPosition = 0x9159,
    kOpCanonAfCancel = 0x9160,

    kEvCanonObjectAddedEx = 0xC181,
    kEvCanonRequestObjectTransfer = 0xC186,
    kEvCanonPropValueChanged = 0xC189,
    kEvCanonAvailListChanged = 0xC18A,
    kEvCanonCameraStatusChanged = 0xC18B,
    kEvCanonObjectAddedEx2 = 0xC1A7,
    kEvCanonRequestObjectTransfer2 = 0xC1A9,

    kCanonAperture = 0xD101,
    kCanonShutterSpeed = 0xD102,
    kCanonISOSpeed = 0xD103,
    kCanonExpCompensation = 0xD104,
    kCanonAutoExposureMode = 0xD105,
    kCanonDriveMode = 0xD106,
    kCanonMeteringMode = 0xD107,
    kCanonFocusMode = 0xD108,
    kCanonWhiteBalance = 0xD109,
    kCanonBatterySelect = 0xD112,
    kCanonAvailableShots = 0xD11B,
    kCanonCaptureDestination = 0xD11C,
    kCanonImageFormat = 0xD120,
    kCanonMirrorUpSetting = 0xD13A,
    kCanonCustomFuncEx = 0xD1A0,
    kCanonSerialNumber = 0xD1AF,
    kCanonEVFOutputDevice = 0xD1B0,
    kCanonEVFMode = 0xD1B1,
    kCanonDepthOfFieldPreview = 0xD1B2,
    kCanonEVFRecordStatus = 0xD1B8,
    kCanonLvAfSystem = 0xD1BA,
    kCanonMirrorLockupState = 0xD1BF,
    kCanonFocusInfoEx = 0xD1D3,

    kFormatCanonCR2 = 0xB103,
    kRespCanonNotReady = 0xA102,
};

// --- Canon records ----------------------------------------------------------------------
// One GetEvent record: u32 size (header included), u32 type, the payload.
Bytes canon_record(uint32_t type, const Bytes& payload);
// The terminator record (size 8, type 0).
Bytes canon_terminator();
Bytes canon_prop_value(uint16_t code, const Bytes& value);
// A u32 list: code, type word 3, count, values.
Bytes canon_avail_list(uint16_t code, const std::vector<uint32_t>& values);
// An image-format list: code, type word 3, count, then the records.
Bytes canon_avail_list_records(uint16_t code, const std::vector<Bytes>& records);
// An image-format record of entries {type, size, compression}.
Bytes canon_imageformat(const std::vector<std::vector<uint32_t>>& entries);
// A CustomFuncEx record with one group holding the given items {id, value}.
Bytes canon_customfuncex(uint32_t group, const std::vector<std::pair<uint32_t, uint32_t>>& items);
// A FocusInfoEx record with n entries and the focus result.
Bytes canon_focusinfoex(uint16_t entries, uint16_t result);
Bytes canon_u32(uint32_t value);
// One GetViewFinderData block: u32 size, u32 type, payload.
Bytes canon_viewfinder_block(uint32_t type, const Bytes& payload);

class CanonCamera : public Camera
{
public:
    // "Canon EOS 5D Mark III" unless another model text is given.
    explicit CanonCamera(const std::string& model = "Canon EOS 5D Mark III");

    // --- model ----------------------------------------------------------------------------
    // A u32 property with its allowed values (empty: no list sent); the
    // change is announced as the camera would (values, then lists).
    void set_u32(uint16_t code, uint32_t value, const std::vector<uint32_t>& allowed = {}, bool announce = true);
    uint32_t u32(uint16_t code);
    // A property whose value is a record of its own (image format, custom
    // functions, serial number, focus information).
    void set_bytes(uint16_t code, const Bytes& value, bool announce = true);
    Bytes bytes(uint16_t code);
    // Removes a property from the GetDeviceInfoEx list.
    void unlist_property(uint16_t code);
    // Drops operations from DeviceInfo (a legacy body, one without DoAf).
    void unlist_operations(const std::vector<uint16_t>& operations);
    // Queues a raw record for the next GetEvent (malformed records included).
    void queue_record(const Bytes& record);
    // The next GetEvent answers exactly these bytes (no terminator added).
    void set_next_event_data(const Bytes& data);

    // --- state -----------------------------------------------------------------------------
    bool remote_mode();
    bool event_mode();
    int capacity_reports();
    std::vector<uint32_t> capacity_parameters();
    std::vector<uint32_t> memory_handles(); // objects in the camera's memory
    std::vector<uint32_t> card_handles();   // objects on its card
    std::vector<uint32_t> transferred();    // freed by TransferComplete
    std::vector<uint32_t> cancelled();      // freed by CancelTransfer
    // Every SetDevicePropValueEx record received, whole.
    std::vector<Bytes> setex_records();
    int shots();
    // DoAf announces this focus result through FocusInfoEx; -1 never reports.
    void set_focus_result(int result);
    // GetViewFinderData answers these blocks while live view is on.
    void set_viewfinder(const Bytes& blocks);
    bool zoomed();
    std::pair<uint32_t, uint32_t> zoom_position();

private:
    struct Property
    {
        bool record = false; // the value is a record of its own
        Bytes value;         // the payload after the code in PropValueChanged
        std::vector<uint32_t> allowed;
        std::vector<Bytes> allowed_records;
    };

    void announce_locked(uint16_t code, bool with_list);
    void shoot_locked();
    bool bulb_locked();

    uint16_t op_get_deviceinfoex(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_set_remote_mode(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_set_event_mode(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_get_event(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_transfer_complete(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_cancel_transfer(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_pchdd_capacity(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_request_devicepropvalue(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_set_devicepropvalue_ex(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_remote_release_on(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_remote_release_off(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_remote_release(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_get_viewfinder_data(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_do_af(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_af_cancel(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_drive_lens(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_zoom(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_zoom_position(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);

    std::map<uint16_t, Property> m_canon;
    std::vector<uint16_t> m_listed; // GetDeviceInfoEx properties
    std::vector<Bytes> m_records;
    bool m_next_data_set = false;
    Bytes m_next_data;
    bool m_remote = false;
    bool m_event_mode = false;
    int m_capacity_reports = 0;
    std::vector<uint32_t> m_capacity_parameters;
    std::vector<uint32_t> m_memory;
    std::vector<uint32_t> m_transferred;
    std::vector<uint32_t> m_cancelled;
    std::vector<Bytes> m_setex;
    int m_shots = 0;
    bool m_bulb_open = false;
    int m_focus_result = 1;
    bool m_viewfinder_set = false;
    Bytes m_viewfinder;
    bool m_zoomed = false;
    uint32_t m_zoom_x = 0;
    uint32_t m_zoom_y = 0;
};
} // namespace ptpsim
