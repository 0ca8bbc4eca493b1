#pragma once

#include <QString>

// One file or folder as the local scan found it. Paths are relative to the pair's folder, with "/".
struct LocalEntry
{
    QString path;
    bool isDir = false;
    qint64 size = 0;    // files only
    qint64 mtimeMs = 0; // files only; folders change theirs with every child
    quint64 inode = 0;
    // Still being written (size or time changed lately): left alone this round.
    bool unstable = false;
};
