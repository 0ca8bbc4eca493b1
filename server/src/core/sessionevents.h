#pragma once

#include <QString>
#include <functional>
#include <mutex>
#include <vector>

namespace tvr::server {

// Tells the areas that hold something for one login session (an unlocked vault) that the
// session ended: signed out, revoked or lapsed. Sessions are named by the SHA-256 (hex) of their
// token, as the sessions table keeps them.
class SessionEvents final
{
public:
    using Listener = std::function<void(qint64 userId, const QString &tokenHash)>;

    void onEnded(Listener listener)
    {
        std::lock_guard lock(m_mutex);
        m_listeners.push_back(std::move(listener));
    }

    void ended(qint64 userId, const QString &tokenHash)
    {
        std::vector<Listener> listeners;
        {
            std::lock_guard lock(m_mutex);
            listeners = m_listeners;
        }
        for (const Listener &listener : listeners)
            listener(userId, tokenHash);
    }

private:
    std::mutex m_mutex;
    std::vector<Listener> m_listeners;
};

} // namespace tvr::server
