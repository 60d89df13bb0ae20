// Sample files of the simulated cameras, written with libjpeg.
#include "support/image/image_camera_samples.h"

#include "support/image/image_writers.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

namespace lumivane_test
{
namespace
{
bool write_file(const std::string& path, const Bytes& bytes)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

bool make_folder(const std::string& path)
{
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}
} // namespace

bool WriteCameraSamples(const std::string& folder, int photos, int frames, int width, int height)
{
    const std::string liveview = folder + "/liveview";
    if (!make_folder(folder) || !make_folder(liveview))
        return false;
    char name[64];
    for (int i = 0; i < photos; ++i)
    {
        std::snprintf(name, sizeof(name), "/IMG_%04d.JPG", i + 1);
        if (!write_file(folder + name, WriteJpeg(width + 8 * i, height, 3, 85)))
            return false;
    }
    for (int i = 0; i < frames; ++i)
    {
        std::snprintf(name, sizeof(name), "/frame_%03d.jpg", i + 1);
        if (!write_file(liveview + name, WriteJpeg(width, height + i + 1, 3, 75)))
            return false;
    }
    return true;
}
} // namespace lumivane_test
