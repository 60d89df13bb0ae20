// The in-process PTP responder: a Camera answers the engine's execute, read and
// write callbacks (user: the Camera) from a camera model (DeviceInfo, property
// store, storages, objects made per offset, clock offset, capture), as its
// personality allows, bent by the fault injector. An event pump thread hands
// interrupt events to mtp_device_handle; the assertion layer records each
// protocol rule the engine breaks. Test code: any member, any thread.
#pragma once

#include "support/ptpsim/ptpsim_content.h"
#include "support/ptpsim/ptpsim_encoder.h"

#include "orvo/camera/mtp_device.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ptpsim
{
// Which operations exist and how events travel. The vendor personalities reuse
// the generic operations and add their own: Fujifilm in ptpsim_fujifilm.cpp,
// Canon EOS as the CanonCamera of ptpsim_canon.h.
enum class Personality
{
    kGeneric,
    kFujifilm,
    kCanon,
    kNikon,
};

// PTP codes the responder itself names (the engine's vocabulary is not used,
// so that fixtures stay independent of it).
enum : uint16_t
{
    kOpGetDeviceInfo = 0x1001,
    kOpGetStorageIDs = 0x1004,
    kOpGetObjectInfo = 0x1008,
    kOpGetObject = 0x1009,
    kOpDeleteObject = 0x100B,
    kOpInitiateCapture = 0x100E,
    kOpFormatStore = 0x100F,
    kOpGetDevicePropDesc = 0x1014,
    kOpGetDevicePropValue = 0x1015,
    kOpSetDevicePropValue = 0x1016,
    kOpGetPartialObject = 0x101B,
    kOpGetObjectPropsSupported = 0x9801,

    kRespOK = 0x2001,
    kRespGeneralError = 0x2002,
    kRespSessionNotOpen = 0x2003,
    kRespOperationNotSupported = 0x2005,
    kRespInvalidStorageID = 0x2008,
    kRespInvalidObjectHandle = 0x2009,
    kRespDevicePropNotSupported = 0x200A,
    kRespAccessDenied = 0x200F,
    kRespStoreNotAvailable = 0x2013,
    kRespInvalidDevicePropFormat = 0x201B,
    kRespInvalidDevicePropValue = 0x201C,
    kRespInvalidParameter = 0x201D,

    kEvObjectAdded = 0x4002,
    kEvStoreAdded = 0x4004,
    kEvStoreRemoved = 0x4005,
    kEvDevicePropChanged = 0x4006,
    kEvDeviceInfoChanged = 0x4008,
    kEvStoreFull = 0x400A,
    kEvCaptureComplete = 0x400D,

    kPropBatteryLevel = 0x5001,
    kPropImageSize = 0x5003,
    kPropCompressionSetting = 0x5004,
    kPropFNumber = 0x5007,
    kPropExposureTime = 0x500D,
    kPropExposureIndex = 0x500F,
    kPropDateTime = 0x5011,

    kFormatJpeg = 0x3801,
    kFormatQuickTime = 0x300D,
};

// The largest GetPartialObject chunk the engine may ask for (30 MiB).
const uint64_t kMaxPartialChunk = 31457280;

// One fault rule, matched against each transaction in the order added.
struct Fault
{
    enum class Kind
    {
        kResponse,  // answer `response` without touching the model
        kShortData, // keep only the first `length` bytes of the data phase (0: zero-length)
        kData,      // replace the data phase by `data` (malformed datasets), answering OK
        kCorrupt,   // XOR the byte at `offset` with `mask`
        kLatency,   // sleep `latency_us` before answering (real time: benchmarks only)
    };
    Kind kind = Kind::kResponse;
    uint16_t operation = 0; // 0 matches every operation
    bool match_parameter = false;
    uint32_t parameter = 0; // the first parameter, when matched
    int remaining = -1;     // calls left to bend; -1 for always
    uint16_t response = kRespGeneralError;
    size_t length = 0;
    Bytes data;
    size_t offset = 0;
    uint8_t mask = 0;
    uint64_t latency_us = 0;
};

class Camera
{
public:
    explicit Camera(Personality personality = Personality::kGeneric);
    virtual ~Camera(); // stops the event pump
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // --- wiring ---------------------------------------------------------------------
    // The engine callbacks with this camera as user (add_object and the
    // download callbacks stay null; a test sets its own).
    orvo::mtp_device_callbacks_t callbacks();
    // Starts the event pump for the device; detach (or the destructor) joins it.
    // The device must outlive the attachment.
    void attach(orvo::mtp_device_t& device);
    void detach();
    // Starts the event pump with the events going to `sink` instead of a
    // device (the USB adapter turns them into interrupt packets).
    typedef std::function<void(uint16_t code, const std::vector<uint32_t>& parameters)> EventSink;
    void attach_sink(EventSink sink);

    // --- model: DeviceInfo and properties ---------------------------------------------
    // Edits DeviceInfo under the camera's lock; the next GetDeviceInfo sees it.
    void edit_deviceinfo(const std::function<void(DeviceInfo&)>& edit);
    DeviceInfo deviceinfo();
    // Adds or replaces a property and lists its code in DeviceInfo.
    void set_property(const DevicePropDesc& property);
    // Drops it from the store, and from DeviceInfo when `unlist`.
    void remove_property(uint16_t code, bool unlist = true);
    bool has_property(uint16_t code);
    // The current value of a property (the clock's for DateTime).
    Value property_value(uint16_t code);
    // Changes a value as the camera's own dial would; `announce` sends
    // DevicePropChanged through the pump.
    void change_property(uint16_t code, const Value& value, bool announce);
    // When on (the default), a successful SetDevicePropValue announces the change.
    void set_announce_property_changes(bool on);
    // One list of object property codes per capture format (GetObjectPropsSupported).
    void set_object_properties(uint16_t format, const std::vector<uint16_t>& codes);

    // --- model: storages, objects, clock, capture --------------------------------------
    void set_storages(const std::vector<uint32_t>& ids);
    std::vector<uint32_t> storages();
    // Adds an object with a fresh handle and returns the handle. `size` bytes of
    // content made by `content`; ObjectInfo announces the same size unless
    // info.compressed_size is already set.
    uint32_t add_object(const ObjectInfo& info, uint64_t size, Content content = Content::kPattern);
    bool has_object(uint32_t handle);
    size_t num_objects();
    std::vector<uint32_t> handles();
    // GetObject returns only the first `served` bytes from now on.
    void truncate_object(uint32_t handle, uint64_t served);
    // The object's true bytes (what a correct download must produce).
    Bytes object_bytes(uint32_t handle, uint64_t offset = 0, uint64_t length = UINT64_MAX);
    std::vector<uint32_t> deleted_handles();
    // The camera clock runs at the computer's (injected) wall clock plus this.
    void set_clock_offset_us(int64_t offset);
    int64_t clock_offset_us();
    // The DateTime texts the engine has written, in order.
    std::vector<std::string> datetime_writes();
    // What InitiateCapture makes: one object per entry, announced by
    // ObjectAdded each and then CaptureComplete, `delay_us` after the capture
    // on the (injected) tick clock.
    void set_capture(const std::vector<ObjectInfo>& objects, uint64_t size, uint64_t delay_us = 0);

    // --- events --------------------------------------------------------------------------
    // Queues an interrupt event; the pump delivers it once due.
    void send_event(uint16_t code, std::vector<uint32_t> parameters = {}, uint64_t delay_us = 0);
    // Returns once every due event has been handed to the device (or dropped
    // because the device reads its events by polling).
    void drain_events();
    size_t num_events_delivered();

    // --- faults ----------------------------------------------------------------------------
    void add_fault(const Fault& fault);
    void fail(uint16_t operation, uint16_t response, int times = -1);
    void clear_faults();
    // Every transaction answers Session Not Open (0x2003), as a removed camera does.
    void set_unplugged(bool unplugged);
    // GetPartialObject returns at most this many bytes per chunk (0: no limit).
    void set_partial_chunk_limit(uint64_t limit);
    // Object data (GetObject, GetPartialObject) is handed over in packets of
    // this many bytes, each made in the camera's own buffer and copied, as a
    // USB transport does (0, the default: written straight into the engine's
    // buffer). With a rate, the transfer is paced to that many bytes per
    // second in real time (benchmarks only).
    void set_usb_transfer(uint64_t packet_bytes, uint64_t bytes_per_second = 0);
    void usb_transfer(uint64_t& packet_bytes, uint64_t& bytes_per_second);
    // Transactions of the operation block on entry until release(); wait_held
    // returns once one is blocked there.
    void hold(uint16_t operation);
    void wait_held(uint16_t operation);
    bool held(uint16_t operation);
    void release(uint16_t operation);

    // --- assertions -------------------------------------------------------------------------
    // Every protocol rule broken by the engine so far, one line each.
    std::vector<std::string> violations();
    int calls(uint16_t operation);
    // Calls of the operation whose first parameter was this.
    int calls(uint16_t operation, uint32_t parameter);
    std::vector<uint32_t> last_parameters(uint16_t operation);
    void reset_calls();
    // When on, a DeleteObject of an object that was never read whole (GetObject,
    // or GetPartialObject chunks up to its end) is a violation: a camera's copy
    // must not go before the engine has every byte.
    void set_require_read_before_delete(bool on);

    // --- vendor personalities ---------------------------------------------------------------------
    // A vendor operation, run in place of (or beside) the generic ones. It may
    // call the camera's public functions: the camera's lock is not held. With
    // `unlisted`, it is answered even while DeviceInfo leaves it out (bodies
    // that hide operations they have).
    typedef std::function<uint16_t(const std::vector<uint32_t>& parameters, const Bytes* out, DataIn& in)> Operation;
    void set_operation(uint16_t operation, Operation handler, bool unlisted = false);
    // Vendors that hand events out through their own GetEvent operation:
    // events are then kept here, never pumped, until taken (once due).
    void set_polled_events(bool on);
    std::vector<std::pair<uint16_t, std::vector<uint32_t>>> take_polled_events();
    // add_object under a handle the test chooses (a camera's fixed handle for
    // objects in its memory); an object already there is replaced.
    uint32_t add_object_at(uint32_t handle, const ObjectInfo& info, uint64_t size, Content content = Content::kPattern);

    // --- transport ------------------------------------------------------------------------------
    // One transaction; `out` is the data-out phase, `in` receives the data-in phase.
    uint16_t transact(uint16_t operation, const uint32_t* parameters, uint32_t count, const Bytes* out, DataIn* in);

protected:
    struct Event
    {
        uint16_t code;
        std::vector<uint32_t> parameters;
        uint64_t due; // tick
    };
    struct Gate
    {
        bool closed = false;
        int waiting = 0;
    };
    typedef uint16_t (Camera::*Handler)(const std::vector<uint32_t>& parameters, const Bytes* out, DataIn& in);

    void install_generic();
    void install_fujifilm(); // ptpsim_fujifilm.cpp
    bool listed(uint16_t operation) const;
    Value clock_value() const;
    void queue_event_locked(uint16_t code, std::vector<uint32_t> parameters, uint64_t delay_us);
    void violation_locked(const std::string& text);
    void pump();
    void pass_gate(uint16_t operation);
    void apply_data_faults_locked(uint16_t operation, const std::vector<uint32_t>& params, DataIn& in);

    uint16_t op_get_deviceinfo(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_get_storage_ids(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_get_objectinfo(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_get_object(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_get_partial_object(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_delete_object(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_initiate_capture(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_format_store(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_get_devicepropdesc(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_get_devicepropvalue(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_set_devicepropvalue(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);
    uint16_t op_get_object_props_supported(const std::vector<uint32_t>& p, const Bytes* out, DataIn& in);

    const Personality m_personality;
    std::mutex m_mutex; // the model, faults, counters and the event queue
    std::condition_variable m_changed;
    std::map<uint16_t, Handler> m_handlers;
    std::map<uint16_t, Operation> m_operations; // vendor operations, tried first
    std::map<uint16_t, bool> m_unlisted;         // vendor operations answered though not listed
    bool m_polled_events = false;
    std::vector<Event> m_polled;
    DeviceInfo m_info;
    std::map<uint16_t, DevicePropDesc> m_properties;
    bool m_announce_changes = true;
    std::map<uint16_t, std::vector<uint16_t>> m_object_properties;
    std::vector<uint32_t> m_storages = {0x00010001};
    std::map<uint32_t, Object> m_objects;
    uint32_t m_next_handle = 1;
    std::vector<uint32_t> m_deleted;
    std::map<uint32_t, uint64_t> m_partial_next; // handle -> offset the next chunk must start at
    std::map<uint32_t, bool> m_read_whole;       // handle -> every byte was served once
    bool m_require_read_before_delete = false;
    int64_t m_clock_offset_us = 0;
    std::vector<std::string> m_datetime_writes;
    std::vector<ObjectInfo> m_capture_objects;
    uint64_t m_capture_size = 0;
    uint64_t m_capture_delay_us = 0;
    std::vector<Fault> m_faults;
    uint64_t m_usb_packet = 0; // set_usb_transfer
    uint64_t m_usb_rate = 0;
    bool m_unplugged = false;
    uint64_t m_partial_limit = 0;
    std::map<uint16_t, Gate> m_gates;
    std::map<uint16_t, int> m_calls;
    std::map<std::pair<uint16_t, uint32_t>, int> m_parameter_calls;
    std::map<uint16_t, std::vector<uint32_t>> m_last_parameters;
    std::vector<std::string> m_violations;
    std::atomic<int> m_active{0};
    std::atomic<uint16_t> m_active_operation{0};

    // The event pump.
    std::vector<Event> m_events;
    bool m_delivering = false;
    size_t m_delivered = 0;
    orvo::mtp_device_t* m_device = nullptr;
    EventSink m_sink;
    bool m_stop = false;
    std::thread m_pump;
};

// The engine's transport callbacks; user is the Camera.
orvo::mtp_response_t execute(orvo::mtp_protocol_t protocol, orvo::mtp_command_t operation, const orvo::u32* parameters,
                             orvo::u32 count, void* user);
orvo::mtp_response_t read(orvo::mtp_protocol_t protocol, orvo::mtp_command_t operation, const orvo::u32* parameters,
                          orvo::u32 count, orvo::mtp_buffer_t& buffer, void* user);
orvo::mtp_response_t write(orvo::mtp_protocol_t protocol, orvo::mtp_command_t operation, const orvo::u32* parameters,
                           orvo::u32 count, const orvo::mtp_buffer_t& buffer, void* user);
} // namespace ptpsim
