// The test's side of the camera message traffic: Seen, one message copied as
// the test's client received it with readers for its camera fields, and
// Client, a message processor that keeps every response, event and
// live-view frame it is sent.
#pragma once

#include "orvo/camera/camera_processor.h"
#include "orvo/core/core_location.h"
#include "orvo/core/core_message_processor.h"
#include "orvo/core/core_message_queue.h"
#include "orvo/core/core_thread.h"
#include "orvo/core/core_time.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace camera_test
{
using namespace orvo;

// One message as the test's client saw it.
struct Seen
{
    MessageHeader header;
    std::vector<u8> bytes;

    Message View() const { return Message(const_cast<u8*>(bytes.data())); }
    i32 Int(i32 id, i32 missing = -999) const
    {
        i32 value = missing;
        camerarequest_get_int(View(), id, value);
        return value;
    }
    bool Bool(i32 id) const
    {
        bool value = false;
        camerarequest_get_bool(View(), id, value);
        return value;
    }
    bool Has(i32 id) const
    {
        const MessageField* field = nullptr;
        return View().FindField(id, field);
    }
    std::string Text() const
    {
        string_t text;
        return camerarequest_get_text(View(), CAMERAFIELD_TEXT, text) ? std::string(text.str, text.length) : "";
    }
    std::vector<camera_t> Cameras() const
    {
        const void* data = nullptr;
        u32 count = 0;
        std::vector<camera_t> cameras;
        if (camerarequest_get_data(View(), CAMERAFIELD_CAMERAS, sizeof(camera_t), data, count))
            cameras.assign(static_cast<const camera_t*>(data), static_cast<const camera_t*>(data) + count);
        return cameras;
    }
    bool Camera(cameraid_t& id) const { return camerarequest_get_camera(View(), id); }
    u32 Count(i32 id, u32 element_size) const
    {
        const void* data = nullptr;
        u32 count = 0;
        return camerarequest_get_data(View(), id, element_size, data, count) ? count : 0xFFFFFFFF;
    }
    std::vector<u8> Bytes(i32 id) const
    {
        const void* data = nullptr;
        u32 count = 0;
        if (!camerarequest_get_data(View(), id, 1, data, count))
            return {};
        return std::vector<u8>(static_cast<const u8*>(data), static_cast<const u8*>(data) + count);
    }
};

inline Seen Copy(const Message& message)
{
    Seen seen;
    std::memcpy(&seen.header, message.GetHeader(), sizeof(MessageHeader));
    seen.bytes.assign(message.GetData(), message.GetData() + message.GetNumBytes());
    return seen;
}

// The requester: sends camera requests and keeps every response and event.
class Client : public MessageProcessor
{
public:
    explicit Client(const char* name) : MessageProcessor(name, false) {}

    // Sends the request; answers the reference number its response will carry.
    u32 Send(Message message, u16 destination)
    {
        EXPECT_FALSE(message.IsNull());
        EXPECT_TRUE(SendRequest(message, destination));
        return static_cast<u32>(GetContext(destination).lastRefNum);
    }
    // Index in responses of the response to the reference number, or SIZE_MAX.
    size_t FindResponse(u32 ref) const
    {
        for (size_t i = 0; i < responses.size(); ++i)
            if (responses[i].header.refNum == ref)
                return i;
        return SIZE_MAX;
    }

    void ReceiveResponse(const Message& message) override
    {
        MessageProcessor::ReceiveResponse(message);
        responses.push_back(Copy(message));
        // Where the response stands among the events seen so far.
        response_positions.push_back(events.size());
        ++answered[message.GetHeader()->refNum];
    }
    void ReceiveEvent(const Message& message) override
    {
        if (message.GetHeader()->dstId == Location::GetSubscriptionId(CAMERA_LIVEVIEW_CHANNEL))
            liveview.push_back(Copy(message));
        else
            events.push_back(Copy(message));
    }

    std::vector<Seen> responses;
    std::vector<size_t> response_positions;
    std::vector<Seen> events;
    std::vector<Seen> liveview;
    std::map<u32, int> answered; // responses per reference number
};

// The pump a message thread runs for the test's queue while it starts and stops.
inline void PumpCallback(void* queue)
{
    static_cast<MessageQueue*>(queue)->Pump();
}

// Pumps the test's queue until the condition holds; false after 30 s, a bound
// that only keeps a broken build from hanging (nothing is measured).
inline bool PumpUntil(MessageQueue& queue, const std::function<bool()>& done)
{
    orvo::timer_t timer;
    timer_start(timer);
    while (!done())
    {
        if (timer_elapsed(timer) > time_compute_ticks(30, TIMEUNIT_SECONDS))
            return false;
        queue.Pump();
        thread_sleep(1, TIMEUNIT_MILLISECONDS);
    }
    return true;
}
// Takes `step` until `done` holds, at most `times` steps: whether it holds.
inline bool RepeatUntil(const std::function<bool()>& done, const std::function<void()>& step, int times)
{
    for (int i = 0; i < times && !done(); ++i)
        step();
    return done();
}
} // namespace camera_test
