// MessageQueue: one thread's end of the in-process message system. It owns the
// thread's MessageEncoder and the map from location ids to the processors that
// live on it (it does not own the processors), and is linked by the
// Distributor as one pipe. Everything here runs on the queue's owner thread
// (the thread that initialised it); other threads only ever see the routing
// set that the distributor publishes for the pipe.
#pragma once

#include "orvo/core/core_message_encoder.h"

#include <map>

namespace orvo
{
class MessageProcessor;
class Distributor;

class MessageQueue
{
public:
    // Id -1 (not linked), name "unknown".
    MessageQueue();
    // Releases the queue if it is still linked and lets go of its processors
    // (their queue becomes null).
    ~MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    // Allocates the 1 MiB encoder buffer and links the queue on the calling
    // thread, which becomes its owner. False (logged) when either fails. True
    // at once when the queue is already linked.
    bool Initialise();
    // Unlinks the queue (its pipe slot is emptied so that nobody routes to it
    // again, its inbound channels are closed) and frees the encoder buffer. The
    // queue keeps its id. Safe twice.
    void Release();

    // Sets the processor's queue and adds it under its own location id.
    bool Register(MessageProcessor* processor);
    // Adds the processor under another id (a subscription), and sets its queue
    // when it has none. A processor under several matching ids is called once
    // per entry.
    bool Register(MessageProcessor* processor, u16 id);
    // Clears the processor's queue and every entry of it; the entries are
    // dropped by a later delivery that passes over them.
    void Unregister(MessageProcessor* processor);

    // Delivers to every processor (dstId 0, in key order) or to those under
    // dstId (in registration order). Safe to reenter from a processor's
    // callback: a processor that unregisters or registers others meanwhile is
    // handled, and each entry is called at most once per delivery.
    void Receive(const Message& message);
    // Whether a live processor is registered under the id.
    bool IsDestinationValid(u16 id) const;

    // Routes from this queue's pipe (core_distributor.h).
    bool Send(const Message& message);
    // Delivers what other queues sent to this one, then calls ProcessorWake of
    // the processors that asked. Other queues are woken once each at its end
    // for what the deliveries sent them (HoldWakes).
    void Pump();
    // From here to the matching ReleaseWakes, what this thread sends wakes
    // each other queue once, at the end, rather than once per message. Nests.
    void HoldWakes();
    void ReleaseWakes();
    // Sleeps, on the owner thread, until another queue sends to this one
    // (true) or the microseconds have passed (false). A message sent since the
    // last wait ends it at once.
    bool Wait(u64 microseconds);

    MessageEncoder* GetEncoder() { return &m_encoder; }
    const char* GetName() const { return m_name; }
    // The text is not copied: it must outlive the queue. Null means "unknown".
    void SetName(const char* name);
    // The pipe index; -1 before the first link. Kept after Release.
    i32 GetId() const { return m_id; }

private:
    friend class Distributor;
    // Sets the routing bit of every id that has a live processor (linking).
    void PublishRoutes(i32 pipe) const;
    bool IsLinked() const;

    i32 m_id;
    const char* m_name;
    MessageEncoder m_encoder;
    std::multimap<u16, MessageProcessor*> m_processors; // a cleared entry has a null processor
    u32 m_depth;                                        // nested deliveries in progress
};
} // namespace orvo
