// What the rendering device has chosen for the next draw (GraphicsState) and
// the option records of its draw and clear calls. The state points at the
// caller's resources and at shader variables in the device's scope; it owns
// neither.
#pragma once

#include "orvo/core/core_scope.h"
#include "orvo/core/core_version.h"

namespace orvo
{
class VertexBuffer;
class VertexFormat;
class Texture;
class IndexBuffer;
class Program;
class RenderTarget;

const int GRAPHICS_MAX_STREAMS = 16;
const int GRAPHICS_MAX_TEXTURES = 8;

struct GraphicsState
{
    i32 render_size[2]; // what the frame draws into: the window or the target
    i32 window_size[2]; // set by Resize
    i32 num_streams;    // 0 to 16, for the next draw
    scope_variable_t* size_variable;       // "RenderTargetSize"
    scope_variable_t* modelview_variable;  // "gl_ModelViewMatrix"
    scope_variable_t* projection_variable; // "gl_ProjectionMatrix"
    version_t loaded_modelview;  // (serial, version) last loaded into OpenGL
    version_t loaded_projection;
    scope_t variables;
    VertexBuffer* streams[GRAPHICS_MAX_STREAMS];
    VertexFormat* formats[GRAPHICS_MAX_STREAMS];
    Texture* textures[GRAPHICS_MAX_TEXTURES];
    scope_variable_t* texture_variables[GRAPHICS_MAX_TEXTURES]; // "texture0" ...
    IndexBuffer* index_buffer;
    Program* program;            // null: the fixed-function pipeline
    RenderTarget* render_target; // null: the window
};

struct DrawOptions
{
    u32 primitive; // OpenGL mode, GL_POINTS 0 to GL_QUADS 7
    u64 count;     // vertices, or indices of an indexed draw
    u64 first;     // first vertex of a non-indexed draw
    bool indexed;
};

struct ClearOptions
{
    u32 mask; // GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT
    float red;
    float green;
    float blue;
    float alpha;
    float depth;
    i32 stencil;
};

// OpenGL's primitive modes and clear bits, for callers without GL headers.
enum graphics_primitive_t : u32
{
    PRIMITIVE_POINTS = 0,
    PRIMITIVE_LINES = 1,
    PRIMITIVE_LINE_LOOP = 2,
    PRIMITIVE_LINE_STRIP = 3,
    PRIMITIVE_TRIANGLES = 4,
    PRIMITIVE_TRIANGLE_STRIP = 5,
    PRIMITIVE_TRIANGLE_FAN = 6,
    PRIMITIVE_QUADS = 7,
};

const u32 CLEAR_DEPTH_BIT = 0x00000100;
const u32 CLEAR_STENCIL_BIT = 0x00000400;
const u32 CLEAR_COLOUR_BIT = 0x00004000;
} // namespace orvo
