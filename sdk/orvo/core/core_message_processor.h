// MessageProcessor: the base class of everything that sends and receives
// in-process messages (the camera processor, data surfaces, script commands).
// A processor has a location id fixed at construction, lives on one
// MessageQueue and is used only on that queue's thread. It keeps one outgoing
// context per destination (last reference number, requests still pending).
// Routing between threads is the distributor's (core_distributor.h).
#pragma once

#include "orvo/core/core_message.h"
#include "orvo/core/core_vector.h"

#include <atomic>

namespace orvo
{
class MessageQueue;

struct OutgoingContext
{
    i32 lastRefNum; // 0 before the first message to the destination
    i32 pending;    // requests sent and not yet answered
};

// One entry of a processor's ordered map of contexts.
struct processorcontext_t
{
    u16 destination;
    OutgoingContext context;
};

template <> struct container_traits<processorcontext_t>
{
    typedef u16 key_type;
    static key_type key(const processorcontext_t& element) { return element.destination; }
    static int compare(const key_type& a, const key_type& b) { return a < b ? -1 : (b < a ? 1 : 0); }
    static u64 hash(const key_type& key) { return key; }
};

class MessageProcessor
{
public:
    // The location id is Location::GetLocationId(name, reuse); no queue yet.
    MessageProcessor(const char* name, bool reuse);
    // Leaves the queue it is registered on, so that no delivery reaches a
    // deleted processor.
    virtual ~MessageProcessor();
    MessageProcessor(const MessageProcessor&) = delete;
    MessageProcessor& operator=(const MessageProcessor&) = delete;

    // Called by the owning message thread: once at its start (true by default;
    // the queue is already set, so a processor may subscribe here), once per
    // pass, and once when it ends.
    virtual bool ProcessorInitialise();
    virtual void ProcessorRelease();
    virtual void ProcessorUpdate();

    // Any thread: asks for one ProcessorWake on the processor's own thread at
    // its queue's next pump, and wakes that thread if it sleeps between
    // passes, so work finished elsewhere is taken up without waiting for the
    // next pass. Asks made before the first pump come together into one call.
    void RequestWake();
    // Called by the queue's pump after RequestWake (never from inside a
    // delivery); nothing by default.
    virtual void ProcessorWake();

    // Called by the queue for every message addressed to one of this
    // processor's ids: dispatches by message type (a Response first lowers the
    // pending count of its sender's context); other types are ignored.
    virtual void Receive(const Message& message);
    // By default logs "Request not handled:" with the printed request (Warning).
    virtual void ReceiveRequest(const Message& message);
    virtual void ReceiveResponse(const Message& message);
    virtual void ReceiveEvent(const Message& message);

    void SetQueue(MessageQueue* queue);
    MessageQueue* GetQueue() const { return m_queue; }
    u16 GetLocationId() const { return m_locationId; }

    // Each completes the header (srcId = this processor's id, refNum, dstId,
    // messageType) and routes the message from this processor's queue. False
    // (logged) for a null message, without a queue, or when a context cannot
    // be made; false without a log line when no queue holds the destination.
    // A request that reaches no queue is not counted as pending: it can never
    // be answered.
    bool SendRequest(Message& message, u16 destination);
    bool SendEvent(Message& message, u16 channel);
    // An event of a stream whose every message supersedes the earlier ones
    // (live-view frames of one camera): a queue whose reader is behind on the
    // stream is left out (internal::DistributorSendStreamFromPipe).
    bool SendStreamEvent(Message& message, u16 channel, u32 stream);
    bool SendResponse(Message& message, const MessageHeader& request);

    // Registers this processor on its queue under the shared id of a channel
    // name (such as "BROADCAST::CameraEvent") as well. The queue must be set.
    bool Subscribe(const char* name);

    // The context for a destination; zeros when nothing was sent there yet.
    OutgoingContext GetContext(u16 destination) const;

protected:
    u16 m_locationId;
    MessageQueue* m_queue;

private:
    friend class MessageQueue;
    // True once per RequestWake since the last call (the queue's thread).
    bool TakeWakeRequest() { return m_wakeRequested.exchange(false, std::memory_order_acq_rel); }

    // Null (allocation failure logged) when a new context cannot be stored.
    OutgoingContext* FindContext(u16 destination, bool create);
    bool Route(Message& message);
    bool CompleteEvent(Message& message, u16 channel);

    vector_t<processorcontext_t> m_contexts; // sorted by destination
    std::atomic<bool> m_wakeRequested;
    std::atomic<i32> m_wakePipe; // the queue's pipe, read by other threads; -1 without one
};
} // namespace orvo
