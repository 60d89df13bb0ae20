// Photo naming over hostile expressions and token texts (camera names,
// serials, barcodes, script texts, the camera's file name and extension): the
// input is split at zero bytes into the expression and the eight texts. Every
// name must be one component that stays inside its folder: no '/', no '\\',
// no leading "..", not "." or "..", and the joined path normalises to a file
// directly inside the folder.
#include "orvo/camera/camera_naming.h"
#include "orvo/core/core_log.h"

#include <boost/filesystem/path.hpp>

#include <cstring>
#include <string>
#include <vector>

using namespace orvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool quiet = [] {
        log_open();
        log_enable(LOGLEVEL_INFO | LOGLEVEL_WARNING | LOGLEVEL_ERROR, LOGMODULE_GENERAL, false);
        return true;
    }();
    (void)quiet;

    std::vector<std::string> parts(9);
    size_t part = 0;
    for (size_t i = 0; i < size && part < parts.size(); ++i)
    {
        if (data[i] == 0)
            ++part;
        else
            parts[part] += static_cast<char>(data[i]);
    }
    auto view = [](const std::string& s) { return string_make(s.c_str(), s.size()); };
    // The numbers come from the first bytes so that they vary too.
    i32 numbers[3] = {0, 1, 1};
    std::memcpy(numbers, data, size < sizeof(numbers) ? size : sizeof(numbers));

    stringbuffer_t name;
    stringbuffer_initialise(name);
    photo_compute_filename(name, view(parts[0]), view(parts[1]), view(parts[2]), view(parts[3]), view(parts[4]),
                           view(parts[5]), view(parts[6]), view(parts[7]), view(parts[8]), numbers[0], numbers[1],
                           numbers[2]);
    const std::string text(name.str, name.length);
    stringbuffer_release(name);

    if (text.find('/') != std::string::npos || text.find('\\') != std::string::npos)
        __builtin_trap();
    if (text.find('\0') != std::string::npos)
        __builtin_trap();
    if (text == "." || text == ".." || text.compare(0, 2, "..") == 0)
        __builtin_trap();
    if (!text.empty())
    {
        const boost::filesystem::path folder("/photos/shoot");
        const boost::filesystem::path joined = (folder / text).lexically_normal();
        if (joined.parent_path() != folder)
            __builtin_trap();
    }

    photo_validation_t validation;
    photo_validation_initialise(validation);
    if (parts[1].size() < 64)
    {
        photo_validation_compile(validation, view(parts[1]));
        photo_validation_match(validation, string_make(text.c_str(), text.size()));
    }
    photo_validation_release(validation);
    return 0;
}
