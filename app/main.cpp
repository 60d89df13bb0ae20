// Entry point of the lumivane program: for now it opens the log, states the
// version and the system it runs on, and exits.
#include "app_version.h"

#include "orvo/core/core_log.h"
#include "orvo/core/core_platform.h"

#include <cstring>

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
    {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0)
        {
            orvo::printf("Usage: lumivane [-h|--help]\n");
            return 0;
        }
    }
    if (!orvo::log_open())
        return 1;
    orvo::stringbuffer_t system;
    orvo::stringbuffer_initialise(system);
    if (!orvo::platform_system_version(system))
        orvo::stringbuffer_set(system, "unknown system");
    orvo::log_writef(orvo::LOGLEVEL_INFO, orvo::LOGMODULE_APP, "Lumivane %s on %s", LUMIVANE_VERSION, system.str);
    orvo::stringbuffer_release(system);
    orvo::log_close();
    return 0;
}
