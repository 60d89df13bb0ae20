// Writes the sample photos and live-view frames of the simulated cameras into
// the folder given, so that LUMIVANE_SIMULATED_CAMERAS=1 has something to
// shoot. Run by the build; the pictures are never committed.
#include "support/image/image_camera_samples.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    // A dozen photos of a few kilobytes and a short loop of frames.
    if (!lumivane_test::WriteCameraSamples(argv[1], 12, 24, 640, 426))
    {
        std::fprintf(stderr, "could not write the camera samples into %s\n", argv[1]);
        return 1;
    }
    return 0;
}
