// The context-serial map of a resource's instances: a short array searched
// linearly, since a resource is drawn by a handful of views at a time.
#include "orvo/graphics/graphics_instances.h"

#include "orvo/core/core_memory.h"

#include <cstring>

namespace orvo
{
void* graphics_instances_find(const graphics_instances_t& instances, i32 context)
{
    for (u32 i = 0; i < instances.count; ++i)
    {
        if (instances.entries[i].context == context)
            return instances.entries[i].instance;
    }
    return nullptr;
}

bool graphics_instances_insert(graphics_instances_t& instances, i32 context, void* instance)
{
    for (u32 i = 0; i < instances.count; ++i)
    {
        if (instances.entries[i].context == context)
        {
            instances.entries[i].instance = instance;
            return true;
        }
    }
    if (instances.count == instances.capacity)
    {
        u32 capacity = instances.capacity * 2 + 2;
        void* grown = heap_realloc(instances.entries, instances.capacity * sizeof(graphics_instance_entry_t),
                                   capacity * sizeof(graphics_instance_entry_t), alignof(graphics_instance_entry_t),
                                   ORVO_HEAP_TAG);
        if (!grown)
            return false;
        instances.entries = static_cast<graphics_instance_entry_t*>(grown);
        instances.capacity = capacity;
    }
    instances.entries[instances.count].context = context;
    instances.entries[instances.count].instance = instance;
    ++instances.count;
    return true;
}

void graphics_instances_remove_at(graphics_instances_t& instances, u32 index)
{
    if (index >= instances.count)
        return;
    std::memmove(instances.entries + index, instances.entries + index + 1,
                 (instances.count - index - 1) * sizeof(graphics_instance_entry_t));
    --instances.count;
}

void graphics_instances_clear(graphics_instances_t& instances)
{
    heap_free(instances.entries, ORVO_HEAP_TAG);
    instances.entries = nullptr;
    instances.count = 0;
    instances.capacity = 0;
}
} // namespace orvo
