// The raw codec asks LibRaw in a reader process where the preview lies: a
// reader that crashes, hangs or is missing must cost one failed picture, never
// the application, and the same codec must go on decoding the next file.
#include "colour_codec_helpers.h"
#include "orvo/colour/src/colour_raw_probe.h"
#include "support/support_log_capture.h"

#include <csignal>
#include <string>

using namespace orvo;
using namespace colour_test;

namespace
{
// Resets the reader whatever the test does.
struct TestReader
{
    TestReader(const char* const* argv, int time_limit_ms)
    {
        raw_prober_set_test_reader(argv, time_limit_ms);
    }
    ~TestReader()
    {
        raw_prober_set_test_reader(nullptr, 0);
    }
};

// A DNG whose CFA pattern claims 36 bytes where it stores 4: LibRaw 0.20
// reads wild memory on it and crashes wherever that memory is unmapped.
Bytes DngWithLongCfaPattern(const Bytes& preview)
{
    Bytes file = lumivane_test::WriteDng(preview, 48, 32, 8);
    // CFAPattern (0x828E) as BYTE (1) with a count of 4.
    const orvo::u8 entry[] = {0x8E, 0x82, 0x01, 0x00, 0x04, 0x00, 0x00, 0x00};
    for (size_t at = 8; at + sizeof entry <= file.size(); ++at)
    {
        if (std::equal(entry, entry + sizeof entry, file.begin() + at))
        {
            file[at + 4] = 36;
            return file;
        }
    }
    ADD_FAILURE() << "the DNG writer stores no CFA pattern";
    return file;
}
} // namespace

TEST(RawProbe, AReaderThatCrashesHangsOrIsMissingFailsOneFileAndTheCodecCarriesOn)
{
    Bytes preview = lumivane_test::WriteJpeg(48, 32, 3, 90);
    Bytes good = lumivane_test::WriteDng(preview, 48, 32, 6);
    // Readers that take the request and then die, or never answer.
    const char* const crashes[] = {"/bin/sh", "-c", "head -c 1 <&3 >/dev/null; kill -SEGV $$", nullptr};
    const char* const hangs[] = {"/bin/sleep", "60", nullptr};
    const char* const missing[] = {"/nonexistent/lumivane-raw-probe", nullptr};
    const char* const quits[] = {"/bin/sh", "-c", "head -c 1 <&3 >/dev/null", nullptr};
    const std::string crashed = "LibRaw crashed on it (signal " + std::to_string(SIGSEGV) + ")";
    struct Case
    {
        const char* name;
        const char* const* reader;
        int time_limit_ms;
        Bytes file;
        const char* logged; // null when LibRaw may read the file either way
    };
    const Case cases[] = {
        {"reader crashes", crashes, 0, good, crashed.c_str()},
        {"reader hangs", hangs, 200, good, "LibRaw did not finish within 200 ms"},
        {"reader missing", missing, 0, good, "RAW reader cannot start: /nonexistent/lumivane-raw-probe"},
        {"reader quits without answering", quits, 0, good, "the reader ended without an answer"},
        {"CFA pattern longer than stored", nullptr, 0, DngWithLongCfaPattern(preview), nullptr},
    };
    OpenCodec codec(raw_codec_create);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        lumivane_test::LogCapture log;
        // Closing ends the codec's reader; the next one is the test's.
        image_codec_close(codec.get());
        ASSERT_TRUE(image_codec_open(codec.get()));
        {
            TestReader reader(c.reader, c.time_limit_ms);
            Decoded d = DecodeWith(codec.get(), c.file);
            if (c.logged)
            {
                EXPECT_FALSE(d.header);
                EXPECT_TRUE(log.Contains(c.logged)) << c.logged;
            }
        }
        // A reader lost, whatever the cause, is not taken up again: the next
        // file starts the real one.
        Decoded next = DecodeWith(codec.get(), good);
        ASSERT_TRUE(next.header);
        EXPECT_TRUE(next.decoded);
        EXPECT_EQ(next.desc.width, 48);
        EXPECT_EQ(next.desc.height, 32);
        EXPECT_EQ(next.desc.orientation, IMAGEORIENTATION_ROTATE90);
    }
}

TEST(RawProbe, OneReaderServesFileAfterFileAndComesBackAfterBeingKilled)
{
    Bytes preview = lumivane_test::WriteJpeg(48, 32, 3, 90);
    Bytes good = lumivane_test::WriteDng(preview, 48, 32, 1);
    raw_prober_t prober;
    raw_prober_initialise(prober);
    raw_preview_location_t location = {};
    ASSERT_TRUE(raw_prober_find_preview(prober, Block(good), location));
    pid_t first = prober.reader;
    ASSERT_GT(first, 0);
    EXPECT_EQ(Bytes(good.begin() + location.offset, good.begin() + location.offset + location.length), preview);
    ASSERT_TRUE(raw_prober_find_preview(prober, Block(good), location));
    EXPECT_EQ(prober.reader, first);

    // Killed from outside between two files: the next file gets a new reader.
    kill(first, SIGKILL);
    ASSERT_TRUE(raw_prober_find_preview(prober, Block(good), location));
    EXPECT_NE(prober.reader, first);
    EXPECT_EQ(location.length, preview.size());
    raw_prober_release(prober);
    EXPECT_EQ(prober.reader, 0);
}

TEST(RawProbe, APreviewOutsideTheFileIsRefusedBeforeAnyByteIsRead)
{
    Bytes preview = lumivane_test::WriteJpeg(48, 32, 3, 90);
    Bytes good = lumivane_test::WriteDng(preview, 48, 32, 1);
    raw_prober_t prober;
    raw_prober_initialise(prober);
    raw_preview_location_t location = {};
    ASSERT_TRUE(raw_prober_find_preview(prober, Block(good), location));

    // The preview's length claims one byte past the end of the file.
    orvo::u64 too_long = good.size() - location.offset + 1;
    Bytes cut = SetTiffTag(good, 279, static_cast<orvo::u32>(too_long));
    lumivane_test::LogCapture log;
    raw_preview_location_t outside = {};
    EXPECT_FALSE(raw_prober_find_preview(prober, Block(cut), outside));
    EXPECT_EQ(outside.length, 0u);
    EXPECT_TRUE(log.Contains("RAW preview of " + std::to_string(too_long) + " bytes at offset " +
                             std::to_string(location.offset)));
    raw_prober_release(prober);
}
