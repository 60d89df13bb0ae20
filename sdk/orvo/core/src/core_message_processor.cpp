// Message processors: the outgoing contexts that number requests and count
// the pending ones, the three senders and the dispatch of received messages.
// Contexts sit in a vector sorted by destination; a processor talks to a
// handful of destinations, so lookups are a short binary search.
#include "orvo/core/core_message_processor.h"

#include "orvo/core/core_distributor.h"
#include "orvo/core/core_location.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_message_queue.h"

namespace orvo
{
MessageProcessor::MessageProcessor(const char* name, bool reuse)
    : m_locationId(Location::GetLocationId(name, reuse)), m_queue(nullptr), m_wakeRequested(false), m_wakePipe(-1)
{
    vector_initialise(m_contexts, 0, true);
}

void MessageProcessor::SetQueue(MessageQueue* queue)
{
    m_queue = queue;
    m_wakePipe.store(queue ? queue->GetId() : -1, std::memory_order_release);
}

void MessageProcessor::RequestWake()
{
    m_wakeRequested.store(true, std::memory_order_release);
    internal::DistributorWakePipe(m_wakePipe.load(std::memory_order_acquire));
}

void MessageProcessor::ProcessorWake() {}

MessageProcessor::~MessageProcessor()
{
    if (m_queue)
        m_queue->Unregister(this);
    vector_release(m_contexts);
}

bool MessageProcessor::ProcessorInitialise()
{
    return true;
}

void MessageProcessor::ProcessorRelease() {}

void MessageProcessor::ProcessorUpdate() {}

void MessageProcessor::Receive(const Message& message)
{
    if (message.IsNull())
        return;
    const MessageHeader& header = *message.GetHeader();
    switch (header.messageType)
    {
    case MESSAGETYPE_REQUEST:
        ReceiveRequest(message);
        break;
    case MESSAGETYPE_RESPONSE:
        if (OutgoingContext* context = FindContext(header.srcId, true))
            --context->pending;
        ReceiveResponse(message);
        break;
    case MESSAGETYPE_EVENT:
        ReceiveEvent(message);
        break;
    default:
        break;
    }
}

void MessageProcessor::ReceiveRequest(const Message& message)
{
    if (!log_is_enabled(LOGLEVEL_WARNING, LOGMODULE_MESSAGE))
        return;
    // Printed before the log lock: printing takes the location registry's lock.
    stringbuffer_t text;
    stringbuffer_initialise(text);
    message.Print(text, 2);
    if (log_lock(LOGLEVEL_WARNING, LOGMODULE_MESSAGE))
    {
        log_print("Request not handled:\n");
        log_print(static_cast<const string_t&>(text));
        log_unlock();
    }
    stringbuffer_release(text);
}

void MessageProcessor::ReceiveResponse(const Message&) {}

void MessageProcessor::ReceiveEvent(const Message&) {}

// --- contexts -----------------------------------------------------------------------

OutgoingContext* MessageProcessor::FindContext(u16 destination, bool create)
{
    u64 index = 0;
    if (vector_search(m_contexts, destination, index))
        return &m_contexts.data[index].context;
    if (!create)
        return nullptr;
    processorcontext_t entry{destination, OutgoingContext{0, 0}};
    if (!vector_insert(m_contexts, entry))
        return nullptr; // heap_realloc has logged the size
    vector_search(m_contexts, destination, index);
    return &m_contexts.data[index].context;
}

OutgoingContext MessageProcessor::GetContext(u16 destination) const
{
    u64 index = 0;
    if (vector_search(m_contexts, destination, index))
        return m_contexts.data[index].context;
    return OutgoingContext{0, 0};
}

// --- sending ------------------------------------------------------------------------

bool MessageProcessor::Route(Message& message)
{
    return internal::DistributorSendFromPipe(m_queue->GetId(), message);
}

namespace
{
// What every sender checks before touching a context.
bool can_send(const MessageProcessor& processor, const Message& message, const char* what)
{
    if (message.IsNull())
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to send %s from %s: no message", what,
                   Location::GetLocationName(processor.GetLocationId()));
        return false;
    }
    if (!processor.GetQueue())
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to send %s from %s: not on a message queue", what,
                   Location::GetLocationName(processor.GetLocationId()));
        return false;
    }
    return true;
}
} // namespace

bool MessageProcessor::SendRequest(Message& message, u16 destination)
{
    if (!can_send(*this, message, "request"))
        return false;
    OutgoingContext* context = FindContext(destination, true);
    if (!context)
        return false;
    ++context->lastRefNum;
    ++context->pending;
    MessageHeader& header = *message.GetHeader();
    header.srcId = m_locationId;
    header.refNum = static_cast<u32>(context->lastRefNum);
    header.dstId = destination;
    header.messageType = MESSAGETYPE_REQUEST;
    if (Route(message))
        return true;
    // Found again: a callback during the own-queue delivery may have sent
    // requests to new destinations and moved the contexts.
    if (OutgoingContext* again = FindContext(destination, false))
        --again->pending;
    return false;
}

bool MessageProcessor::CompleteEvent(Message& message, u16 channel)
{
    if (!can_send(*this, message, "event"))
        return false;
    OutgoingContext* context = FindContext(channel, true);
    if (!context)
        return false;
    ++context->lastRefNum;
    MessageHeader& header = *message.GetHeader();
    header.srcId = m_locationId;
    header.refNum = static_cast<u32>(context->lastRefNum);
    header.dstId = channel;
    header.messageType = MESSAGETYPE_EVENT;
    return true;
}

bool MessageProcessor::SendEvent(Message& message, u16 channel)
{
    return CompleteEvent(message, channel) && Route(message);
}

bool MessageProcessor::SendStreamEvent(Message& message, u16 channel, u32 stream)
{
    return CompleteEvent(message, channel) &&
           internal::DistributorSendStreamFromPipe(m_queue->GetId(), message, stream);
}

bool MessageProcessor::SendResponse(Message& message, const MessageHeader& request)
{
    if (!can_send(*this, message, "response"))
        return false;
    // Read before writing: the request header may lie in the same buffer.
    u32 refNum = request.refNum;
    u16 destination = request.srcId;
    MessageHeader& header = *message.GetHeader();
    header.srcId = m_locationId;
    header.refNum = refNum;
    header.dstId = destination;
    header.messageType = MESSAGETYPE_RESPONSE;
    return Route(message);
}

bool MessageProcessor::Subscribe(const char* name)
{
    if (!m_queue)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to subscribe %s to %s: not on a message queue",
                   Location::GetLocationName(m_locationId), name ? name : "(null)");
        return false;
    }
    u16 id = Location::GetSubscriptionId(name);
    if (id == 0)
        return false; // GetLocationId has logged why
    return m_queue->Register(this, id);
}
} // namespace orvo
