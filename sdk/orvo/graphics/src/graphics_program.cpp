// Shader programs: their sources in memory.
#include "orvo/graphics/graphics_program.h"

#include "orvo/core/core_version.h"
#include "orvo/graphics/graphics_opengl_interface.h"

namespace orvo
{
// --- Program -----------------------------------------------------------------------

Program::Program() : id(version_object_id<version_id_allocator_t>()), revision(1), instances{nullptr, 0, 0}
{
    stringbuffer_initialise(vertex_source);
    stringbuffer_initialise(fragment_source);
}

Program::~Program()
{
    Release();
}

bool Program::Initialise(const char* vertex, const char* fragment)
{
    // Texts of an earlier Initialise are freed rather than forgotten.
    stringbuffer_release(vertex_source);
    stringbuffer_release(fragment_source);
    OpenGLInterface::Dispose(this);
    if (vertex && *vertex)
        stringbuffer_set(vertex_source, vertex);
    if (fragment && *fragment)
        stringbuffer_set(fragment_source, fragment);
    return true;
}

void Program::Release()
{
    stringbuffer_release(vertex_source);
    stringbuffer_release(fragment_source);
    OpenGLInterface::Dispose(this);
}
} // namespace orvo
