// What the raw codec and its reader process say to each other over their
// socket: one request, carrying the file's memfd, and one answer per file.
#pragma once

#include <cstdint>

namespace orvo
{
// The reader's name beside the application, and the descriptor its socket
// has in it.
#define RAW_PROBE_HELPER_NAME "lumivane-raw-probe"
const int RAW_PROBE_SOCKET_FD = 3;

struct raw_probe_request_t
{
    uint64_t num_bytes; // of the file at the start of the memfd sent with it
};

enum raw_probe_status_t : int32_t
{
    RAW_PROBE_FOUND = 1,
    RAW_PROBE_NOT_RAW,
    RAW_PROBE_NOT_JPEG,
    RAW_PROBE_NO_MEMORY,
    RAW_PROBE_BAD_REQUEST,
};

struct raw_probe_answer_t
{
    int32_t status;
    int32_t flip;    // LibRaw's orientation code
    uint64_t offset; // of the JPEG preview in the file
    uint64_t length;
};
} // namespace orvo
