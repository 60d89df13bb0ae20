// The OpenGL headers as the back end uses them: entry points linked directly
// from libGL (GL_GLEXT_PROTOTYPES), no loader.
#pragma once

#ifndef GL_GLEXT_PROTOTYPES
#define GL_GLEXT_PROTOTYPES 1
#endif
#include <GL/gl.h>
#include <GL/glext.h>
