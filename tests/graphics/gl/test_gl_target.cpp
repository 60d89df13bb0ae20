// Render targets: with the 3.0 set a frame draws into a framebuffer with
// colour and depth, whose colour texture then draws in the window; every
// earlier set refuses the frame.
#include "gl_fixture.h"

#include <cstring>

using namespace orvo;
using namespace graphics_test;

namespace
{
// A square of one colour at depth z (0 near the eye side of the clear depth).
struct FlatSquare
{
    VertexBuffer buffer;
    VertexFormat format;

    bool Initialise(float x0, float y0, float x1, float y1, float z, Colour colour)
    {
        format.Begin();
        format.AddElement(3, VertexElement::TYPE_FLOAT, VertexElement::SEMANTIC_POSITION);
        format.AddElement(4, VertexElement::TYPE_UNSIGNED_BYTE, VertexElement::SEMANTIC_COLOUR);
        format.End();
        if (!buffer.Initialise(4 * format.stride))
            return false;
        const float corners[4][3] = {{x0, y0, z}, {x1, y0, z}, {x1, y1, z}, {x0, y1, z}};
        for (int i = 0; i < 4; ++i)
        {
            u8* vertex = buffer.data + i * format.stride;
            std::memcpy(vertex, corners[i], sizeof(corners[i]));
            const u8 rgba[4] = {static_cast<u8>(colour.r), static_cast<u8>(colour.g), static_cast<u8>(colour.b), 255};
            std::memcpy(vertex + 12, rgba, 4);
        }
        buffer.dirty_size = 4 * format.stride;
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
} // namespace

TEST_F(GlTest, RenderTargetDrawsWithColourAndDepth)
{
    RenderTarget target;
    ASSERT_TRUE(target.Initialise(64, 64));
    ASSERT_TRUE(target.Initialise(64, 64)); // same size: nothing reallocated
    if (!AtLeast(OPENGL_SET_3_0))
    {
        EXPECT_FALSE(view.device.UpdateBegin(target));
        EXPECT_EQ(1u, log.Count("RenderTarget not supported by OpenGL driver"));
        EXPECT_EQ(nullptr, view.device.state.render_target);
        EXPECT_EQ(kWidth, view.device.state.render_size[0]);
        target.Release();
        return;
    }

    // Near green drawn first, far red after: depth keeps green in front.
    // The projection maps z to depth as -z, so z = 0.5 is nearer than -0.5.
    FlatSquare near_square;
    FlatSquare far_square;
    ASSERT_TRUE(near_square.Initialise(8, 8, 40, 40, 0.5f, Colour{0, 255, 0, 255}));
    ASSERT_TRUE(far_square.Initialise(24, 24, 56, 56, -0.5f, Colour{255, 0, 0, 255}));
    ASSERT_TRUE(view.Begin(target));
    EXPECT_EQ(64, view.device.state.render_size[0]);
    view.ClearTo(0, 0, 1);
    near_square.Draw(view.device);
    far_square.Draw(view.device);
    EXPECT_TRUE(ColourNear(view.Probe(16, 16), Colour{0, 255, 0, 255}));
    EXPECT_TRUE(ColourNear(view.Probe(32, 32), Colour{0, 255, 0, 255}));
    EXPECT_TRUE(ColourNear(view.Probe(48, 48), Colour{255, 0, 0, 255}));
    EXPECT_TRUE(ColourNear(view.Probe(4, 4), Colour{0, 0, 255, 255}));
    EXPECT_TRUE(ColourNear(view.Probe(60, 60), Colour{0, 0, 255, 255}));
    view.device.UpdateEnd();
    EXPECT_EQ(nullptr, view.device.state.render_target);
    EXPECT_EQ(kWidth, view.device.state.render_size[0]);

    // The target's colour texture drawn in the window, scaled 1:1.
    QuadBatch quads;
    ASSERT_TRUE(quads.Initialise(1));
    quads.Add(100, 100, 164, 164, 1, 1);
    quads.Commit();
    ASSERT_TRUE(view.Begin());
    view.ClearTo(0, 0, 0);
    quads.Draw(view.device, 0, &target.colour);
    // The texture's first row is the target's bottom row: the quad shows
    // the target upside down, so green sits at the top left.
    EXPECT_TRUE(ColourNear(view.Probe(100 + 16, 164 - 1 - 16), Colour{0, 255, 0, 255}));
    EXPECT_TRUE(ColourNear(view.Probe(100 + 48, 164 - 1 - 48), Colour{255, 0, 0, 255}));
    EXPECT_TRUE(ColourNear(view.Probe(98, 130), Colour{0, 0, 0, 255}));
    view.device.UpdateEnd();

    quads.Release();
    near_square.Release();
    far_square.Release();
    target.Release();
}
