// What an OpenGL driver is: the context's serial, the version, the maximum
// texture size and the capability flags named after extensions and versions.
// QueryCapabilities reads the current context; ApplyDriverStrings does the
// parsing on strings handed in, so the rules can be checked without a driver.
#pragma once

#include "orvo/core/core_types.h"

namespace orvo
{
const int OPENGL_NUM_CAPABILITIES = 62;
// Renderers known to report more than they can handle are held to this.
const int OPENGL_LIMITED_TEXTURE_SIZE = 4096;

class OpenGLContext
{
public:
    enum Capability : u32
    {
        CAPABILITY_ARB_COLOR_BUFFER_FLOAT = 0,
        CAPABILITY_ARB_COMPATIBILITY = 1,
        CAPABILITY_ARB_COPY_BUFFER = 2,
        CAPABILITY_ARB_DEPTH_BUFFER_FLOAT = 3,
        CAPABILITY_ARB_DEPTH_TEXTURE = 4,
        CAPABILITY_ARB_DRAW_BUFFERS = 5,
        CAPABILITY_ARB_DRAW_INSTANCED = 6,
        CAPABILITY_ARB_FRAGMENT_PROGRAM = 7,
        CAPABILITY_ARB_FRAGMENT_PROGRAM_SHADOW = 8,
        CAPABILITY_ARB_FRAGMENT_SHADER = 9,
        CAPABILITY_ARB_FRAMEBUFFER_OBJECT = 10,
        CAPABILITY_ARB_FRAMEBUFFER_SRGB = 11,
        CAPABILITY_ARB_GEOMETRY_SHADER4 = 12,
        CAPABILITY_ARB_HALF_FLOAT_PIXEL = 13,
        CAPABILITY_ARB_HALF_FLOAT_VERTEX = 14,
        CAPABILITY_ARB_IMAGING = 15,
        CAPABILITY_ARB_INSTANCED_ARRAYS = 16,
        CAPABILITY_ARB_MAP_BUFFER_RANGE = 17,
        CAPABILITY_ARB_MATRIX_PALETTE = 18,
        CAPABILITY_ARB_MULTISAMPLE = 19,
        CAPABILITY_ARB_MULTITEXTURE = 20,
        CAPABILITY_ARB_OCCLUSION_QUERY = 21,
        CAPABILITY_ARB_PIXEL_BUFFER_OBJECT = 22,
        CAPABILITY_ARB_POINT_PARAMETERS = 23,
        CAPABILITY_ARB_POINT_SPRITE = 24,
        CAPABILITY_ARB_SHADER_OBJECTS = 25,
        CAPABILITY_ARB_SHADER_TEXTURE_LOD = 26,
        CAPABILITY_ARB_SHADING_LANGUAGE_100 = 27,
        CAPABILITY_ARB_SHADOW = 28,
        CAPABILITY_ARB_SHADOW_AMBIENT = 29,
        CAPABILITY_ARB_TEXTURE_BORDER_CLAMP = 30,
        CAPABILITY_ARB_TEXTURE_BUFFER_OBJECT = 31,
        CAPABILITY_ARB_TEXTURE_COMPRESSION = 32,
        CAPABILITY_ARB_TEXTURE_COMPRESSION_RGTC = 33,
        CAPABILITY_ARB_TEXTURE_CUBE_MAP = 34,
        CAPABILITY_ARB_TEXTURE_ENV_ADD = 35,
        CAPABILITY_ARB_TEXTURE_ENV_COMBINE = 36,
        CAPABILITY_ARB_TEXTURE_ENV_CROSSBAR = 37,
        CAPABILITY_ARB_TEXTURE_ENV_DOT3 = 38,
        CAPABILITY_ARB_TEXTURE_FLOAT = 39,
        CAPABILITY_ARB_TEXTURE_MIRRORED_REPEAT = 40,
        CAPABILITY_ARB_TEXTURE_NON_POWER_OF_TWO = 41,
        CAPABILITY_ARB_TEXTURE_RECTANGLE = 42,
        CAPABILITY_ARB_TEXTURE_RG = 43,
        CAPABILITY_ARB_TRANSPOSE_MATRIX = 44,
        CAPABILITY_ARB_UNIFORM_BUFFER_OBJECT = 45,
        CAPABILITY_ARB_VERTEX_ARRAY_OBJECT = 46,
        CAPABILITY_ARB_VERTEX_BLEND = 47,
        CAPABILITY_ARB_VERTEX_BUFFER_OBJECT = 48,
        CAPABILITY_ARB_VERTEX_PROGRAM = 49,
        CAPABILITY_ARB_VERTEX_SHADER = 50,
        CAPABILITY_ARB_WINDOW_POS = 51,
        CAPABILITY_VERSION_1_0 = 52,
        CAPABILITY_VERSION_1_1 = 53,
        CAPABILITY_VERSION_1_2 = 54,
        CAPABILITY_VERSION_1_3 = 55,
        CAPABILITY_VERSION_1_4 = 56,
        CAPABILITY_VERSION_1_5 = 57,
        CAPABILITY_VERSION_2_0 = 58,
        CAPABILITY_VERSION_2_1 = 59,
        CAPABILITY_VERSION_3_0 = 60,
        CAPABILITY_VERSION_3_1 = 61,        CAPABILITY_INVALID = 62, // GetCStr gives "invalid"
        CAPABILITY_UNKNOWN = 63, // GetCapability of a null or unknown name
    };

    OpenGLContext();

    // Takes a new context serial and reads the current context's version,
    // limits and extensions (logged), then ApplyDriverStrings' rules.
    void QueryCapabilities();
    // The parsing half of QueryCapabilities: version "major.minor ..." (0.0
    // when it does not begin with a number), the renderer's texture-size
    // rule, extension tokens matched exactly, then CheckVersion. Null strings
    // read as empty.
    void ApplyDriverStrings(const char* version, const char* renderer, const char* extensions,
                            int max_texture_size);
    // Sets the GL_VERSION_* flags from the parsed version, overriding what
    // the extension string said.
    void CheckVersion();
    // One glGetError: true when clear, else logs the error and gives false.
    bool Validate() const;
    bool HasCapability(Capability capability) const;
    // True when the parsed version is at least major.minor.
    bool IsVersionAtLeast(int major, int minor) const;

    static const char* GetCStr(Capability capability);
    static Capability GetCapability(const char* name);
    // Entry points are linked directly; there is nothing to look up.
    static void* GetProc(const char* name);

    i32 context_id; // serial of the context, never reused in a process
    i32 major_version;
    i32 minor_version;
    i32 max_texture_size;
    bool capabilities[OPENGL_NUM_CAPABILITIES];
};
} // namespace orvo
