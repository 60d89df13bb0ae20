// The disk side of the download benchmarks' reference: the photos' bytes,
// made the same way in every benchmark, and one photo written to a new file,
// synced and closed (and hashed), as the engine's download threads do; with
// the quick mode and the clock these benchmarks share.
#pragma once

#include "orvo/camera/mtp_photofile.h"
#include "orvo/core/core_types.h"
#include "support/ptpsim/ptpsim_content.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace bench_reference
{
// LUMIVANE_BENCH_QUICK set: small photos and few rounds.
inline bool quick_mode()
{
    return std::getenv("LUMIVANE_BENCH_QUICK") != nullptr;
}

// Seconds on the steady clock.
inline double now_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The photos of the camera road's download rows and of the save stage that
// is measured alone: 4 MiB, 256 KiB in quick mode.
inline orvo::u64 road_photo_bytes()
{
    return quick_mode() ? 256 * 1024 : 4 * 1024 * 1024;
}

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

// One photo as a download thread keeps it: written to a new file at path,
// synced, closed, and hashed under its name. False when any step fails.
inline bool write_sync_and_hash(const std::string& path, const std::string& name, const std::vector<orvo::u8>& bytes)
{
    orvo::stringbuffer_t hash;
    orvo::stringbuffer_initialise(hash);
    const bool ok = write_and_sync(path, bytes) &&
                    orvo::mtp_compute_hash(hash, orvo::string_make(name.c_str()), orvo::memory_t{bytes.data(), bytes.size()});
    orvo::stringbuffer_release(hash);
    return ok;
}
} // namespace bench_reference
