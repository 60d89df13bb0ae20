// Named objects and the object registry: the header of a new object, counted
// and uncounted references, release callbacks, duplicate ids, renumbering on
// remove, release in insertion order and inserts that cannot grow.
#include "orvo/core/core_object.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace orvo;

namespace
{
// A derived record as the presets and grid records are: header first, own
// members after it, a callback that releases them and then the header.
struct preset_t
{
    object_t header;
    stringbuffer_t label;
    std::vector<std::string>* released; // where the callback reports
};

void preset_release(object_t& object)
{
    preset_t& preset = reinterpret_cast<preset_t&>(object);
    preset.released->push_back(object.id.str);
    stringbuffer_release(preset.label);
    object_release(object);
}

struct NamedObjects : ::testing::Test
{
    lumivane_test::LogCapture log;
    std::vector<std::string> released;
    void SetUp() override { stringid_library_initialise(); }
    void TearDown() override
    {
        EXPECT_FALSE(log.Contains("string id released too many times"));
        stringid_library_release();
    }

    static stringid_t Id(const char* text)
    {
        stringid_t id = {empty_str};
        stringid_resolve(id, string_make(text));
        return id;
    }

    // The preset keeps its own reference of the id; ours is dropped here.
    preset_t* Make(const char* name)
    {
        stringid_t id = Id(name);
        object_t* object = object_create(id, preset_release, sizeof(preset_t), alignof(preset_t));
        stringid_release(id);
        if (!object)
            return nullptr;
        preset_t* preset = reinterpret_cast<preset_t*>(object);
        stringbuffer_initialise(preset->label);
        stringbuffer_set(preset->label, "a member the callback must free");
        preset->released = &released;
        return preset;
    }

    static std::vector<std::string> Order(const objectdb_t& db)
    {
        std::vector<std::string> names;
        for (u64 i = 0; i < objectdb_num(db); ++i)
        {
            object_t* object = objectdb_get(db, i);
            EXPECT_EQ(object->index, static_cast<i32>(i)) << object->id.str;
            names.push_back(object->id.str);
        }
        return names;
    }
};
} // namespace

TEST_F(NamedObjects, ANewObjectHasAFreshCountedHeader)
{
    stringid_t id = Id("Studio preset");
    const i32 last = version_object_id<version_id_allocator_t>();
    object_t* first = object_create(id, nullptr, sizeof(object_t), alignof(object_t));
    object_t* second = object_create(id, nullptr, sizeof(object_t), alignof(object_t));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->ref_count, 1);
    EXPECT_EQ(first->index, -1);
    EXPECT_EQ(first->version, 1);
    EXPECT_EQ(first->serial, last + 1);
    EXPECT_EQ(second->serial, last + 2);
    EXPECT_EQ(first->id.str, id.str);
    EXPECT_EQ(first->release, &object_release);
    EXPECT_EQ(stringid_count(id), 4); // dictionary, ours, one per object

    object_remove_reference(first);
    object_remove_reference(second);
    EXPECT_EQ(stringid_count(id), 2);
    stringid_release(id);
}

TEST_F(NamedObjects, TheLastReferenceRunsTheCallbackOnceAndFrees)
{
    preset_t* preset = Make("Portrait");
    ASSERT_NE(preset, nullptr);
    stringid_t id = Id("Portrait");
    EXPECT_EQ(stringid_count(id), 3);

    object_add_reference(&preset->header);
    EXPECT_EQ(preset->header.ref_count, 2);
    object_remove_reference(&preset->header);
    EXPECT_TRUE(released.empty());
    object_remove_reference(&preset->header); // freed here; ASan reports any later use
    EXPECT_EQ(released, std::vector<std::string>{"Portrait"});
    EXPECT_EQ(stringid_count(id), 2); // the callback dropped the object's id
    stringid_release(id);
}

TEST_F(NamedObjects, UncountedAndNullObjectsIgnoreReferences)
{
    object_t fixed;
    object_initialise(fixed, Id("built in"), nullptr);
    stringid_decref(fixed.id); // Id() handed us a reference; the header took its own
    fixed.ref_count = -1;
    object_add_reference(&fixed);
    object_remove_reference(&fixed);
    object_remove_reference(&fixed); // would free a stack record if counted
    EXPECT_EQ(fixed.ref_count, -1);
    object_add_reference(nullptr);
    object_remove_reference(nullptr);
    object_release(fixed);
    EXPECT_EQ(fixed.id.str, empty_str.str);
}

TEST_F(NamedObjects, ReferencesFromFourThreadsReleaseExactlyOnce)
{
    preset_t* preset = Make("shared camera");
    ASSERT_NE(preset, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        object_add_reference(&preset->header);
    for (int t = 0; t < 4; ++t)
    {
        threads.emplace_back([preset] {
            for (int i = 0; i < 5000; ++i)
            {
                object_add_reference(&preset->header);
                object_remove_reference(&preset->header);
            }
            object_remove_reference(&preset->header);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(preset->header.ref_count, 1);
    EXPECT_TRUE(released.empty());
    object_remove_reference(&preset->header);
    EXPECT_EQ(released.size(), 1u);
}

TEST_F(NamedObjects, CreateRefusesABlockSmallerThanTheHeader)
{
    stringid_t id = Id("tiny");
    EXPECT_EQ(object_create(id, nullptr, sizeof(object_t) - 1, 8), nullptr);
    EXPECT_TRUE(log.Contains("cannot hold the"));
    EXPECT_EQ(stringid_count(id), 2);
    stringid_release(id);
}

TEST_F(NamedObjects, RegistryRefusesNullAndDuplicateIds)
{
    objectdb_t db;
    ASSERT_TRUE(objectdb_initialise(db));
    preset_t* first = Make("Nikon Z 9 #1");
    preset_t* twin = Make("Nikon Z 9 #1");
    ASSERT_TRUE(objectdb_insert(db, &first->header));
    EXPECT_FALSE(objectdb_insert(db, &twin->header));
    EXPECT_FALSE(objectdb_insert(db, nullptr));
    EXPECT_EQ(objectdb_num(db), 1u);
    EXPECT_EQ(objectdb_find(db, twin->header.id), &first->header);
    EXPECT_EQ(twin->header.index, -1);
    EXPECT_EQ(twin->header.ref_count, 1); // still the caller's
    EXPECT_TRUE(log.Contains("objectdb_insert Nikon Z 9 #1: an object with this id is registered"));

    object_remove_reference(&twin->header);
    objectdb_release(db);
    EXPECT_EQ(released, (std::vector<std::string>{"Nikon Z 9 #1", "Nikon Z 9 #1"}));
}

TEST_F(NamedObjects, RemovingRenumbersTheLaterObjects)
{
    struct Case
    {
        const char* name;
        const char* removed;
        std::vector<std::string> left;
    };
    const Case cases[] = {
        {"first", "A", {"B", "C", "D"}},
        {"middle", "B", {"A", "C", "D"}},
        {"last", "D", {"A", "B", "C"}},
        {"not registered", "Z", {"A", "B", "C", "D"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        released.clear();
        objectdb_t db;
        ASSERT_TRUE(objectdb_initialise(db));
        for (const char* name : {"A", "B", "C", "D"})
            ASSERT_TRUE(objectdb_insert(db, &Make(name)->header));
        stringid_t id = Id(c.removed);
        objectdb_remove(db, id);
        EXPECT_EQ(Order(db), c.left);
        EXPECT_EQ(objectdb_find(db, id), nullptr);
        EXPECT_EQ(objectdb_get(db, objectdb_num(db)), nullptr);
        if (c.left.size() == 3)
        {
            EXPECT_EQ(released, std::vector<std::string>{c.removed}); // freed: nobody else held it
        }
        else
        {
            EXPECT_TRUE(released.empty());
        }
        stringid_release(id);
        objectdb_release(db);
    }
}

TEST_F(NamedObjects, AnObjectHeldElsewhereOutlivesItsRemoval)
{
    objectdb_t db;
    ASSERT_TRUE(objectdb_initialise(db));
    preset_t* shown = Make("shown on the display");
    ASSERT_TRUE(objectdb_insert(db, &shown->header));
    object_add_reference(&shown->header); // the display's reference

    objectdb_remove(db, shown->header.id);
    EXPECT_EQ(objectdb_num(db), 0u);
    EXPECT_TRUE(released.empty());
    EXPECT_EQ(shown->header.index, -1);
    EXPECT_EQ(shown->header.ref_count, 1);
    object_remove_reference(&shown->header);
    EXPECT_EQ(released.size(), 1u);
    objectdb_release(db);
}

TEST_F(NamedObjects, ReleaseDropsEveryObjectInInsertionOrder)
{
    objectdb_t db;
    ASSERT_TRUE(objectdb_initialise(db));
    for (const char* name : {"node 3", "node 1", "node 2"})
        ASSERT_TRUE(objectdb_insert(db, &Make(name)->header));
    preset_t* kept = Make("kept by the display");
    ASSERT_TRUE(objectdb_insert(db, &kept->header));
    object_add_reference(&kept->header);

    objectdb_release(db);
    EXPECT_EQ(released, (std::vector<std::string>{"node 3", "node 1", "node 2"}));
    EXPECT_EQ(objectdb_num(db), 0u);
    EXPECT_EQ(kept->header.index, -1);
    objectdb_release(db); // safe twice
    object_remove_reference(&kept->header);
    EXPECT_EQ(released.size(), 4u);

    objectdb_t zeroed = {};
    objectdb_release(zeroed); // and on a zeroed record
}

TEST_F(NamedObjects, AnInsertThatCannotGrowLeavesTheRegistryUnchanged)
{
    objectdb_t db;
    ASSERT_TRUE(objectdb_initialise(db));
    std::vector<preset_t*> presets;
    for (u64 i = 0; i <= OBJECTDB_INITIAL_CAPACITY; ++i)
        presets.push_back(Make(("preset " + std::to_string(i)).c_str()));
    for (u64 i = 0; i < OBJECTDB_INITIAL_CAPACITY; ++i)
        ASSERT_TRUE(objectdb_insert(db, &presets[i]->header));

    object_t* extra = &presets.back()->header;
    {
        lumivane_test::FailingAllocator failing; // the list is full and must grow
        EXPECT_FALSE(objectdb_insert(db, extra));
    }
    EXPECT_EQ(objectdb_num(db), OBJECTDB_INITIAL_CAPACITY);
    EXPECT_EQ(db.index.num_entries, OBJECTDB_INITIAL_CAPACITY);
    EXPECT_EQ(objectdb_find(db, extra->id), nullptr);
    EXPECT_EQ(extra->index, -1);
    EXPECT_EQ(extra->ref_count, 1);

    ASSERT_TRUE(objectdb_insert(db, extra)); // the same insert works once memory is back
    EXPECT_EQ(extra->index, static_cast<i32>(OBJECTDB_INITIAL_CAPACITY));
    objectdb_release(db);
    EXPECT_EQ(released.size(), OBJECTDB_INITIAL_CAPACITY + 1);
}
