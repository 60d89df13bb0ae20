// The string-id dictionary: sharing and counting, dropping the old entry on
// resolve, the uncounted empty id, over-release, the shut-down report, ids
// that outlive the dictionary, allocation failure and four threads at once.
#include "orvo/core/core_log.h"
#include "orvo/core/core_stringid.h"
#include "orvo/core/core_stringid_qt.h"
#include "support/support_failing_allocator.h"
#include "support/support_log_capture.h"

#include <gtest/gtest.h>

#include <QString>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace orvo;

namespace
{
struct StringId : ::testing::Test
{
    lumivane_test::LogCapture log;
    void SetUp() override { stringid_library_initialise(); }
    void TearDown() override { stringid_library_release(); }

    static stringid_t Resolve(const char* text)
    {
        stringid_t id = {empty_str};
        EXPECT_TRUE(stringid_resolve(id, string_make(text)));
        return id;
    }

    bool OverReleaseLogged() { return log.Contains("string id released too many times"); }
};

// A handler that records pieces without opening the log, to see that a
// closed log receives nothing.
void collect_piece(const string_t& text, void* user)
{
    static_cast<std::vector<std::string>*>(user)->emplace_back(text.str, text.length);
}
} // namespace

TEST_F(StringId, ResolvingTheSameTextSharesOneCountedEntry)
{
    stringid_t a = Resolve("Canon EOS R5");
    EXPECT_STREQ(a.str, "Canon EOS R5");
    EXPECT_EQ(a.length, 12u);
    EXPECT_EQ(stringid_count(a), 2); // the dictionary's and ours

    stringid_t b = Resolve("Canon EOS R5");
    EXPECT_EQ(b.str, a.str);
    EXPECT_EQ(stringid_count(a), 3);

    stringid_t other = Resolve("Canon EOS R6");
    EXPECT_NE(other.str, a.str);

    stringid_incref(a);
    EXPECT_EQ(stringid_count(a), 4);
    stringid_decref(a);
    stringid_release(b);
    EXPECT_EQ(b.str, empty_str.str);
    stringid_release(a);
    EXPECT_EQ(stringid_count(Resolve("Canon EOS R5")), 2);
    EXPECT_FALSE(OverReleaseLogged());
}

TEST_F(StringId, ResolvingIntoAHeldIdMovesItsReference)
{
    struct Case
    {
        const char* name;
        const char* held;
        const char* target;
        bool target_exists; // another holder interned it before
    };
    const Case cases[] = {
        {"found: the new text is already interned", "old-found", "new-found", true},
        {"created: the new text is new", "old-created", "new-created", false},
        {"same text: the count stays", "same", "same", true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        stringid_t keeper = Resolve(c.held); // keeps the old entry alive
        stringid_t id = Resolve(c.held);
        stringid_t target_keeper = {empty_str};
        if (c.target_exists && std::strcmp(c.held, c.target) != 0)
            target_keeper = Resolve(c.target);
        const i32 old_before = stringid_count(keeper);
        const i32 target_before = stringid_count(target_keeper);

        ASSERT_TRUE(stringid_resolve(id, string_make(c.target)));
        EXPECT_STREQ(id.str, c.target);
        if (std::strcmp(c.held, c.target) == 0)
        {
            EXPECT_EQ(stringid_count(keeper), old_before);
        }
        else
        {
            EXPECT_EQ(stringid_count(keeper), old_before - 1);
            EXPECT_EQ(stringid_count(id), c.target_exists ? target_before + 1 : 2);
        }
        stringid_release(id);
        stringid_release(target_keeper);
        stringid_release(keeper);
    }
    EXPECT_FALSE(OverReleaseLogged());
}

TEST_F(StringId, TheEmptyIdIsNeverCounted)
{
    stringid_t empty = {empty_str};
    stringid_t zeroed = {};
    for (stringid_t* id : {&empty, &zeroed})
    {
        stringid_incref(*id);
        stringid_decref(*id);
        stringid_decref(*id);
        EXPECT_EQ(stringid_count(*id), 0);
        stringid_release(*id);
        EXPECT_EQ(id->str, empty_str.str);
    }
    EXPECT_EQ(log.Lines().size(), 0u);

    // An empty text is still a dictionary entry of its own; callers that want
    // the empty id test the length first.
    stringid_t interned_empty = Resolve("");
    EXPECT_NE(interned_empty.str, empty_str.str);
    EXPECT_EQ(interned_empty.length, 0u);
    EXPECT_EQ(stringid_count(interned_empty), 2);
    EXPECT_EQ(Resolve("").str, interned_empty.str);
}

TEST_F(StringId, OverReleaseIsLoggedAndTheTextStaysReadable)
{
    stringid_t id = Resolve("serial 0042");
    stringid_t copy = id;
    stringid_release(id);
    EXPECT_EQ(stringid_count(copy), 1); // only the dictionary holds it now
    EXPECT_FALSE(OverReleaseLogged());

    stringid_decref(copy);
    EXPECT_TRUE(log.Contains("string id released too many times: serial 0042"));
    EXPECT_STREQ(copy.str, "serial 0042");
    // The entry stays in the dictionary: the same text finds it again.
    EXPECT_EQ(Resolve("serial 0042").str, copy.str);
}

TEST_F(StringId, ShutDownReportListsOnlyEntriesHeldOutsideTheDictionary)
{
    stringid_t held = Resolve("held");
    stringid_t twice = Resolve("held twice");
    stringid_incref(twice);
    stringid_t dropped = Resolve("dropped");
    stringid_release(dropped);
    log.Clear();

    stringid_library_check();
    std::vector<std::string> lines = log.Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_NE(lines[0].find("Warning"), std::string::npos);
    EXPECT_NE(lines[0].find("General"), std::string::npos);
    // Every entry counts in the total; only the three of this test exist when
    // the case runs in a process of its own, as CTest runs it.
    const std::string total =
        "string id dictionary: " + std::to_string(stringid_ctx.table.num_entries) + " unfreed entries";
    EXPECT_NE(lines[0].find(total), std::string::npos);
    std::vector<std::string> listed(lines.begin() + 1, lines.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_TRUE(std::binary_search(listed.begin(), listed.end(), "ref_count 2: held"));
    EXPECT_TRUE(std::binary_search(listed.begin(), listed.end(), "ref_count 3: held twice"));
    for (const std::string& line : listed)
    {
        EXPECT_EQ(line.find("dropped"), std::string::npos);
        EXPECT_EQ(line.find("ref_count 1:"), std::string::npos);
    }

    // Nothing at all while Warning is off for General.
    log.Clear();
    log_enable(LOGLEVEL_WARNING, LOGMODULE_GENERAL, false);
    stringid_library_check();
    EXPECT_TRUE(log.Lines().empty());
    log_enable(LOGLEVEL_WARNING, LOGMODULE_GENERAL, true);
    stringid_release(held);
    stringid_release(twice);
}

TEST(StringIdReport, WritesNothingWhenTheLogIsClosedOrTheDictionaryEmpty)
{
    std::vector<std::string> pieces;
    stringid_library_initialise();
    log_set_handler(collect_piece, &pieces); // log never opened
    stringid_library_check();                // empty dictionary
    stringid_t id = {empty_str};
    ASSERT_TRUE(stringid_resolve(id, string_make("held while closed")));
    stringid_library_check();
    log_set_handler(nullptr, nullptr);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0], std::string(utf8_bom.str, utf8_bom.length)); // only the handler's greeting
    stringid_release(id);
    stringid_library_release();
}

TEST_F(StringId, IdsOutliveTheDictionaryAndStayEqualAfterASecondSetUp)
{
    stringid_library_initialise(); // counted: the matching release keeps the table
    stringid_t early = Resolve("node 10.0.0.7");
    stringid_library_release();
    EXPECT_NE(stringid_ctx.table.buckets.count, 0u);

    stringid_library_release();
    EXPECT_EQ(stringid_ctx.table.buckets.count, 0u);
    EXPECT_STREQ(early.str, "node 10.0.0.7");
    EXPECT_EQ(stringid_count(early), 2);

    stringid_library_initialise();
    stringid_t later = Resolve("node 10.0.0.7");
    EXPECT_EQ(later.str, early.str);
    EXPECT_EQ(stringid_count(early), 3);
    stringid_release(later);
    stringid_release(early);
}

TEST(StringIdSetUp, ResolvingBeforeSetUpCreatesTheTable)
{
    ASSERT_EQ(stringid_ctx.table.buckets.count, 0u);
    stringid_t id = {empty_str};
    ASSERT_TRUE(stringid_resolve(id, string_make("early")));
    EXPECT_EQ(stringid_ctx.table.buckets.count, STRINGID_NUM_BUCKETS);
    stringid_library_initialise();
    stringid_t again = {empty_str};
    ASSERT_TRUE(stringid_resolve(again, string_make("early")));
    EXPECT_EQ(again.str, id.str);
    stringid_release(again);
    stringid_release(id);
    stringid_library_release();
}

TEST_F(StringId, EntriesLandInTheBucketOfTheirElfHash)
{
    const char* texts[] = {"a", "RenderTargetSize", "Nikon Z 9", "\xC3\xBC\xC3\xA9\xE2\x82\xAC", "0123456789abcdefXYZ"};
    for (const char* text : texts)
    {
        SCOPED_TRACE(text);
        EXPECT_EQ(container_traits<stringid_t>::hash(string_make(text)), elf_hash(text));
        stringid_t id = Resolve(text);
        const vector_t<stringid_t>& bucket = stringid_ctx.table.buckets.data[elf_hash(text) % STRINGID_NUM_BUCKETS];
        u64 position = 0;
        ASSERT_TRUE(vector_search(bucket, string_make(text), position));
        EXPECT_EQ(bucket.data[position].str, id.str);
        stringid_release(id);
    }
}

TEST_F(StringId, ViewsAreInternedUpToTheirLengthOrFirstZero)
{
    stringid_t whole = Resolve("camera");
    const char serial_and_more[] = "camera-serial";
    stringid_t prefix = {empty_str};
    ASSERT_TRUE(stringid_resolve(prefix, string_make(serial_and_more, 6))); // not terminated at its length
    EXPECT_EQ(prefix.str, whole.str);
    EXPECT_EQ(prefix.length, 6u);

    const char inner_zero[] = {'c', 'a', 'm', 'e', 'r', 'a', 0, 'x'};
    stringid_t cut = {empty_str};
    ASSERT_TRUE(stringid_resolve(cut, string_t{inner_zero, sizeof(inner_zero)}));
    EXPECT_EQ(cut.str, whole.str);
    stringid_release(cut);
    stringid_release(prefix);
    stringid_release(whole);
}

TEST_F(StringId, AnEntryThatCannotBeAllocatedLeavesTheEmptyId)
{
    stringid_t keeper = Resolve("previous");
    stringid_t id = Resolve("previous");
    {
        lumivane_test::FailingAllocator failing;
        EXPECT_FALSE(stringid_resolve(id, string_make("never stored")));
    }
    EXPECT_EQ(id.str, empty_str.str);
    EXPECT_EQ(stringid_count(keeper), 2); // the old reference was dropped
    EXPECT_TRUE(log.Contains("FATAL ERROR failed to allocate"));
    EXPECT_FALSE(OverReleaseLogged());

    // The next attempt stores it normally.
    EXPECT_TRUE(stringid_resolve(id, string_make("never stored")));
    EXPECT_STREQ(id.str, "never stored");
    stringid_release(id);
    stringid_release(keeper);
}

TEST_F(StringId, FourThreadsInternCountAndReleaseTheSameTexts)
{
    const int num_threads = 4;
    const int num_texts = 64;
    const int rounds = 300;
    std::vector<std::string> texts;
    for (int i = 0; i < num_texts; ++i)
        texts.push_back("camera-" + std::to_string(i * 7919));

    // Each thread records the address it got for every text in every round.
    std::vector<std::vector<const char*>> seen(num_threads, std::vector<const char*>(num_texts, nullptr));
    std::vector<int> mismatches(num_threads, 0);
    const u64 entries_before = stringid_ctx.table.num_entries;
    std::vector<std::thread> threads;
    for (int t = 0; t < num_threads; ++t)
    {
        threads.emplace_back([&, t] {
            std::vector<stringid_t> held(num_texts, stringid_t{empty_str});
            stringid_t roaming = {empty_str};
            for (int round = 0; round < rounds; ++round)
            {
                for (int k = 0; k < num_texts; ++k)
                {
                    int i = (k + t * 13 + round) % num_texts;
                    stringid_resolve(held[i], string_make(texts[i].c_str()));
                    // Resolving into a held id drops its previous entry.
                    stringid_resolve(roaming, string_make(texts[(i + 1) % num_texts].c_str()));
                    stringid_t copy = held[i];
                    stringid_incref(copy);
                    if (seen[t][i] == nullptr)
                        seen[t][i] = held[i].str;
                    else if (seen[t][i] != held[i].str)
                        ++mismatches[t];
                    stringid_decref(copy);
                }
            }
            for (stringid_t& id : held)
                stringid_release(id);
            stringid_release(roaming);
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    for (int t = 0; t < num_threads; ++t)
    {
        EXPECT_EQ(mismatches[t], 0);
        EXPECT_EQ(seen[t], seen[0]) << "thread " << t << " got other entries";
    }
    EXPECT_EQ(stringid_ctx.table.num_entries - entries_before, static_cast<u64>(num_texts));
    for (int i = 0; i < num_texts; ++i)
    {
        stringid_t id = Resolve(texts[i].c_str());
        EXPECT_EQ(id.str, seen[0][i]);
        EXPECT_EQ(stringid_count(id), 2) << texts[i]; // every thread dropped exactly what it took
        stringid_release(id);
    }
    EXPECT_FALSE(OverReleaseLogged());
}

TEST_F(StringId, QStringTextsAreInternedAsUtf8)
{
    stringid_t from_utf8 = Resolve("Kamera \xC3\xBC");
    stringid_t from_qt = stringid_construct(QString::fromUtf8("Kamera \xC3\xBC"));
    EXPECT_EQ(from_qt.str, from_utf8.str);
    EXPECT_EQ(stringid_count(from_qt), 3);
    stringid_release(from_qt);
    stringid_release(from_utf8);
}
