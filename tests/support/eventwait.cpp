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
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (predicate() || deadline.hasExpired())
            loop.quit();
    });
    poll.start();
    loop.exec();
    return predicate();
}
