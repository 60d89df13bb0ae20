#include "colour_raw_probe.h"
#include "colour_raw_probe_protocol.h"

#include "orvo/core/core_log.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace orvo
{
namespace
{
// Identification takes milliseconds even for big files; a reader that has not
// answered by then is stuck in a loop of LibRaw's.
const int DEFAULT_TIME_LIMIT_MS = 10000;

// The shared file grows in steps of this, so that a run of similar photos
// maps it once.
const u64 SHARED_FILE_STEP = 4 * 1024 * 1024;

const char* const* g_test_argv = nullptr;
int g_time_limit_ms = DEFAULT_TIME_LIMIT_MS;

bool is_executable(const std::string& path)
{
    return !path.empty() && access(path.c_str(), X_OK) == 0;
}

// Beside the running program when installed; in the build tree otherwise.
std::string reader_path()
{
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0)
    {
        std::string beside(self, static_cast<size_t>(length));
        size_t slash = beside.rfind('/');
        if (slash != std::string::npos)
        {
            beside = beside.substr(0, slash + 1) + RAW_PROBE_HELPER_NAME;
            if (is_executable(beside))
                return beside;
        }
    }
#ifdef ORVO_RAW_PROBE_BUILD_PATH
    if (is_executable(ORVO_RAW_PROBE_BUILD_PATH))
        return ORVO_RAW_PROBE_BUILD_PATH;
#endif
    return std::string();
}

// Kills the reader, if any (one that closed its socket is normally gone
// already), and reaps it: the signal that ended it, or 0.
int stop_reader(raw_prober_t& prober)
{
    if (prober.socket >= 0)
        close(prober.socket);
    prober.socket = -1;
    int status = 0;
    pid_t reaped = 0;
    if (prober.reader > 0)
    {
        kill(prober.reader, SIGKILL);
        do
            reaped = waitpid(prober.reader, &status, 0);
        while (reaped < 0 && errno == EINTR);
    }
    prober.reader = 0;
    return reaped > 0 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

bool start_reader(raw_prober_t& prober)
{
    std::string path;
    const char* default_argv[] = {nullptr, nullptr};
    const char* const* argv = g_test_argv;
    if (!argv)
    {
        path = reader_path();
        if (path.empty())
        {
            log_write(LOGLEVEL_ERROR, LOGMODULE_IMAGE,
                      "ERROR: RAW reader cannot start: " RAW_PROBE_HELPER_NAME " is not beside the program");
            return false;
        }
        default_argv[0] = path.c_str();
        argv = default_argv;
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW reader cannot start: socketpair failed: %s",
                   std::strerror(errno));
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 clears close-on-exec on the reader's copy only.
    posix_spawn_file_actions_adddup2(&actions, ends[1], RAW_PROBE_SOCKET_FD);
    pid_t reader = 0;
    int error = posix_spawn(&reader, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (error != 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW reader cannot start: %s: %s", argv[0],
                   std::strerror(error));
        close(ends[0]);
        return false;
    }
    prober.reader = reader;
    prober.socket = ends[0];
    return true;
}

// The shared file holds at least num_bytes, mapped.
bool reserve_shared(raw_prober_t& prober, u64 num_bytes)
{
    if (prober.memfd < 0)
    {
        prober.memfd = memfd_create("lumivane-raw-file", MFD_CLOEXEC);
        if (prober.memfd < 0)
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW reader: memfd_create failed: %s",
                       std::strerror(errno));
            return false;
        }
    }
    if (prober.shared && prober.capacity >= num_bytes)
        return true;
    if (prober.shared)
        munmap(prober.shared, prober.capacity);
    prober.shared = nullptr;
    prober.capacity = 0;
    u64 capacity = (num_bytes + SHARED_FILE_STEP - 1) / SHARED_FILE_STEP * SHARED_FILE_STEP;
    // Allocated now, not page by page while copying: shared memory that runs
    // out under the copy would raise SIGBUS instead of an error.
    if (fallocate(prober.memfd, 0, 0, static_cast<off_t>(capacity)) != 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW reader: no room for a file of %llu bytes: %s",
                   static_cast<unsigned long long>(num_bytes), std::strerror(errno));
        return false;
    }
    void* mapped = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_SHARED, prober.memfd, 0);
    if (mapped == MAP_FAILED)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW reader: mapping %llu bytes failed: %s",
                   static_cast<unsigned long long>(capacity), std::strerror(errno));
        return false;
    }
    prober.shared = static_cast<u8*>(mapped);
    prober.capacity = capacity;
    return true;
}

bool send_request(raw_prober_t& prober, u64 num_bytes)
{
    raw_probe_request_t request = {num_bytes};
    iovec part = {&request, sizeof request};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message = {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &prober.memfd, sizeof(int));
    ssize_t sent;
    do
        sent = sendmsg(prober.socket, &message, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof request);
}

enum wait_outcome_t
{
    WAIT_NOT_STARTED,
    WAIT_ANSWERED,
    WAIT_CLOSED,
    WAIT_TIMED_OUT,
};

wait_outcome_t receive_answer(raw_prober_t& prober, raw_probe_answer_t& answer)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(g_time_limit_ms);
    for (;;)
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return WAIT_TIMED_OUT;
        pollfd readable = {prober.socket, POLLIN, 0};
        int ready = poll(&readable, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return WAIT_CLOSED;
        if (ready == 0)
            return WAIT_TIMED_OUT;
        ssize_t got = recv(prober.socket, &answer, sizeof answer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        return got == static_cast<ssize_t>(sizeof answer) ? WAIT_ANSWERED : WAIT_CLOSED;
    }
}

// One request to a running reader, starting it first when none runs.
wait_outcome_t ask_reader(raw_prober_t& prober, u64 num_bytes, raw_probe_answer_t& answer)
{
    if (prober.reader == 0 && !start_reader(prober))
        return WAIT_NOT_STARTED;
    if (!send_request(prober, num_bytes))
        return WAIT_CLOSED;
    return receive_answer(prober, answer);
}

bool check_answer(const raw_probe_answer_t& answer, const memory_t& file, raw_preview_location_t& location)
{
    switch (answer.status)
    {
    case RAW_PROBE_FOUND:
        break;
    case RAW_PROBE_NOT_RAW:
        // Not a raw file at all: the caller tries the next codec, silently.
        return false;
    case RAW_PROBE_NOT_JPEG:
        log_write(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW preview is not a JPEG");
        return false;
    case RAW_PROBE_NO_MEMORY:
        log_write(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW codec failure: LibRaw could not be set up");
        return false;
    default:
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW reader refused the file (answer %d)",
                   static_cast<int>(answer.status));
        return false;
    }
    // The smallest JPEG stream is SOI and EOI.
    const u64 MIN_JPEG_BYTES = 4;
    if (answer.length < MIN_JPEG_BYTES || answer.offset > file.num_bytes ||
        answer.length > file.num_bytes - answer.offset)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE,
                   "ERROR: RAW preview of %llu bytes at offset %llu in a file of %llu bytes",
                   static_cast<unsigned long long>(answer.length), static_cast<unsigned long long>(answer.offset),
                   static_cast<unsigned long long>(file.num_bytes));
        return false;
    }
    location.offset = answer.offset;
    location.length = answer.length;
    location.flip = answer.flip;
    return true;
}
} // namespace

void raw_prober_initialise(raw_prober_t& prober)
{
    prober.reader = 0;
    prober.socket = -1;
    prober.memfd = -1;
    prober.shared = nullptr;
    prober.capacity = 0;
}

void raw_prober_release(raw_prober_t& prober)
{
    stop_reader(prober);
    if (prober.shared)
        munmap(prober.shared, prober.capacity);
    if (prober.memfd >= 0)
        close(prober.memfd);
    raw_prober_initialise(prober);
}

void raw_prober_set_test_reader(const char* const* argv, int time_limit_ms)
{
    g_test_argv = argv;
    g_time_limit_ms = time_limit_ms > 0 ? time_limit_ms : DEFAULT_TIME_LIMIT_MS;
}

bool raw_prober_find_preview(raw_prober_t& prober, const memory_t& file, raw_preview_location_t& location)
{
    location = {};
    if (!file.data || file.num_bytes == 0)
        return false;
    if (!reserve_shared(prober, file.num_bytes))
        return false;
    std::memcpy(prober.shared, file.data, file.num_bytes);
    // A reader lost while this file was with it gets one successor: it may
    // have been killed from outside since the last file. A file that crashes
    // LibRaw crashes the successor too.
    raw_probe_answer_t answer = {};
    int lost_to_signal = 0;
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        switch (ask_reader(prober, file.num_bytes, answer))
        {
        case WAIT_ANSWERED:
            return check_answer(answer, file, location);
        case WAIT_NOT_STARTED:
            return false;
        case WAIT_TIMED_OUT:
            log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE,
                       "ERROR: RAW file cannot be read: LibRaw did not finish within %d ms", g_time_limit_ms);
            stop_reader(prober);
            return false;
        case WAIT_CLOSED:
            lost_to_signal = stop_reader(prober);
            break;
        }
    }
    if (lost_to_signal != 0)
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW file cannot be read: LibRaw crashed on it (signal %d)",
                   lost_to_signal);
    else
        log_write(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW file cannot be read: the reader ended without an answer");
    return false;
}
} // namespace orvo
