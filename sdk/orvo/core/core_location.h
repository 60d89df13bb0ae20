// Location ids: the process-wide registry that gives 16-bit ids to the names
// by which message processors are addressed. Id 0 is "BROADCAST" (every
// processor). The registry stores the name pointers, never copies of the text,
// so names must outlive every use of their ids (string literals in practice);
// ids are never released within a run.
#pragma once

#include "orvo/core/core_mutex.h"
#include "orvo/core/core_vector.h"

namespace orvo
{
const u16 LOCATION_BROADCAST = 0;
// Ids are 16-bit: the registry refuses a name beyond this many entries.
const u64 LOCATION_MAX_ENTRIES = 65536;

class Location
{
public:
    // With reuse, the id already given to an equal name (one shared id per
    // name, compared by text; id 0 is never matched); without it, or when the
    // name is new, a fresh id. 0 when the registry's mutex cannot be locked,
    // the name is null or the registry is full (the last two are logged).
    static u16 GetLocationId(const char* name, bool reuse);
    // The id of a broadcast channel: GetLocationId with reuse.
    static u16 GetSubscriptionId(const char* name);
    // The registered text, or "" for an unregistered id or a failed lock.
    static const char* GetLocationName(u16 id);
};

namespace internal
{
// The index of a name is its id. Guarded by Location_mutex.
extern vector_t<const char*> Location_list;
extern global_mutex_t Location_mutex;
} // namespace internal
} // namespace orvo
