// Named, reference-counted heap records and the registry that lists them.
// object_t is the header at the start of every named record (presets, grid
// nodes, cameras, photos); the derived fields follow it in the same block.
// objectdb_t keeps objects by id in insertion order and owns one reference of
// each. A registry has no lock: its owner uses it from one thread.
#pragma once

#include "orvo/core/core_hashtable.h"
#include "orvo/core/core_stringid.h"
#include "orvo/core/core_version.h"

namespace orvo
{
struct object_t;

// Runs once, just before the memory of the object is freed. A derived
// record's callback releases its own members, then calls object_release.
typedef void (*object_release_t)(object_t& object);

struct object_t
{
    i32 ref_count;  // -1: not counted; changed only by atomic add
    i32 index;      // position in its registry, -1 when in none
    stringid_t id;  // one reference held by the object
    i32 serial;     // with version: the record's (id, version) pair
    i32 version;    // 1 at creation, raised by the owner on every change
    object_release_t release;
};

// Registries index objects by the address of their id's text.
template <>
struct container_traits<object_t*>
{
    typedef const char* key_type;
    static key_type key(object_t* const& object) { return object->id.str; }
    static int compare(key_type a, key_type b)
    {
        uintptr_t x = reinterpret_cast<uintptr_t>(a);
        uintptr_t y = reinterpret_cast<uintptr_t>(b);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    static u64 hash(key_type key) { return static_cast<u64>(reinterpret_cast<uintptr_t>(key)) >> 2; }
};

const u64 OBJECTDB_INITIAL_CAPACITY = 100;
const u64 OBJECTDB_NUM_BUCKETS = 100;

struct objectdb_t
{
    vector_t<object_t*> objects; // insertion order; objects[i]->index == i
    hashtable_t<object_t*> index;
};

// --- objects -------------------------------------------------------------------
// Allocates size bytes (the whole derived record, at least the header) and
// fills the header: count 1, index -1, a counted copy of id, a fresh serial,
// version 1 and release (object_release when null). The derived fields are
// left to the caller, who owns the one reference. The alignment is accepted
// for the call sites' sake; heap blocks suit every record. Null on failure
// (logged).
object_t* object_create(const stringid_t& id, object_release_t release, u64 size, u64 alignment);
// Fills the same header in a record the caller allocated. Such a record must
// never lose its last reference through object_remove_reference, which frees
// with heap_free; give it a count of -1 or keep a reference of your own.
void object_initialise(object_t& object, const stringid_t& id, object_release_t release);
// Atomic +1 unless null or not counted.
void object_add_reference(object_t* object);
// Atomic -1 unless null or not counted; the last reference runs the release
// callback and frees the memory.
void object_remove_reference(object_t* object);
// The default release callback: drops the id's reference and leaves the
// empty id behind.
void object_release(object_t& object);

// --- registry ------------------------------------------------------------------
// An empty registry; false when the index cannot be made.
bool objectdb_initialise(objectdb_t& db);
// Takes over the caller's reference and appends the object. False (logged),
// with the registry unchanged and the reference still the caller's, for a
// null object, an id already registered or storage that cannot grow.
bool objectdb_insert(objectdb_t& db, object_t* object);
// By id; no reference is added.
object_t* objectdb_find(objectdb_t& db, const stringid_t& id);
// Unregisters the object, renumbers the later ones and drops the registry's
// reference. Nothing happens for an id that is not registered.
void objectdb_remove(objectdb_t& db, const stringid_t& id);
u64 objectdb_num(const objectdb_t& db);
// The object at position i in insertion order, or null when i >= count.
object_t* objectdb_get(const objectdb_t& db, u64 i);
// Drops one reference of every object in order, then frees the registry's
// storage. Safe twice and on a zeroed record.
void objectdb_release(objectdb_t& db);
} // namespace orvo
