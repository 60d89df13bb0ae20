// The USB transport against the responder on the loopback backend: framing of
// data phases around packet boundaries, session and transaction ids, the
// camera's wire faults with recovery, removal, events over the interrupt
// endpoint, and the engine running over the transport.
#include "orvo/camera/mtp_context.h"
#include "orvo/camera/mtp_device.h"
#include "orvo/camera/mtp_update.h"
#include "orvo/camera/src/mic/camera_mic_loopback.h"
#include "orvo/camera/src/mic/camera_mic_transport.h"
#include "support/ptpsim/ptpsim_camera.h"
#include "support/ptpsim/ptpsim_usb.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

using namespace orvo;
using ptpsim::UsbFault;

namespace
{
// Short limits keep the cases that wait for silence fast.
const u32 kTimeoutMs = 150;
const u32 kShortTimeoutMs = 5;

// One responder camera on the wire and a transport with its session open.
struct Rig
{
    explicit Rig(const ptpsim::UsbOptions& options = ptpsim::UsbOptions(), u64 chunk = 0)
    {
        mic_loopback_initialise(backend);
        usb = std::make_unique<ptpsim::UsbCamera>(camera, backend, options);
        mic_transport_options_t o = {};
        o.timeout_ms = kTimeoutMs;
        o.short_timeout_ms = kShortTimeoutMs;
        o.chunk_bytes = chunk;
        opened = mic_transport_initialise(transport, backend, usb->info(), &o) && mic_transport_open_session(transport);
    }

    ~Rig()
    {
        mic_transport_release(transport);
        usb.reset();
        mic_backend_release(backend);
    }

    u16 Read(u16 operation, std::vector<u32> parameters, mtp_buffer_t& buffer)
    {
        return mic_transport_transact(transport, operation, parameters.data(), u32(parameters.size()), nullptr, 0,
                                      &buffer);
    }

    // A GetDevicePropValue of FNumber that must go through cleanly.
    bool Healthy()
    {
        mtp_buffer_t buffer;
        mtp_buffer_initialise(buffer);
        u16 response = Read(ptpsim::kOpGetDevicePropValue, {ptpsim::kPropFNumber}, buffer);
        u64 value = camera.property_value(ptpsim::kPropFNumber).bits;
        bool ok = response == ptpsim::kRespOK && buffer.length == 2 && u64(buffer.data[0] | buffer.data[1] << 8) == value;
        mtp_buffer_release(buffer);
        return ok;
    }

    mic_backend_t backend = {};
    ptpsim::Camera camera;
    std::unique_ptr<ptpsim::UsbCamera> usb;
    mic_transport_t transport = {};
    bool opened = false;
};

ptpsim::UsbOptions with_zlp(bool zlp)
{
    ptpsim::UsbOptions options;
    options.zlp = zlp;
    return options;
}

UsbFault fault(UsbFault::Kind kind, u64 value = 0)
{
    UsbFault f;
    f.kind = kind;
    f.operation = ptpsim::kOpGetObject;
    f.value = value;
    return f;
}

std::vector<u8> bytes_of(const mtp_buffer_t& buffer)
{
    return std::vector<u8>(buffer.data, buffer.data + buffer.length);
}
} // namespace

// GetObject of one object under each framing and fault: the response, the
// bytes that must arrive (all of the object, a prefix, or none), whether the
// transport had to recover, and that the next transaction goes through.
TEST(MicTransport, DataPhasesAndWireFaults)
{
    struct Case
    {
        const char* name;
        u64 size;                 // of the object; its container is 12 more
        bool zlp;                 // the camera ends packet-filling containers with a zero-length packet
        u64 chunk;                // the transport's read size (0: 1 MiB)
        std::optional<UsbFault> fault;
        u16 response;
        u64 expect_bytes;         // a prefix of the object that must arrive (when the response is OK)
        bool recovers;
    };
    const u64 kAll = ~0ull;
    const Case cases[] = {
        {"container of exactly one packet, zero-length packet after", 500, true, 0, {}, 0x2001, kAll, false},
        {"container of exactly one packet, nothing after", 500, false, 0, {}, 0x2001, kAll, false},
        {"container of exactly two packets, zero-length packet after", 1012, true, 0, {}, 0x2001, kAll, false},
        {"container of exactly two packets, nothing after", 1012, false, 0, {}, 0x2001, kAll, false},
        {"short container inside one packet", 100, true, 0, {}, 0x2001, kAll, false},
        {"empty data phase", 0, true, 0, {}, 0x2001, kAll, false},
        {"many reads, last one short", 300000, false, 4096, {}, 0x2001, kAll, false},
        {"many reads ending on a read boundary, nothing after", 3 * 4096 - 12, false, 4096, {}, 0x2001, kAll, false},
        {"many reads ending on a read boundary, zero-length packet after", 3 * 4096 - 12, true, 4096, {}, 0x2001,
         kAll, false},
        {"a photo of a mebibyte and a bit, in reads of 64 KiB", (1u << 20) + 100, false, 64 * 1024, {}, 0x2001, kAll,
         false},
        {"bulk-in stalled", 500, true, 0, fault(UsbFault::Kind::kStall), 0x2002, 0, true},
        {"no answer at all", 500, true, 0, fault(UsbFault::Kind::kNoAnswer), 0x2002, 0, true},
        {"no answer, camera busy for two status polls", 500, true, 0, fault(UsbFault::Kind::kNoAnswer, 2), 0x2002, 0,
         true},
        {"data but no response", 500, true, 0, fault(UsbFault::Kind::kNoResponse), 0x2002, 0, true},
        {"container cut short by the camera", 500, true, 0, fault(UsbFault::Kind::kTruncateData, 62), 0x2001, 50,
         false},
        {"length field larger than what comes", 100, true, 0, fault(UsbFault::Kind::kDataLength, 12 + 1000), 0x2001,
         100, false},
        {"filler after the data container", 500, true, 0, fault(UsbFault::Kind::kOverlongData, 20), 0x2002, 0, true},
        {"length field smaller than what comes", 500, true, 0, fault(UsbFault::Kind::kDataLength, 12 + 100), 0x2002,
         0, true},
        {"length field 0", 500, true, 0, fault(UsbFault::Kind::kDataLength, 0), 0x2002, 0, true},
        {"length field below the header", 500, true, 0, fault(UsbFault::Kind::kDataLength, 11), 0x2002, 0, true},
        {"length field 0xFFFFFFFF: the transfer's end delimits", 100, true, 0,
         fault(UsbFault::Kind::kDataLength, 0xFFFFFFFF), 0x2001, kAll, false},
        {"data of another transaction", 500, true, 0, fault(UsbFault::Kind::kDataTransaction, 7), 0x2002, 0, true},
        {"response of another transaction", 500, true, 0, fault(UsbFault::Kind::kResponseTransaction, 1), 0x2002, 0,
         true},
        {"response length below the header", 500, true, 0, fault(UsbFault::Kind::kResponseLength, 8), 0x2002, 0,
         true},
        {"response length beyond any response", 500, true, 0, fault(UsbFault::Kind::kResponseLength, 100), 0x2002, 0,
         true},
        {"response where data was expected", 500, true, 0, fault(UsbFault::Kind::kResponseForData), 0x2001, 0, false},
    };
    // Each case twice: into an empty buffer, and into one already sized for a
    // photo, which the transport fills without its staging buffer.
    for (bool presized : {false, true})
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        SCOPED_TRACE(presized ? "buffer sized for a photo" : "empty buffer");
        lumivane_test::LogCapture log;
        Rig rig(with_zlp(c.zlp), c.chunk);
        ASSERT_TRUE(rig.opened);
        u32 handle = rig.camera.add_object(ptpsim::ObjectInfo(), c.size);
        if (c.fault)
            rig.usb->add_fault(*c.fault);
        mtp_buffer_t buffer;
        mtp_buffer_initialise(buffer);
        if (presized)
        {
            // Exactly the object's size when that is larger: no room for the
            // rounding of the last read to whole packets.
            ASSERT_TRUE(mtp_buffer_allocate(buffer, std::max<u64>(c.size, 1u << 20)));
            mtp_buffer_clear(buffer);
        }
        EXPECT_EQ(rig.Read(ptpsim::kOpGetObject, {handle}, buffer), c.response);
        if (c.response == 0x2001)
        {
            u64 n = c.expect_bytes == kAll ? c.size : c.expect_bytes;
            EXPECT_EQ(bytes_of(buffer), rig.camera.object_bytes(handle, 0, n));
        }
        EXPECT_EQ(rig.transport.recoveries.load() > 0, c.recovers);
        if (c.recovers)
        {
            EXPECT_GT(rig.usb->status_requests(), 0);
        }
        EXPECT_FALSE(mic_transport_is_removed(rig.transport));
        EXPECT_TRUE(rig.Healthy());
        EXPECT_TRUE(rig.usb->violations().empty()) << rig.usb->violations().front();
        EXPECT_TRUE(rig.camera.violations().empty());
        mtp_buffer_release(buffer);
    }
}

TEST(MicTransport, RecoveryCancelsTheTransactionAndWaitsWhileTheCameraIsBusy)
{
    lumivane_test::LogCapture log;
    Rig rig;
    ASSERT_TRUE(rig.opened);
    rig.usb->add_fault(fault(UsbFault::Kind::kNoAnswer, 3));
    u32 handle = rig.camera.add_object(ptpsim::ObjectInfo(), 64);
    mtp_buffer_t buffer;
    mtp_buffer_initialise(buffer);
    EXPECT_EQ(rig.Read(ptpsim::kOpGetObject, {handle}, buffer), 0x2002);
    EXPECT_EQ(rig.usb->cancels(), 1);
    EXPECT_EQ(rig.usb->status_requests(), 4); // three busy answers, then OK
    EXPECT_EQ(rig.usb->resets(), 0);
    EXPECT_TRUE(log.Contains("GetObject"));
    EXPECT_TRUE(rig.Healthy());
    mtp_buffer_release(buffer);
}

TEST(MicTransport, SessionAndTransactionIds)
{
    lumivane_test::LogCapture log;
    Rig rig;
    ASSERT_TRUE(rig.opened);
    EXPECT_TRUE(rig.usb->session_open());
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(rig.Healthy());
    const u32 parameters[3] = {0x11, 0x22, 0x33};
    EXPECT_EQ(mic_transport_transact(rig.transport, 0x9999, parameters, 3, nullptr, 0, nullptr), 0x2005);
    // A second open is a no-op; closing sends CloseSession with the next id.
    EXPECT_TRUE(mic_transport_open_session(rig.transport));
    mic_transport_close_session(rig.transport);
    EXPECT_FALSE(rig.usb->session_open());
    mtp_buffer_t buffer;
    mtp_buffer_initialise(buffer);
    EXPECT_EQ(rig.Read(ptpsim::kOpGetDevicePropValue, {ptpsim::kPropFNumber}, buffer), 0x2003);

    std::vector<ptpsim::UsbCamera::Command> commands = rig.usb->commands();
    ASSERT_EQ(commands.size(), 6u); // nothing went out without a session
    EXPECT_EQ(commands[0].operation, 0x1002);
    EXPECT_EQ(commands[0].transaction, 0u);
    EXPECT_EQ(commands[0].parameters, std::vector<u32>{1});
    for (u32 i = 1; i < commands.size(); ++i)
        EXPECT_EQ(commands[i].transaction, i);
    EXPECT_EQ(commands[4].parameters, (std::vector<u32>{0x11, 0x22, 0x33}));
    EXPECT_EQ(commands[5].operation, 0x1003);
    EXPECT_TRUE(rig.usb->violations().empty()) << rig.usb->violations().front();

    // Too many parameters for a container: refused before anything is sent.
    u32 many[MIC_MAX_PARAMETERS + 1] = {};
    ASSERT_TRUE(mic_transport_open_session(rig.transport));
    EXPECT_EQ(mic_transport_transact(rig.transport, 0x1001, many, MIC_MAX_PARAMETERS + 1, nullptr, 0, nullptr),
              0x2002);
    EXPECT_EQ(rig.usb->commands().size(), 7u);
    mtp_buffer_release(buffer);
}

TEST(MicTransport, SessionLeftOpenByAnotherProgramIsUsed)
{
    lumivane_test::LogCapture log;
    ptpsim::UsbOptions options;
    options.session_open = true;
    Rig rig(options);
    ASSERT_TRUE(rig.opened);
    EXPECT_TRUE(log.Contains("already had a session open"));
    EXPECT_TRUE(rig.Healthy());
}

TEST(MicTransport, DataOutInWholePacketsEndsWithAZeroLengthPacketOnABoundary)
{
    lumivane_test::LogCapture log;
    for (u64 size : {2u, 500u, 1012u, 3000u, 4096u * 3 - 12})
    {
        SCOPED_TRACE(size);
        Rig rig(ptpsim::UsbOptions(), 4096);
        ASSERT_TRUE(rig.opened);
        std::vector<u8> payload(size);
        for (u64 i = 0; i < size; ++i)
            payload[i] = u8(i * 7 + 3);
        if (size == 2)
        {
            payload = {u8(800 & 0xFF), u8(800 >> 8)};
        }
        const u32 code = ptpsim::kPropFNumber;
        u16 response = mic_transport_transact(rig.transport, ptpsim::kOpSetDevicePropValue, &code, 1, payload.data(),
                                              payload.size(), nullptr);
        EXPECT_EQ(rig.usb->last_data_out(), payload);
        if (size == 2)
        {
            EXPECT_EQ(response, 0x2001);
            EXPECT_EQ(rig.camera.property_value(ptpsim::kPropFNumber).bits, 800u);
        }
        else
            EXPECT_NE(response, 0x2001); // not a UINT16 value: the camera refuses it
        EXPECT_TRUE(rig.Healthy());
        EXPECT_TRUE(rig.usb->violations().empty()) << rig.usb->violations().front();
    }
}

TEST(MicTransport, RemovalMidTransferAnswersAtOnceFromThenOn)
{
    lumivane_test::LogCapture log;
    Rig rig(ptpsim::UsbOptions(), 4096);
    ASSERT_TRUE(rig.opened);
    u32 handle = rig.camera.add_object(ptpsim::ObjectInfo(), 300000);
    rig.usb->add_fault(fault(UsbFault::Kind::kUnplugInData, 100000));
    mtp_buffer_t buffer;
    mtp_buffer_initialise(buffer);
    EXPECT_EQ(rig.Read(ptpsim::kOpGetObject, {handle}, buffer), 0x2002);
    EXPECT_TRUE(mic_transport_is_removed(rig.transport));
    EXPECT_TRUE(log.Contains("USB camera removed"));
    EXPECT_EQ(rig.usb->cancels(), 0); // nothing is sent to a device that is gone
    size_t sent = rig.usb->commands().size();
    EXPECT_EQ(rig.Read(ptpsim::kOpGetDevicePropValue, {ptpsim::kPropFNumber}, buffer), 0x2002);
    EXPECT_EQ(rig.usb->commands().size(), sent);
    EXPECT_EQ(buffer.length, 0u);
    mtp_buffer_release(buffer);
}

TEST(MicTransport, RemovalWhileWaitingForTheResponseEndsTheWait)
{
    lumivane_test::LogCapture log;
    Rig rig;
    ASSERT_TRUE(rig.opened);
    // The camera holds InitiateCapture; the unplug must end the read that
    // waits for its response long before the time-out would.
    mic_transport_options_t slow = {};
    slow.timeout_ms = 60000;
    mic_transport_release(rig.transport);
    ASSERT_TRUE(mic_transport_initialise(rig.transport, rig.backend, rig.usb->info(), &slow));
    rig.usb->add_fault([] {
        UsbFault f;
        f.kind = UsbFault::Kind::kNoAnswer;
        f.operation = ptpsim::kOpInitiateCapture;
        return f;
    }());
    // The session was closed by the release above; open it again.
    ASSERT_TRUE(mic_transport_open_session(rig.transport));
    std::thread unplug([&] {
        while (rig.usb->commands().empty() || rig.usb->commands().back().operation != ptpsim::kOpInitiateCapture)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        rig.usb->unplug();
    });
    EXPECT_EQ(mic_transport_transact(rig.transport, ptpsim::kOpInitiateCapture, nullptr, 0, nullptr, 0, nullptr),
              0x2002);
    unplug.join();
    EXPECT_TRUE(mic_transport_is_removed(rig.transport));
}

TEST(MicTransport, OneTransactionAtATimeFromManyThreads)
{
    lumivane_test::LogCapture log;
    Rig rig;
    ASSERT_TRUE(rig.opened);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 40; ++i)
                if (!rig.Healthy())
                    failures.fetch_add(1);
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(rig.usb->violations().empty()) << rig.usb->violations().front();
    EXPECT_TRUE(rig.camera.violations().empty()) << rig.camera.violations().front();
    EXPECT_EQ(rig.usb->commands().size(), 121u);
}

// Events on the interrupt endpoint reach the device record, also when one
// container spans several packets; a vendor that polls its events gets none.
TEST(MicTransport, EventsOverTheInterruptEndpoint)
{
    struct Case
    {
        const char* name;
        u16 packet;
        std::vector<u32> parameters;
    };
    const Case cases[] = {
        {"one packet", 64, {0x1234}},
        {"spread over two packets", 8, {0x1234}},
        {"spread over four packets, three parameters", 8, {0x1234, 2, 3}},
        {"no parameters", 8, {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        lumivane_test::LogCapture log;
        ptpsim::UsbOptions options;
        options.interrupt_packet = c.packet;
        Rig rig(options);
        ASSERT_TRUE(rig.opened);
        mtp_device_t device = {};
        ASSERT_TRUE(mtp_device_initialise(device, nullptr, {}));
        ASSERT_TRUE(mic_transport_start_events(rig.transport, &device));
        rig.camera.send_event(ptpsim::kEvObjectAdded, c.parameters);
        rig.camera.send_event(ptpsim::kEvCaptureComplete);
        rig.usb->drain_events();
        EXPECT_EQ(rig.transport.events_delivered.load(), 2u);
        {
            mutex_lock(*device.event_lock);
            ASSERT_EQ(device.event_queue.count, 2u);
            EXPECT_EQ(device.event_queue.data[0].code, ptpsim::kEvObjectAdded);
            EXPECT_EQ(device.event_queue.data[0].parameter, c.parameters.empty() ? 0u : c.parameters[0]);
            EXPECT_EQ(device.event_queue.data[1].code, ptpsim::kEvCaptureComplete);
            mutex_unlock(*device.event_lock);
        }
        device.events_by_polling = true;
        rig.camera.send_event(ptpsim::kEvStoreFull);
        rig.usb->drain_events();
        EXPECT_EQ(rig.transport.events_delivered.load(), 2u);
        mic_transport_stop_events(rig.transport);
        mtp_device_release(device);
    }
}

TEST(MicTransport, TeardownWaitsForTheEventTransferWhileEventsFlow)
{
    lumivane_test::LogCapture log;
    for (int round = 0; round < 5; ++round)
    {
        Rig rig;
        ASSERT_TRUE(rig.opened);
        auto device = std::make_unique<mtp_device_t>();
        ASSERT_TRUE(mtp_device_initialise(*device, nullptr, {}));
        ASSERT_TRUE(mic_transport_start_events(rig.transport, device.get()));
        for (int i = 0; i < 20; ++i)
            rig.camera.send_event(ptpsim::kEvDevicePropChanged, {ptpsim::kPropFNumber});
        // Released while the pump may still be delivering: no event may touch
        // the record after this returns.
        mic_transport_release(rig.transport);
        u32 delivered = rig.transport.events_delivered.load();
        EXPECT_LE(delivered, 20u);
        mtp_device_release(*device);
        device.reset();
        rig.camera.send_event(ptpsim::kEvStoreFull);
        rig.camera.drain_events();
        EXPECT_EQ(rig.transport.events_delivered.load(), delivered);
    }
}

// The engine on the transport: connects, reads DeviceInfo and properties,
// and downloads an object byte for byte.
TEST(MicTransport, EngineDeviceOverTheTransport)
{
    lumivane_test::LogCapture log;
    Rig rig(with_zlp(false), 64 * 1024);
    ASSERT_TRUE(rig.opened);
    rig.camera.edit_deviceinfo([](ptpsim::DeviceInfo& info) { info.serial_number = "SN-4711"; });
    mtp_context_t context = {};
    ASSERT_TRUE(mtp_context_initialise(context));
    mtp_device_callbacks_t callbacks = {};
    callbacks.execute = mic_transport_execute;
    callbacks.read = mic_transport_read;
    callbacks.write = mic_transport_write;
    callbacks.user = &rig.transport;
    mtp_device_t device = {};
    ASSERT_TRUE(mtp_device_initialise(device, &context, callbacks));
    ASSERT_TRUE(mic_transport_start_events(rig.transport, &device));
    ASSERT_TRUE(mtp_device_connect(device));
    EXPECT_EQ(std::string(device.deviceinfo.serial_number.str), "SN-4711");
    EXPECT_EQ(std::string(device.deviceinfo.model.str), rig.camera.deviceinfo().model);

    mtp_buffer_t buffer;
    mtp_buffer_initialise(buffer);
    const u32 fnumber = ptpsim::kPropFNumber;
    ASSERT_TRUE(mtp_device_read(device, buffer, mtp_command_t(0x1015), &fnumber, 1));
    ASSERT_EQ(buffer.length, 2u);
    EXPECT_EQ(buffer.data[0] | buffer.data[1] << 8, 560);

    u32 handle = rig.camera.add_object(ptpsim::ObjectInfo(), 3 * 1024 * 1024 + 77, ptpsim::Content::kJpeg);
    ASSERT_TRUE(mtp_device_read(device, buffer, mtp_command_t(0x1009), &handle, 1));
    EXPECT_EQ(bytes_of(buffer), rig.camera.object_bytes(handle));
    EXPECT_FALSE(mtp_device_has_failed(device));

    mic_transport_stop_events(rig.transport);
    mtp_device_disconnect(device);
    mtp_buffer_release(buffer);
    mtp_device_release(device);
    mtp_context_release(context);
    EXPECT_TRUE(rig.usb->violations().empty()) << rig.usb->violations().front();
}

TEST(MicTransport, DataNobodyAskedForIsReadAndDropped)
{
    lumivane_test::LogCapture log;
    Rig rig(with_zlp(false));
    ASSERT_TRUE(rig.opened);
    const u32 code = ptpsim::kPropFNumber;
    EXPECT_EQ(mic_transport_transact(rig.transport, ptpsim::kOpGetDevicePropValue, &code, 1, nullptr, 0, nullptr),
              0x2001);
    EXPECT_EQ(rig.transport.recoveries.load(), 0u);
    EXPECT_TRUE(rig.Healthy());
}
