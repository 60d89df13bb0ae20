// Sample photos and live-view frames for the simulated cameras, written as
// JPEG files by libjpeg at test, benchmark or build time (never committed).
#pragma once

#include <string>

namespace lumivane_test
{
// Writes photos JPEG files "IMG_0001.JPG", ... into the folder and frames
// JPEG files "frame_001.jpg", ... into its "liveview" folder (both created).
// Frame k is k + 1 rows taller than the first, so frames differ in size.
// False when a file cannot be written.
bool WriteCameraSamples(const std::string& folder, int photos, int frames, int width = 64, int height = 48);
} // namespace lumivane_test
