// A picture and a font loaded on the "LOAD" thread, drawn by an OpenGL view
// on MAIN, then released on "LOAD": their OpenGL textures stay until the
// view's next frame end, where the context that made them deletes them.
// Needs a display (xvfb-run).
#include "load_fixture.h"

#include "gl_view.h"
#include "support/image/image_writers.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>

#include <vector>

using namespace orvo;

// Qt's platform start-up leaves a D-Bus buffer that is never freed, and its
// D-Bus thread hands events to the main thread through GLib and Qt's own
// atomics, which the race detector cannot see in the uninstrumented
// libraries: none of it is ours, nor says anything about the pictures and
// fonts under test.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libdbus-1.so\n";
}
extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libglib-2.0.so\nrace:libglib-2.0.so\nrace:libQt5DBus.so\nrace:libQt5Core.so\nrace:libdbus-1.so\n";
}

namespace
{
struct Loaded
{
    image_t* image = nullptr;
    font_t* font = nullptr;
    int unloads = 0;

    static void OnImage(void* user, int, image_t* image) { static_cast<Loaded*>(user)->image = image; }
    static void OnFont(void* user, int, font_t* font) { static_cast<Loaded*>(user)->font = font; }
    static void OnUnload(void* user, int) { static_cast<Loaded*>(user)->unloads++; }
};

class LoadOpenGL : public load_test::LoadThread
{
protected:
    void SetUp() override
    {
        GRAPHICS_REQUIRE_DISPLAY();
        LoadThread::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(view.Open(64, 64));
    }

    void TearDown() override
    {
        view.Close();
        LoadThread::TearDown();
    }

    // The view's GL name of a texture, after preparing it in this context.
    u32 Prepare(Texture& texture)
    {
        EXPECT_TRUE(view.device.PrepareTexture(texture));
        TextureInstance* instance =
            static_cast<TextureInstance*>(graphics_instances_find(texture.instances, view.device.context_id));
        return instance ? instance->texture : 0;
    }

    graphics_test::TestView view;
};
} // namespace

TEST_F(LoadOpenGL, ReleasedPictureAndFontAreDeletedByTheirContext)
{
    const std::string path = dir.File("drawn.png");
    lumivane_test::PngOptions options;
    options.width = 300;
    options.height = 200;
    ASSERT_TRUE(lumivane_test::SaveBytes(path, lumivane_test::WritePng(options)));

    Loaded loaded;
    image_client_t images{};
    font_client_t fonts{};
    ASSERT_TRUE(image_client_initialise(images, &loaded, &Loaded::OnImage, &Loaded::OnUnload));
    ASSERT_TRUE(font_client_initialise(fonts, &loaded, &Loaded::OnFont, &Loaded::OnUnload));
    ASSERT_GE(image_client_register(images, png_codec_create), 0);
    ASSERT_GE(image_client_load(images, string_make(path.c_str())), 0);
    ASSERT_GE(font_client_load(fonts, string_make("DejaVuSans.ttf"), 10), 0);
    ASSERT_TRUE(PumpUntil([&] { return loaded.image && loaded.font; }));

    // One frame draws (uploads) every cell of the picture and thumbnails and the atlas.
    view.MakeCurrent();
    ASSERT_TRUE(view.device.UpdateBegin());
    std::vector<u32> names;
    for (TextureGrid* grid : {&loaded.image->picture, &loaded.image->thumbnails[0]})
        for (u64 i = 0; i < grid->cells.count; ++i)
            names.push_back(Prepare(*grid->cells.data[i].texture));
    names.push_back(Prepare(loaded.font->atlas));
    view.device.UpdateEnd();
    ASSERT_EQ(loaded.image->num_thumbnails, 1);
    ASSERT_EQ(names.size(), 3u);
    for (u32 name : names)
    {
        ASSERT_NE(name, 0u);
        EXPECT_EQ(glIsTexture(name), GL_TRUE) << name;
    }

    // Released on LOAD: nothing there calls OpenGL.
    ASSERT_GE(image_client_unload(images, loaded.image), 0);
    ASSERT_GE(font_client_unload(fonts, loaded.font), 0);
    ASSERT_TRUE(PumpUntil([&] { return loaded.unloads == 2; }));
    view.MakeCurrent();
    for (u32 name : names)
        EXPECT_EQ(glIsTexture(name), GL_TRUE) << "deleted before the view's frame end: " << name;

    // The view's next frame end deletes them in its own context.
    ASSERT_TRUE(view.device.UpdateBegin());
    view.device.UpdateEnd();
    for (u32 name : names)
        EXPECT_EQ(glIsTexture(name), GL_FALSE) << "still alive after the frame end: " << name;
    EXPECT_EQ(0u, log.Count("OpenGL Error"));

    image_client_release(images);
    font_client_release(fonts);
}
