// Linux answers to the platform questions of the foundation.
#include "orvo/core/core_platform.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/utsname.h>
#include <unistd.h>

namespace orvo
{
bool platform_debugger_attached()
{
    FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return false;
    char line[256];
    bool attached = false;
    while (std::fgets(line, sizeof(line), status))
    {
        if (std::strncmp(line, "TracerPid:", 10) == 0)
        {
            attached = std::atoi(line + 10) != 0;
            break;
        }
    }
    std::fclose(status);
    return attached;
}

void platform_debugger_break()
{
    // SIGTRAP without a tracer would end the process: only trap when someone listens.
    if (platform_debugger_attached())
        std::raise(SIGTRAP);
}

bool platform_system_version(stringbuffer_t& out)
{
    struct utsname name;
    if (uname(&name) != 0)
        return false;
    return stringbuffer_format(out, "%s %s %s", name.sysname, name.release, name.machine);
}

const char* platform_architecture()
{
#if defined(__x86_64__)
    return "x64";
#elif defined(__aarch64__)
    return "arm64";
#elif defined(__i386__)
    return "x86";
#else
    return "unknown";
#endif
}

const char* platform_compiler()
{
#if defined(__clang__)
    return "clang";
#elif defined(__GNUC__)
    return "gcc";
#else
    return "unknown";
#endif
}

bool platform_executable_path(stringbuffer_t& out)
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof(path) - 1))
        return false;
    path[n] = 0;
    return stringbuffer_set(out, string_make(path, static_cast<u64>(n)));
}
} // namespace orvo
