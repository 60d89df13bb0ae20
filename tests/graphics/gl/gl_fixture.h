// The fixture of the drawing tests: one open view with a capturing log, and
// after every test the check that the frame never reported an OpenGL error.
#pragma once

#include "gl_view.h"
#include "support/support_log_capture.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

namespace graphics_test
{
class GlTest : public ::testing::Test
{
protected:
    static constexpr int kWidth = 320;
    static constexpr int kHeight = 240;

    void SetUp() override
    {
        GRAPHICS_REQUIRE_DISPLAY();
        ASSERT_TRUE(view.Open(kWidth, kHeight));
        ASSERT_EQ(ExpectedSet(), view.device.selected_set)
            << "the driver gave " << SetName(view.device.selected_set) << ", the override asks for "
            << SetName(ExpectedSet());
    }

    void TearDown() override
    {
        view.Close();
        EXPECT_EQ(0u, log.Count("OpenGL Error")) << "an OpenGL call failed in this test";
    }

    bool AtLeast(orvo::opengl_function_set_t set) const { return view.device.selected_set >= set; }

    lumivane_test::LogCapture log;
    TestView view;
};

// Groups by the function sets a test means something for; CTest runs each
// group only under the versions that select those sets (tests/CMakeLists).
// Buffer objects: 1.5 and later.
class GlBufferTest : public GlTest
{
};
// GLSL programs: 2.0 and later.
class GlShaderTest : public GlTest
{
};
// The device's own logic, the same with every set: run once.
class GlDeviceTest : public GlTest
{
};
} // namespace graphics_test
