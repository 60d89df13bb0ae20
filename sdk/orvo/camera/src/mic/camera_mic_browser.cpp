// MICBrowser over the backend's listing.
#include "orvo/camera/src/mic/camera_mic_browser.h"

#include "orvo/core/core_log.h"

#include <algorithm>

namespace orvo
{
MICBrowser::MICBrowser(mic_backend_t& backend)
    : m_backend(backend), m_refresh(false), m_browsing(false), m_changes(0), m_listTimer()
{
    countdown_clear(m_listTimer);
}

MICBrowser::~MICBrowser()
{
    Stop();
}

void MICBrowser::Start()
{
    if (m_browsing)
        return;
    m_browsing = true;
    if (m_backend.changes)
        m_changes = m_backend.changes(m_backend.user);
    Refresh();
    if (m_cameras.empty())
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "No USB camera attached (%s)", m_backend.name);
}

void MICBrowser::Stop()
{
    m_browsing = false;
}

bool MICBrowser::Tick()
{
    if (m_browsing)
    {
        if (m_backend.hotplug && m_backend.changes)
        {
            u64 changes = m_backend.changes(m_backend.user);
            if (changes != m_changes)
            {
                m_changes = changes;
                Refresh();
            }
        }
        else if (countdown_expired(m_listTimer))
            Refresh();
    }
    bool refresh = m_refresh;
    m_refresh = false;
    return refresh;
}

bool MICBrowser::IsConnected(u64 id) const
{
    return std::any_of(m_cameras.begin(), m_cameras.end(), [id](const mic_usbinfo_t& c) { return c.id == id; });
}

void MICBrowser::Refresh()
{
    countdown_start(m_listTimer, MIC_BROWSER_LIST_PERIOD_MS, TIMEUNIT_MILLISECONDS);
    std::vector<mic_usbinfo_t> now;
    if (!m_backend.list || !m_backend.list(m_backend.user, now))
        return; // the backend logged why; the list stays as it was
    for (auto it = m_cameras.begin(); it != m_cameras.end();)
    {
        u64 id = it->id;
        if (std::none_of(now.begin(), now.end(), [id](const mic_usbinfo_t& c) { return c.id == id; }))
        {
            log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "MIC device removed: %s", mic_usbinfo_name(*it).c_str());
            it = m_cameras.erase(it);
        }
        else
            ++it;
    }
    for (const mic_usbinfo_t& device : now)
    {
        if (IsConnected(device.id))
            continue;
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "MIC device added: %s", mic_usbinfo_name(device).c_str());
        m_cameras.push_back(device);
        m_refresh = true;
    }
}
} // namespace orvo
