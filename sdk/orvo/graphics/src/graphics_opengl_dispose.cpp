// Dispose lists of the started contexts, under one mutex that is held only
// to append an instance or to take a context's whole queue.
#include "graphics_opengl_dispose.h"

#include "orvo/core/core_log.h"
#include "orvo/core/core_memory.h"

#include <pthread.h>
#include <cstring>

namespace orvo
{
namespace
{
struct dispose_list_t
{
    i32 context;
    opengl_disposed_t disposed;
};

void free_queued(opengl_disposed_t& disposed)
{
    for (int kind = 0; kind < OPENGL_INSTANCE_KINDS; ++kind)
    {
        vector_t<void*>& queue = disposed.queues[kind];
        for (u64 i = 0; i < queue.count; ++i)
            opengl_instance_free(static_cast<opengl_instance_kind_t>(kind), queue.data[i]);
        vector_release(queue);
    }
}

// Constant-initialised, so usable by resources of static storage before main
// and, through the destroyed flag, after its own destructor has run.
struct dispose_registry_t
{
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    dispose_list_t* lists = nullptr;
    u32 count = 0;
    u32 capacity = 0;
    bool destroyed = false;

    ~dispose_registry_t()
    {
        pthread_mutex_lock(&mutex);
        for (u32 i = 0; i < count; ++i)
            free_queued(lists[i].disposed);
        heap_free(lists, ORVO_HEAP_TAG);
        lists = nullptr;
        count = 0;
        capacity = 0;
        destroyed = true;
        pthread_mutex_unlock(&mutex);
    }

    dispose_list_t* find(i32 context)
    {
        for (u32 i = 0; i < count; ++i)
        {
            if (lists[i].context == context)
                return &lists[i];
        }
        return nullptr;
    }
};

dispose_registry_t registry;

struct registry_lock_t
{
    registry_lock_t() { pthread_mutex_lock(&registry.mutex); }
    ~registry_lock_t() { pthread_mutex_unlock(&registry.mutex); }
};
} // namespace

bool opengl_dispose_register(i32 context)
{
    registry_lock_t lock;
    if (registry.destroyed)
        return false;
    if (registry.find(context))
        return true;
    if (registry.count == registry.capacity)
    {
        u32 capacity = registry.capacity * 2 + 2;
        void* grown = heap_realloc(registry.lists, registry.capacity * sizeof(dispose_list_t),
                                   capacity * sizeof(dispose_list_t), alignof(dispose_list_t), ORVO_HEAP_TAG);
        if (!grown)
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS, "OpenGL (%d): no dispose list, its objects are not deleted",
                       context);
            return false;
        }
        registry.lists = static_cast<dispose_list_t*>(grown);
        registry.capacity = capacity;
    }
    dispose_list_t& list = registry.lists[registry.count++];
    std::memset(&list, 0, sizeof(list));
    list.context = context;
    return true;
}

bool opengl_dispose_is_live(i32 context)
{
    registry_lock_t lock;
    return registry.find(context) != nullptr;
}

void opengl_dispose_queue(i32 context, opengl_instance_kind_t kind, void* instance)
{
    if (!instance)
        return;
    {
        registry_lock_t lock;
        dispose_list_t* list = registry.find(context);
        if (list && vector_insert(list->disposed.queues[kind], instance))
            return;
    }
    // The context has stopped (its OpenGL objects went with it) or the queue
    // cannot grow: only the record is left to free.
    opengl_instance_free(kind, instance);
}

void opengl_dispose_take(i32 context, bool unregister, opengl_disposed_t& out)
{
    std::memset(&out, 0, sizeof(out));
    registry_lock_t lock;
    dispose_list_t* list = registry.find(context);
    if (!list)
        return;
    out = list->disposed;
    std::memset(&list->disposed, 0, sizeof(list->disposed));
    if (unregister)
    {
        u32 index = static_cast<u32>(list - registry.lists);
        std::memmove(registry.lists + index, registry.lists + index + 1,
                     (registry.count - index - 1) * sizeof(dispose_list_t));
        --registry.count;
    }
}
} // namespace orvo
