// Named object headers with atomic reference counts, and the object registry.
#include "orvo/core/core_object.h"

#include "orvo/core/core_log.h"

namespace orvo
{
namespace
{
const i32 OBJECT_NOT_COUNTED = -1;

bool is_counted(const object_t* object)
{
    return object && __atomic_load_n(&object->ref_count, __ATOMIC_RELAXED) != OBJECT_NOT_COUNTED;
}
} // namespace

void object_initialise(object_t& object, const stringid_t& id, object_release_t release)
{
    object.ref_count = 1;
    object.index = -1;
    object.id = id;
    stringid_incref(object.id);
    object.serial = version_object_id<version_id_allocator_t>();
    object.version = 1;
    object.release = release ? release : object_release;
}

object_t* object_create(const stringid_t& id, object_release_t release, u64 size, u64 alignment)
{
    // A derived record always begins with the header; a smaller block would
    // have the header written past its end.
    if (size < sizeof(object_t))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "object_create %s: %llu bytes cannot hold the %llu-byte header",
                   id.str ? id.str : "", (unsigned long long)size, (unsigned long long)sizeof(object_t));
        return nullptr;
    }
    object_t* object = static_cast<object_t*>(heap_alloc(size, alignment, ORVO_HEAP_TAG));
    if (!object)
        return nullptr;
    object_initialise(*object, id, release);
    return object;
}

void object_add_reference(object_t* object)
{
    if (is_counted(object))
        atomic_increment(&object->ref_count);
}

void object_remove_reference(object_t* object)
{
    if (!is_counted(object))
        return;
    // atomic_decrement is acquire-release: the thread that frees sees every
    // write that other holders made before dropping their references.
    if (atomic_decrement(&object->ref_count) == 0)
    {
        object->release(*object);
        heap_free(object, ORVO_HEAP_TAG);
    }
}

void object_release(object_t& object)
{
    stringid_release(object.id);
}

bool objectdb_initialise(objectdb_t& db)
{
    vector_initialise(db.objects, OBJECTDB_INITIAL_CAPACITY, false);
    if (!hashtable_initialise(db.index, OBJECTDB_NUM_BUCKETS))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "objectdb_initialise: cannot create an index of %llu buckets",
                   (unsigned long long)OBJECTDB_NUM_BUCKETS);
        vector_release(db.objects);
        return false;
    }
    return true;
}

bool objectdb_insert(objectdb_t& db, object_t* object)
{
    if (!object)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "objectdb_insert: no object");
        return false;
    }
    if (hashtable_find(db.index, object->id.str))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "objectdb_insert %s: an object with this id is registered",
                   object->id.str);
        return false;
    }
    if (!hashtable_insert(db.index, object))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "objectdb_insert %s: cannot be indexed", object->id.str);
        return false;
    }
    if (!vector_insert(db.objects, object))
    {
        hashtable_remove(db.index, object->id.str);
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "objectdb_insert %s: the list cannot grow", object->id.str);
        return false;
    }
    object->index = static_cast<i32>(db.objects.count - 1);
    return true;
}

object_t* objectdb_find(objectdb_t& db, const stringid_t& id)
{
    object_t** found = hashtable_find(db.index, id.str);
    return found ? *found : nullptr;
}

void objectdb_remove(objectdb_t& db, const stringid_t& id)
{
    object_t** found = hashtable_find(db.index, id.str);
    if (!found)
        return;
    object_t* object = *found;
    hashtable_remove(db.index, id.str);

    u64 position = static_cast<u64>(object->index);
    if (object->index < 0 || position >= db.objects.count || db.objects.data[position] != object)
    {
        // The index field was changed behind the registry's back: find the
        // object by address rather than remove a stranger.
        for (position = 0; position < db.objects.count && db.objects.data[position] != object; ++position)
        {
        }
    }
    if (position < db.objects.count)
    {
        vector_remove(db.objects, position);
        for (u64 i = position; i < db.objects.count; ++i)
            db.objects.data[i]->index = static_cast<i32>(i);
    }
    object->index = -1;
    object_remove_reference(object);
}

u64 objectdb_num(const objectdb_t& db)
{
    return db.objects.count;
}

object_t* objectdb_get(const objectdb_t& db, u64 i)
{
    return i < db.objects.count ? db.objects.data[i] : nullptr;
}

void objectdb_release(objectdb_t& db)
{
    // Detach everything first: a release callback that looks at the registry
    // then finds it empty instead of half torn down.
    vector_t<object_t*> objects = db.objects;
    db.objects = vector_t<object_t*>{nullptr, 0, 0, false};
    hashtable_release(db.index);
    for (u64 i = 0; i < objects.count; ++i)
    {
        objects.data[i]->index = -1;
        object_remove_reference(objects.data[i]);
    }
    vector_release(objects);
}
} // namespace orvo
