// The OpenGL fixture of the drawing tests: a hidden QGLWidget per view with
// its own context and rendering device, pixel probes read back from the
// frame, and the small geometry helpers the tests share. Views need a
// display (xvfb-run); the function set follows MESA_GL_VERSION_OVERRIDE.
#pragma once

#include "orvo/graphics/graphics_device.h"
#include "orvo/graphics/graphics_program.h"
#include "orvo/graphics/graphics_rendertarget.h"
#include "orvo/graphics/graphics_texture.h"
#include "orvo/graphics/graphics_vertex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class QGLWidget;

namespace graphics_test
{
// True when an X display is there to open views on.
bool HasDisplay();
// The set MESA_GL_VERSION_OVERRIDE asks for (3.0 without an override, as
// the driver's own version is newer).
orvo::opengl_function_set_t ExpectedSet();
const char* SetName(orvo::opengl_function_set_t set);

struct Colour
{
    int r, g, b, a;
};

class TestView
{
public:
    TestView() = default;
    ~TestView();
    TestView(const TestView&) = delete;
    TestView& operator=(const TestView&) = delete;

    // Creates the widget and its context, starts the device, sets the window
    // size and draws one empty frame so that the next frame has that size.
    bool Open(int width, int height);
    void MakeCurrent();
    // Stops the device with the context current and deletes the widget.
    void Close();
    bool IsOpen() const { return m_widget != nullptr; }

    // The frame's pixel at x, y (from the bottom left), read from the buffer
    // the frame draws into.
    Colour Probe(int x, int y);
    // UpdateBegin plus a projection of one unit per window pixel.
    bool Begin();
    bool Begin(orvo::RenderTarget& target);
    void ClearTo(float r, float g, float b);

    orvo::GraphicsDevice device;
    int width = 0;
    int height = 0;

private:
    QGLWidget* m_widget = nullptr;
};

// Writes an orthographic projection of width x height pixels into the
// device's projection variable (after UpdateBegin, which resets it).
void SetPixelProjection(orvo::GraphicsDevice& device, int width, int height);

// Quads of 2D positions and texture coordinates: 4 vertices each.
struct QuadBatch
{
    orvo::VertexBuffer buffer;
    orvo::VertexFormat format;
    int quads = 0;

    // Position and texture coordinate elements (semantics 0 and 3).
    bool Initialise(int capacity_quads);
    // x0, y0 to x1, y1 in pixels; u, v the drawn share of the texture, whose
    // first row goes at the top of the quad.
    void Add(float x0, float y0, float x1, float y1, float u = 1.0f, float v = 1.0f);
    // Marks everything written as the range to upload and raises the revision.
    void Commit();
    void Release();
    // Draws quad i with the texture in slot 0 (or none).
    void Draw(orvo::GraphicsDevice& device, int i, orvo::Texture* texture);
};

// Fills an RGBA8 texture with one colour; the revision is raised.
bool FillTexture(orvo::Texture& texture, int width, int height, Colour colour);

::testing::AssertionResult ColourNear(const Colour& actual, const Colour& expected, int tolerance = 2);
} // namespace graphics_test

// Skips a test that needs a display when there is none.
#define GRAPHICS_REQUIRE_DISPLAY()                                                  \
    do                                                                              \
    {                                                                               \
        if (!graphics_test::HasDisplay())                                           \
            GTEST_SKIP() << "no X display: run the OpenGL tests under xvfb-run -a"; \
    } while (0)
