// Saving photos: bytes go into a new temporary file in the target folder,
// written, synced and checked, and only then get the photo's name, published
// without replacing anything (retrying with the next numbered name when
// another saver took it). So several download threads that pick the same free
// name keep one file each, and a full disk, an error or a crash never leaves a
// truncated file under a photo's name. Also the fallback folder, streamed
// downloads and the payload check.
#include "orvo/camera/mtp_photofile.h"

#include "orvo/camera/mtp_download.h"
#include "orvo/camera/src/mtp_photofile_internal.h"
#include "orvo/core/core_file.h"
#include "orvo/core/core_imageformat.h"
#include "orvo/core/core_log.h"

#include <atomic>
#include <mutex>
#include <vector>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvo
{
namespace
{
std::atomic<u32> g_publish_mode{MTP_PUBLISH_AUTO};
std::atomic<u64> g_temporary_counter{0};

// The test seams: a folder whose writes fail, and an observer of syncs.
std::mutex g_seam_mutex;
std::string g_fault_folder;
u64 g_fault_after = 0;
std::atomic<bool> g_fault_on{false};
mtp_photofile_sync_observer_t g_sync_observer = nullptr;
void* g_sync_user = nullptr;

const char TEMPORARY_PREFIX[] = ".lumivane-";
const char TEMPORARY_SUFFIX[] = ".part";

// True when a write that takes a file in `folder` from `written` to
// `written + n` bytes must fail as on a full disk.
bool write_faulted(const std::string& folder, u64 written, u64 n)
{
    if (!g_fault_on.load(std::memory_order_acquire))
        return false;
    std::lock_guard<std::mutex> lock(g_seam_mutex);
    return folder == g_fault_folder && written + n > g_fault_after;
}

std::string folder_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : (slash == 0 ? std::string("/") : path.substr(0, slash));
}

std::string text_of(const string_t& text)
{
    if (!text.length || !text.str)
        return std::string();
    const void* zero = std::memchr(text.str, 0, text.length);
    u64 length = zero ? static_cast<u64>(static_cast<const char*>(zero) - text.str) : text.length;
    return std::string(text.str, length);
}

const char* error_text(int error)
{
    return std::strerror(error);
}

void sync_folder(const std::string& folder);

// The folder exists as a folder afterwards, or false. A download folder that
// is a regular file fails here, which sends the photo to the fallback folder.
// Folders created here are synced into their parents: a photo in a folder
// whose own entry a crash could lose is not yet safe, and the camera's copy
// goes once the photo counts as saved.
bool ensure_folder(const std::string& folder)
{
    string_t path = string_make(folder.c_str(), folder.size());
    if (dir_exists(path))
        return true;
    std::vector<std::string> missing;
    for (std::string at = folder; !at.empty() && at != "/" &&
                                  !dir_exists(string_make(at.c_str(), at.size()));
         at = folder_of(at))
        missing.push_back(at);
    dir_create(path);
    if (!dir_exists(path))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to create folder for photo: %s", folder.c_str());
        return false;
    }
    // Outermost first: each parent then holds its new entry on the medium.
    for (auto it = missing.rbegin(); it != missing.rend(); ++it)
        sync_folder(folder_of(*it));
    return true;
}

// A new, empty temporary file in the folder, open for writing. Hidden, and
// named after no photo, so that nobody mistakes it for one.
int create_temporary(const std::string& folder, std::string& path)
{
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        u64 counter = g_temporary_counter.fetch_add(1, std::memory_order_relaxed);
        path = folder + "/" + TEMPORARY_PREFIX + std::to_string(static_cast<long long>(getpid())) + "-" +
               std::to_string(counter) + TEMPORARY_SUFFIX;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST)
            break;
    }
    log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to create file for photo: %s - %s", path.c_str(),
               error_text(errno));
    path.clear();
    return -1;
}

// Photos are written a piece at a time and each piece is sent on its way to
// the disk at once (a hint: the sync that follows still decides), so the
// device writes the first megabytes while the next are still being copied in
// and the sync finds little left to wait for.
const u64 WRITE_PIECE = 1u << 20;

bool write_all(int fd, const u8* bytes, u64 n, const std::string& path)
{
    const std::string folder = folder_of(path);
    u64 done = 0;
    while (n > 0)
    {
        size_t chunk = n > WRITE_PIECE ? static_cast<size_t>(WRITE_PIECE) : static_cast<size_t>(n);
        ssize_t written = -1;
        if (write_faulted(folder, done, chunk))
            errno = ENOSPC;
        else
            written = write(fd, bytes, chunk);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to write photo: %s - %s", path.c_str(),
                       error_text(written < 0 ? errno : ENOSPC));
            return false;
        }
        sync_file_range(fd, static_cast<off64_t>(done), written, SYNC_FILE_RANGE_WRITE);
        bytes += written;
        n -= static_cast<u64>(written);
        done += static_cast<u64>(written);
    }
    return true;
}

// Synced to the medium and as long as expected: only then may the camera's
// copy be deleted.
bool sync_and_check(int fd, u64 expected, const std::string& path)
{
    if (fsync(fd) != 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to write photo: %s - %s", path.c_str(), error_text(errno));
        return false;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || static_cast<u64>(info.st_size) != expected)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Photo file size mismatch: %llu (expected %llu) - %s",
                   static_cast<unsigned long long>(info.st_size), static_cast<unsigned long long>(expected),
                   path.c_str());
        return false;
    }
    return true;
}

bool close_checked(int fd, const std::string& path)
{
    if (close(fd) != 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to write photo: %s - %s", path.c_str(), error_text(errno));
        return false;
    }
    return true;
}

// The new name must survive a crash before the camera's copy may go.
void sync_folder(const std::string& folder)
{
    {
        std::lock_guard<std::mutex> lock(g_seam_mutex);
        if (g_sync_observer)
            g_sync_observer(folder, g_sync_user);
    }
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    // Some file systems cannot sync a folder (EINVAL); the file itself is synced.
    if (fsync(fd) != 0 && errno != EINVAL && errno != EROFS)
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Failed to sync folder: %s - %s", folder.c_str(),
                   error_text(errno));
    close(fd);
}

enum publish_result_t
{
    PUBLISH_DONE,
    PUBLISH_TAKEN,        // the name is held: try the next one
    PUBLISH_UNSUPPORTED,  // the file system lacks this way: try the next way
    PUBLISH_FAILED,
};

bool is_unsupported(int error)
{
    return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP || error == EPERM;
}

publish_result_t publish_rename(const std::string& temporary, const std::string& path)
{
    if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0)
        return PUBLISH_DONE;
    if (errno == EEXIST)
        return PUBLISH_TAKEN;
    return is_unsupported(errno) ? PUBLISH_UNSUPPORTED : PUBLISH_FAILED;
}

publish_result_t publish_link(const std::string& temporary, const std::string& path)
{
    if (link(temporary.c_str(), path.c_str()) == 0)
    {
        unlink(temporary.c_str());
        return PUBLISH_DONE;
    }
    if (errno == EEXIST)
        return PUBLISH_TAKEN;
    return is_unsupported(errno) || errno == EMLINK ? PUBLISH_UNSUPPORTED : PUBLISH_FAILED;
}

// The placeholder holds the name for us alone; the rename then replaces only
// our own empty file.
publish_result_t publish_placeholder(const std::string& temporary, const std::string& path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno == EEXIST ? PUBLISH_TAKEN : PUBLISH_FAILED;
    close(fd);
    if (rename(temporary.c_str(), path.c_str()) == 0)
        return PUBLISH_DONE;
    int error = errno;
    unlink(path.c_str());
    errno = error;
    return PUBLISH_FAILED;
}

void remove_quietly(const std::string& path)
{
    if (!path.empty())
        unlink(path.c_str());
}

// The camera's name when the camera layer gave none.
string_t wanted_name(const mtp_downloadtask_t& task)
{
    return task.photo_name.length ? static_cast<string_t>(task.photo_name)
                                   : static_cast<string_t>(task.object.filename);
}

bool announced_size(const mtp_downloadtask_t& task, u64& size)
{
    size = task.object.size;
    return task.object.size != 0 && task.object.size != MTP_OBJECT_SIZE_UNKNOWN;
}

void check_payload(const mtp_downloadtask_t& task, const memory_t& bytes)
{
    u64 saved = bytes.num_bytes;
    u64 payload = image_compute_payload(bytes);
    u64 expected = 0;
    if (!announced_size(task, expected))
        expected = payload;
    if (expected != 0 && saved < expected)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA,
                   "Photo may be corrupted, detected size mismatch: %llu (expected %llu)",
                   static_cast<unsigned long long>(saved), static_cast<unsigned long long>(expected));
    }
    else if (payload == 0 && image_compute_format(bytes) == IMAGEFORMAT_JPEG)
    {
        // The stream's length is only known up to its end marker: a JPEG cut
        // short (and announced that short) has none.
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Photo may be corrupted, no end of image marker: %s",
                   task.target.path.str);
    }
}

// The file a streaming download writes: every write goes straight to the
// descriptor, and a failure (a full disk) is noted in the task so that the
// download can be taken again into the fallback folder.
struct photostream_t
{
    int fd;
    u64 written;
    std::string path;
    std::string folder;
    mtp_downloadtask_t* task;
};

ssize_t photostream_write(void* cookie, const char* bytes, size_t n)
{
    photostream_t& stream = *static_cast<photostream_t*>(cookie);
    size_t done = 0;
    while (done < n)
    {
        ssize_t written = -1;
        if (write_faulted(stream.folder, stream.written, n - done))
            errno = ENOSPC;
        else
            written = write(stream.fd, bytes + done, n - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
        {
            int error = written < 0 ? errno : ENOSPC;
            if (!stream.task->file_write_failed)
                log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to write file: %s - %s", stream.path.c_str(),
                           error_text(error));
            stream.task->file_write_failed = true;
            errno = error;
            return 0; // the stream's error: fwrite and fclose report it
        }
        // As for photos saved from memory: the disk starts on what is
        // written while the next chunk is still coming from the camera.
        sync_file_range(stream.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        done += static_cast<size_t>(written);
        stream.written += static_cast<u64>(written);
    }
    return static_cast<ssize_t>(n);
}

int photostream_seek(void* cookie, off64_t* position, int whence)
{
    photostream_t& stream = *static_cast<photostream_t*>(cookie);
    off64_t at = lseek64(stream.fd, *position, whence);
    if (at < 0)
        return -1;
    *position = at;
    return 0;
}

int photostream_close(void* cookie)
{
    photostream_t* stream = static_cast<photostream_t*>(cookie);
    int result = close(stream->fd);
    if (result != 0)
    {
        stream->task->file_write_failed = true;
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to write file: %s - %s", stream->path.c_str(),
                   error_text(errno));
    }
    delete stream;
    return result;
}

FILE* photostream_open(int fd, const std::string& path, mtp_downloadtask_t& task)
{
    photostream_t* stream = new (std::nothrow) photostream_t{fd, 0, path, folder_of(path), &task};
    if (!stream)
        return nullptr;
    cookie_io_functions_t functions = {nullptr, photostream_write, photostream_seek, photostream_close};
    FILE* file = fopencookie(stream, "wb", functions);
    if (!file)
        delete stream;
    return file;
}

// A streamed download: sync the file the vendor wrote and closed, then give it
// its name.
bool publish_streamed(mtp_downloadtask_t& task)
{
    std::string temporary = text_of(task.partial);
    if (temporary.empty())
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to save file: %s", task.target.path.str);
        return false;
    }
    int fd = open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && fsync(fd) == 0;
    if (!ok)
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to write photo: %s - %s", temporary.c_str(),
                   error_text(errno));
    if (fd >= 0)
        close(fd);
    // The temporary file lies in the target's folder: the download folder or
    // the fallback folder, whichever could be written when it was opened.
    mtp_photoname_t parts;
    std::string wanted = text_of(wanted_name(task));
    ok = ok &&
         mtp_photoname_prepare(parts, task.target.dir.path, task.file_type,
                               string_make(wanted.c_str(), wanted.size())) &&
         mtp_publish_unique(temporary, parts, task.photo_name, task.target);
    if (!ok)
    {
        remove_quietly(temporary);
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to save file: %s", task.target.path.str);
    }
    stringbuffer_set(task.partial, empty_str);
    return ok;
}
} // namespace

void mtp_photofile_set_publish_mode(mtp_publish_mode_t mode)
{
    g_publish_mode.store(mode, std::memory_order_relaxed);
}

void mtp_photofile_set_write_fault(const std::string& folder, u64 after_bytes)
{
    std::lock_guard<std::mutex> lock(g_seam_mutex);
    g_fault_folder = folder;
    g_fault_after = after_bytes;
    g_fault_on.store(!folder.empty(), std::memory_order_release);
}

void mtp_photofile_set_sync_observer(mtp_photofile_sync_observer_t observer, void* user)
{
    std::lock_guard<std::mutex> lock(g_seam_mutex);
    g_sync_observer = observer;
    g_sync_user = user;
}

u32 mtp_photofile_sweep_temporaries(const string_t& folder)
{
    std::string path = text_of(folder);
    DIR* dir = path.empty() ? nullptr : opendir(path.c_str());
    if (!dir)
        return 0;
    const size_t prefix = sizeof(TEMPORARY_PREFIX) - 1;
    const size_t suffix = sizeof(TEMPORARY_SUFFIX) - 1;
    u32 removed = 0;
    while (struct dirent* entry = readdir(dir))
    {
        // Only our own pattern: ".lumivane-<pid>-<counter>.part".
        const std::string name = entry->d_name;
        if (name.size() <= prefix + suffix || name.compare(0, prefix, TEMPORARY_PREFIX) != 0 ||
            name.compare(name.size() - suffix, suffix, TEMPORARY_SUFFIX) != 0)
            continue;
        const std::string middle = name.substr(prefix, name.size() - prefix - suffix);
        size_t dash = middle.find('-');
        if (dash == 0 || dash == std::string::npos || dash + 1 == middle.size() ||
            middle.find_first_not_of("0123456789", 0) != dash ||
            middle.find_first_not_of("0123456789", dash + 1) != std::string::npos || dash > 9)
            continue;
        const long pid = std::stol(middle.substr(0, dash));
        // A live process (another instance, or this one) may still be writing it.
        if (pid <= 0 || pid == static_cast<long>(getpid()) || kill(static_cast<pid_t>(pid), 0) == 0 ||
            errno != ESRCH)
            continue;
        struct stat info;
        const std::string full = path + "/" + name;
        if (lstat(full.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        if (unlink(full.c_str()) == 0)
            ++removed;
    }
    closedir(dir);
    if (removed)
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Removed %u unfinished photo files left by an earlier run in: %s",
                   removed, path.c_str());
    return removed;
}

bool mtp_publish_unique(const std::string& temporary, const mtp_photoname_t& parts, stringbuffer_t& name,
                        filename_t& target)
{
    u32 mode = g_publish_mode.load(std::memory_order_relaxed);
    // Start at the first name no file holds; a name taken meanwhile by another
    // saver only moves us on to the next.
    i32 suffix = mtp_photoname_first_free(parts, 0);
    while (suffix >= 0)
    {
        std::string path = mtp_photoname_path(parts, suffix);
        publish_result_t result = PUBLISH_FAILED;
        if (mode == MTP_PUBLISH_AUTO)
            result = publish_rename(temporary, path);
        else if (mode == MTP_PUBLISH_LINK)
            result = publish_link(temporary, path);
        else
            result = publish_placeholder(temporary, path);

        if (result == PUBLISH_DONE)
        {
            sync_folder(parts.folder);
            if (mtp_photoname_finish(parts, suffix, name, target))
                return true;
            // The file is in place under its name; only our record of it failed.
            log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to record file name of photo: %s", path.c_str());
            return false;
        }
        if (result == PUBLISH_UNSUPPORTED && mode != MTP_PUBLISH_PLACEHOLDER)
        {
            ++mode; // the next way, for the same name
            continue;
        }
        if (result != PUBLISH_TAKEN)
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to save photo file: %s - %s", path.c_str(),
                       error_text(errno));
            remove_quietly(temporary);
            return false;
        }
        suffix = suffix < MTP_MAX_UNIQUE_SUFFIX ? mtp_photoname_first_free(parts, suffix + 1) : -1;
    }
    log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to find file name for photo: %s%s - folder full: %s",
               parts.stem.c_str(), parts.extension.c_str(), parts.folder.c_str());
    remove_quietly(temporary);
    return false;
}

bool mtp_save_unique(const string_t& folder, const string_t& file_type, stringbuffer_t& name, const memory_t& bytes,
                     filename_t& target)
{
    mtp_photoname_t parts;
    if (!mtp_photoname_prepare(parts, folder, file_type, name) || !ensure_folder(parts.folder))
        return false;
    std::string temporary;
    int fd = create_temporary(parts.folder, temporary);
    if (fd < 0)
        return false;
    bool ok = write_all(fd, static_cast<const u8*>(bytes.data), bytes.data ? bytes.num_bytes : 0, temporary) &&
              sync_and_check(fd, bytes.data ? bytes.num_bytes : 0, temporary);
    ok = close_checked(fd, temporary) && ok;
    if (!ok)
    {
        remove_quietly(temporary);
        return false;
    }
    return mtp_publish_unique(temporary, parts, name, target);
}

bool mtp_save_photo(mtp_downloadtask_t& task)
{
    if (task.written_to_file)
        return publish_streamed(task);

    timer_t timer;
    timer_start(timer);
    memory_t bytes = {nullptr, 0};
    if (task.transfer_buffer && task.transfer_buffer->data)
        bytes = memory_t{task.transfer_buffer->data, task.transfer_buffer->length};

    std::string wanted = text_of(wanted_name(task));
    stringbuffer_t name;
    stringbuffer_initialise(name);
    bool ok = false;
    if (bytes.num_bytes == 0)
    {
        // An empty file under a photo's name would pass for a saved photo.
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to save photo, no data: %s", wanted.c_str());
        stringbuffer_release(name);
        return false;
    }
    ok = stringbuffer_set(name, string_make(wanted.c_str(), wanted.size())) &&
         mtp_save_unique(task.download_folder, task.file_type, name, bytes, task.target);
    if (!ok)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Saving photo to fallback location");
        ok = stringbuffer_set(name, string_make(wanted.c_str(), wanted.size())) &&
             mtp_save_unique(task.fallback_folder, task.file_type, name, bytes, task.target);
    }
    if (!ok)
    {
        // The last place tried: the fallback folder.
        std::string tried = text_of(task.fallback_folder) + "/" + text_of(name);
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to save photo: %s", tried.c_str());
        stringbuffer_release(name);
        return false;
    }
    stringbuffer_move(name, task.photo_name);
    stringbuffer_release(name);
    log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Photo saved in %.2f ms to: %s",
               static_cast<double>(timer_elapsed(timer)) / 1000.0, task.target.path.str);
    mtp_compute_hash(task.hash, task.photo_name, bytes);
    check_payload(task, bytes);
    return true;
}

FILE* mtp_fopen_photo(mtp_downloadtask_t& task)
{
    task.written_to_file = true;
    // A second call replaces the file of the first.
    remove_quietly(text_of(task.partial));
    stringbuffer_set(task.partial, empty_str);

    std::string wanted = text_of(wanted_name(task));
    const stringbuffer_t* folders[2] = {&task.download_folder, &task.fallback_folder};
    task.file_write_failed = false;
    // A download taken again after the disk failed goes to the fallback folder.
    for (int i = task.file_fallback ? 1 : 0; i < 2; ++i)
    {
        if (i == 1)
            log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Saving file to fallback location");
        mtp_photoname_t parts;
        if (!mtp_photoname_prepare(parts, *folders[i], task.file_type, string_make(wanted.c_str(), wanted.size())) ||
            !ensure_folder(parts.folder))
            continue;
        // The target shows where the file is going; the photo's name stays
        // the wanted one, from which publishing counts again.
        i32 suffix = mtp_photoname_first_free(parts, 0);
        stringbuffer_t chosen;
        stringbuffer_initialise(chosen);
        bool named = suffix >= 0 && mtp_photoname_finish(parts, suffix, chosen, task.target);
        stringbuffer_release(chosen);
        if (!named)
            continue;
        std::string temporary;
        int fd = create_temporary(parts.folder, temporary);
        if (fd < 0)
            continue;
        FILE* file = photostream_open(fd, temporary, task);
        if (!file)
        {
            close(fd);
            remove_quietly(temporary);
            continue;
        }
        if (!stringbuffer_set(task.partial, string_make(temporary.c_str(), temporary.size())))
        {
            fclose(file);
            remove_quietly(temporary);
            continue;
        }
        return file;
    }
    std::string tried = text_of(task.fallback_folder) + "/" + wanted;
    log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to save file: %s", tried.c_str());
    filename_clear(task.target);
    return nullptr;
}

// Used by the task's destruction: a streamed file that was never published.
void mtp_photofile_remove_partial(stringbuffer_t& partial)
{
    remove_quietly(text_of(partial));
    stringbuffer_set(partial, empty_str);
}
} // namespace orvo
