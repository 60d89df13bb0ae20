// Instances keyed by context serial, and what becomes of them when the
// resource is released: queued for a context that is running, freed at once
// (without OpenGL) for one that has stopped or never registered.
#include "orvo/core/core_memory.h"
#include "orvo/graphics/graphics_device.h"
#include "orvo/graphics/graphics_texture.h"

#include <gtest/gtest.h>

#include <set>

using namespace orvo;

namespace
{
// Counts the heap blocks alive, so a test sees records freed or kept.
class LiveBlocks
{
public:
    LiveBlocks() : m_hooks{&Allocate, &Release, nullptr, this} { heap_set_allocator(&m_hooks); }
    ~LiveBlocks() { heap_set_allocator(nullptr); }
    size_t Count() const { return m_live.size(); }

private:
    static void* Allocate(u64 size, void* user)
    {
        void* pointer = std::malloc(size ? size : 1);
        static_cast<LiveBlocks*>(user)->m_live.insert(pointer);
        return pointer;
    }
    static void Release(void* pointer, void* user)
    {
        static_cast<LiveBlocks*>(user)->m_live.erase(pointer);
        std::free(pointer);
    }
    heap_allocator_t m_hooks;
    std::set<void*> m_live;
};

TextureInstance* NewInstance()
{
    TextureInstance* instance =
        static_cast<TextureInstance*>(heap_alloc(sizeof(TextureInstance), alignof(TextureInstance), ORVO_HEAP_TAG));
    instance->texture = 0;
    instance->id = 0;
    instance->revision = 0;
    return instance;
}
} // namespace

TEST(InstanceMap, AnyNumberOfContextsEachWithItsOwnEntry)
{
    graphics_instances_t map = {nullptr, 0, 0};
    int values[40];
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(graphics_instances_insert(map, 1000 + i * 7, &values[i]));
    EXPECT_EQ(40u, map.count);
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(&values[i], graphics_instances_find(map, 1000 + i * 7));
    EXPECT_EQ(nullptr, graphics_instances_find(map, 12));
    ASSERT_TRUE(graphics_instances_insert(map, 1000, &values[5])); // replaces
    EXPECT_EQ(40u, map.count);
    EXPECT_EQ(&values[5], graphics_instances_find(map, 1000));
    graphics_instances_remove_at(map, 0);
    EXPECT_EQ(nullptr, graphics_instances_find(map, 1000));
    EXPECT_EQ(&values[1], graphics_instances_find(map, 1007));
    graphics_instances_clear(map);
    EXPECT_EQ(0u, map.count);
    EXPECT_EQ(nullptr, map.entries);
}

TEST(InstanceMap, ReleaseForAStoppedContextFreesTheRecordAtOnce)
{
    LiveBlocks blocks;
    {
        Texture texture;
        const size_t before = blocks.Count();
        // Contexts that never started (or stopped long ago) have no dispose
        // list: their instances must not wait for a frame that never comes.
        ASSERT_TRUE(graphics_instances_insert(texture.instances, 1 << 30, NewInstance()));
        ASSERT_TRUE(graphics_instances_insert(texture.instances, (1 << 30) + 1, NewInstance()));
        EXPECT_EQ(before + 3, blocks.Count()); // two records and the map
        texture.Release();
        EXPECT_EQ(0u, texture.instances.count);
        EXPECT_EQ(before, blocks.Count());
    }
    EXPECT_EQ(0u, blocks.Count());
}

TEST(InstanceMap, ReleaseForARunningContextQueuesUntilItsFrameEnd)
{
    LiveBlocks blocks;
    // A started context's list holds the record until DisposeAll; a device
    // whose functions are the NULL family deletes nothing in OpenGL.
    GraphicsDevice device;
    device.context_id = version_object_id<OpenGLContext>();
    ASSERT_TRUE(device.OpenDisposeList());
    Texture texture;
    const size_t before = blocks.Count();
    ASSERT_TRUE(graphics_instances_insert(texture.instances, device.context_id, NewInstance()));
    texture.Release();
    EXPECT_LT(before, blocks.Count()) << "the queued record must wait for the frame end";
    device.DisposeAll();
    EXPECT_EQ(before, blocks.Count());

    // After the context closes, a late release frees at once.
    ASSERT_TRUE(graphics_instances_insert(texture.instances, device.context_id, NewInstance()));
    device.DisposeAllAndClose();
    texture.Release();
    EXPECT_EQ(before, blocks.Count());
}

TEST(InstanceMap, RecordsQueuedWhenAContextClosesAreFreed)
{
    LiveBlocks blocks;
    GraphicsDevice device;
    device.context_id = version_object_id<OpenGLContext>();
    ASSERT_TRUE(device.OpenDisposeList());
    const size_t before = blocks.Count();
    Texture textures[3];
    for (Texture& texture : textures)
    {
        ASSERT_TRUE(graphics_instances_insert(texture.instances, device.context_id, NewInstance()));
        texture.Release();
    }
    EXPECT_LT(before, blocks.Count());
    device.DisposeAllAndClose();
    EXPECT_EQ(before, blocks.Count());
}
