// Scopes: lock-protected stores of named, zero-filled byte blocks (the
// rendering device keeps its shader variables in one). The scope owns its
// variables; callers keep variable pointers for the life of the scope and
// write values straight into their storage, without the lock. Storage only
// grows; the version is raised by whoever writes a value.
#pragma once

#include "orvo/core/core_hashtable.h"
#include "orvo/core/core_mutex.h"
#include "orvo/core/core_stringid.h"
#include "orvo/core/core_version.h"

namespace orvo
{
struct scope_variable_t
{
    stringid_t name;   // one reference held by the variable
    i32 serial;        // with version: the variable's (id, version) pair
    i32 version;       // 1 at creation, raised by writers of values
    void* data;        // zero-initialised storage, null until reserved
    u64 size;          // bytes of storage
    u64 element_size;  // 4 for integer and float components, 1 for booleans
};

// Scopes index variables by the address of their name's text.
template <>
struct container_traits<scope_variable_t*>
{
    typedef const char* key_type;
    static key_type key(scope_variable_t* const& variable) { return variable->name.str; }
    static int compare(key_type a, key_type b)
    {
        uintptr_t x = reinterpret_cast<uintptr_t>(a);
        uintptr_t y = reinterpret_cast<uintptr_t>(b);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    static u64 hash(key_type key) { return static_cast<u64>(reinterpret_cast<uintptr_t>(key)) >> 2; }
};

const u64 SCOPE_NUM_BUCKETS = 100;

struct scope_t
{
    mutex_t mutex; // guards the index while resolving and releasing
    hashtable_t<scope_variable_t*> index;
};

// --- scopes ---------------------------------------------------------------------
// False (logged, nothing left to release) when the mutex or the index cannot
// be made.
bool scope_initialise(scope_t& scope);
// Finds or creates the variable of that name with room for at least size
// bytes of at least element_size. Null (logged) for an empty name, a mutex
// that cannot be taken, a variable that cannot be allocated or storage that
// cannot grow; in the last case the variable stays in the scope as it was.
scope_variable_t* scope_resolve(scope_t& scope, const string_t& name, u64 size, u64 element_size);
// Destroys every variable and the index, then the mutex. Safe twice and on a
// zeroed record.
void scope_release(scope_t& scope);

// --- variables ------------------------------------------------------------------
// Grows the storage to at least size bytes, zero-filling what is new, and the
// element size to at least element_size. False (logged), with the variable as
// it was, when the storage cannot be allocated.
bool scope_variable_reserve(scope_variable_t* variable, u64 size, u64 element_size);
// A new variable outside any scope, without storage. It takes over the
// caller's reference to id; on failure (null, logged) the caller keeps it.
scope_variable_t* scope_variable_create(const stringid_t& id);
// Drops the name's reference and frees the storage and the variable; null is
// ignored.
void scope_variable_destroy(scope_variable_t* variable);
} // namespace orvo
