// The disk side of the download benchmarks' reference: the photos' bytes,
// made the same way in every benchmark, and one photo written to a new file,
// synced and closed, as the engine's download threads do.
#pragma once

#include "orvo/core/core_types.h"
#include "support/ptpsim/ptpsim_content.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace bench_reference
{
// count JPEG-shaped photos of size bytes each, photo i from seed i + 1.
inline std::vector<std::vector<orvo::u8>> make_photos(int count, orvo::u64 size)
{
    std::vector<std::vector<orvo::u8>> photos;
    for (int i = 0; i < count; ++i)
    {
        std::vector<orvo::u8> bytes(size);
        ptpsim::generate_content(ptpsim::Content::kJpeg, 0x9E3779B97F4A7C15ull * (i + 1), bytes.size(), 0,
                                 bytes.data(), bytes.size());
        photos.push_back(std::move(bytes));
    }
    return photos;
}

// Writes the bytes to a file that must not exist yet, syncs and closes it.
// False when any step fails (the file is closed all the same).
inline bool write_and_sync(const std::string& path, const std::vector<orvo::u8>& bytes)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < bytes.size())
    {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == bytes.size() && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    return ok;
}
} // namespace bench_reference
