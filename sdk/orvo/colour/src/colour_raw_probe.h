// Where a raw camera file keeps its JPEG preview, asked of LibRaw in a reader
// process of its own (lumivane-raw-probe).
//
// LibRaw 0.20 still crashes on some damaged files while it only identifies
// them (wild reads in its TIFF and maker-note parsers), and may loop on
// others. A photo that crashes the reader must not take the application and
// every camera it drives with it. Each prober keeps one reader process,
// started at its first file and started again after one is lost; the file
// travels in a shared-memory file that the prober keeps for the next one.
// A prober belongs to one thread at a time.
#pragma once

#include "orvo/core/core_memory.h"

#include <sys/types.h>

namespace orvo
{
struct raw_preview_location_t
{
    u64 offset; // of the JPEG preview, from the start of the file
    u64 length; // inside the file: offset + length <= the file's size
    int flip;   // LibRaw's orientation code: 0 none, 3 180, 5 270, 6 90
};

struct raw_prober_t
{
    pid_t reader;   // 0 while no reader runs
    int socket;     // to the reader, -1 while none runs
    int memfd;      // the shared file, -1 until the first file
    u8* shared;     // memfd mapped here, capacity bytes
    u64 capacity;
};

void raw_prober_initialise(raw_prober_t& prober);
// Ends the reader and frees the shared file.
void raw_prober_release(raw_prober_t& prober);

// Finds the JPEG preview stored whole in the raw file. False when the file is
// not a raw file LibRaw knows (silently: the caller tries other codecs), and,
// with the cause logged at Error in module Image, when its preview is not a
// whole JPEG or lies outside the file, or the reader crashed, did not answer
// within the time limit or could not be started.
bool raw_prober_find_preview(raw_prober_t& prober, const memory_t& file, raw_preview_location_t& location);

// For tests of a reader that crashes, hangs or is missing: readers started
// from now on run argv (null-terminated; null restores lumivane-raw-probe)
// and answer within time_limit_ms (0 restores the default). Set while no
// prober runs.
void raw_prober_set_test_reader(const char* const* argv, int time_limit_ms);
} // namespace orvo
