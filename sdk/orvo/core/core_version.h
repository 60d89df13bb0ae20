// The (id, version) pair of a shared record and the process-wide counters its
// ids come from. Consumers keep the last pair they saw and compare it on each
// tick instead of receiving notifications.
#pragma once

#include "orvo/core/core_types.h"

#include <atomic>

namespace orvo
{
struct version_t
{
    i32 id;      // from version_object_id<version_id_allocator_t>, never reused
    i32 version; // 1 at set-up, raised by one on every change
};

// Tag of the counter shared by object headers, scope variables and every other
// versioned record; other tags (OpenGL contexts) count on their own.
struct version_id_allocator_t
{
};

// The next value of the tag's counter; the first value is 1.
template <typename Tag>
i32 version_object_id()
{
    static std::atomic<i32> counter{0};
    return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

inline void version_initialise(version_t& version)
{
    version.id = version_object_id<version_id_allocator_t>();
    version.version = 1;
}

inline void version_bump(version_t& version)
{
    ++version.version;
}

inline bool version_equal(const version_t& a, const version_t& b)
{
    return a.id == b.id && a.version == b.version;
}
} // namespace orvo
