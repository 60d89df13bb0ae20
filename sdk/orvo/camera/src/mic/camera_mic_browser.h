// MICBrowser: the list of attached USB still-image devices for camera
// detection. It lists the backend's devices when browsing starts, again on
// every hotplug notice (or every 2 seconds where the backend has none), logs
// each arrival and departure, and remembers whether a device arrived since
// the last tick. Used on the camera thread only.
#pragma once

#include "orvo/camera/src/mic/camera_mic_backend.h"
#include "orvo/core/core_time.h"

#include <vector>

namespace orvo
{
// How often a backend without hotplug is listed.
const u64 MIC_BROWSER_LIST_PERIOD_MS = 2000;

class MICBrowser
{
public:
    explicit MICBrowser(mic_backend_t& backend);
    ~MICBrowser();
    MICBrowser(const MICBrowser&) = delete;
    MICBrowser& operator=(const MICBrowser&) = delete;

    // Starts browsing (listing at once) unless it already browses.
    void Start();
    void Stop();
    bool IsBrowsing() const { return m_browsing; }
    // Lists again when the backend says something changed (or the period
    // ran out); true once after one or more arrivals, removals never set it.
    bool Tick();
    // The devices attached now, in order of arrival.
    std::vector<mic_usbinfo_t> GetCameras() const { return m_cameras; }
    bool IsConnected(u64 id) const;

private:
    void Refresh();

    mic_backend_t& m_backend;
    std::vector<mic_usbinfo_t> m_cameras;
    bool m_refresh;
    bool m_browsing;
    u64 m_changes;
    countdown_t m_listTimer;
};
} // namespace orvo
