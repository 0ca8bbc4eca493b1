#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// A client that asks for something over HTTP/1.1 and then does not read the answer: its receive
// buffer is kept small, so that the answer stays waiting on the server. A plain socket, because
// QTcpSocket reads whatever arrives. `localAddress` is any 127.x.y.z.
class StalledReader final
{
public:
    StalledReader(const QString &baseUrl, const QString &localAddress, const QByteArray &path);
    ~StalledReader();
    StalledReader(const StalledReader &) = delete;
    StalledReader &operator=(const StalledReader &) = delete;

    bool isConnected() const { return m_ok; }
    // The first 12 bytes of the answer ("HTTP/1.1 200") once they are in; nothing is consumed.
    QByteArray statusLine(int timeoutMs);
    // Reads to the end of the connection (or until nothing comes for `timeoutMs`); the bytes read.
    qint64 drain(int timeoutMs);

private:
    int m_fd = -1;
    bool m_ok = false;
};
