// lumivane-raw-probe: finds where a raw camera file keeps its JPEG preview.
//
// LibRaw 0.20 still crashes on some damaged files while it only identifies
// them, and may loop on others, so the raw codec runs it here, in a process
// of its own: a bad file then costs this process, which the codec starts
// again, and never the application with every camera it drives.
//
// The codec starts it with a SOCK_SEQPACKET socket as descriptor 3 and sends
// one request per file with the file in a memfd; each gets one answer. The
// process ends when the socket closes.
#include "../src/colour_raw_probe_protocol.h"

#include <libraw/libraw.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <new>

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace orvo;

namespace
{
class preview_finder_t : public LibRaw
{
public:
    preview_finder_t() : LibRaw(LIBRAW_OPTIONS_NONE)
    {
    }

    // A JPEG stored whole in the file: LibRaw would copy its claimed length
    // from its offset and nothing else.
    bool preview_is_whole_jpeg() const
    {
        return write_thumb == &preview_finder_t::jpeg_thumb && thumb_load_raw == nullptr;
    }

    uint64_t preview_offset()
    {
        INT64 offset = get_internal_data_pointer()->internal_data.toffset;
        return offset < 0 ? ~uint64_t(0) : static_cast<uint64_t>(offset);
    }
};

// Damaged data shows in the answer; LibRaw would print it on stderr.
void ignore_data_error(void*, const char*, const int)
{
}

raw_probe_answer_t find_preview(const void* file, uint64_t num_bytes)
{
    raw_probe_answer_t answer = {};
    preview_finder_t* raw = new (std::nothrow) preview_finder_t();
    if (!raw)
    {
        answer.status = RAW_PROBE_NO_MEMORY;
        return answer;
    }
    raw->set_dataerror_handler(ignore_data_error, nullptr);
    // LibRaw reads the buffer only; its interface predates const.
    if (raw->open_buffer(const_cast<void*>(file), num_bytes) != LIBRAW_SUCCESS)
    {
        answer.status = RAW_PROBE_NOT_RAW;
    }
    else if (!raw->preview_is_whole_jpeg())
    {
        answer.status = RAW_PROBE_NOT_JPEG;
    }
    else
    {
        answer.status = RAW_PROBE_FOUND;
        answer.offset = raw->preview_offset();
        answer.length = raw->imgdata.thumbnail.tlength;
        answer.flip = raw->imgdata.sizes.flip;
    }
    delete raw;
    return answer;
}

// One request and its memfd; false when the socket closed or broke.
bool receive_request(raw_probe_request_t& request, int& memfd)
{
    memfd = -1;
    iovec part = {&request, sizeof request};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr message = {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do
        got = recvmsg(RAW_PROBE_SOCKET_FD, &message, MSG_CMSG_CLOEXEC);
    while (got < 0 && errno == EINTR);
    if (got <= 0)
        return false;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header))
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
            header->cmsg_len == CMSG_LEN(sizeof(int)))
            std::memcpy(&memfd, CMSG_DATA(header), sizeof(int));
    if (got != static_cast<ssize_t>(sizeof request))
        request.num_bytes = 0;
    return true;
}

raw_probe_answer_t answer_request(const raw_probe_request_t& request, int memfd)
{
    raw_probe_answer_t answer = {};
    answer.status = RAW_PROBE_BAD_REQUEST;
    struct stat shape;
    if (memfd < 0 || request.num_bytes == 0 || fstat(memfd, &shape) != 0 ||
        static_cast<uint64_t>(shape.st_size) < request.num_bytes)
        return answer;
    void* file = mmap(nullptr, request.num_bytes, PROT_READ, MAP_SHARED, memfd, 0);
    if (file == MAP_FAILED)
        return answer;
    answer = find_preview(file, request.num_bytes);
    munmap(file, request.num_bytes);
    return answer;
}
} // namespace

int main()
{
    // A codec that went away must end this process, not kill it mid-write.
    signal(SIGPIPE, SIG_IGN);
    // A crash is this process's answer, which the codec reports; no handler
    // installed by a runtime library should print or write a report first.
    for (int fatal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE})
        signal(fatal, SIG_DFL);
    raw_probe_request_t request;
    int memfd;
    while (receive_request(request, memfd))
    {
        raw_probe_answer_t answer = answer_request(request, memfd);
        if (memfd >= 0)
            close(memfd);
        ssize_t sent;
        do
            sent = send(RAW_PROBE_SOCKET_FD, &answer, sizeof answer, MSG_NOSIGNAL);
        while (sent < 0 && errno == EINTR);
        if (sent != static_cast<ssize_t>(sizeof answer))
            break;
    }
    return 0;
}
