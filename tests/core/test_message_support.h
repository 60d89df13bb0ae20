// Helpers shared by the in-process message tests: a processor that records
// what it receives (with optional hooks to act inside the callbacks), a
// fixture that brings the distributor up and down, and small message readers.
#pragma once

#include "orvo/core/core_distributor.h"
#include "orvo/core/core_location.h"
#include "orvo/core/core_message_processor.h"
#include "orvo/core/core_message_queue.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

namespace message_test
{
using namespace orvo;

// Field ids the tests use for their own payloads.
const i32 FIELD_KEY = 100;    // int: which message of a sequence
const i32 FIELD_SENDER = 101; // int: who sent it
const i32 FIELD_BLOB = 102;   // data: bulk

// One received message, copied out of the channel record or heap copy.
struct Received
{
    MessageHeader header;
    std::vector<u8> bytes;

    Message View() const { return Message(const_cast<u8*>(bytes.data())); }
    i32 Int(i32 id, i32 missing = -1) const
    {
        const MessageField* field = nullptr;
        if (!View().FindField(id, field) || field->type != MESSAGEFIELD_INT)
            return missing;
        i32 value;
        std::memcpy(&value, field->GetData(), sizeof(value));
        return value;
    }
};

inline Received Copy(const Message& message)
{
    Received received;
    std::memcpy(&received.header, message.GetHeader(), sizeof(MessageHeader));
    received.bytes.assign(message.GetData(), message.GetData() + message.GetNumBytes());
    return received;
}

class RecordingProcessor : public MessageProcessor
{
public:
    explicit RecordingProcessor(const char* name, bool reuse = false) : MessageProcessor(name, reuse) {}

    void ReceiveRequest(const Message& message) override
    {
        requests.push_back(Copy(message));
        if (onRequest)
            onRequest(message);
    }
    void ReceiveResponse(const Message& message) override
    {
        responses.push_back(Copy(message));
        if (onResponse)
            onResponse(message);
    }
    void ReceiveEvent(const Message& message) override
    {
        events.push_back(Copy(message));
        if (onEvent)
            onEvent(message);
    }

    std::vector<Received> requests;
    std::vector<Received> responses;
    std::vector<Received> events;
    std::function<void(const Message&)> onRequest;
    std::function<void(const Message&)> onResponse;
    std::function<void(const Message&)> onEvent;
};

// A message with one int field FIELD_KEY, built in the queue's encoder.
inline Message Build(MessageQueue& queue, i32 key)
{
    MessageEncoder* encoder = queue.GetEncoder();
    encoder->Begin();
    encoder->AddField(FIELD_KEY, key);
    return encoder->End();
}

inline std::vector<i32> Keys(const std::vector<Received>& messages)
{
    std::vector<i32> keys;
    for (const Received& message : messages)
        keys.push_back(message.Int(FIELD_KEY));
    return keys;
}

// The distributor is up for the test and released afterwards; queues made by
// the test must be released (or destroyed) before TearDown.
struct DistributorFixture : ::testing::Test
{
    lumivane_test::LogCapture log;
    void SetUp() override
    {
        ASSERT_TRUE(Distributor::Initialise());
        ASSERT_TRUE(Distributor::Start());
    }
    void TearDown() override
    {
        Distributor::Stop();
        Distributor::Release();
    }
};
} // namespace message_test
