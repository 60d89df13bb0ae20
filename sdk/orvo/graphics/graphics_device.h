// The rendering device: the drawing front end that each OpenGL view owns, one
// per context. Callers begin a frame, clear, choose a program, textures,
// vertex streams and an index buffer, draw, and end the frame; the device
// keeps the choice in its GraphicsState, keeps the shader variables programs
// read, counts what frames cost and leaves every OpenGL detail to the back
// end it derives from. Every call runs on the OpenGL thread with the view's
// context current; Stop must run before the context goes away.
#pragma once

#include "orvo/graphics/graphics_opengl_interface.h"

#include <pthread.h>

namespace orvo
{
class GraphicsDevice : public OpenGLInterface
{
public:
    GraphicsDevice();
    // Does nothing: Stop first, with the context current.
    ~GraphicsDevice();
    GraphicsDevice(const GraphicsDevice&) = delete;
    GraphicsDevice& operator=(const GraphicsDevice&) = delete;

    // Stops a started device first, then takes a new context serial, reads
    // the driver, creates the shader variables and selects the functions.
    // Always true.
    bool Start();
    // Deletes what is queued for this context, closes its dispose list and
    // frees the variables. Safe on a device that never started.
    void Stop();
    // The window size, used from the frame after the current one.
    void Resize(int width, int height);

    // Begins a frame into the window (or the chosen render target). False
    // when the target cannot be bound: the caller skips the frame and its
    // UpdateEnd.
    bool UpdateBegin();
    bool UpdateBegin(RenderTarget& target);
    // Flushes, logs any OpenGL error, deletes what was released for this
    // context, and goes back to the window.
    void UpdateEnd();
    void WaitUntilIdle();
    // Sends clear values only when they changed, then clears the mask.
    void Clear(const ClearOptions& options);

    void SetProgram(Program& program);
    void UnsetProgram();
    // Slots 0 to 7; others are ignored.
    void SetTexture(Texture& texture, int slot);
    void UnsetTexture(int slot);
    void SetIndexBuffer(IndexBuffer& buffer);
    // Appends a stream for the next draw; a 17th is ignored.
    void SetVertexStream(VertexBuffer& buffer, VertexFormat& format);
    // Draws what was set and forgets the streams and the index buffer. A
    // draw that would read past its index buffer or its vertex buffers is
    // refused (logged).
    void Draw(const DrawOptions& options);

    // This context's up-to-date instance, now; true when there is one.
    bool PrepareProgram(Program& program);
    bool PrepareTexture(Texture& texture);
    bool PrepareVertexBuffer(VertexBuffer& buffer);
    bool PrepareVertexFormat(VertexFormat& format);
    bool PrepareRenderTarget(RenderTarget& target);

    bool started;
    pthread_t opengl_thread; // recorded by Start
};

// Primitives a draw of count vertices of the mode adds to the statistics.
u64 graphics_count_primitives(u32 primitive, u64 count);
} // namespace orvo
