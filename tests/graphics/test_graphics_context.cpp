// The back end on driver strings handed in: versions and the function set
// they select, version flags, exact extension tokens, the renderer's texture
// size rule and null strings.
#include "orvo/graphics/graphics_device.h"
#include "orvo/graphics/graphics_program.h"
#include "orvo/graphics/graphics_rendertarget.h"
#include "orvo/graphics/graphics_vertex.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <string>

using namespace orvo;

namespace
{
const int kFirstVersionFlag = OpenGLContext::CAPABILITY_VERSION_1_0;

// The version flags set, as "1.0 1.1 ..." for readable failures.
std::string VersionFlags(const OpenGLContext& context)
{
    static const char* const names[10] = {"1.0", "1.1", "1.2", "1.3", "1.4", "1.5", "2.0", "2.1", "3.0", "3.1"};
    std::string flags;
    for (int i = 0; i < 10; ++i)
    {
        if (context.capabilities[kFirstVersionFlag + i])
            flags += flags.empty() ? names[i] : std::string(" ") + names[i];
    }
    return flags;
}
} // namespace

TEST(DriverStrings, VersionSelectsTheFunctionSetAndFlags)
{
    const struct
    {
        const char* version;
        int major, minor;
        opengl_function_set_t set;
        const char* log_line;
        const char* flags;
    } cases[] = {
        {"2.1 Mesa 22.3.6", 2, 1, OPENGL_SET_2_0, "Selected interface for OpenGL v2.0",
         "1.0 1.1 1.2 1.3 1.4 1.5 2.0 2.1"},
        {"1.4", 1, 4, OPENGL_SET_1_4, "Selected interface for OpenGL v1.4", "1.0 1.1 1.2 1.3 1.4"},
        {"1.5.0 NVIDIA", 1, 5, OPENGL_SET_1_5, "Selected interface for OpenGL v1.5", "1.0 1.1 1.2 1.3 1.4 1.5"},
        {"3.0 Mesa", 3, 0, OPENGL_SET_3_0, "Selected interface for OpenGL v3.0",
         "1.0 1.1 1.2 1.3 1.4 1.5 2.0 2.1 3.0"},
        {"4.5 (Compatibility Profile) Mesa", 4, 5, OPENGL_SET_3_0, "Selected interface for OpenGL v3.0",
         "1.0 1.1 1.2 1.3 1.4 1.5 2.0 2.1 3.0 3.1"},
        {"1.1 Mesa", 1, 1, OPENGL_SET_1_1, "Selected interface for OpenGL v1.1", "1.0 1.1"},
        {"1.3", 1, 3, OPENGL_SET_1_1, "Selected interface for OpenGL v1.1", "1.0 1.1 1.2 1.3"},
        {"OpenGL ES 3.2", 0, 0, OPENGL_SET_1_1, "Selected interface for OpenGL v1.1", ""},
        {"", 0, 0, OPENGL_SET_1_1, "Selected interface for OpenGL v1.1", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.version);
        lumivane_test::LogCapture log;
        GraphicsDevice device;
        // The extension string claims every version; the parsed one wins.
        device.ApplyDriverStrings(c.version, "llvmpipe",
                                  "GL_VERSION_1_0 GL_VERSION_2_1 GL_VERSION_3_0 GL_VERSION_3_1 GL_ARB_multitexture",
                                  4096);
        EXPECT_EQ(c.major, device.major_version);
        EXPECT_EQ(c.minor, device.minor_version);
        EXPECT_EQ(c.flags, VersionFlags(device));
        EXPECT_TRUE(device.HasCapability(OpenGLContext::CAPABILITY_ARB_MULTITEXTURE));
        device.SelectInterface();
        EXPECT_EQ(c.set, device.selected_set);
        EXPECT_EQ(1u, log.Count(c.log_line));
        device.CacheRelease();
    }
}

TEST(DriverStrings, SetsWithoutAnEntryRefuseThatResource)
{
    // Only entries a set lacks are exercised here: their NULL Create makes
    // no instance and calls no OpenGL, so no context is needed.
    const struct
    {
        const char* version;
        bool programs, buffers, formats, targets;
    } cases[] = {
        {"1.1", false, false, false, false}, {"1.4", false, false, false, false}, {"1.5", false, true, false, false},
        {"2.0", true, true, true, false},    {"3.0", true, true, true, true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.version);
        lumivane_test::LogCapture log;
        GraphicsDevice device;
        device.ApplyDriverStrings(c.version, "", "", 2048);
        device.SelectInterface();
        Program program;
        program.Initialise("void main() {}", "void main() {}");
        VertexBuffer buffer;
        ASSERT_TRUE(buffer.Initialise(16));
        VertexFormat format;
        RenderTarget target;
        size_t refused = 0;
        if (!c.programs)
        {
            EXPECT_FALSE(device.PrepareProgram(program));
            ++refused;
        }
        if (!c.buffers)
        {
            EXPECT_FALSE(device.PrepareVertexBuffer(buffer));
            ++refused;
        }
        if (!c.formats)
        {
            EXPECT_FALSE(device.PrepareVertexFormat(format));
            ++refused;
        }
        if (!c.targets)
        {
            EXPECT_FALSE(device.PrepareRenderTarget(target));
            ++refused;
        }
        EXPECT_EQ(refused, log.Count("Failed to create OpenGL object instance"));
        EXPECT_EQ(0u, program.instances.count);
        EXPECT_EQ(0u, buffer.instances.count);
        program.Release();
        buffer.Release();
        device.CacheRelease();
    }
}

TEST(DriverStrings, ExtensionTokensMatchExactly)
{
    GraphicsDevice device;
    device.ApplyDriverStrings("2.1", "", "GL_ARB_shadow_ambient  GL_ARB_texture_non_power_of_two_x GL_ARB_imaging",
                              2048);
    EXPECT_TRUE(device.HasCapability(OpenGLContext::CAPABILITY_ARB_SHADOW_AMBIENT));
    EXPECT_FALSE(device.HasCapability(OpenGLContext::CAPABILITY_ARB_SHADOW));
    EXPECT_FALSE(device.HasCapability(OpenGLContext::CAPABILITY_ARB_TEXTURE_NON_POWER_OF_TWO));
    EXPECT_TRUE(device.HasCapability(OpenGLContext::CAPABILITY_ARB_IMAGING));

    // Capabilities from an earlier context do not survive a new string.
    device.ApplyDriverStrings("2.1", "", "GL_ARB_texture_non_power_of_two", 2048);
    EXPECT_FALSE(device.HasCapability(OpenGLContext::CAPABILITY_ARB_SHADOW_AMBIENT));
    EXPECT_TRUE(device.HasCapability(OpenGLContext::CAPABILITY_ARB_TEXTURE_NON_POWER_OF_TWO));
}

TEST(DriverStrings, RendererTextureSizeRule)
{
    const struct
    {
        const char* renderer;
        int reported;
        int expected;
        const char* warning; // null: none
    } cases[] = {
        {"Mesa DRI Intel(R) HD Graphics", 16384, 16384, nullptr}, // "Intel(R)" is not the word "intel"
        {"Mesa DRI INTEL HD Graphics 620", 16384, 4096, "Forcing max texture size for Intel to 4096"},
        {"AMD Radeon HD 7700 Series", 16384, 4096, "Forcing max texture size for AMD Radeon HD to 4096"},
        {"AMD Radeon Pro 560", 16384, 16384, nullptr},
        {"Intel Iris", 4096, 4096, nullptr},
        {"intel", 2048, 2048, nullptr},
        {nullptr, 16384, 16384, nullptr},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.renderer ? c.renderer : "(null)");
        lumivane_test::LogCapture log;
        OpenGLContext context;
        context.ApplyDriverStrings("2.1", c.renderer, "", c.reported);
        EXPECT_EQ(c.expected, context.max_texture_size);
        EXPECT_EQ(c.warning ? 1u : 0u, log.Count("Forcing max texture size"));
        if (c.warning)
        {
            EXPECT_TRUE(log.Contains(c.warning));
        }
    }
}

TEST(DriverStrings, NullStringsAreSafe)
{
    OpenGLContext context;
    context.ApplyDriverStrings(nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(0, context.major_version);
    EXPECT_EQ(0, context.minor_version);
    EXPECT_EQ(0, context.max_texture_size);
    for (int i = 0; i < OPENGL_NUM_CAPABILITIES; ++i)
        EXPECT_FALSE(context.capabilities[i]) << OpenGLContext::GetCStr(static_cast<OpenGLContext::Capability>(i));
}

TEST(DriverStrings, CapabilityNamesBothWays)
{
    EXPECT_STREQ("GL_ARB_color_buffer_float", OpenGLContext::GetCStr(OpenGLContext::CAPABILITY_ARB_COLOR_BUFFER_FLOAT));
    EXPECT_STREQ("GL_ARB_texture_non_power_of_two", OpenGLContext::GetCStr(static_cast<OpenGLContext::Capability>(41)));
    EXPECT_STREQ("GL_VERSION_1_0", OpenGLContext::GetCStr(static_cast<OpenGLContext::Capability>(52)));
    EXPECT_STREQ("GL_VERSION_3_1", OpenGLContext::GetCStr(static_cast<OpenGLContext::Capability>(61)));
    EXPECT_STREQ("invalid", OpenGLContext::GetCStr(OpenGLContext::CAPABILITY_INVALID));
    for (int i = 0; i < OPENGL_NUM_CAPABILITIES; ++i)
    {
        OpenGLContext::Capability capability = static_cast<OpenGLContext::Capability>(i);
        EXPECT_EQ(capability, OpenGLContext::GetCapability(OpenGLContext::GetCStr(capability)));
    }
    EXPECT_EQ(OpenGLContext::CAPABILITY_UNKNOWN, OpenGLContext::GetCapability(nullptr));
    EXPECT_EQ(OpenGLContext::CAPABILITY_UNKNOWN, OpenGLContext::GetCapability("GL_ARB_shadow "));
    EXPECT_EQ(OpenGLContext::CAPABILITY_UNKNOWN, OpenGLContext::GetCapability("invalid"));
    EXPECT_EQ(nullptr, OpenGLContext::GetProc("glBindBuffer"));
}

TEST(DeviceWithoutContext, StopBeforeStartAndPrimitiveCounts)
{
    GraphicsDevice device;
    EXPECT_FALSE(device.started);
    EXPECT_EQ(0, device.context_id);
    EXPECT_EQ(1.0, device.clear_depth);
    device.Stop(); // only the attribute cache, which is empty
    EXPECT_FALSE(device.started);

    const struct
    {
        u32 primitive;
        u64 count;
        u64 primitives;
    } cases[] = {{PRIMITIVE_POINTS, 5, 5},         {PRIMITIVE_LINES, 5, 2},          {PRIMITIVE_LINE_LOOP, 5, 0},
                 {PRIMITIVE_LINE_STRIP, 5, 4},     {PRIMITIVE_TRIANGLES, 7, 2},      {PRIMITIVE_TRIANGLE_STRIP, 4, 2},
                 {PRIMITIVE_TRIANGLE_FAN, 5, 3},   {PRIMITIVE_QUADS, 9, 2},          {8, 9, 0},
                 {PRIMITIVE_TRIANGLE_STRIP, 1, 0}, {PRIMITIVE_LINE_STRIP, 0, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(c.primitives, graphics_count_primitives(c.primitive, c.count)) << c.primitive << " x " << c.count;
}

TEST(DeviceWithoutContext, SlotsAndStreamsBeyondTheLimitsAreIgnored)
{
    GraphicsDevice device;
    Texture texture;
    device.SetTexture(texture, 8);
    device.SetTexture(texture, -1);
    for (int i = 0; i < GRAPHICS_MAX_TEXTURES; ++i)
        EXPECT_EQ(nullptr, device.state.textures[i]);
    device.SetTexture(texture, 7);
    EXPECT_EQ(&texture, device.state.textures[7]);

    VertexBuffer buffer;
    VertexFormat format;
    for (int i = 0; i < 17; ++i)
        device.SetVertexStream(buffer, format);
    EXPECT_EQ(GRAPHICS_MAX_STREAMS, device.state.num_streams);
    // A draw of nothing sends nothing but forgets the streams.
    device.Draw(DrawOptions{PRIMITIVE_TRIANGLES, 0, 0, false});
    EXPECT_EQ(0, device.state.num_streams);
    EXPECT_EQ(0u, device.statistics.draws);
}
