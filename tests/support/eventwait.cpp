#include "eventwait.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

bool waitUntil(const std::function<bool()> &predicate, int timeoutMs)
{
    if (predicate())
        return true;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(1);
    const QDeadlineTimer deadline(timeoutMs);
    // What held when the loop was told to stop: events handled before it does may change it again
    // (an engine that starts its next round), and the wait did see it hold.
    bool held = false;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (held)
            return;
        held = predicate();
        if (held || deadline.hasExpired())
            loop.quit();
    });
    poll.start();
    loop.exec();
    return held || predicate();
}
