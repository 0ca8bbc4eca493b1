#pragma once

#include <QByteArray>
#include <QtGlobal>

// A Content-Range header of a byte range answer: "bytes FIRST-LAST/TOTAL", "bytes FIRST-LAST/*" or
// "bytes */TOTAL" (the form a 416 answer carries). Anything else, or a range that contradicts
// itself (LAST before FIRST, LAST at or past TOTAL, numbers beyond 64 bits), is not valid.
struct ContentRange
{
    bool valid = false;
    qint64 first = -1; // -1 for "*"
    qint64 last = -1;  // inclusive; -1 for "*"
    qint64 total = -1; // -1 for "*"

    static ContentRange parse(const QByteArray &header);
};
