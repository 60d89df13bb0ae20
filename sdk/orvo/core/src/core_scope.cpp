// Scopes of named variables and the variables' zero-filled storage.
#include "orvo/core/core_scope.h"

#include "orvo/core/core_log.h"

#include <cstring>

namespace orvo
{
namespace
{
// A destroyed mutex goes back to the static initialiser's state, which is
// valid to lock and to destroy again: release stays safe twice.
void reset_mutex(mutex_t& mutex)
{
    pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
    mutex.mutex = fresh;
    mutex.locked.store(false, std::memory_order_relaxed);
}
} // namespace

bool scope_initialise(scope_t& scope)
{
    scope.index = hashtable_t<scope_variable_t*>{0, {nullptr, 0, 0, false}};
    if (!mutex_initialise(scope.mutex))
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "scope_initialise: cannot create the mutex");
        reset_mutex(scope.mutex);
        return false;
    }
    if (!hashtable_initialise(scope.index, SCOPE_NUM_BUCKETS))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "scope_initialise: cannot create an index of %llu buckets",
                   (unsigned long long)SCOPE_NUM_BUCKETS);
        mutex_release(scope.mutex);
        reset_mutex(scope.mutex);
        return false;
    }
    return true;
}

scope_variable_t* scope_resolve(scope_t& scope, const string_t& name, u64 size, u64 element_size)
{
    if (name.length == 0)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "scope_resolve: empty variable name");
        return nullptr;
    }
    stringid_t id = {empty_str};
    if (!stringid_resolve(id, name))
        return nullptr;
    if (!mutex_lock(scope.mutex))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "scope_resolve %s: cannot take the scope's mutex", id.str);
        stringid_release(id);
        return nullptr;
    }
    scope_variable_t* variable = nullptr;
    if (scope_variable_t** found = hashtable_find(scope.index, id.str))
    {
        variable = *found;
        stringid_release(id); // the variable holds its own reference
    }
    else
    {
        variable = scope_variable_create(id);
        if (!variable)
        {
            stringid_release(id);
            mutex_unlock(scope.mutex);
            return nullptr;
        }
        if (!hashtable_insert(scope.index, variable))
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "scope_resolve %s: the scope's index cannot grow",
                       variable->name.str);
            scope_variable_destroy(variable);
            mutex_unlock(scope.mutex);
            return nullptr;
        }
    }
    bool reserved = scope_variable_reserve(variable, size, element_size);
    mutex_unlock(scope.mutex);
    return reserved ? variable : nullptr;
}

void scope_release(scope_t& scope)
{
    if (!mutex_lock(scope.mutex))
        return;
    hashtable_t<scope_variable_t*>& index = scope.index;
    if (index.buckets.count != 0)
        log_writef(LOGLEVEL_VERBOSE, LOGMODULE_GENERAL, "scope contents: %llu entries",
                   (unsigned long long)index.num_entries);
    for (u64 b = 0; b < index.buckets.count; ++b)
    {
        vector_t<scope_variable_t*>& bucket = index.buckets.data[b];
        for (u64 i = 0; i < bucket.count; ++i)
            scope_variable_destroy(bucket.data[i]);
        bucket.count = 0;
    }
    hashtable_release(index);
    mutex_unlock(scope.mutex);
    mutex_release(scope.mutex);
    reset_mutex(scope.mutex);
}

bool scope_variable_reserve(scope_variable_t* variable, u64 size, u64 element_size)
{
    if (!variable)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "scope_variable_reserve: no variable");
        return false;
    }
    if (variable->data && variable->size >= size)
    {
        // Only the element size may grow; the storage and its pointer stay.
        if (variable->element_size < element_size)
            variable->element_size = element_size;
        return true;
    }
    u64 old_size = variable->data ? variable->size : 0;
    void* data = heap_alloc(size, 16, ORVO_HEAP_TAG);
    if (!data)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "scope_variable_reserve %s: cannot grow to %llu bytes",
                   variable->name.str ? variable->name.str : "", (unsigned long long)size);
        return false;
    }
    if (old_size)
        std::memcpy(data, variable->data, static_cast<size_t>(old_size));
    std::memset(static_cast<u8*>(data) + old_size, 0, static_cast<size_t>(size - old_size));
    heap_free(variable->data, ORVO_HEAP_TAG);
    variable->data = data;
    variable->size = size;
    if (variable->element_size < element_size)
        variable->element_size = element_size;
    return true;
}

scope_variable_t* scope_variable_create(const stringid_t& id)
{
    scope_variable_t* variable =
        static_cast<scope_variable_t*>(heap_alloc(sizeof(scope_variable_t), alignof(scope_variable_t), ORVO_HEAP_TAG));
    if (!variable)
        return nullptr;
    variable->name = id;
    variable->serial = version_object_id<version_id_allocator_t>();
    variable->version = 1;
    variable->data = nullptr;
    variable->size = 0;
    variable->element_size = 0;
    return variable;
}

void scope_variable_destroy(scope_variable_t* variable)
{
    if (!variable)
        return;
    stringid_release(variable->name);
    heap_free(variable->data, ORVO_HEAP_TAG);
    heap_free(variable, ORVO_HEAP_TAG);
}
} // namespace orvo
