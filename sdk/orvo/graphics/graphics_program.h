// Shader programs: the GLSL 1.10 sources of a vertex and a fragment shader
// with one compiled OpenGL program per context. The back end compiles and
// links at the first draw in each context and again whenever the revision
// moves; releasing queues the OpenGL programs for deletion.
#pragma once

#include "orvo/core/core_string.h"
#include "orvo/graphics/graphics_instances.h"

namespace orvo
{
class Program
{
public:
    Program();
    // Frees the texts and queues any OpenGL programs left behind.
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Replaces both sources (null or empty leaves that text empty) and drops
    // the OpenGL programs. Always true.
    bool Initialise(const char* vertex_source, const char* fragment_source);
    // Frees both texts and queues the OpenGL programs.
    void Release();

    i32 id;
    i32 revision;
    graphics_instances_t instances; // ProgramInstance per context
    stringbuffer_t vertex_source;
    stringbuffer_t fragment_source;
};
} // namespace orvo
