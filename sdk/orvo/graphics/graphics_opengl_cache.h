// A shadow of the OpenGL state the back end changes: the active texture
// unit, the texture bound per unit, the bound array buffer, the clear values
// and what the current draw enabled (texture targets, client arrays, generic
// attribute arrays), so repeated calls are skipped and every draw's
// enables are undone after it. Code outside the back end that binds
// textures or buffers behind it makes the shadow wrong.
#pragma once

#include "orvo/graphics/graphics_opengl_context.h"

namespace orvo
{
const int OPENGL_CACHE_TEXTURE_UNITS = 8;
const int OPENGL_CACHE_TEXTURE_TARGETS = 3; // 1D, 2D (the one used), 3D
const int OPENGL_CACHE_TARGET_2D = 1;
const int OPENGL_CACHE_CLIENT_ARRAYS = 5;

struct opengl_cache_array_t
{
    bool enabled; // by the current draw
    u32 array;    // GL_VERTEX_ARRAY, ...
};

struct opengl_cache_target_t
{
    bool enabled; // by the current draw
    u32 target;   // GL_TEXTURE_2D, ...
    u32 bound;    // texture name bound to the target on this unit
};

// Client-array slots, in the order the cache keeps them.
enum opengl_client_array_t
{
    OPENGL_ARRAY_VERTEX = 0,
    OPENGL_ARRAY_COLOUR = 1,
    OPENGL_ARRAY_TEXCOORD = 2,
    OPENGL_ARRAY_NORMAL = 3,
};

class OpenGLCache : public OpenGLContext
{
public:
    OpenGLCache();

    // Forgets everything (active unit GL_TEXTURE0, nothing bound, clear
    // values 0, 0, 0, 0 / 1.0 / 0) and, from version 2.0, allocates zeroed
    // attribute flags for GL_MAX_VERTEX_ATTRIBS (logged, none, on failure).
    void CacheReset();
    // Disables every texture target, client array and attribute array the
    // last draw enabled; bound names stay recorded.
    void CacheSync();
    // Frees the attribute flags.
    void CacheRelease();

    // The binds and enables of a draw, each calling OpenGL only on a change.
    void CacheActiveTexture(u32 unit_index);
    void CacheBindTexture2D(u32 name);
    void CacheEnableTexture2D();
    void CacheBindArrayBuffer(u32 name);
    void CacheEnableClientArray(opengl_client_array_t slot);
    void CacheEnableAttribArray(i32 location);
    // A deleted texture or buffer name is forgotten wherever it is recorded
    // as bound, so a driver that hands the name out again is bound afresh.
    void CacheForgetTexture(u32 name);
    void CacheForgetBuffer(u32 name);

    i32 max_vertex_attributes;
    u32 active_texture_unit; // GL_TEXTURE0 + n
    u32 bound_array_buffer;
    float clear_colour[4];
    double clear_depth;
    i32 clear_stencil;
    opengl_cache_array_t client_arrays[OPENGL_CACHE_CLIENT_ARRAYS];
    opengl_cache_target_t texture_units[OPENGL_CACHE_TEXTURE_UNITS][OPENGL_CACHE_TEXTURE_TARGETS];
    u8* attribute_flags; // max_vertex_attributes bytes, 1 where this draw enabled the array
};
} // namespace orvo
