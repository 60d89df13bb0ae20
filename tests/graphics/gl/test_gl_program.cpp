// GLSL programs through the 2.0 and 3.0 sets: uniforms and a sampler reach
// the frame, an unchanged uniform is sent once, a failed compile skips the
// link, and an attribute written for one draw never feeds a later program.
// Below 2.0 a program cannot be made at all.
#include "gl_fixture.h"

#include <cstring>

using namespace orvo;
using namespace graphics_test;

namespace
{
const char* const kVertexSource = "attribute vec2 uv;\n"
                                  "varying vec2 v_uv;\n"
                                  "void main() {\n"
                                  "  v_uv = uv;\n"
                                  "  gl_Position = gl_ProjectionMatrix * gl_ModelViewMatrix * gl_Vertex;\n"
                                  "}\n";
const char* const kFragmentSource = "uniform sampler2D texture0;\n"
                                    "uniform vec4 tint;\n"
                                    "varying vec2 v_uv;\n"
                                    "void main() { gl_FragColor = texture2D(texture0, v_uv) * tint; }\n";

// Position (semantic 0) and the generic attribute "uv" (semantic 4).
struct UvQuad
{
    VertexBuffer buffer;
    VertexFormat format;

    bool Initialise(float x0, float y0, float x1, float y1)
    {
        format.Begin();
        format.AddElement(2, VertexElement::TYPE_FLOAT, VertexElement::SEMANTIC_POSITION);
        format.AddElement(2, VertexElement::TYPE_FLOAT, VertexElement::SEMANTIC_GENERIC, "uv");
        format.End();
        const float vertices[16] = {x0, y0, 0, 1, x1, y0, 1, 1, x1, y1, 1, 0, x0, y1, 0, 0};
        if (!buffer.Initialise(sizeof(vertices)))
            return false;
        std::memcpy(buffer.data, vertices, sizeof(vertices));
        buffer.dirty_size = sizeof(vertices);
        ++buffer.revision;
        return true;
    }
    void Draw(GraphicsDevice& device)
    {
        device.SetVertexStream(buffer, format);
        device.Draw(DrawOptions{PRIMITIVE_QUADS, 4, 0, false});
    }
    void Release()
    {
        buffer.Release();
        format.Clear();
    }
};

void SetTint(GraphicsDevice& device, float r, float g, float b, float a)
{
    scope_variable_t* tint = scope_resolve(device.state.variables, string_make("tint"), 16, 4);
    ASSERT_NE(nullptr, tint);
    const float value[4] = {r, g, b, a};
    std::memcpy(tint->data, value, sizeof(value));
    ++tint->version;
}
} // namespace

TEST_F(GlTest, ProgramWithUniformsAndSamplerDraws)
{
    Program program;
    program.Initialise(kVertexSource, kFragmentSource);
    Texture texture;
    ASSERT_TRUE(FillTexture(texture, 4, 4, Colour{255, 200, 100, 255}));
    UvQuad quad;
    ASSERT_TRUE(quad.Initialise(50, 50, 150, 150));

    if (!AtLeast(OPENGL_SET_2_0))
    {
        // No shaders below 2.0: the program never gets an instance.
        EXPECT_FALSE(view.device.PrepareProgram(program));
        EXPECT_TRUE(log.Contains("Failed to create OpenGL object instance"));
    }
    else
    {
        ASSERT_TRUE(view.Begin());
        view.ClearTo(0, 0, 0);
        view.device.SetProgram(program);
        view.device.SetTexture(texture, 0);
        SetTint(view.device, 1.0f, 0.5f, 1.0f, 1.0f);
        quad.Draw(view.device);
        EXPECT_TRUE(ColourNear(view.Probe(100, 100), Colour{255, 100, 100, 255}));
        EXPECT_TRUE(ColourNear(view.Probe(52, 148), Colour{255, 100, 100, 255}));
        EXPECT_TRUE(ColourNear(view.Probe(48, 100), Colour{0, 0, 0, 255}));
        EXPECT_TRUE(ColourNear(view.Probe(100, 152), Colour{0, 0, 0, 255}));
        EXPECT_EQ(texture_num_bytes(texture), view.device.statistics.uploaded_bytes);
        view.device.UpdateEnd();
        EXPECT_EQ(0u, log.Count("Unhandled"));
    }
    quad.Release();
    texture.Release();
    program.Release();
}

TEST_F(GlShaderTest, UnchangedUniformIsSentOnce)
{
    if (!AtLeast(OPENGL_SET_2_0))
        GTEST_SKIP() << "programs need the 2.0 set";
    Program program;
    program.Initialise(kVertexSource, kFragmentSource);
    Texture texture;
    ASSERT_TRUE(FillTexture(texture, 4, 4, Colour{255, 255, 255, 255}));
    UvQuad quad;
    ASSERT_TRUE(quad.Initialise(50, 50, 150, 150));

    ASSERT_TRUE(view.Begin());
    view.ClearTo(0, 0, 0);
    view.device.SetProgram(program);
    view.device.SetTexture(texture, 0);
    SetTint(view.device, 1.0f, 0.0f, 0.0f, 1.0f);
    quad.Draw(view.device);
    EXPECT_TRUE(ColourNear(view.Probe(100, 100), Colour{255, 0, 0, 255}));

    // Overwrite the uniform behind the device's back: a draw with the tint
    // unchanged must not send it again, so the planted value shows.
    ProgramInstance* instance =
        static_cast<ProgramInstance*>(graphics_instances_find(program.instances, view.device.context_id));
    ASSERT_NE(nullptr, instance);
    glUniform4f(glGetUniformLocation(instance->program, "tint"), 0.0f, 1.0f, 0.0f, 1.0f);
    view.device.SetTexture(texture, 0); // the sampler moves on; the tint does not
    quad.Draw(view.device);
    EXPECT_TRUE(ColourNear(view.Probe(100, 100), Colour{0, 255, 0, 255}));

    // Writing the variable raises its version: the device's value returns.
    SetTint(view.device, 0.0f, 0.0f, 1.0f, 1.0f);
    quad.Draw(view.device);
    EXPECT_TRUE(ColourNear(view.Probe(100, 100), Colour{0, 0, 255, 255}));
    view.device.UpdateEnd();

    quad.Release();
    texture.Release();
    program.Release();
}

TEST_F(GlShaderTest, FailedCompileSkipsTheLink)
{
    if (!AtLeast(OPENGL_SET_2_0))
        GTEST_SKIP() << "programs need the 2.0 set";
    Program program;
    program.Initialise("void main() { gl_Position = undeclared_thing; }\n", kFragmentSource);
    UvQuad quad;
    ASSERT_TRUE(quad.Initialise(50, 50, 150, 150));

    ASSERT_TRUE(view.Begin());
    view.ClearTo(0, 0, 0);
    view.device.SetProgram(program);
    quad.Draw(view.device);
    quad.Draw(view.device);
    view.device.UpdateEnd();

    // One upload attempt: the source and the compiler's log once, no link.
    EXPECT_EQ(1u, log.Count("Failed to compile shader source:"));
    EXPECT_TRUE(log.Contains("undeclared_thing"));
    EXPECT_EQ(0u, log.Count("Failed to link program"));
    EXPECT_EQ(1u, log.Count("Failed to upload OpenGL object instance"));

    // A new revision is a new attempt.
    ++program.revision;
    ASSERT_TRUE(view.Begin());
    view.device.SetProgram(program);
    quad.Draw(view.device);
    view.device.UpdateEnd();
    EXPECT_EQ(2u, log.Count("Failed to compile shader source:"));
    EXPECT_EQ(0u, log.Count("Failed to link program"));

    quad.Release();
    program.Release();
}

TEST_F(GlShaderTest, AttributeWrittenForOneDrawNeverFeedsALaterProgram)
{
    if (!AtLeast(OPENGL_SET_2_0))
        GTEST_SKIP() << "programs need the 2.0 set";
    // The first program reads only the position; its stream also carries
    // "extra". The second program reads "extra", but its own stream has none:
    // it must get the attribute's constant value (0, 0, 0, 1), not the first
    // draw's stream layout applied to its buffer (all ones: white).
    Program position_only;
    position_only.Initialise("void main() { gl_Position = gl_ProjectionMatrix * gl_Vertex; }\n",
                             "void main() { gl_FragColor = vec4(0.0, 0.0, 1.0, 1.0); }\n");
    Program reads_extra;
    reads_extra.Initialise("attribute vec4 extra;\nvarying vec4 colour;\n"
                           "void main() { colour = extra; gl_Position = gl_ProjectionMatrix * gl_Vertex; }\n",
                           "varying vec4 colour;\nvoid main() { gl_FragColor = colour; }\n");

    VertexFormat with_extra;
    with_extra.Begin();
    with_extra.AddElement(2, VertexElement::TYPE_FLOAT, VertexElement::SEMANTIC_POSITION);
    with_extra.AddElement(4, VertexElement::TYPE_FLOAT, VertexElement::SEMANTIC_GENERIC, "extra");
    with_extra.End();
    VertexFormat position_format;
    position_format.Begin();
    position_format.AddElement(2, VertexElement::TYPE_FLOAT, VertexElement::SEMANTIC_POSITION);
    position_format.End();

    VertexBuffer first;
    const float first_vertices[24] = {10, 10, 1, 1, 1, 1, 40, 10, 1, 1, 1, 1, 40, 40, 1, 1, 1, 1, 10, 40, 1, 1, 1, 1};
    ASSERT_TRUE(first.Initialise(sizeof(first_vertices)));
    std::memcpy(first.data, first_vertices, sizeof(first_vertices));
    first.dirty_size = sizeof(first_vertices);
    ++first.revision;

    // Positions first, then a tail of ones that a stale stride of 24 reaches.
    VertexBuffer second;
    ASSERT_TRUE(second.Initialise(256));
    float* floats = reinterpret_cast<float*>(second.data);
    for (int i = 0; i < 64; ++i)
        floats[i] = 1.0f;
    const float second_positions[8] = {100, 100, 160, 100, 160, 160, 100, 160};
    std::memcpy(floats, second_positions, sizeof(second_positions));
    second.dirty_size = 256;
    ++second.revision;

    ASSERT_TRUE(view.Begin());
    // Both programs are built before the draws, as in any frame after the
    // first (building one resets the variables of its attributes).
    ASSERT_TRUE(view.device.PrepareProgram(position_only));
    ASSERT_TRUE(view.device.PrepareProgram(reads_extra));
    view.ClearTo(0.5f, 0.5f, 0.5f);
    view.device.SetProgram(position_only);
    view.device.SetVertexStream(first, with_extra);
    view.device.Draw(DrawOptions{PRIMITIVE_QUADS, 4, 0, false});
    EXPECT_TRUE(ColourNear(view.Probe(25, 25), Colour{0, 0, 255, 255}));

    view.device.SetProgram(reads_extra);
    view.device.SetVertexStream(second, position_format);
    view.device.Draw(DrawOptions{PRIMITIVE_QUADS, 4, 0, false});
    EXPECT_TRUE(ColourNear(view.Probe(130, 130), Colour{0, 0, 0, 255}));
    EXPECT_TRUE(ColourNear(view.Probe(98, 130), Colour{128, 128, 128, 255}));
    view.device.UpdateEnd();

    first.Release();
    second.Release();
    position_only.Release();
    reads_extra.Release();
}
