// The location registry: a vector of name pointers under one mutex. Lookups
// compare texts; ids are positions and never move because the registry only
// grows. The log line for a new id is written after unlocking so that the
// registry's mutex is never held while the log lock is taken.
#include "orvo/core/core_location.h"

#include "orvo/core/core_log.h"

#include <cstring>

namespace orvo
{
namespace internal
{
vector_t<const char*> Location_list;
global_mutex_t Location_mutex;
} // namespace internal

namespace
{
const char* const LOCATION_BROADCAST_NAME = "BROADCAST";
}

u16 Location::GetLocationId(const char* name, bool reuse)
{
    using internal::Location_list;
    if (!name)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to get location ID: no name");
        return 0;
    }
    if (!mutex_lock(internal::Location_mutex))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to get location ID for %s: mutex failed", name);
        return 0;
    }

    if (Location_list.count == 0 && !vector_insert(Location_list, LOCATION_BROADCAST_NAME))
    {
        mutex_unlock(internal::Location_mutex);
        return 0; // heap_alloc has logged the size
    }
    if (reuse)
    {
        for (u64 i = 1; i < Location_list.count; ++i)
        {
            if (std::strcmp(Location_list.data[i], name) == 0)
            {
                u16 id = static_cast<u16>(i);
                mutex_unlock(internal::Location_mutex);
                return id;
            }
        }
    }
    if (Location_list.count >= LOCATION_MAX_ENTRIES)
    {
        mutex_unlock(internal::Location_mutex);
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to get location ID for %s: limit exceeded", name);
        return 0;
    }
    if (!vector_insert(Location_list, name))
    {
        mutex_unlock(internal::Location_mutex);
        return 0;
    }
    u16 id = static_cast<u16>(Location_list.count - 1);
    mutex_unlock(internal::Location_mutex);
    log_writef(LOGLEVEL_INFO, LOGMODULE_MESSAGE, "Location ID for %s: %d", name, static_cast<int>(id));
    return id;
}

u16 Location::GetSubscriptionId(const char* name)
{
    return GetLocationId(name, true);
}

const char* Location::GetLocationName(u16 id)
{
    if (!mutex_lock(internal::Location_mutex))
        return "";
    const char* name = id < internal::Location_list.count ? internal::Location_list.data[id] : "";
    mutex_unlock(internal::Location_mutex);
    return name;
}
} // namespace orvo
