// The version functions that fill OpenGLInterface's table: families named
// after the OpenGL version whose features they need (1.1 client arrays and
// textures, 1.4 automatic mipmaps, 1.5 buffer objects, 2.0 shaders, 3.0
// framebuffer objects) and a NULL family that does nothing. OpenGL thread
// only; binds go through the cache.
#pragma once

#include "orvo/graphics/graphics_opengl_interface.h"
#include "orvo/graphics/graphics_vertex.h"

namespace orvo
{
// --- NULL: Update, Synchronise, Create and Upload give false; Dispose nothing ---
bool OpenGLUpdate_NULL(OpenGLInterface&, GraphicsState&);
bool OpenGLSynchronise_NULL(OpenGLInterface&, GraphicsState&);
bool OpenGLCreateProgram_NULL(OpenGLInterface&, Program&, ProgramInstance&);
bool OpenGLCreateTexture_NULL(OpenGLInterface&, Texture&, TextureInstance&);
bool OpenGLCreateVertexBuffer_NULL(OpenGLInterface&, VertexBuffer&, VertexBufferInstance&);
bool OpenGLCreateVertexFormat_NULL(OpenGLInterface&, VertexFormat&, VertexFormatInstance&);
bool OpenGLCreateRenderTarget_NULL(OpenGLInterface&, RenderTarget&, RenderTargetInstance&);
bool OpenGLUploadProgram_NULL(OpenGLInterface&, Program&, ProgramInstance&);
bool OpenGLUploadTexture_NULL(OpenGLInterface&, Texture&, TextureInstance&);
bool OpenGLUploadVertexBuffer_NULL(OpenGLInterface&, VertexBuffer&, VertexBufferInstance&);
bool OpenGLUploadVertexFormat_NULL(OpenGLInterface&, VertexFormat&, VertexFormatInstance&);
bool OpenGLUploadRenderTarget_NULL(OpenGLInterface&, RenderTarget&, RenderTargetInstance&);
void OpenGLDisposeProgram_NULL(OpenGLInterface&, ProgramInstance*);
void OpenGLDisposeTexture_NULL(OpenGLInterface&, TextureInstance*);
void OpenGLDisposeVertexBuffer_NULL(OpenGLInterface&, VertexBufferInstance*);
void OpenGLDisposeVertexFormat_NULL(OpenGLInterface&, VertexFormatInstance*);
void OpenGLDisposeRenderTarget_NULL(OpenGLInterface&, RenderTargetInstance*);

// --- 1.1: client memory, fixed-function textures --------------------------------
bool OpenGLUpdate_1_1(OpenGLInterface&, GraphicsState&);
bool OpenGLSynchronise_1_1(OpenGLInterface&, GraphicsState&);
bool OpenGLCreateTexture_1_1(OpenGLInterface&, Texture&, TextureInstance&);
bool OpenGLUploadTexture_1_1(OpenGLInterface&, Texture&, TextureInstance&);
void OpenGLDisposeTexture_1_1(OpenGLInterface&, TextureInstance*);

// --- 1.4: mipmaps built by OpenGL from the upload ---------------------------------
bool OpenGLUploadTexture_1_4(OpenGLInterface&, Texture&, TextureInstance&);

// --- 1.5: vertex buffer objects ------------------------------------------------------
bool OpenGLSynchronise_1_5(OpenGLInterface&, GraphicsState&);
bool OpenGLCreateVertexBuffer_1_5(OpenGLInterface&, VertexBuffer&, VertexBufferInstance&);
bool OpenGLUploadVertexBuffer_1_5(OpenGLInterface&, VertexBuffer&, VertexBufferInstance&);
void OpenGLDisposeVertexBuffer_1_5(OpenGLInterface&, VertexBufferInstance*);

// --- 2.0: GLSL programs and attributes bound by name ----------------------------
bool OpenGLSynchronise_2_0(OpenGLInterface&, GraphicsState&);
bool OpenGLCreateProgram_2_0(OpenGLInterface&, Program&, ProgramInstance&);
bool OpenGLUploadProgram_2_0(OpenGLInterface&, Program&, ProgramInstance&);
void OpenGLDisposeProgram_2_0(OpenGLInterface&, ProgramInstance*);
bool OpenGLCreateVertexFormat_2_0(OpenGLInterface&, VertexFormat&, VertexFormatInstance&);
bool OpenGLUploadVertexFormat_2_0(OpenGLInterface&, VertexFormat&, VertexFormatInstance&);

// --- 3.0: framebuffer objects ----------------------------------------------------------
bool OpenGLUpdate_3_0(OpenGLInterface&, GraphicsState&);
bool OpenGLCreateRenderTarget_3_0(OpenGLInterface&, RenderTarget&, RenderTargetInstance&);
bool OpenGLUploadRenderTarget_3_0(OpenGLInterface&, RenderTarget&, RenderTargetInstance&);
void OpenGLDisposeRenderTarget_3_0(OpenGLInterface&, RenderTargetInstance*);

namespace internal
{
// Compiles one shader from its NUL-terminated source; on failure the source
// and the compiler's log go out as one Error block.
bool OpenGLCompileShader(OpenGLInterface& gl, unsigned shader, const char* source);
} // namespace internal

// Shared by the synchronise functions: feeds a stream element of semantic 0
// to 3 with a pointer (client address or offset into the bound buffer).
// False when the semantic is not one of those four.
bool opengl_feed_builtin(OpenGLInterface& gl, const VertexElement& element, const void* pointer);
} // namespace orvo
