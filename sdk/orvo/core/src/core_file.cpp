// Whole-file queries, loading and saving. Boost answers the queries with
// error codes; contents go through stdio, and every write, flush, sync and
// close is checked so that a full disk is a failure, never a short file
// reported as saved.
#include "orvo/core/core_file.h"
#include "orvo/core/core_filename.h"
#include "orvo/core/core_log.h"

#include <boost/filesystem/operations.hpp>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace orvo
{
namespace
{
std::string text_of(const string_t& text)
{
    return path_from_string(text).string();
}

// Writes the block, flushes, optionally syncs, and closes the stream in every
// case. Logs the first failure with the system's cause.
bool write_stream(FILE* file, const memory_t& block, bool sync)
{
    u64 expected = block.data ? block.num_bytes : 0;
    u64 written = expected ? std::fwrite(block.data, 1, expected, file) : 0;
    if (written != expected)
    {
        int cause = errno;
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "File size write mismatch: %llu (expected %llu) - %s",
                   (unsigned long long)written, (unsigned long long)expected, std::strerror(cause));
        std::fclose(file);
        return false;
    }
    // Buffered bytes only meet the disk here: a full disk shows up now.
    if (std::fflush(file) != 0)
    {
        int cause = errno;
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to flush file: %s", std::strerror(cause));
        std::fclose(file);
        return false;
    }
    if (sync && fsync(fileno(file)) != 0)
    {
        int cause = errno;
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to sync file: %s", std::strerror(cause));
        std::fclose(file);
        return false;
    }
    if (std::fclose(file) != 0)
    {
        int cause = errno;
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to close file: %s", std::strerror(cause));
        return false;
    }
    return true;
}

// A fresh name in the target's own folder, so that the final rename never
// crosses a volume and is atomic. Hidden, and marked as ours.
bool temp_beside(const fs::path& target, fs::path& temp)
{
    fs::path folder = target.parent_path();
    if (folder.empty())
        folder = ".";
    // Leave room for the suffix within the 255-byte limit of a name.
    std::string name = target.filename().string().substr(0, 160);
    boost::system::error_code error;
    fs::path unique = fs::unique_path(fs::path("." + name + ".orvo-%%%%-%%%%-%%%%-%%%%.tmp"), error);
    if (error)
        return false;
    temp = folder / unique;
    return true;
}

// Best effort: a rename is only durable once its folder is synced.
void sync_folder(const fs::path& target)
{
    fs::path folder = target.parent_path();
    if (folder.empty())
        folder = ".";
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    if (fsync(fd) != 0 && errno != EINVAL)
    {
        int cause = errno;
        log_writef(LOGLEVEL_WARNING, LOGMODULE_GENERAL, "Failed to sync folder: %s - %s", folder.c_str(),
                   std::strerror(cause));
    }
    close(fd);
}

// The file a link points at, so that saving replaces the file and keeps the link.
fs::path resolve_link(const fs::path& path)
{
    boost::system::error_code error;
    if (!fs::is_symlink(fs::symlink_status(path, error)) || error)
        return path;
    fs::path real = fs::weakly_canonical(path, error);
    return error || real.empty() ? path : real;
}

bool filecontents_load_internal(filecontents_t& contents, const string_t& path, bool log)
{
    std::string target = text_of(path);
    char cause[512];
    cause[0] = 0;
    pathinfo_t info;
    path_getinfo(path, info);
    if (!info.exists)
        std::snprintf(cause, sizeof(cause), "File does not exist");
    else if (info.is_directory)
        std::snprintf(cause, sizeof(cause), "File is actually a directory");
    else if (info.size == 0)
        std::snprintf(cause, sizeof(cause), "File is zero sized");
    else
    {
        u8* storage = nullptr;
        if (!memorybuffer_lock(contents.buffer, info.size, storage))
        {
            if (log)
                log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to load file: %s", target.c_str());
            return false;
        }
        FILE* file = std::fopen(target.c_str(), "rbe");
        if (!file)
        {
            int error = errno;
            memorybuffer_unlock(contents.buffer, 0);
            std::snprintf(cause, sizeof(cause), "Failed to open file: %s", std::strerror(error));
        }
        else
        {
            u64 count = std::fread(storage, 1, info.size, file);
            int error = errno;
            bool failed = std::ferror(file) != 0;
            std::fclose(file);
            memorybuffer_unlock(contents.buffer, count);
            if (count == info.size)
            {
                contents.timestamp = info.timestamp;
                return true;
            }
            std::snprintf(cause, sizeof(cause), "File size read mismatch: %llu (expected %llu) - %s",
                          (unsigned long long)count, (unsigned long long)info.size,
                          failed ? std::strerror(error) : "unexpected end of file");
        }
    }
    if (log)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "%s", cause);
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to load file: %s", target.c_str());
    }
    return false;
}
} // namespace

// --- queries -------------------------------------------------------------------------

void path_getinfo(const string_t& path, pathinfo_t& info)
{
    info = pathinfo_t{false, false, 0, 0};
    fs::path target = path_from_string(path);
    if (target.empty())
        return;
    boost::system::error_code error;
    fs::file_status status = fs::status(target, error);
    if (error || status.type() == fs::status_error || status.type() == fs::file_not_found)
        return;
    info.exists = true;
    std::time_t modified = fs::last_write_time(target, error);
    info.timestamp = (!error && modified > 0) ? static_cast<u64>(modified) : 0;
    if (status.type() == fs::directory_file)
    {
        info.is_directory = true;
        return;
    }
    error.clear();
    boost::uintmax_t size = fs::file_size(target, error);
    info.size = error ? 0 : static_cast<u64>(size);
}

bool file_exists(const string_t& path)
{
    pathinfo_t info;
    path_getinfo(path, info);
    return info.exists && !info.is_directory;
}

bool dir_exists(const string_t& path)
{
    pathinfo_t info;
    path_getinfo(path, info);
    return info.exists && info.is_directory;
}

u64 file_num_bytes(const string_t& path)
{
    pathinfo_t info;
    path_getinfo(path, info);
    return info.size;
}

u64 file_timestamp(const string_t& path)
{
    pathinfo_t info;
    path_getinfo(path, info);
    return info.exists && !info.is_directory ? info.timestamp : 0;
}

u64 dir_timestamp(const string_t& path)
{
    pathinfo_t info;
    path_getinfo(path, info);
    return info.is_directory ? info.timestamp : 0;
}

bool dir_is_empty(const string_t& path)
{
    if (!dir_exists(path))
        return true;
    boost::system::error_code error;
    fs::directory_iterator entries(path_from_string(path), error);
    // A folder we cannot read is not known to be empty.
    if (error)
        return false;
    return entries == fs::directory_iterator();
}

// --- file operations ------------------------------------------------------------------

FILE* file_open(const string_t& path, const string_t& mode)
{
    std::string target = text_of(path);
    std::string how = path_from_string(mode).string();
    if (target.empty() || how.empty())
    {
        errno = EINVAL;
        return nullptr;
    }
    return std::fopen(target.c_str(), how.c_str());
}

bool file_save(const string_t& path, const memory_t& block, bool append)
{
    std::string target = text_of(path);
    FILE* file = target.empty() ? nullptr : std::fopen(target.c_str(), append ? "abe" : "wbe");
    if (!file)
    {
        int cause = target.empty() ? ENOENT : errno;
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to create file: %s", std::strerror(cause));
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to save file: %s", target.c_str());
        return false;
    }
    if (!write_stream(file, block, false))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to save file: %s", target.c_str());
        return false;
    }
    return true;
}

bool file_save_safe(const string_t& path, const memory_t& block)
{
    fs::path target = resolve_link(path_from_string(path));
    fs::path temp;
    if (target.empty() || !temp_beside(target, temp))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to get temp filename: %s", target.c_str());
        return false;
    }
    // 'x': never reuse a file that appeared under the fresh name.
    FILE* file = std::fopen(temp.c_str(), "wbxe");
    if (!file)
    {
        int cause = errno;
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to create file: %s", std::strerror(cause));
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to save to temp filename: %s", target.c_str());
        return false;
    }
    struct stat existing;
    if (stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
        (void)fchmod(fileno(file), existing.st_mode & 07777);
    if (!write_stream(file, block, true))
    {
        unlink(temp.c_str());
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to save to temp filename: %s", target.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), target.c_str()) != 0)
    {
        int cause = errno;
        unlink(temp.c_str());
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to rename from temp filename: %s - %s", target.c_str(),
                   std::strerror(cause));
        return false;
    }
    sync_folder(target);
    return true;
}

bool file_delete(const string_t& path)
{
    if (!file_exists(path))
        return false;
    boost::system::error_code error;
    fs::path target = path_from_string(path);
    fs::remove(target, error);
    if (error)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to delete file: %s - %s", target.c_str(),
                   error.message().c_str());
        return false;
    }
    return true;
}

bool file_rename(const string_t& source, const string_t& target)
{
    if (!file_exists(source))
        return false;
    boost::system::error_code error;
    fs::path from = path_from_string(source);
    fs::path to = path_from_string(target);
    fs::rename(from, to, error);
    if (error)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to rename file: %s to %s - %s", from.c_str(), to.c_str(),
                   error.message().c_str());
        return false;
    }
    return true;
}

bool file_copy(const string_t& target, const string_t& source)
{
    fs::path from = path_from_string(source);
    fs::path to = resolve_link(path_from_string(target));
    fs::path temp;
    boost::system::error_code error;
    if (from.empty() || to.empty() || !temp_beside(to, temp))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to copy file: %s to %s - %s", from.c_str(), to.c_str(),
                   "no temporary name");
        return false;
    }
    fs::copy_file(from, temp, fs::copy_options::none, error);
    if (!error)
    {
        int fd = open(temp.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || fsync(fd) != 0)
            error.assign(errno, boost::system::system_category());
        if (fd >= 0)
            close(fd);
    }
    if (!error)
        fs::rename(temp, to, error);
    if (error)
    {
        boost::system::error_code ignored;
        fs::remove(temp, ignored);
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to copy file: %s to %s - %s", from.c_str(), to.c_str(),
                   error.message().c_str());
        return false;
    }
    sync_folder(to);
    return true;
}

bool dir_create(const string_t& path)
{
    fs::path target = path_from_string(path);
    if (target.empty())
        return false;
    boost::system::error_code error;
    bool created = fs::create_directories(target, error);
    if (error)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to create directory: %s - %s", target.c_str(),
                   error.message().c_str());
        return false;
    }
    return created;
}

// --- filecontents_t --------------------------------------------------------------------------

void filecontents_initialise(filecontents_t& contents)
{
    memorybuffer_initialise(contents.buffer);
    contents.timestamp = 0;
}

void filecontents_release(filecontents_t& contents)
{
    memorybuffer_release(contents.buffer);
    contents.timestamp = 0;
}

bool filecontents_copy(filecontents_t& target, const filecontents_t& source)
{
    if (&target == &source)
        return true;
    if (!memorybuffer_copy(target.buffer, source.buffer))
        return false;
    target.timestamp = source.timestamp;
    return true;
}

void filecontents_move(filecontents_t& source, filecontents_t& target)
{
    if (&source == &target)
        return;
    memorybuffer_move(source.buffer, target.buffer);
    target.timestamp = source.timestamp;
    source.timestamp = 0;
}

bool filecontents_load(filecontents_t& contents, const string_t& path)
{
    return filecontents_load_internal(contents, path, true);
}

bool filecontents_load_silent(filecontents_t& contents, const string_t& path)
{
    return filecontents_load_internal(contents, path, false);
}
} // namespace orvo
