// The per-context copies ("instances") of a graphics resource: a small map
// from an OpenGL context's serial to the back end's record for that context.
// Serials are never reused, so a context never meets the instances of one
// that went before it, and any number of contexts may hold copies at once.
// The map belongs to its resource; the instance records belong to the back
// end (graphics_opengl_interface.h), which creates, uploads and disposes them.
#pragma once

#include "orvo/core/core_types.h"

namespace orvo
{
struct graphics_instance_entry_t
{
    i32 context;    // serial of the OpenGL context (OpenGLContext::context_id)
    void* instance; // the back end's record for that context
};

struct graphics_instances_t
{
    graphics_instance_entry_t* entries; // null while no context has a copy
    u32 count;
    u32 capacity;
};

// The instance of a context, or null.
void* graphics_instances_find(const graphics_instances_t& instances, i32 context);
// Adds (or replaces) the entry of a context. False (logged) when the map
// cannot grow; it is then unchanged.
bool graphics_instances_insert(graphics_instances_t& instances, i32 context, void* instance);
// Removes the entry at index, keeping the order of the others.
void graphics_instances_remove_at(graphics_instances_t& instances, u32 index);
// Forgets every entry and frees the map's storage (not the instances).
void graphics_instances_clear(graphics_instances_t& instances);
} // namespace orvo
