// The responder's own invariants, which every engine test leans on: the
// overlap check fires, object content is the same whichever way it is read,
// faults bend exactly the calls they name, the GetPartialObject rules are
// checked, property writes are validated and delayed events wait for the
// test clock.
#include "support/ptpsim/ptpsim_camera.h"
#include "support/ptpsim/ptpsim_clock.h"
#include "support/support_log_capture.h"

#include "orvo/camera/mtp_update.h"
#include "orvo/core/core_imageformat.h"

#include <gtest/gtest.h>

#include <thread>

using namespace orvo;

namespace
{
const u64 MiB = 1 << 20;

struct Buffer
{
    mtp_buffer_t buffer;
    Buffer() { mtp_buffer_initialise(buffer); }
    ~Buffer() { mtp_buffer_release(buffer); }
    ptpsim::Bytes bytes() const { return ptpsim::Bytes(buffer.data, buffer.data + buffer.length); }
};

u16 read(ptpsim::Camera& camera, u16 operation, std::vector<u32> parameters, Buffer& out)
{
    return static_cast<u16>(ptpsim::read(MTP_PROTOCOL_GENERIC, static_cast<mtp_command_t>(operation),
                                         parameters.data(), static_cast<u32>(parameters.size()), out.buffer, &camera));
}

u16 execute(ptpsim::Camera& camera, u16 operation)
{
    return static_cast<u16>(
        ptpsim::execute(MTP_PROTOCOL_GENERIC, static_cast<mtp_command_t>(operation), nullptr, 0, &camera));
}

u16 write(ptpsim::Camera& camera, u16 operation, u32 parameter, const ptpsim::Bytes& bytes)
{
    mtp_buffer_t buffer;
    mtp_buffer_initialise(buffer);
    mtp_buffer_allocate(buffer, bytes.size());
    if (!bytes.empty())
        memcpy(buffer.data, bytes.data(), bytes.size());
    u16 response = static_cast<u16>(
        ptpsim::write(MTP_PROTOCOL_GENERIC, static_cast<mtp_command_t>(operation), &parameter, 1, buffer, &camera));
    mtp_buffer_release(buffer);
    return response;
}
} // namespace

TEST(Responder, ReportsTransactionsThatOverlap)
{
    ptpsim::Camera camera;
    u32 handle = camera.add_object(ptpsim::ObjectInfo(), 1000);
    camera.hold(ptpsim::kOpGetObject);
    std::thread download([&] {
        Buffer out;
        EXPECT_EQ(read(camera, ptpsim::kOpGetObject, {handle}, out), ptpsim::kRespOK);
        EXPECT_EQ(out.buffer.length, 1000u);
    });
    camera.wait_held(ptpsim::kOpGetObject);
    EXPECT_TRUE(camera.violations().empty());
    EXPECT_EQ(execute(camera, ptpsim::kOpInitiateCapture), ptpsim::kRespOK);
    camera.release(ptpsim::kOpGetObject);
    download.join();
    ASSERT_EQ(camera.violations().size(), 1u);
    EXPECT_EQ(camera.violations()[0], "Transaction 0x100E overlaps transaction 0x1009");
    // One after the other is fine.
    Buffer out;
    read(camera, ptpsim::kOpGetObject, {handle}, out);
    execute(camera, ptpsim::kOpInitiateCapture);
    EXPECT_EQ(camera.violations().size(), 1u);
}

TEST(Responder, ObjectBytesAreTheSameWholeOrInChunks)
{
    ptpsim::Camera camera;
    // 201 MiB, made per offset: never held whole by the responder.
    const u64 big = 201 * MiB;
    u32 handle = camera.add_object(ptpsim::ObjectInfo(), big);
    Buffer chunk;
    ASSERT_EQ(read(camera, ptpsim::kOpGetObjectInfo, {handle}, chunk), ptpsim::kRespOK);
    ASSERT_GE(chunk.buffer.length, 12u);
    EXPECT_EQ(chunk.buffer.data[8] | (chunk.buffer.data[9] << 8) | (chunk.buffer.data[10] << 16) |
                  (static_cast<u32>(chunk.buffer.data[11]) << 24),
              big);

    // Walk the last chunks as a download would and compare edges with the truth.
    u64 offset = 0;
    while (offset < big)
    {
        u64 n = std::min<u64>(30 * MiB, big - offset);
        ASSERT_EQ(read(camera, ptpsim::kOpGetPartialObject, {handle, static_cast<u32>(offset), static_cast<u32>(n)},
                       chunk),
                  ptpsim::kRespOK);
        ASSERT_EQ(chunk.buffer.length, n);
        ptpsim::Bytes expected = camera.object_bytes(handle, offset + n - 13, 13);
        EXPECT_EQ(ptpsim::Bytes(chunk.buffer.data + n - 13, chunk.buffer.data + n), expected);
        expected = camera.object_bytes(handle, offset, 5);
        EXPECT_EQ(ptpsim::Bytes(chunk.buffer.data, chunk.buffer.data + 5), expected);
        offset += n;
    }
    EXPECT_TRUE(camera.violations().empty());

    // A small object: GetObject gives exactly the true bytes.
    u32 jpeg = camera.add_object(ptpsim::ObjectInfo(), 123457, ptpsim::Content::kJpeg);
    ASSERT_EQ(read(camera, ptpsim::kOpGetObject, {jpeg}, chunk), ptpsim::kRespOK);
    EXPECT_EQ(chunk.bytes(), camera.object_bytes(jpeg));
    memory_t view = {chunk.buffer.data, chunk.buffer.length};
    EXPECT_EQ(image_compute_payload(view), 123457u);
    // Different objects have different bytes.
    u32 other = camera.add_object(ptpsim::ObjectInfo(), 123457, ptpsim::Content::kJpeg);
    EXPECT_NE(camera.object_bytes(other), camera.object_bytes(jpeg));
}

TEST(Responder, FaultsBendOnlyTheCallsTheyName)
{
    ptpsim::Camera camera;
    camera.fail(ptpsim::kOpInitiateCapture, ptpsim::kRespGeneralError, 2);
    EXPECT_EQ(execute(camera, ptpsim::kOpInitiateCapture), ptpsim::kRespGeneralError);
    EXPECT_EQ(execute(camera, ptpsim::kOpInitiateCapture), ptpsim::kRespGeneralError);
    EXPECT_EQ(execute(camera, ptpsim::kOpInitiateCapture), ptpsim::kRespOK);
    EXPECT_EQ(camera.num_objects(), 1u); // only the capture that went through made a photo

    u32 a = camera.add_object(ptpsim::ObjectInfo(), 100);
    u32 b = camera.add_object(ptpsim::ObjectInfo(), 100);
    ptpsim::Fault shorter;
    shorter.kind = ptpsim::Fault::Kind::kShortData;
    shorter.operation = ptpsim::kOpGetObject;
    shorter.match_parameter = true;
    shorter.parameter = b;
    shorter.length = 10;
    camera.add_fault(shorter);
    Buffer out;
    read(camera, ptpsim::kOpGetObject, {a}, out);
    EXPECT_EQ(out.buffer.length, 100u);
    read(camera, ptpsim::kOpGetObject, {b}, out);
    EXPECT_EQ(out.buffer.length, 10u);

    ptpsim::Fault flip;
    flip.kind = ptpsim::Fault::Kind::kCorrupt;
    flip.operation = ptpsim::kOpGetObject;
    flip.offset = 3;
    flip.mask = 0xFF;
    flip.remaining = 1;
    camera.add_fault(flip);
    read(camera, ptpsim::kOpGetObject, {a}, out);
    ptpsim::Bytes truth = camera.object_bytes(a);
    EXPECT_EQ(out.buffer.data[3], static_cast<u8>(truth[3] ^ 0xFF));
    read(camera, ptpsim::kOpGetObject, {a}, out);
    EXPECT_EQ(out.bytes(), truth);

    // A truncated object announces more than GetObject gives.
    camera.truncate_object(a, 60);
    read(camera, ptpsim::kOpGetObject, {a}, out);
    EXPECT_EQ(out.bytes(), camera.object_bytes(a, 0, 60));

    camera.set_unplugged(true);
    EXPECT_EQ(execute(camera, ptpsim::kOpInitiateCapture), ptpsim::kRespSessionNotOpen);
    EXPECT_EQ(read(camera, ptpsim::kOpGetDeviceInfo, {}, out), ptpsim::kRespSessionNotOpen);
    camera.set_unplugged(false);
    // Operations the DeviceInfo does not list do not exist.
    EXPECT_EQ(execute(camera, 0x9128), ptpsim::kRespOperationNotSupported);
    EXPECT_EQ(camera.calls(ptpsim::kOpInitiateCapture), 4);
}

TEST(Responder, ChecksThePartialObjectRules)
{
    ptpsim::Camera camera;
    u32 handle = camera.add_object(ptpsim::ObjectInfo(), 100 * MiB);
    camera.set_partial_chunk_limit(1000);
    Buffer out;
    ASSERT_EQ(read(camera, ptpsim::kOpGetPartialObject, {handle, 0, 5000}, out), ptpsim::kRespOK);
    EXPECT_EQ(out.buffer.length, 1000u); // a short chunk
    EXPECT_EQ(read(camera, ptpsim::kOpGetPartialObject, {handle, 1000, 5000}, out), ptpsim::kRespOK);
    EXPECT_TRUE(camera.violations().empty());
    read(camera, ptpsim::kOpGetPartialObject, {handle, 5000, 5000}, out); // skips 3000 bytes
    camera.set_partial_chunk_limit(0);
    read(camera, ptpsim::kOpGetPartialObject, {handle, 0, static_cast<u32>(31 * MiB)}, out);
    std::vector<std::string> violations = camera.violations();
    ASSERT_EQ(violations.size(), 2u);
    EXPECT_EQ(violations[0], "GetPartialObject offset 5000 does not follow the previous chunk");
    EXPECT_EQ(violations[1], "GetPartialObject chunk of 32505856 bytes exceeds 30 MiB");
}

TEST(Responder, ValidatesPropertyWrites)
{
    ptpsim::TestClock clock;
    ptpsim::Camera camera;
    struct Case
    {
        const char* why;
        u16 code;
        ptpsim::Bytes bytes;
        u16 response;
    };
    const Case cases[] = {
        {"a listed stop", ptpsim::kPropFNumber, {0x20, 0x03}, ptpsim::kRespOK},                        // 800
        {"a stop the lens lacks", ptpsim::kPropFNumber, {0xF4, 0x01}, ptpsim::kRespInvalidDevicePropValue}, // 500
        {"a byte too many", ptpsim::kPropFNumber, {0x20, 0x03, 0x00}, ptpsim::kRespInvalidDevicePropFormat},
        {"off the range step", ptpsim::kPropExposureIndex, {0x96, 0x00}, ptpsim::kRespInvalidDevicePropValue}, // 150
        {"on the range", ptpsim::kPropExposureIndex, {0x20, 0x03}, ptpsim::kRespOK},                            // 800
        {"read-only", ptpsim::kPropBatteryLevel, {50}, ptpsim::kRespAccessDenied},
        {"not a property", 0x5099, {1}, ptpsim::kRespDevicePropNotSupported},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(write(camera, ptpsim::kOpSetDevicePropValue, c.code, c.bytes), c.response);
    }
    EXPECT_EQ(camera.property_value(ptpsim::kPropFNumber).bits, 800u);
    EXPECT_EQ(camera.property_value(ptpsim::kPropExposureIndex).bits, 800u);
    EXPECT_EQ(camera.property_value(ptpsim::kPropBatteryLevel).bits, 100u);
    ASSERT_EQ(camera.violations().size(), 1u);

    // DateTime sets the camera clock.
    clock.set_wallclock_us(ptpsim::TestClock::kDefaultWallclock + 250000);
    ptpsim::Bytes text = ptpsim::Encoder().str("20240301T130000").take();
    EXPECT_EQ(write(camera, ptpsim::kOpSetDevicePropValue, ptpsim::kPropDateTime, text), ptpsim::kRespOK);
    EXPECT_EQ(camera.clock_offset_us(), 3600000000 - 250000);
    EXPECT_EQ(camera.property_value(ptpsim::kPropDateTime).text, "20240301T130000");
    clock.advance_ms(999);
    EXPECT_EQ(camera.property_value(ptpsim::kPropDateTime).text, "20240301T130000");
    clock.advance_ms(1);
    EXPECT_EQ(camera.property_value(ptpsim::kPropDateTime).text, "20240301T130001");
}

TEST(Responder, DelayedEventsWaitForTheTestClock)
{
    ptpsim::TestClock clock;
    lumivane_test::LogCapture log;
    ptpsim::Camera camera;
    mtp_device_t device = {};
    ASSERT_TRUE(mtp_device_initialise(device, nullptr, camera.callbacks()));
    camera.attach(device);
    camera.set_capture({ptpsim::ObjectInfo()}, 1000, 500000);
    EXPECT_EQ(execute(camera, ptpsim::kOpInitiateCapture), ptpsim::kRespOK);
    camera.send_event(ptpsim::kEvStoreAdded);
    camera.drain_events();
    EXPECT_EQ(camera.num_events_delivered(), 1u);
    clock.advance_ms(499);
    camera.drain_events();
    EXPECT_EQ(camera.num_events_delivered(), 1u);
    clock.advance_ms(2);
    camera.drain_events();
    EXPECT_EQ(camera.num_events_delivered(), 3u);
    EXPECT_EQ(device.event_queue.count, 2u); // ObjectAdded and CaptureComplete for the vendor

    // A device that reads its events itself gets none from the pump.
    device.events_by_polling = true;
    camera.send_event(ptpsim::kEvStoreFull);
    camera.drain_events();
    EXPECT_EQ(camera.num_events_delivered(), 4u);
    EXPECT_EQ(device.event_queue.count, 2u);
    camera.detach();
    mtp_device_release(device);
}

TEST(Responder, ReportsACameraCopyDeletedBeforeItWasReadWhole)
{
    ptpsim::Camera camera;
    camera.set_require_read_before_delete(true);
    u32 whole = camera.add_object(ptpsim::ObjectInfo(), 5000);
    u32 chunked = camera.add_object(ptpsim::ObjectInfo(), 5000);
    u32 cut = camera.add_object(ptpsim::ObjectInfo(), 5000);
    camera.truncate_object(cut, 4000);
    Buffer out;
    read(camera, ptpsim::kOpGetObject, {whole}, out);
    read(camera, ptpsim::kOpGetPartialObject, {chunked, 0, 3000}, out);
    read(camera, ptpsim::kOpGetPartialObject, {chunked, 3000, 3000}, out);
    read(camera, ptpsim::kOpGetObject, {cut}, out);
    for (u32 handle : {whole, chunked, cut})
        EXPECT_EQ(write(camera, ptpsim::kOpDeleteObject, handle, {}), ptpsim::kRespOK);
    EXPECT_EQ(camera.violations(), std::vector<std::string>{"DeleteObject of object 3 before it was read whole"});
    EXPECT_EQ(camera.deleted_handles(), (std::vector<u32>{whole, chunked, cut}));
    EXPECT_FALSE(camera.has_object(whole));
}
