// The image service through a real "LOAD" thread: one decode per unchanged
// file, a new picture for a touched file, the codec order, thumbnails, the
// failures that reach the client as null pictures or ErrorMsg, answers that
// wait for MAIN's pump, and unloads of pictures that are no longer cached.
#include "load_fixture.h"

#include "support/image/image_writers.h"

#include <sys/stat.h>
#include <utime.h>

#include <fstream>
#include <string>
#include <vector>

using namespace orvo;
using namespace lumivane_test;

namespace
{
using Answers = load_test::Answers<image_t>;

class ImageService : public load_test::LoadThread
{
protected:
    void SetUp() override
    {
        LoadThread::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(image_client_initialise(client, &answers, &Answers::Load, &Answers::Unload));
        client_ready = true;
        // The displays' order.
        for (image_codec_factory_t factory : {jpeg_codec_create, raw_codec_create, png_codec_create, tiff_codec_create})
            ASSERT_GE(image_client_register(client, factory), 0);
        ASSERT_TRUE(PumpUntil([&] { return !msgclient_pending(client.client); }));
    }

    void TearDown() override
    {
        if (client_ready)
            image_client_release(client);
        LoadThread::TearDown();
    }

    // Sends a load and pumps until its answer; the picture or null.
    image_t* Load(const std::string& path)
    {
        const size_t before = answers.loads.size();
        const int request = image_client_load(client, string_make(path.c_str()));
        EXPECT_GE(request, 0);
        EXPECT_TRUE(PumpUntil([&] { return answers.loads.size() > before; }));
        if (answers.loads.size() <= before)
            return nullptr;
        EXPECT_EQ(answers.loads.back().first, request);
        return answers.loads.back().second;
    }

    void Unload(const image_t* image)
    {
        const size_t before = answers.unloads.size();
        const int request = image_client_unload(client, image);
        ASSERT_GE(request, 0);
        ASSERT_TRUE(PumpUntil([&] { return answers.unloads.size() > before; }));
        EXPECT_EQ(answers.unloads.back(), request);
    }

    std::string Write(const std::string& name, const Bytes& bytes)
    {
        const std::string path = dir.File(name);
        EXPECT_TRUE(SaveBytes(path, bytes));
        return path;
    }

    std::string WritePngOf(const std::string& name, int width, int height, int colour_type = 2)
    {
        PngOptions options;
        options.width = width;
        options.height = height;
        options.colour_type = colour_type;
        return Write(name, WritePng(options));
    }

    Answers answers;
    image_client_t client{};
    bool client_ready = false;
};

// Every thumbnail pixel must be the picture's pixel at the sampled place.
void ExpectNearestSamples(const image_t& image, int level)
{
    const pixelbuffer_t& source = image.picture.picture;
    const pixelbuffer_t& thumb = image.thumbnails[level].picture;
    const u32 bpp = pixelformat_bytes_per_pixel(source.format);
    ASSERT_EQ(thumb.format, source.format);
    const float rows = float(source.height) / float(thumb.height);
    const float columns = float(source.width) / float(thumb.width);
    for (int k = 0; k < thumb.height; ++k)
        for (int l = 0; l < thumb.width; ++l)
        {
            const int sy = int(float(k) * rows);
            const int sx = int(float(l) * columns);
            const u8* expected = source.data + (u64(sy) * source.row_length + sx) * bpp;
            const u8* actual = thumb.data + (u64(k) * thumb.row_length + l) * bpp;
            ASSERT_EQ(0, memcmp(expected, actual, bpp)) << "thumbnail " << level << " pixel " << l << "," << k;
        }
}
} // namespace

TEST_F(ImageService, TheSameFileTwiceIsDecodedOnceAndCounted)
{
    const std::string path = Write("a.jpg", WriteJpeg(96, 80, 3, 90));
    image_t* first = Load(path);
    ASSERT_NE(first, nullptr);
    image_t* second = Load(path);
    EXPECT_EQ(second, first);
    EXPECT_EQ(image_manager_count(Images(), first), 2);
    EXPECT_EQ(log.Count("Decoded JPEG 96x80 image"), 1u);
    EXPECT_EQ(log.Count("Image retrieved from cache: " + path), 1u);
    EXPECT_EQ(std::string(first->path.str), path);
    EXPECT_EQ(std::string(first->name.str), "a.jpg");
    EXPECT_EQ(first->picture.picture.format, PIXELFORMAT_RGB8);
    EXPECT_EQ(first->format, IMAGEFORMAT_UNKNOWN);
    EXPECT_EQ(first->histogram.generation, 2); // computed once over the RGB pixels

    Unload(first);
    EXPECT_EQ(image_manager_count(Images(), first), 1);
    EXPECT_FALSE(log.Contains("Image removed from cache"));
    Unload(first);
    EXPECT_TRUE(log.Contains("Image removed from cache: " + path));
    EXPECT_EQ(image_manager_num_images(Images()), 0u);
}

TEST_F(ImageService, ATouchedFileIsASecondPicture)
{
    const std::string path = WritePngOf("b.png", 70, 70);
    struct utimbuf times = {1700000000, 1700000000};
    ASSERT_EQ(utime(path.c_str(), &times), 0);
    image_t* first = Load(path);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(std::string(first->key.str), path + ":1700000000");
    EXPECT_EQ(first->timestamp, 1700000000u);

    times = {1700000100, 1700000100};
    ASSERT_EQ(utime(path.c_str(), &times), 0);
    image_t* second = Load(path);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(std::string(second->key.str), path + ":1700000100");
    EXPECT_EQ(log.Count("Decoded png 70x70 image"), 2u);
    // The first stays until it is handed back.
    EXPECT_EQ(image_manager_num_images(Images()), 2u);
    EXPECT_EQ(image_manager_count(Images(), first), 1);
    Unload(first);
    EXPECT_EQ(image_manager_count(Images(), second), 1);
    Unload(second);
    EXPECT_EQ(image_manager_num_images(Images()), 0u);
}

TEST_F(ImageService, CodecsAreTriedInRegistrationOrder)
{
    const image_manager_t& images = Images();
    ASSERT_EQ(images.codecs.count, 4u);
    const image_codec_factory_t order[] = {jpeg_codec_create, raw_codec_create, png_codec_create, tiff_codec_create};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(images.codecs.data[i].factory, order[i]) << i;

    struct Case
    {
        const char* name;
        Bytes bytes;
        const char* decoded_by; // null: no codec decodes it
    };
    const Case cases[] = {
        {"photo.jpg", WriteJpeg(40, 30, 3, 85), "Decoded JPEG 40x30"},
        {"photo.png", WritePng(PngOptions{}), "Decoded png 8x8"},
        {"photo.tif", WriteTiff(20, 10), "Decoded tiff 20x10"},
        {"photo.dng", WriteDng(WriteJpeg(32, 24, 3, 85), 32, 24, 6), "Decoded RAW 32x24"},
        // A TGA header: identified as TGA, decoded by nobody.
        {"photo.tga", Bytes{0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2, 0, 24, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
         nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        log.Clear();
        const std::string path = Write(c.name, c.bytes);
        image_t* image = Load(path);
        if (!c.decoded_by)
        {
            EXPECT_EQ(image, nullptr);
            EXPECT_TRUE(log.Contains("Failed to decode image: " + path));
            continue;
        }
        ASSERT_NE(image, nullptr);
        EXPECT_TRUE(log.Contains(c.decoded_by));
        Unload(image);
    }
    // The raw preview's orientation comes from the raw file.
    const std::string dng = Write("turned.dng", WriteDng(WriteJpeg(32, 24, 3, 85), 32, 24, 6));
    image_t* turned = Load(dng);
    ASSERT_NE(turned, nullptr);
    EXPECT_EQ(turned->orientation, IMAGEORIENTATION_ROTATE90);
    Unload(turned);
}

TEST_F(ImageService, TheOrientationOfAJpegComesFromItsExif)
{
    const std::string path = Write("exif.jpg", InsertExif(WriteJpeg(16, 16, 3, 90), WriteExifOrientation(3, 8)));
    image_t* image = Load(path);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->orientation, IMAGEORIENTATION_ROTATE270);
    Unload(image);
    // Bytes after the JPEG stream are reported and still decoded.
    Bytes padded = WriteJpeg(16, 16, 3, 90);
    const size_t stream = padded.size();
    padded.resize(stream + 100, 0xAB);
    image_t* second = Load(Write("padded.jpg", padded));
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(log.Contains("Image file contains unused data after payload: " + std::to_string(stream + 100) +
                             " (expected " + std::to_string(stream) + ")"));
    Unload(second);
}

TEST(ImageThumbnails, SizesKeepTheAspectAndNeverASideOfZero)
{
    struct Case
    {
        int width, height, level;
        bool made;
        int thumb_width, thumb_height;
    };
    const Case cases[] = {
        {6000, 4000, 64, true, 64, 42},      {6000, 4000, 256, true, 256, 170},
        {6000, 4000, 1024, true, 1024, 682}, {300, 200, 64, true, 64, 42},
        {300, 200, 256, false, 0, 0},        {64, 64, 64, true, 64, 64},
        {50, 50, 64, false, 0, 0},           {2048, 100, 64, true, 64, 3},
        {100, 2048, 64, true, 3, 64},        {4097, 64, 64, true, 64, 1}, // 64:1 and wider
        {64, 4097, 64, true, 1, 64},         {65536, 64, 64, true, 64, 1},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " level " + std::to_string(c.level));
        int w = -1;
        int h = -1;
        EXPECT_EQ(image_compute_thumbnail_size(c.width, c.height, c.level, w, h), c.made);
        EXPECT_EQ(w, c.thumb_width);
        EXPECT_EQ(h, c.thumb_height);
    }
}

TEST_F(ImageService, ThumbnailsOfLoadedPictures)
{
    struct Case
    {
        int width, height, colour_type;
        std::vector<std::pair<int, int>> thumbnails;
    };
    const Case cases[] = {
        {50, 50, 2, {}},
        {64, 64, 2, {{64, 64}}},
        {2048, 100, 2, {{64, 3}}},
        {100, 2048, 6, {{3, 64}}},
        {4097, 64, 0, {{64, 1}}},
        {300, 200, 4, {{64, 42}}},
        {1030, 1024, 0, {{64, 63}, {256, 254}, {1024, 1018}}},
    };
    for (const Case& c : cases)
    {
        const std::string name = std::to_string(c.width) + "x" + std::to_string(c.height) + ".png";
        SCOPED_TRACE(name);
        log.Clear();
        image_t* image = Load(WritePngOf(name, c.width, c.height, c.colour_type));
        ASSERT_NE(image, nullptr);
        ASSERT_EQ(image->num_thumbnails, int(c.thumbnails.size()));
        for (size_t i = 0; i < c.thumbnails.size(); ++i)
        {
            EXPECT_EQ(image->thumbnails[i].picture.width, c.thumbnails[i].first) << i;
            EXPECT_EQ(image->thumbnails[i].picture.height, c.thumbnails[i].second) << i;
            ExpectNearestSamples(*image, int(i));
            for (u64 cell = 0; cell < image->thumbnails[i].cells.count; ++cell)
                EXPECT_GT(image->thumbnails[i].cells.data[cell].texture->revision, 1);
        }
        // The levels beyond the count hold nothing.
        for (int i = int(c.thumbnails.size()); i < IMAGE_NUM_THUMBNAILS; ++i)
            EXPECT_EQ(image->thumbnails[i].picture.data, nullptr) << i;
        EXPECT_EQ(log.Contains("Created "), !c.thumbnails.empty());
        Unload(image);
    }
}

TEST_F(ImageService, AMissingFileOrAFolderGivesNullWithoutADecodeError)
{
    for (const std::string& path : {dir.File("missing.jpg"), dir.Path()})
    {
        SCOPED_TRACE(path);
        EXPECT_EQ(Load(path), nullptr);
    }
    // An empty file is read and refused.
    EXPECT_FALSE(log.Contains("Failed to decode image"));
    const std::string empty = dir.File("empty.jpg");
    std::ofstream(empty.c_str()).close();
    EXPECT_EQ(Load(empty), nullptr);
    EXPECT_TRUE(log.Contains("Failed to decode image"));
    EXPECT_EQ(image_manager_num_images(Images()), 0u);
}

TEST_F(ImageService, AHeaderBeyondTheSizeLimitIsRefusedBeforeAllocation)
{
    // 60000 x 60000 RGB would be 10 GB; the header alone claims it.
    const std::string path = Write("huge.png", SetPngSize(WritePng(PngOptions{}), 60000, 60000));
    EXPECT_EQ(Load(path), nullptr);
    EXPECT_TRUE(log.Contains("Failed to decode image: " + path));
}

namespace
{
// A plain client of the image server that keeps every answer's header and
// fields, to see the ErrorMsg itself.
struct RawClient
{
    msgclient_t client{};
    std::vector<msg_t> headers;
    std::vector<int> request_types;
    std::vector<int> results;

    static void Receive(void* user, const msg_t* msg)
    {
        RawClient* self = static_cast<RawClient*>(user);
        self->headers.push_back(*msg);
        const msgdata_t* type = msg_find(msg, MSGFIELD_REQUEST_TYPE, nullptr);
        const msgdata_t* result = msg_find(msg, MSGFIELD_RESULT, nullptr);
        self->request_types.push_back(type ? *reinterpret_cast<const i32*>(msgdata_payload(type)) : -1);
        self->results.push_back(result ? *msgdata_payload(result) : -1);
    }
};
} // namespace

TEST_F(ImageService, RequestsWithoutTheirFieldGetAnErrorMsg)
{
    RawClient raw;
    ASSERT_TRUE(msgclient_initialise(raw.client, MSGNODE_TYPE_IMAGE_CLIENT, MSGNODE_TYPE_IMAGE_SERVER, &raw,
                                     &RawClient::Receive));
    struct Case
    {
        const char* why;
        int request_type;
        std::vector<u8> pointer; // a MemoryPtr/FunctionPtr field of these bytes, when not empty
        msgfield_t pointer_field;
    };
    const Case cases[] = {
        {"load without Filename", 0, {}, MSGFIELD_UNKNOWN},
        {"unload without MemoryPtr", 1, {}, MSGFIELD_UNKNOWN},
        {"unload with a 4-byte pointer", 1, {1, 2, 3, 4}, MSGFIELD_MEMORY_PTR},
        {"register without FunctionPtr", 2, {}, MSGFIELD_UNKNOWN},
        {"register with a 9-byte pointer", 2, {1, 2, 3, 4, 5, 6, 7, 8, 9}, MSGFIELD_FUNCTION_PTR},
        {"an unknown request type", 7, {}, MSGFIELD_UNKNOWN},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.why);
        msgbuilder_t& b = raw.client.builder;
        msgbuilder_reset(b);
        ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_IMAGE_CLIENT_MSG));
        ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_REQUEST_TYPE, c.request_type));
        if (!c.pointer.empty())
        {
            ASSERT_TRUE(msgbuilder_add(b, c.pointer_field, c.pointer.data(), c.pointer.size()));
        }
        const size_t before = raw.headers.size();
        const int request = msgclient_send(raw.client, msgbuilder_end(b));
        ASSERT_GE(request, 0);
        ASSERT_TRUE(PumpUntil([&] { return raw.headers.size() > before; }));
        EXPECT_EQ(raw.headers.back().field, MSGFIELD_ERROR_MSG);
        EXPECT_EQ(raw.headers.back().ref_num, u32(request));
        EXPECT_EQ(raw.request_types.back(), c.request_type);
        EXPECT_EQ(raw.results.back(), 0);
    }
    msgclient_release(raw.client);

    // Through the image client a load without Filename reaches the callback as null.
    msgbuilder_t& b = client.client.builder;
    msgbuilder_reset(b);
    ASSERT_TRUE(msgbuilder_begin(b, MSGFIELD_IMAGE_CLIENT_MSG));
    ASSERT_TRUE(msgbuilder_add(b, MSGFIELD_REQUEST_TYPE, 0));
    const int request = msgclient_send(client.client, msgbuilder_end(b));
    ASSERT_TRUE(PumpUntil([&] { return !answers.loads.empty(); }));
    EXPECT_EQ(answers.loads.back().first, request);
    EXPECT_EQ(answers.loads.back().second, nullptr);
}

TEST_F(ImageService, AnswersArriveOnlyWhenMainPumps)
{
    const std::string path = WritePngOf("wait.png", 20, 20);
    ASSERT_GE(image_client_load(client, string_make(path.c_str())), 0);
    ASSERT_TRUE(WaitForLog("Image added to cache: " + path));
    EXPECT_TRUE(answers.loads.empty());
    EXPECT_TRUE(msgclient_pending(client.client));
    ASSERT_TRUE(PumpUntil([&] { return !answers.loads.empty(); }));
    ASSERT_NE(answers.loads[0].second, nullptr);
    Unload(answers.loads[0].second);
}

TEST_F(ImageService, AStaleUnloadIsLoggedAndIgnored)
{
    const std::string path = WritePngOf("stale.png", 16, 16);
    image_t* image = Load(path);
    ASSERT_NE(image, nullptr);
    Unload(image); // freed here
    log.Clear();
    // The freed record must not be read: AddressSanitizer fails the test if it is.
    Unload(image);
    EXPECT_TRUE(log.Contains("Unloaded image does not exist in cache"));
    // A load afterwards is a fresh decode, unharmed.
    image_t* again = Load(path);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(image_manager_count(Images(), again), 1);
    Unload(again);
    EXPECT_EQ(image_manager_num_images(Images()), 0u);
}

TEST_F(ImageService, RegistrationsAreCounted)
{
    const image_codec_factory_t png = png_codec_create;
    ASSERT_EQ(image_manager_codec_count(Images(), png), 1);
    ASSERT_GE(image_client_register(client, png), 0);
    ASSERT_TRUE(PumpUntil([&] { return !msgclient_pending(client.client); }));
    EXPECT_EQ(image_manager_codec_count(Images(), png), 2);
    EXPECT_TRUE(log.Contains("Image codec already registered: png"));
    ASSERT_GE(image_client_unregister(client, png), 0);
    ASSERT_TRUE(PumpUntil([&] { return !msgclient_pending(client.client); }));
    EXPECT_EQ(image_manager_codec_count(Images(), png), 1);
    ASSERT_GE(image_client_unregister(client, png), 0);
    ASSERT_TRUE(PumpUntil([&] { return !msgclient_pending(client.client); }));
    EXPECT_EQ(image_manager_codec_count(Images(), png), 0);
    EXPECT_TRUE(log.Contains("Unregistering image codec: png"));
    // The others keep their order.
    ASSERT_EQ(Images().codecs.count, 3u);
    EXPECT_EQ(Images().codecs.data[2].factory, tiff_codec_create);
    // Without the PNG codec a PNG decodes with nobody.
    EXPECT_EQ(Load(WritePngOf("nopng.png", 8, 8)), nullptr);
    EXPECT_TRUE(log.Contains("Failed to decode image"));
    // Null factories and images send nothing.
    EXPECT_EQ(image_client_register(client, nullptr), -1);
    EXPECT_EQ(image_client_unregister(client, nullptr), -1);
    EXPECT_EQ(image_client_unload(client, nullptr), -1);
}

TEST_F(ImageService, ManyPicturesLoadedAndUnloadedLeaveNothingBehind)
{
    std::vector<std::string> paths;
    for (int i = 0; i < 6; ++i)
        paths.push_back(WritePngOf("p" + std::to_string(i) + ".png", 65 + i, 70));
    // Requests go out in bursts, as a display's would, and are answered in order.
    for (int round = 0; round < 5; ++round)
    {
        answers.loads.clear();
        answers.unloads.clear();
        for (int twice = 0; twice < 2; ++twice)
            for (const std::string& path : paths)
                ASSERT_GE(image_client_load(client, string_make(path.c_str())), 0);
        ASSERT_TRUE(PumpUntil([&] { return answers.loads.size() == 2 * paths.size(); }));
        for (size_t i = 0; i < paths.size(); ++i)
        {
            ASSERT_NE(answers.loads[i].second, nullptr);
            EXPECT_EQ(answers.loads[i].second, answers.loads[i + paths.size()].second);
        }
        for (const auto& answer : answers.loads)
            ASSERT_GE(image_client_unload(client, answer.second), 0);
        ASSERT_TRUE(PumpUntil([&] { return answers.unloads.size() == 2 * paths.size(); }));
        ASSERT_EQ(image_manager_num_images(Images()), 0u);
    }
    // Pictures still cached when the thread stops are freed by its release
    // (LeakSanitizer checks it).
    ASSERT_NE(Load(paths[0]), nullptr);
}
