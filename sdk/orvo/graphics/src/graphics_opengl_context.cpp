// Reading and parsing what the OpenGL driver reports.
#include "orvo/graphics/graphics_opengl_context.h"

#include "graphics_gl.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_version.h"

#include <cstdio>
#include <cstring>

namespace orvo
{
namespace
{
const char* const capability_names[OPENGL_NUM_CAPABILITIES + 1] = {
    "GL_ARB_color_buffer_float",
    "GL_ARB_compatibility",
    "GL_ARB_copy_buffer",
    "GL_ARB_depth_buffer_float",
    "GL_ARB_depth_texture",
    "GL_ARB_draw_buffers",
    "GL_ARB_draw_instanced",
    "GL_ARB_fragment_program",
    "GL_ARB_fragment_program_shadow",
    "GL_ARB_fragment_shader",
    "GL_ARB_framebuffer_object",
    "GL_ARB_framebuffer_sRGB",
    "GL_ARB_geometry_shader4",
    "GL_ARB_half_float_pixel",
    "GL_ARB_half_float_vertex",
    "GL_ARB_imaging",
    "GL_ARB_instanced_arrays",
    "GL_ARB_map_buffer_range",
    "GL_ARB_matrix_palette",
    "GL_ARB_multisample",
    "GL_ARB_multitexture",
    "GL_ARB_occlusion_query",
    "GL_ARB_pixel_buffer_object",
    "GL_ARB_point_parameters",
    "GL_ARB_point_sprite",
    "GL_ARB_shader_objects",
    "GL_ARB_shader_texture_lod",
    "GL_ARB_shading_language_100",
    "GL_ARB_shadow",
    "GL_ARB_shadow_ambient",
    "GL_ARB_texture_border_clamp",
    "GL_ARB_texture_buffer_object",
    "GL_ARB_texture_compression",
    "GL_ARB_texture_compression_rgtc",
    "GL_ARB_texture_cube_map",
    "GL_ARB_texture_env_add",
    "GL_ARB_texture_env_combine",
    "GL_ARB_texture_env_crossbar",
    "GL_ARB_texture_env_dot3",
    "GL_ARB_texture_float",
    "GL_ARB_texture_mirrored_repeat",
    "GL_ARB_texture_non_power_of_two",
    "GL_ARB_texture_rectangle",
    "GL_ARB_texture_rg",
    "GL_ARB_transpose_matrix",
    "GL_ARB_uniform_buffer_object",
    "GL_ARB_vertex_array_object",
    "GL_ARB_vertex_blend",
    "GL_ARB_vertex_buffer_object",
    "GL_ARB_vertex_program",
    "GL_ARB_vertex_shader",
    "GL_ARB_window_pos",
    "GL_VERSION_1_0",
    "GL_VERSION_1_1",
    "GL_VERSION_1_2",
    "GL_VERSION_1_3",
    "GL_VERSION_1_4",
    "GL_VERSION_1_5",
    "GL_VERSION_2_0",
    "GL_VERSION_2_1",
    "GL_VERSION_3_0",
    "GL_VERSION_3_1",    "invalid",
};

const int first_version_capability = OpenGLContext::CAPABILITY_VERSION_1_0;

// The versions the GL_VERSION_* flags stand for, in flag order.
const int version_flags[10][2] = {{1, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {2, 0}, {2, 1}, {3, 0}, {3, 1}};

const char* text_or_empty(const char* text)
{
    return text ? text : "";
}

// Calls visit(word, length) for every run of bytes between blanks.
template <typename Visit>
void for_each_word(const char* text, Visit visit)
{
    const char* p = text;
    while (*p)
    {
        while (*p == ' ')
            ++p;
        const char* start = p;
        while (*p && *p != ' ')
            ++p;
        if (p > start)
            visit(start, static_cast<size_t>(p - start));
    }
}

bool word_equals_lower(const char* word, size_t length, const char* lower)
{
    if (std::strlen(lower) != length)
        return false;
    for (size_t i = 0; i < length; ++i)
    {
        char c = word[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i])
            return false;
    }
    return true;
}

const char* gl_string(GLenum name)
{
    return reinterpret_cast<const char*>(glGetString(name));
}
} // namespace

OpenGLContext::OpenGLContext() : context_id(0), major_version(0), minor_version(0), max_texture_size(0)
{
    std::memset(capabilities, 0, sizeof(capabilities));
}

void OpenGLContext::QueryCapabilities()
{
    context_id = version_object_id<OpenGLContext>();
    if (!Validate())
        log_write(LOGLEVEL_WARNING, LOGMODULE_GRAPHICS, "OpenGL error occuring prior to usage");

    const char* version = gl_string(GL_VERSION);
    const char* renderer = gl_string(GL_RENDERER);
    const char* vendor = gl_string(GL_VENDOR);
    GLint texture_size = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &texture_size);

    int major = 0;
    int minor = 0;
    if (!version || std::sscanf(version, "%20d.%20d", &major, &minor) < 1)
        major = 0;
    const char* shading = "not supported";
    GLint attributes = 0;
    if (major >= 2)
    {
        shading = text_or_empty(gl_string(GL_SHADING_LANGUAGE_VERSION));
        glGetIntegerv(GL_MAX_VERTEX_ATTRIBS, &attributes);
    }
    if (log_lock(LOGLEVEL_INFO, LOGMODULE_GRAPHICS))
    {
        log_print("Driver details:");
        log_printf("\nOpenGL Vendor: %s", text_or_empty(vendor));
        log_printf("\nOpenGL Renderer: %s", text_or_empty(renderer));
        log_printf("\nOpenGL Version: %s", text_or_empty(version));
        log_printf("\nOpenGL Max Texture Size: %d", static_cast<int>(texture_size));
        log_printf("\nOpenGL Shader Version: %s", shading);
        log_printf("\nOpenGL Shader Max Vertex Attribs: %d", static_cast<int>(attributes));
        log_unlock();
    }

    const char* extensions = gl_string(GL_EXTENSIONS);
    log_writef(LOGLEVEL_VERBOSE, LOGMODULE_GRAPHICS, "OpenGL Extensions: %s", text_or_empty(extensions));
    ApplyDriverStrings(version, renderer, extensions, static_cast<int>(texture_size));

    if (log_lock(LOGLEVEL_INFO, LOGMODULE_GRAPHICS))
    {
        log_print("Supported OpenGL extensions:");
        for (int i = 0; i < OPENGL_NUM_CAPABILITIES; ++i)
        {
            if (capabilities[i])
                log_printf("\n%s", capability_names[i]);
        }
        log_unlock();
    }
    Validate();
}

void OpenGLContext::ApplyDriverStrings(const char* version, const char* renderer, const char* extensions,
                                       int texture_size)
{
    major_version = 0;
    minor_version = 0;
    int major = 0;
    int minor = 0;
    int parsed = std::sscanf(text_or_empty(version), "%20d.%20d", &major, &minor);
    if (parsed >= 1 && major > 0)
    {
        major_version = major;
        minor_version = parsed >= 2 && minor >= 0 ? minor : 0;
    }

    max_texture_size = texture_size;
    if (max_texture_size > OPENGL_LIMITED_TEXTURE_SIZE)
    {
        bool intel = false;
        bool radeon = false;
        bool hd = false;
        for_each_word(text_or_empty(renderer), [&](const char* word, size_t length) {
            intel = intel || word_equals_lower(word, length, "intel");
            radeon = radeon || word_equals_lower(word, length, "radeon");
            hd = hd || word_equals_lower(word, length, "hd");
        });
        if (intel)
        {
            max_texture_size = OPENGL_LIMITED_TEXTURE_SIZE;
            log_writef(LOGLEVEL_WARNING, LOGMODULE_GRAPHICS, "Forcing max texture size for Intel to %d",
                       max_texture_size);
        }
        else if (radeon && hd)
        {
            max_texture_size = OPENGL_LIMITED_TEXTURE_SIZE;
            log_writef(LOGLEVEL_WARNING, LOGMODULE_GRAPHICS, "Forcing max texture size for AMD Radeon HD to %d",
                       max_texture_size);
        }
    }

    std::memset(capabilities, 0, sizeof(capabilities));
    for_each_word(text_or_empty(extensions), [&](const char* word, size_t length) {
        for (int i = 0; i < OPENGL_NUM_CAPABILITIES; ++i)
        {
            if (std::strlen(capability_names[i]) == length && std::memcmp(capability_names[i], word, length) == 0)
            {
                capabilities[i] = true;
                break;
            }
        }
    });
    CheckVersion();
}

void OpenGLContext::CheckVersion()
{
    for (int i = 0; i < 10; ++i)
    {
        bool reached;
        if (major_version <= 0)
            reached = false;
        else if (major_version >= 4)
            reached = true;
        else
            reached = major_version > version_flags[i][0] ||
                      (major_version == version_flags[i][0] && minor_version >= version_flags[i][1]);
        capabilities[first_version_capability + i] = reached;
    }
}

bool OpenGLContext::Validate() const
{
    GLenum error = glGetError();
    if (error == GL_NO_ERROR)
        return true;
    static const char* const names[] = {"GL_INVALID_ENUM",     "GL_INVALID_VALUE",    "GL_INVALID_OPERATION",
                                        "GL_STACK_OVERFLOW",   "GL_STACK_UNDERFLOW",  "GL_OUT_OF_MEMORY",
                                        "GL_INVALID_FRAMEBUFFER_OPERATION"};
    if (error >= 0x500 && error <= 0x506)
        log_writef(LOGLEVEL_WARNING, LOGMODULE_GRAPHICS, "OpenGL Error: %s", names[error - 0x500]);
    else
        log_writef(LOGLEVEL_WARNING, LOGMODULE_GRAPHICS, "Invalid OpenGL error: %d", static_cast<int>(error));
    return false;
}

bool OpenGLContext::HasCapability(Capability capability) const
{
    return capability < static_cast<u32>(OPENGL_NUM_CAPABILITIES) && capabilities[capability];
}

bool OpenGLContext::IsVersionAtLeast(int major, int minor) const
{
    return major_version > major || (major_version == major && minor_version >= minor);
}

const char* OpenGLContext::GetCStr(Capability capability)
{
    if (capability > CAPABILITY_INVALID)
        return capability_names[CAPABILITY_INVALID];
    return capability_names[capability];
}

OpenGLContext::Capability OpenGLContext::GetCapability(const char* name)
{
    if (!name)
        return CAPABILITY_UNKNOWN;
    for (int i = 0; i < OPENGL_NUM_CAPABILITIES; ++i)
    {
        if (std::strcmp(capability_names[i], name) == 0)
            return static_cast<Capability>(i);
    }
    return CAPABILITY_UNKNOWN;
}

void* OpenGLContext::GetProc(const char*)
{
    return nullptr;
}
} // namespace orvo
