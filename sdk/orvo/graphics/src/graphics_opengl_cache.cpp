// The back end's shadow of OpenGL state.
#include "orvo/graphics/graphics_opengl_cache.h"

#include "graphics_gl.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_memory.h"

#include <cstring>

namespace orvo
{
namespace
{
const u32 client_array_names[OPENGL_CACHE_CLIENT_ARRAYS] = {GL_VERTEX_ARRAY, GL_COLOR_ARRAY, GL_TEXTURE_COORD_ARRAY,
                                                            GL_NORMAL_ARRAY, 0};
const u32 target_names[OPENGL_CACHE_TEXTURE_TARGETS] = {GL_TEXTURE_1D, GL_TEXTURE_2D, GL_TEXTURE_3D};
} // namespace

OpenGLCache::OpenGLCache() : max_vertex_attributes(0), attribute_flags(nullptr)
{
    active_texture_unit = GL_TEXTURE0;
    bound_array_buffer = 0;
    clear_colour[0] = clear_colour[1] = clear_colour[2] = clear_colour[3] = 0.0f;
    clear_depth = 1.0;
    clear_stencil = 0;
    std::memset(client_arrays, 0, sizeof(client_arrays));
    std::memset(texture_units, 0, sizeof(texture_units));
}

void OpenGLCache::CacheReset()
{
    active_texture_unit = GL_TEXTURE0;
    bound_array_buffer = 0;
    clear_colour[0] = clear_colour[1] = clear_colour[2] = clear_colour[3] = 0.0f;
    clear_depth = 1.0;
    clear_stencil = 0;
    for (int i = 0; i < OPENGL_CACHE_CLIENT_ARRAYS; ++i)
        client_arrays[i] = opengl_cache_array_t{false, client_array_names[i]};
    for (int unit = 0; unit < OPENGL_CACHE_TEXTURE_UNITS; ++unit)
    {
        for (int t = 0; t < OPENGL_CACHE_TEXTURE_TARGETS; ++t)
            texture_units[unit][t] = opengl_cache_target_t{false, target_names[t], 0};
    }
    CacheRelease();
    if (IsVersionAtLeast(2, 0))
    {
        GLint count = 0;
        glGetIntegerv(GL_MAX_VERTEX_ATTRIBS, &count);
        if (count > 0)
        {
            attribute_flags = static_cast<u8*>(heap_alloc(static_cast<u64>(count), 1, ORVO_HEAP_TAG));
            if (attribute_flags)
            {
                std::memset(attribute_flags, 0, static_cast<size_t>(count));
                max_vertex_attributes = count;
            }
            else
            {
                log_write(LOGLEVEL_ERROR, LOGMODULE_GRAPHICS, "Failed to allocate cache for vertex attrib array");
            }
        }
    }
}

void OpenGLCache::CacheSync()
{
    for (int unit = 0; unit < OPENGL_CACHE_TEXTURE_UNITS; ++unit)
    {
        for (int t = 0; t < OPENGL_CACHE_TEXTURE_TARGETS; ++t)
        {
            opengl_cache_target_t& record = texture_units[unit][t];
            if (!record.enabled)
                continue;
            record.enabled = false;
            CacheActiveTexture(static_cast<u32>(unit));
            glDisable(record.target);
        }
    }
    for (int i = 0; i < OPENGL_CACHE_CLIENT_ARRAYS; ++i)
    {
        if (!client_arrays[i].enabled)
            continue;
        client_arrays[i].enabled = false;
        glDisableClientState(client_arrays[i].array);
    }
    for (i32 i = 0; i < max_vertex_attributes; ++i)
    {
        if (!attribute_flags[i])
            continue;
        attribute_flags[i] = 0;
        glDisableVertexAttribArray(static_cast<GLuint>(i));
    }
}

void OpenGLCache::CacheRelease()
{
    heap_free(attribute_flags, ORVO_HEAP_TAG);
    attribute_flags = nullptr;
    max_vertex_attributes = 0;
}

void OpenGLCache::CacheActiveTexture(u32 unit_index)
{
    u32 unit = GL_TEXTURE0 + unit_index;
    if (active_texture_unit == unit)
        return;
    active_texture_unit = unit;
    glActiveTexture(unit);
}

void OpenGLCache::CacheBindTexture2D(u32 name)
{
    u32 unit = active_texture_unit - GL_TEXTURE0;
    if (unit >= static_cast<u32>(OPENGL_CACHE_TEXTURE_UNITS))
    {
        glBindTexture(GL_TEXTURE_2D, name);
        return;
    }
    opengl_cache_target_t& record = texture_units[unit][OPENGL_CACHE_TARGET_2D];
    if (record.bound == name)
        return;
    record.bound = name;
    glBindTexture(GL_TEXTURE_2D, name);
}

void OpenGLCache::CacheEnableTexture2D()
{
    u32 unit = active_texture_unit - GL_TEXTURE0;
    if (unit >= static_cast<u32>(OPENGL_CACHE_TEXTURE_UNITS))
        return;
    opengl_cache_target_t& record = texture_units[unit][OPENGL_CACHE_TARGET_2D];
    if (record.enabled)
        return;
    record.enabled = true;
    glEnable(GL_TEXTURE_2D);
}

void OpenGLCache::CacheBindArrayBuffer(u32 name)
{
    if (bound_array_buffer == name)
        return;
    bound_array_buffer = name;
    glBindBuffer(GL_ARRAY_BUFFER, name);
}

void OpenGLCache::CacheEnableClientArray(opengl_client_array_t slot)
{
    opengl_cache_array_t& record = client_arrays[slot];
    if (record.enabled)
        return;
    record.enabled = true;
    glEnableClientState(record.array);
}

void OpenGLCache::CacheEnableAttribArray(i32 location)
{
    if (location < 0)
        return;
    if (location < max_vertex_attributes)
    {
        if (attribute_flags[location])
            return;
        attribute_flags[location] = 1;
    }
    glEnableVertexAttribArray(static_cast<GLuint>(location));
}

void OpenGLCache::CacheForgetTexture(u32 name)
{
    if (name == 0)
        return;
    for (int unit = 0; unit < OPENGL_CACHE_TEXTURE_UNITS; ++unit)
    {
        for (int t = 0; t < OPENGL_CACHE_TEXTURE_TARGETS; ++t)
        {
            // OpenGL itself falls back to texture 0 where a deleted name was bound.
            if (texture_units[unit][t].bound == name)
                texture_units[unit][t].bound = 0;
        }
    }
}

void OpenGLCache::CacheForgetBuffer(u32 name)
{
    if (name != 0 && bound_array_buffer == name)
        bound_array_buffer = 0;
}
} // namespace orvo
