// Scopes of shader variables: one variable per name, growth that keeps the
// old bytes and zero-fills the new ones, sizes that never shrink, refused
// names, failures that leave the variable as it was, the release report and
// resolving from several threads.
#include "orvo/core/core_log.h"
#include "orvo/core/core_scope.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace orvo;

namespace
{
struct ScopeVariables : ::testing::Test
{
    lumivane_test::LogCapture log;
    scope_t scope;
    void SetUp() override
    {
        stringid_library_initialise();
        ASSERT_TRUE(scope_initialise(scope));
    }
    void TearDown() override
    {
        scope_release(scope);
        scope_release(scope); // safe twice
        EXPECT_FALSE(log.Contains("string id released too many times"));
        stringid_library_release();
    }

    static bool AllZero(const void* data, u64 from, u64 to)
    {
        for (u64 i = from; i < to; ++i)
        {
            if (static_cast<const u8*>(data)[i] != 0)
                return false;
        }
        return true;
    }
};
} // namespace

TEST_F(ScopeVariables, ResolvingANameTwiceGivesTheSameVariable)
{
    const i32 last = version_object_id<version_id_allocator_t>();
    scope_variable_t* size = scope_resolve(scope, string_make("RenderTargetSize"), 8, 4);
    ASSERT_NE(size, nullptr);
    EXPECT_STREQ(size->name.str, "RenderTargetSize");
    EXPECT_EQ(size->serial, last + 1);
    EXPECT_EQ(size->version, 1);
    EXPECT_EQ(size->size, 8u);
    EXPECT_EQ(size->element_size, 4u);
    EXPECT_TRUE(AllZero(size->data, 0, 8));
    EXPECT_EQ(stringid_count(size->name), 2); // the dictionary's and the variable's

    EXPECT_EQ(scope_resolve(scope, string_make("RenderTargetSize"), 8, 4), size);
    EXPECT_EQ(stringid_count(size->name), 2); // the lookup's own reference was dropped
    scope_variable_t* other = scope_resolve(scope, string_make("u_matrix"), 64, 4);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(other, size);
    EXPECT_EQ(scope.index.num_entries, 2u);
}

TEST_F(ScopeVariables, StorageGrowsKeepingItsBytesAndNeverShrinks)
{
    struct Step
    {
        const char* name;
        u64 size;
        u64 element_size;
        u64 expect_size;
        u64 expect_element_size;
    };
    const Step steps[] = {
        {"first resolve", 8, 4, 8, 4},
        {"grows to 64 bytes", 64, 4, 64, 4},
        {"a smaller size keeps 64", 16, 4, 64, 4},
        {"a smaller element size keeps 4", 64, 1, 64, 4},
        {"a larger element size alone", 32, 8, 64, 8},
        {"grows again", 100, 1, 100, 8},
    };
    scope_variable_t* variable = nullptr;
    u64 written = 0;
    for (const Step& s : steps)
    {
        SCOPED_TRACE(s.name);
        scope_variable_t* resolved = scope_resolve(scope, string_make("RenderTargetSize"), s.size, s.element_size);
        ASSERT_NE(resolved, nullptr);
        if (variable)
        {
            EXPECT_EQ(resolved, variable);
        }
        variable = resolved;
        EXPECT_EQ(variable->size, s.expect_size);
        EXPECT_EQ(variable->element_size, s.expect_element_size);
        for (u64 i = 0; i < written; ++i)
            ASSERT_EQ(static_cast<u8*>(variable->data)[i], static_cast<u8>(0xA0 + i)) << "byte " << i;
        EXPECT_TRUE(AllZero(variable->data, written, variable->size));
        // Writers fill what they have, as the renderer does.
        for (u64 i = written; i < variable->size; ++i)
            static_cast<u8*>(variable->data)[i] = static_cast<u8>(0xA0 + i);
        written = variable->size;
    }
}

TEST_F(ScopeVariables, AnEmptyNameIsRefused)
{
    EXPECT_EQ(scope_resolve(scope, empty_str, 8, 4), nullptr);
    EXPECT_EQ(scope_resolve(scope, string_make("", 0), 8, 4), nullptr);
    EXPECT_EQ(scope.index.num_entries, 0u);
    EXPECT_TRUE(log.Contains("scope_resolve: empty variable name"));
}

TEST_F(ScopeVariables, StorageThatCannotGrowLeavesTheVariableAsItWas)
{
    scope_variable_t* variable = scope_resolve(scope, string_make("u_colour"), 16, 4);
    ASSERT_NE(variable, nullptr);
    std::memset(variable->data, 0x5A, 16);
    const void* data = variable->data;
    {
        lumivane_test::FailingAllocator failing;
        EXPECT_EQ(scope_resolve(scope, string_make("u_colour"), 1024, 4), nullptr);
        EXPECT_FALSE(scope_variable_reserve(variable, 2048, 8));
    }
    EXPECT_EQ(variable->data, data);
    EXPECT_EQ(variable->size, 16u);
    EXPECT_EQ(variable->element_size, 4u);
    EXPECT_EQ(static_cast<u8*>(variable->data)[15], 0x5A);
    EXPECT_TRUE(log.Contains("scope_variable_reserve u_colour: cannot grow to 1024 bytes"));
    EXPECT_EQ(scope_resolve(scope, string_make("u_colour"), 1024, 4), variable);
}

TEST_F(ScopeVariables, AVariableThatCannotBeAllocatedIsNotAdded)
{
    stringid_t id = {empty_str};
    ASSERT_TRUE(stringid_resolve(id, string_make("u_texture")));
    {
        // The name is interned first; the next allocation is the variable.
        lumivane_test::FailingAllocator failing;
        EXPECT_EQ(scope_resolve(scope, string_make("u_texture"), 4, 4), nullptr);
    }
    EXPECT_EQ(scope.index.num_entries, 0u);
    EXPECT_EQ(stringid_count(id), 2); // the failed resolve gave its reference back
    EXPECT_TRUE(log.Contains("FATAL ERROR failed to allocate"));
    stringid_release(id);
}

TEST_F(ScopeVariables, ReleaseReportsAndDestroysEveryVariable)
{
    log_enable(LOGLEVEL_VERBOSE, LOGMODULE_GENERAL, true);
    std::vector<stringid_t> names;
    for (int i = 0; i < 250; ++i) // more than one variable per bucket
    {
        scope_variable_t* variable = scope_resolve(scope, string_make(("u_param" + std::to_string(i)).c_str()), 16, 4);
        ASSERT_NE(variable, nullptr);
        names.push_back(variable->name);
        stringid_incref(names.back());
    }
    scope_release(scope);
    EXPECT_TRUE(log.Contains("scope contents: 250 entries"));
    for (stringid_t& name : names)
    {
        EXPECT_EQ(stringid_count(name), 2) << name.str; // the variable's reference went with it
        stringid_release(name);
    }
    scope_t zeroed = {};
    scope_release(zeroed);
}

TEST_F(ScopeVariables, StandaloneVariablesOwnTheirName)
{
    stringid_t id = {empty_str};
    ASSERT_TRUE(stringid_resolve(id, string_make("loose")));
    stringid_incref(id); // one for us, one handed to the variable
    scope_variable_t* variable = scope_variable_create(id);
    ASSERT_NE(variable, nullptr);
    EXPECT_EQ(variable->data, nullptr);
    EXPECT_EQ(variable->size, 0u);
    EXPECT_EQ(variable->version, 1);
    ASSERT_TRUE(scope_variable_reserve(variable, 12, 4));
    EXPECT_TRUE(AllZero(variable->data, 0, 12));
    scope_variable_destroy(variable);
    scope_variable_destroy(nullptr);
    EXPECT_EQ(stringid_count(id), 2);
    stringid_release(id);
}

TEST_F(ScopeVariables, FourThreadsResolveTheSameNames)
{
    const int num_names = 40;
    std::vector<std::vector<scope_variable_t*>> seen(4, std::vector<scope_variable_t*>(num_names, nullptr));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
    {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round)
            {
                for (int i = 0; i < num_names; ++i)
                {
                    std::string name = "u_shared" + std::to_string((i + t) % num_names);
                    scope_variable_t* variable = scope_resolve(scope, string_make(name.c_str()), 4u * (round + 1), 4);
                    if (round == 0)
                        seen[t][(i + t) % num_names] = variable;
                    else if (seen[t][(i + t) % num_names] != variable)
                        seen[t][(i + t) % num_names] = nullptr;
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(scope.index.num_entries, static_cast<u64>(num_names));
    for (int i = 0; i < num_names; ++i)
    {
        ASSERT_NE(seen[0][i], nullptr);
        for (int t = 1; t < 4; ++t)
            EXPECT_EQ(seen[t][i], seen[0][i]);
        EXPECT_EQ(seen[0][i]->size, 80u);
        EXPECT_EQ(stringid_count(seen[0][i]->name), 2);
    }
}
