#include "gl_view.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>

#include <QApplication>
#include <QGLWidget>

#include <cstdlib>
#include <cstring>

using namespace orvo;

namespace graphics_test
{
namespace
{
QApplication* application()
{
    static int argc = 1;
    static char name[] = "orvo_graphics_gl_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = nullptr;
    if (!app)
        app = new QApplication(argc, argv); // lives for the process, as Qt expects
    return app;
}
} // namespace

bool HasDisplay()
{
    const char* display = std::getenv("DISPLAY");
    return display && *display;
}

opengl_function_set_t ExpectedSet()
{
    const char* version = std::getenv("MESA_GL_VERSION_OVERRIDE");
    if (!version || !*version)
        return OPENGL_SET_3_0;
    int major = 0;
    int minor = 0;
    std::sscanf(version, "%d.%d", &major, &minor);
    if (major >= 3)
        return OPENGL_SET_3_0;
    if (major == 2)
        return OPENGL_SET_2_0;
    if (minor >= 5)
        return OPENGL_SET_1_5;
    if (minor >= 4)
        return OPENGL_SET_1_4;
    return OPENGL_SET_1_1;
}

const char* SetName(opengl_function_set_t set)
{
    switch (set)
    {
    case OPENGL_SET_1_1:
        return "1.1";
    case OPENGL_SET_1_4:
        return "1.4";
    case OPENGL_SET_1_5:
        return "1.5";
    case OPENGL_SET_2_0:
        return "2.0";
    case OPENGL_SET_3_0:
        return "3.0";
    default:
        return "none";
    }
}

TestView::~TestView()
{
    Close();
}

bool TestView::Open(int w, int h)
{
    application();
    QGLFormat format = QGLFormat::defaultFormat();
    format.setDepth(true);
    format.setStencil(true);
    m_widget = new QGLWidget(format);
    m_widget->setAttribute(Qt::WA_DontShowOnScreen);
    m_widget->resize(w, h);
    m_widget->show();
    if (!m_widget->isValid())
    {
        delete m_widget;
        m_widget = nullptr;
        return false;
    }
    m_widget->makeCurrent();
    width = w;
    height = h;
    device.Start();
    device.Resize(w, h);
    // A started device draws its first frame at 0 x 0; the window size counts
    // from the frame after.
    if (device.UpdateBegin())
        device.UpdateEnd();
    return true;
}

void TestView::MakeCurrent()
{
    if (m_widget)
        m_widget->makeCurrent();
}

void TestView::Close()
{
    if (!m_widget)
        return;
    m_widget->makeCurrent();
    device.Stop();
    m_widget->doneCurrent();
    delete m_widget;
    m_widget = nullptr;
}

Colour TestView::Probe(int x, int y)
{
    unsigned char pixel[4] = {0, 0, 0, 0};
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, pixel);
    return Colour{pixel[0], pixel[1], pixel[2], pixel[3]};
}

bool TestView::Begin()
{
    if (!device.UpdateBegin())
        return false;
    SetPixelProjection(device, device.state.render_size[0], device.state.render_size[1]);
    return true;
}

bool TestView::Begin(RenderTarget& target)
{
    if (!device.UpdateBegin(target))
        return false;
    SetPixelProjection(device, device.state.render_size[0], device.state.render_size[1]);
    return true;
}

void TestView::ClearTo(float r, float g, float b)
{
    ClearOptions options = {CLEAR_COLOUR_BIT | CLEAR_DEPTH_BIT, r, g, b, 1.0f, 1.0f, 0};
    device.Clear(options);
}

void SetPixelProjection(GraphicsDevice& device, int w, int h)
{
    scope_variable_t* projection = device.state.projection_variable;
    if (!projection || !projection->data || w <= 0 || h <= 0)
        return;
    const float matrix[16] = {2.0f / w, 0, 0, 0, 0, 2.0f / h, 0, 0, 0, 0, -1, 0, -1, -1, 0, 1};
    std::memcpy(projection->data, matrix, sizeof(matrix));
    ++projection->version;
}

bool QuadBatch::Initialise(int capacity_quads)
{
    format.Begin();
    format.AddElement(2, VertexElement::TYPE_FLOAT, VertexElement::SEMANTIC_POSITION);
    format.AddElement(2, VertexElement::TYPE_FLOAT, VertexElement::SEMANTIC_TEXCOORD0);
    format.End();
    quads = 0;
    return buffer.Initialise(static_cast<size_t>(capacity_quads) * 4 * format.stride);
}

void QuadBatch::Add(float x0, float y0, float x1, float y1, float u, float v)
{
    const float vertices[16] = {x0, y0, 0, v, x1, y0, u, v, x1, y1, u, 0, x0, y1, 0, 0};
    u64 offset = static_cast<u64>(quads) * sizeof(vertices);
    if (offset + sizeof(vertices) > buffer.capacity)
        return;
    std::memcpy(buffer.data + offset, vertices, sizeof(vertices));
    ++quads;
}

void QuadBatch::Commit()
{
    buffer.dirty_offset = 0;
    buffer.dirty_size = static_cast<u64>(quads) * 4 * format.stride;
    ++buffer.revision;
}

void QuadBatch::Release()
{
    buffer.Release();
    format.Clear();
}

void QuadBatch::Draw(GraphicsDevice& device, int i, Texture* texture)
{
    if (texture)
        device.SetTexture(*texture, 0);
    else
        device.UnsetTexture(0);
    device.SetVertexStream(buffer, format);
    DrawOptions options = {PRIMITIVE_QUADS, 4, static_cast<u64>(i) * 4, false};
    device.Draw(options);
}

bool FillTexture(Texture& texture, int w, int h, Colour colour)
{
    if (!texture.Initialise(PIXELFORMAT_RGBA8, w, h))
        return false;
    for (int i = 0; i < w * h; ++i)
    {
        u8* pixel = texture.pixels.data + i * 4;
        pixel[0] = static_cast<u8>(colour.r);
        pixel[1] = static_cast<u8>(colour.g);
        pixel[2] = static_cast<u8>(colour.b);
        pixel[3] = static_cast<u8>(colour.a);
    }
    ++texture.revision;
    return true;
}

::testing::AssertionResult ColourNear(const Colour& actual, const Colour& expected, int tolerance)
{
    const int da = std::abs(actual.r - expected.r);
    const int db = std::abs(actual.g - expected.g);
    const int dc = std::abs(actual.b - expected.b);
    if (da <= tolerance && db <= tolerance && dc <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "pixel (" << actual.r << ", " << actual.g << ", " << actual.b
                                         << ") expected (" << expected.r << ", " << expected.g << ", "
                                         << expected.b << ") within " << tolerance;
}
} // namespace graphics_test
