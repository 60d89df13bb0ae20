// The queue's processor map and delivery. Delivery may reenter (a processor
// that sends to its own queue is called back at once), so entries are never
// erased while an outer delivery may stand on them: a cleared entry is erased
// only by the outermost delivery, as it passes over it. Every change of the
// map that adds or removes the last live processor of an id is mirrored into
// the pipe's routing bits, which other threads read.
#include "orvo/core/core_message_queue.h"

#include "orvo/core/core_distributor.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_message_processor.h"

#include <new>

namespace orvo
{
namespace
{
const char* const QUEUE_UNKNOWN_NAME = "unknown";
}

MessageQueue::MessageQueue() : m_id(-1), m_name(QUEUE_UNKNOWN_NAME), m_depth(0) {}

MessageQueue::~MessageQueue()
{
    Release();
    for (auto& entry : m_processors)
    {
        if (entry.second && entry.second->GetQueue() == this)
            entry.second->SetQueue(nullptr);
    }
}

bool MessageQueue::Initialise()
{
    if (IsLinked())
        return true;
    if (!m_encoder.Initialise())
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to initialise message queue %s: no encoder buffer",
                   m_name);
        return false;
    }
    i32 id = Distributor::LinkQueue(this);
    if (id < 0)
    {
        m_encoder.Release();
        return false; // LinkQueue has logged why
    }
    m_id = id;
    return true;
}

void MessageQueue::Release()
{
    if (m_id >= 0)
        internal::DistributorUnlinkPipe(m_id, this);
    m_encoder.Release();
}

bool MessageQueue::IsLinked() const
{
    return m_id >= 0 && internal::Distributor_pipes[m_id].queue.load(std::memory_order_acquire) == this;
}

void MessageQueue::SetName(const char* name)
{
    m_name = name ? name : QUEUE_UNKNOWN_NAME;
}

// --- processors ---------------------------------------------------------------------

bool MessageQueue::Register(MessageProcessor* processor)
{
    if (!processor)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to register a processor on queue %s: no processor",
                   m_name);
        return false;
    }
    processor->SetQueue(this);
    return Register(processor, processor->GetLocationId());
}

bool MessageQueue::Register(MessageProcessor* processor, u16 id)
{
    if (!processor)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to register a processor on queue %s: no processor",
                   m_name);
        return false;
    }
    // A processor that knows its queue leaves it when deleted; without this a
    // processor registered only under other ids would leave dangling entries.
    if (!processor->GetQueue())
        processor->SetQueue(this);
    try
    {
        // Equal keys keep their insertion order: a new entry goes after them.
        m_processors.emplace(id, processor);
    }
    catch (const std::bad_alloc&)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to register processor %d on queue %s: out of memory",
                   static_cast<int>(id), m_name);
        return false;
    }
    // After the entry exists: a sender that sees the bit finds the processor
    // when this thread pumps.
    internal::DistributorSetRoute(m_id, this, id, true);
    return true;
}

void MessageQueue::Unregister(MessageProcessor* processor)
{
    if (!processor)
        return;
    if (processor->GetQueue() == this)
        processor->SetQueue(nullptr);
    for (auto it = m_processors.begin(); it != m_processors.end(); ++it)
    {
        if (it->second != processor)
            continue;
        it->second = nullptr;
        if (!IsDestinationValid(it->first))
            internal::DistributorSetRoute(m_id, this, it->first, false);
    }
}

bool MessageQueue::IsDestinationValid(u16 id) const
{
    for (auto it = m_processors.lower_bound(id); it != m_processors.end() && it->first == id; ++it)
    {
        if (it->second)
            return true;
    }
    return false;
}

void MessageQueue::PublishRoutes(i32 pipe) const
{
    internal::DistributorPipe& slot = internal::Distributor_pipes[pipe];
    for (const auto& entry : m_processors)
    {
        if (entry.second)
            slot.routes[entry.first >> 6].fetch_or(1ull << (entry.first & 63), std::memory_order_release);
    }
}

// --- delivery -----------------------------------------------------------------------

void MessageQueue::Receive(const Message& message)
{
    if (message.IsNull())
        return;
    const u16 destination = message.GetHeader()->dstId;
    ++m_depth;
    auto it = destination == 0 ? m_processors.begin() : m_processors.lower_bound(destination);
    while (it != m_processors.end() && (destination == 0 || it->first == destination))
    {
        MessageProcessor* processor = it->second;
        if (processor)
        {
            processor->Receive(message);
            ++it;
        }
        else if (m_depth == 1)
        {
            it = m_processors.erase(it);
        }
        else
        {
            ++it;
        }
    }
    --m_depth;
}

// --- routing ------------------------------------------------------------------------

bool MessageQueue::Send(const Message& message)
{
    if (m_id < 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to send message from queue %s: not linked", m_name);
        return false;
    }
    return internal::DistributorSendFromPipe(m_id, message);
}

void MessageQueue::Pump()
{
    if (m_id < 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to pump message queue %s: not linked", m_name);
        return;
    }
    const i32 pipe = m_id;
    internal::DistributorHoldWakes(pipe);
    internal::DistributorPumpPipe(pipe);
    if (!m_depth)
    {
        // Counted as a delivery: entries left by a processor that unregisters
        // meanwhile are not erased under this walk.
        ++m_depth;
        for (auto it = m_processors.begin(); it != m_processors.end(); ++it)
        {
            MessageProcessor* processor = it->second;
            if (processor && processor->GetLocationId() == it->first && processor->TakeWakeRequest())
                processor->ProcessorWake();
        }
        --m_depth;
    }
    internal::DistributorReleaseWakes(pipe);
}

void MessageQueue::HoldWakes()
{
    internal::DistributorHoldWakes(m_id);
}

void MessageQueue::ReleaseWakes()
{
    internal::DistributorReleaseWakes(m_id);
}

bool MessageQueue::Wait(u64 microseconds)
{
    if (m_id < 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to wait on message queue %s: not linked", m_name);
        return false;
    }
    return internal::DistributorWaitPipe(m_id, microseconds);
}
} // namespace orvo
