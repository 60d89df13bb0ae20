// The process-wide dispose lists: one queue per kind of instance for every
// started OpenGL context, keyed by the context's serial. A list exists from
// the context's start to its stop; an instance queued for a context without
// a list is freed at once without OpenGL, and whatever is still queued at
// exit is freed the same way.
#pragma once

#include "orvo/core/core_vector.h"
#include "orvo/graphics/graphics_opengl_interface.h"

namespace orvo
{
struct opengl_disposed_t
{
    vector_t<void*> queues[OPENGL_INSTANCE_KINDS]; // oldest first
};

// A started context gets its list. False (logged) when it cannot be stored:
// the context then deletes nothing later and its instances are only freed.
bool opengl_dispose_register(i32 context);
// True while the context has a list (started and not yet stopped).
bool opengl_dispose_is_live(i32 context);
// Any thread: appends the instance to its context's queue, or frees it
// without OpenGL when the context has stopped or the queue cannot grow.
void opengl_dispose_queue(i32 context, opengl_instance_kind_t kind, void* instance);
// Moves everything queued for the context into out (zeroed vectors that the
// caller releases); with unregister the context's list is removed too.
void opengl_dispose_take(i32 context, bool unregister, opengl_disposed_t& out);
} // namespace orvo
