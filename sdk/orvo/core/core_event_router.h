// EventRouter<Event>: an ordered list of routes, each a target and a function
// that is offered every event until one takes it (returns true). A camera
// data surface routes its decoded CameraEvents through one. The router owns
// its list, not the targets; it is used on one thread only.
#pragma once

#include "orvo/core/core_vector.h"

namespace orvo
{
template <typename Event> class EventRouter
{
public:
    // True when the route took the event: later routes do not see it.
    typedef bool (*route_function_t)(void* target, const Event& event);

    struct route_t
    {
        void* target;
        route_function_t function;
    };

    EventRouter() { vector_initialise(m_routes, 0, false); }
    ~EventRouter() { vector_release(m_routes); }
    EventRouter(const EventRouter&) = delete;
    EventRouter& operator=(const EventRouter&) = delete;

    // Appends a route; false (logged) for a null function or when the list
    // cannot grow.
    bool AddRoute(void* target, route_function_t function);

    // Offers the event to the routes in the order added and stops at the
    // first that takes it; true when one did. A route added by a route while
    // an event is being routed is offered that event too.
    bool RouteEvent(const Event& event) const;

    u64 GetNumRoutes() const { return m_routes.count; }

private:
    vector_t<route_t> m_routes;
};

// Logs the refusal of a null route function (kept out of line so that this
// header does not pull in the log).
void event_router_log_null_route();

template <typename Event> bool EventRouter<Event>::AddRoute(void* target, route_function_t function)
{
    if (!function)
    {
        event_router_log_null_route();
        return false;
    }
    return vector_insert(m_routes, route_t{target, function});
}

template <typename Event> bool EventRouter<Event>::RouteEvent(const Event& event) const
{
    // By index, reading the list afresh each time: a route may add routes,
    // which can move the list.
    for (u64 i = 0; i < m_routes.count; ++i)
    {
        route_t route = m_routes.data[i];
        if (route.function(route.target, event))
            return true;
    }
    return false;
}
} // namespace orvo
