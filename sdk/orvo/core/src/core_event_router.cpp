// The out-of-line part of EventRouter<Event>: its one log line.
#include "orvo/core/core_event_router.h"

#include "orvo/core/core_log.h"

namespace orvo
{
void event_router_log_null_route()
{
    log_write(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to add event route: no route function");
}
} // namespace orvo
