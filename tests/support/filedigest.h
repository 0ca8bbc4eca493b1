#pragma once

#include <QByteArray>
#include <QString>

// The MD5 of a file's bytes as lower-case hex; empty when it cannot be read.
QByteArray md5OfFile(const QString &path);
