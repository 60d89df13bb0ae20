// Separate codec instances on separate threads at once: the library hooks
// reach their codec only through the library's own client pointers, so two
// threads decoding (and failing) side by side must each get their own picture
// and their own errors. Run under ThreadSanitizer in CI.
#include "colour_codec_helpers.h"
#include "support/support_log_capture.h"

#include <thread>

using namespace orvo;
using namespace colour_test;

namespace
{
Bytes Png(int width, int height)
{
    lumivane_test::PngOptions o;
    o.width = width;
    o.height = height;
    o.colour_type = 6;
    return lumivane_test::WritePng(o);
}
} // namespace

TEST(CodecThreads, InstancesRunSideBySide)
{
    struct Work
    {
        image_codec_factory_t factory;
        Bytes good, bad;
        Bytes expected;
        bool pixels_kept; // padding survives (all but TIFF)
    };
    Bytes jpeg = lumivane_test::WriteJpeg(40, 24, 3, 85);
    Bytes bad_jpeg = jpeg;
    bad_jpeg[FindJpegMarker(bad_jpeg, 0xDA) + 6] = 0x33;
    Bytes png = Png(30, 20);
    Bytes preview = lumivane_test::WriteJpeg(32, 16, 3, 80);
    Bytes tiff = lumivane_test::WriteTiff(20, 10, 4);
    int width = 0, height = 0;
    std::vector<Work> work = {
        {jpeg_codec_create, jpeg, bad_jpeg, lumivane_test::DecodeJpegReference(jpeg, width, height), true},
        {png_codec_create, png, Cut(png, png.size() / 2), lumivane_test::PatternPixels(30, 20, 4, 8), true},
        {tiff_codec_create, tiff, SetTiffWidth(tiff, 0), lumivane_test::PatternPixels(20, 10, 4, 8), false},
        {raw_codec_create, lumivane_test::WriteDng(preview, 32, 16, 6),
         lumivane_test::WriteDng(preview, 32, 16, 6, true),
         lumivane_test::DecodeJpegReference(preview, width, height), true},
    };
    lumivane_test::LogCapture log;
    for (const Work& w : work)
    {
        std::vector<Decoded> results[2];
        auto run = [&w](std::vector<Decoded>& out) {
            OpenCodec codec(w.factory);
            for (int i = 0; i < 6; ++i)
            {
                out.push_back(DecodeWith(codec.get(), w.bad, 2));
                out.push_back(DecodeWith(codec.get(), w.good, 2));
            }
        };
        std::thread first(run, std::ref(results[0]));
        std::thread second(run, std::ref(results[1]));
        first.join();
        second.join();
        for (const std::vector<Decoded>& list : results)
        {
            ASSERT_EQ(list.size(), 12u);
            for (size_t i = 0; i < list.size(); ++i)
            {
                SCOPED_TRACE(i);
                bool good = i % 2 == 1;
                EXPECT_EQ(list[i].header && list[i].decoded, good);
                if (good)
                    ExpectPicture(list[i], w.expected, w.pixels_kept);
            }
        }
    }
}
