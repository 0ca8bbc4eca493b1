#include "stalledreader.h"

#include <QUrl>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

StalledReader::StalledReader(const QString &baseUrl, const QString &localAddress, const QByteArray &path)
{
    const QUrl url(baseUrl);
    m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_fd < 0)
        return;
    const int small = 4096;
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(quint16(url.port()));
    if (inet_pton(AF_INET, localAddress.toLatin1().constData(), &local.sin_addr) != 1 ||
        inet_pton(AF_INET, url.host().toLatin1().constData(), &remote.sin_addr) != 1)
        return;
    const QByteArray head = "GET " + path + " HTTP/1.1\r\nHost: " + url.host().toLatin1() + "\r\n\r\n";
    m_ok = ::bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0 &&
           ::connect(m_fd, reinterpret_cast<sockaddr *>(&remote), sizeof remote) == 0 &&
           ::send(m_fd, head.constData(), size_t(head.size()), MSG_NOSIGNAL) == head.size();
}

StalledReader::~StalledReader()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QByteArray StalledReader::statusLine(int timeoutMs)
{
    pollfd ready{m_fd, POLLIN, 0};
    if (!m_ok || ::poll(&ready, 1, timeoutMs) != 1)
        return {};
    char line[12] = {};
    return ::recv(m_fd, line, sizeof line, MSG_PEEK | MSG_WAITALL) == sizeof line ? QByteArray(line, sizeof line)
                                                                                  : QByteArray();
}

qint64 StalledReader::drain(int timeoutMs)
{
    qint64 total = 0;
    char buffer[64 * 1024];
    pollfd ready{m_fd, POLLIN, 0};
    while (m_ok && ::poll(&ready, 1, timeoutMs) == 1) {
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        total += n;
    }
    return total;
}
