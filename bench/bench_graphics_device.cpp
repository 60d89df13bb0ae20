// Frames of 1, 16 and 64 picture cells (64 x 64 RGBA textures drawn as
// textured quads) through the rendering device and its OpenGL back end,
// beside a hand-written OpenGL loop drawing the same quads from the same
// kind of buffer in the same run, frame for frame. Both figures are the CPU
// time of the drawing thread, so the difference is what the device and back
// end add (state tracking, variable versions, instance lookups, statistics).
// The device's draws, primitives and uploaded bytes per frame are printed as
// counters. Needs an X display (xvfb-run -a); without one it says so and
// exits cleanly.
#define GL_GLEXT_PROTOTYPES 1
#include "orvo/graphics/graphics_device.h"
#include "orvo/graphics/graphics_texture.h"
#include "orvo/graphics/graphics_vertex.h"

#include <GL/gl.h>
#include <GL/glext.h>
#include <QApplication>
#include <QGLWidget>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

using namespace orvo;

namespace
{
const int kWindow = 256;
const int kCellTexels = 64;
const int kMaxCells = 64;

// The quads of a frame: an 8 x 8 grid of 32-pixel cells, position and
// texture coordinate per vertex, 4 vertices per cell.
std::vector<float> CellVertices()
{
    std::vector<float> vertices;
    for (int i = 0; i < kMaxCells; ++i)
    {
        const float x0 = static_cast<float>((i % 8) * 32);
        const float y0 = static_cast<float>((i / 8) * 32);
        const float x1 = x0 + 30;
        const float y1 = y0 + 30;
        const float quad[16] = {x0, y0, 0, 1, x1, y0, 1, 1, x1, y1, 1, 0, x0, y1, 0, 0};
        vertices.insert(vertices.end(), quad, quad + 16);
    }
    return vertices;
}

void FillCell(u8* pixels, int index)
{
    for (int i = 0; i < kCellTexels * kCellTexels; ++i)
    {
        pixels[i * 4 + 0] = static_cast<u8>(index * 4);
        pixels[i * 4 + 1] = static_cast<u8>(i);
        pixels[i * 4 + 2] = static_cast<u8>(255 - index * 4);
        pixels[i * 4 + 3] = 255;
    }
}

const float* PixelProjection()
{
    static const float matrix[16] = {2.0f / kWindow, 0, 0, 0, 0, 2.0f / kWindow, 0, 0, 0, 0, -1, 0, -1, -1, 0, 1};
    return matrix;
}

// The resources the device draws: one texture per cell and one buffer.
struct DeviceScene
{
    GraphicsDevice device;
    Texture textures[kMaxCells];
    VertexBuffer buffer;
    VertexFormat format;

    void Start()
    {
        device.Start();
        device.Resize(kWindow, kWindow);
        if (device.UpdateBegin())
            device.UpdateEnd();
        for (int i = 0; i < kMaxCells; ++i)
        {
            textures[i].Initialise(PIXELFORMAT_RGBA8, kCellTexels, kCellTexels);
            FillCell(textures[i].pixels.data, i);
        }
        format.Begin();
        format.AddElement(2, VertexElement::TYPE_FLOAT, VertexElement::SEMANTIC_POSITION);
        format.AddElement(2, VertexElement::TYPE_FLOAT, VertexElement::SEMANTIC_TEXCOORD0);
        format.End();
        const std::vector<float> vertices = CellVertices();
        buffer.Initialise(vertices.size() * sizeof(float));
        std::memcpy(buffer.data, vertices.data(), vertices.size() * sizeof(float));
        buffer.dirty_size = vertices.size() * sizeof(float);
        ++buffer.revision;
    }

    void Frame(int cells)
    {
        if (!device.UpdateBegin())
            return;
        std::memcpy(device.state.projection_variable->data, PixelProjection(), 64);
        ++device.state.projection_variable->version;
        device.Clear(ClearOptions{CLEAR_COLOUR_BIT | CLEAR_DEPTH_BIT, 0, 0, 0, 1, 1, 0});
        for (int i = 0; i < cells; ++i)
        {
            device.SetTexture(textures[i], 0);
            device.SetVertexStream(buffer, format);
            device.Draw(DrawOptions{PRIMITIVE_QUADS, 4, static_cast<u64>(i) * 4, false});
        }
        device.UpdateEnd();
        glFinish();
    }

    void Stop()
    {
        for (Texture& texture : textures)
            texture.Release();
        buffer.Release();
        format.Clear();
        device.Stop();
    }
};

// The same frame written by hand: textures and a buffer object made once,
// then per frame the state, one bind and one draw per cell.
struct HandScene
{
    GLuint textures[kMaxCells] = {};
    GLuint buffer = 0;
    bool buffers = false; // buffer objects exist from OpenGL 1.5
    std::vector<float> vertices;

    void Start(bool has_buffers)
    {
        buffers = has_buffers;
        std::vector<u8> pixels(kCellTexels * kCellTexels * 4);
        glGenTextures(kMaxCells, textures);
        for (int i = 0; i < kMaxCells; ++i)
        {
            FillCell(pixels.data(), i);
            glBindTexture(GL_TEXTURE_2D, textures[i]);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
            glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, kCellTexels, kCellTexels, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                         pixels.data());
        }
        glBindTexture(GL_TEXTURE_2D, 0);
        vertices = CellVertices();
        if (buffers)
        {
            glGenBuffers(1, &buffer);
            glBindBuffer(GL_ARRAY_BUFFER, buffer);
            glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(vertices.size() * sizeof(float)), vertices.data(),
                         GL_STREAM_DRAW);
            glBindBuffer(GL_ARRAY_BUFFER, 0);
        }
    }

    void Frame(int cells)
    {
        glViewport(0, 0, kWindow, kWindow);
        glEnable(GL_BLEND);
        glEnable(GL_DEPTH_TEST);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        glDepthFunc(GL_LEQUAL);
        glMatrixMode(GL_PROJECTION);
        glLoadMatrixf(PixelProjection());
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glClearColor(0, 0, 0, 1);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        const char* base = nullptr;
        if (buffers)
            glBindBuffer(GL_ARRAY_BUFFER, buffer);
        else
            base = reinterpret_cast<const char*>(vertices.data());
        glEnable(GL_TEXTURE_2D);
        glEnableClientState(GL_VERTEX_ARRAY);
        glEnableClientState(GL_TEXTURE_COORD_ARRAY);
        glVertexPointer(2, GL_FLOAT, 16, base);
        glTexCoordPointer(2, GL_FLOAT, 16, base + 8);
        for (int i = 0; i < cells; ++i)
        {
            glBindTexture(GL_TEXTURE_2D, textures[i]);
            glDrawArrays(GL_QUADS, i * 4, 4);
        }
        glDisableClientState(GL_TEXTURE_COORD_ARRAY);
        glDisableClientState(GL_VERTEX_ARRAY);
        glDisable(GL_TEXTURE_2D);
        if (buffers)
            glBindBuffer(GL_ARRAY_BUFFER, 0);
        glFlush();
        glFinish();
    }

    void Stop()
    {
        glDeleteTextures(kMaxCells, textures);
        if (buffers)
            glDeleteBuffers(1, &buffer);
    }
};

DeviceScene* g_device = nullptr;
HandScene* g_hand = nullptr;
// Each loop has a context of its own: the hand-written loop's binds would
// otherwise change state behind the device's cache.
QGLWidget* g_device_view = nullptr;
QGLWidget* g_hand_view = nullptr;

double ThreadCpuMicroseconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// Each iteration draws one frame by hand and one through the device,
// alternating, so that the driver's drift over a run (it slows whichever
// context has drawn longest) falls on both alike. The benchmark's own time
// is the pair; the counters split it: CPU microseconds per frame of each,
// and their ratio.
void BM_Frame(benchmark::State& state)
{
    const int cells = static_cast<int>(state.range(0));
    g_device_view->makeCurrent();
    g_device->Frame(cells); // uploads every texture before timing starts
    g_hand_view->makeCurrent();
    g_hand->Frame(cells);
    const opengl_statistics_t before = g_device->device.statistics;
    double device_us = 0;
    double hand_us = 0;
    for (auto _ : state)
    {
        g_hand_view->makeCurrent();
        const double t0 = ThreadCpuMicroseconds();
        g_hand->Frame(cells);
        const double t1 = ThreadCpuMicroseconds();
        g_device_view->makeCurrent();
        const double t2 = ThreadCpuMicroseconds();
        g_device->Frame(cells);
        const double t3 = ThreadCpuMicroseconds();
        hand_us += t1 - t0;
        device_us += t3 - t2;
    }
    const opengl_statistics_t& after = g_device->device.statistics;
    const double frames = static_cast<double>(state.iterations());
    state.counters["device_cpu_us"] = device_us / frames;
    state.counters["hand_cpu_us"] = hand_us / frames;
    state.counters["device_per_hand"] = hand_us > 0 ? device_us / hand_us : 0;
    state.counters["draws"] = static_cast<double>(after.draws - before.draws) / frames;
    state.counters["primitives"] = static_cast<double>(after.primitives - before.primitives) / frames;
    state.counters["uploaded_bytes"] = static_cast<double>(after.uploaded_bytes - before.uploaded_bytes) / frames;
    state.counters["used_bytes"] = static_cast<double>(after.used_bytes - before.used_bytes) / frames;
}

BENCHMARK(BM_Frame)->Arg(1)->Arg(16)->Arg(64)->Unit(benchmark::kMicrosecond);
} // namespace

int main(int argc, char** argv)
{
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
    {
        std::printf("bench_graphics_device: no X display, nothing measured (run it under xvfb-run -a)\n");
        return 0;
    }
    QApplication application(argc, argv);
    QGLWidget device_view;
    QGLWidget hand_view;
    for (QGLWidget* view : {&device_view, &hand_view})
    {
        view->setAttribute(Qt::WA_DontShowOnScreen);
        view->resize(kWindow, kWindow);
        view->show();
        if (!view->isValid())
        {
            std::printf("bench_graphics_device: no OpenGL context on this display, nothing measured\n");
            return 0;
        }
    }
    g_device_view = &device_view;
    g_hand_view = &hand_view;

    static DeviceScene device_scene;
    static HandScene hand_scene;
    device_view.makeCurrent();
    device_scene.Start();
    const bool buffers = device_scene.device.IsVersionAtLeast(1, 5);
    hand_view.makeCurrent();
    hand_scene.Start(buffers);
    g_device = &device_scene;
    g_hand = &hand_scene;
    std::printf("OpenGL %d.%d, function set %d, renderer %s\n", device_scene.device.major_version,
                device_scene.device.minor_version, static_cast<int>(device_scene.device.selected_set),
                reinterpret_cast<const char*>(glGetString(GL_RENDERER)));

    // Both loops must draw the same frame for the comparison to mean anything.
    for (int probe : {0, kMaxCells - 1})
    {
        const int x = (probe % 8) * 32 + 15;
        const int y = (probe / 8) * 32 + 15;
        u8 device_pixel[4] = {};
        u8 hand_pixel[4] = {};
        device_view.makeCurrent();
        device_scene.Frame(kMaxCells);
        glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, device_pixel);
        hand_view.makeCurrent();
        hand_scene.Frame(kMaxCells);
        glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, hand_pixel);
        std::printf("cell %d: device (%d, %d, %d), hand-written (%d, %d, %d)\n", probe, device_pixel[0],
                    device_pixel[1], device_pixel[2], hand_pixel[0], hand_pixel[1], hand_pixel[2]);
    }
    std::printf("device: %llu bytes uploaded for %d textures, once; frames after that upload nothing\n",
                static_cast<unsigned long long>(device_scene.device.statistics.uploaded_bytes), kMaxCells);
    std::fflush(stdout);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    hand_view.makeCurrent();
    hand_scene.Stop();
    device_view.makeCurrent();
    device_scene.Stop();
    device_view.doneCurrent();
    return 0;
}
