#include "http/httpserver.h"

#include "http/workerpool.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <microhttpd.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace tvr::server::http {

using SteadyClock = std::chrono::steady_clock;

// One request in flight, shared by the transport's thread and the handler's worker. Every
// member below `mutex` is guarded by it.
struct Server::Exchange
{
    Server *server = nullptr;
    MHD_Connection *connection = nullptr;
    Request request;
    const Router::Route *route = nullptr;
    bool streamed = false;
    bool dispatched = false;
    int fd = -1;
    bool holdsPublicSlot = false; // guarded by Server::m_publicMutex

    std::mutex mutex;
    std::condition_variable wake;
    bool suspended = false;
    bool headPhase = true;         // streamed: the handler has not asked for the body yet
    bool repeatedHeadCall = false; // after a resume in the head phase the library calls once more
    std::string buffer;            // streamed: arrived, not yet handed to the handler
    qint64 received = 0;
    bool eof = false;
    bool closed = false; // the connection ended; never touch it again
    bool overLimit = false;
    bool discarding = false; // the handler is done with the body: drop the rest
    qint64 discarded = 0;
    bool awaitingResponse = false; // the body is in, the connection waits for the answer
    bool answered = false;         // the answer is queued
    Response response;
    bool responseReady = false;
    // The body's progress when the current rate window began (-1: no window running).
    qint64 rateBase = -1;
    SteadyClock::time_point rateSince;

    void resumeLocked()
    {
        if (suspended && !closed) {
            suspended = false;
            MHD_resume_connection(connection);
        }
    }
    void suspendLocked()
    {
        if (!suspended) {
            suspended = true;
            MHD_suspend_connection(connection);
        }
    }
};

namespace {

using ExchangePtr = std::shared_ptr<Server::Exchange>;

ssize_t produce(void *cls, uint64_t offset, char *buffer, size_t max)
{
    auto *producer = static_cast<Response::Producer *>(cls);
    const qint64 n = (*producer)(offset, buffer, max);
    if (n > 0)
        return ssize_t(n);
    return n == 0 ? MHD_CONTENT_READER_END_OF_STREAM : MHD_CONTENT_READER_END_WITH_ERROR;
}

void dropProducer(void *cls)
{
    delete static_cast<Response::Producer *>(cls);
}

void dropBody(void *cls)
{
    delete static_cast<std::string *>(cls);
}

// Hands an answer to the library; true when it took it.
bool queue(MHD_Connection *connection, Response &response)
{
    constexpr size_t ProducerBlock = 256 * 1024;
    constexpr size_t LargeBody = 64 * 1024;
    MHD_Response *answer = nullptr;
    if (response.fileDescriptor >= 0) {
        answer = MHD_create_response_from_fd_at_offset64(uint64_t(response.fileLength), response.fileDescriptor,
                                                         int64_t(response.fileOffset));
        if (answer)
            response.fileDescriptor = -1; // the library closes it with the answer
    } else if (response.producer) {
        auto *producer = new Response::Producer(std::move(response.producer));
        answer = MHD_create_response_from_callback(response.producerLength < 0 ? MHD_SIZE_UNKNOWN
                                                                               : uint64_t(response.producerLength),
                                                   ProducerBlock, produce, producer, dropProducer);
        if (!answer)
            delete producer;
    } else if (response.body.size() >= LargeBody) {
        // A large answer (a listing of 100,000 files is 22 MB) is handed over, not copied again.
        auto *body = new std::string(std::move(response.body));
        answer = MHD_create_response_from_buffer_with_free_callback_cls(body->size(), body->data(), dropBody, body);
        if (!answer) {
            response.body = std::move(*body);
            delete body;
        }
    } else {
        answer = MHD_create_response_from_buffer(response.body.size(), response.body.data(), MHD_RESPMEM_MUST_COPY);
    }
    if (!answer)
        return false;
    if (!response.contentType.empty())
        MHD_add_response_header(answer, MHD_HTTP_HEADER_CONTENT_TYPE, response.contentType.c_str());
    for (const auto &[name, value] : response.headers) {
        if (lowerAscii(name) != "content-length")
            MHD_add_response_header(answer, name.c_str(), value.c_str());
    }
    const bool queued = MHD_queue_response(connection, unsigned(response.status), answer) == MHD_YES;
    MHD_destroy_response(answer);
    return queued;
}

MHD_Result collect(void *cls, enum MHD_ValueKind, const char *key, const char *value)
{
    auto *fields = static_cast<std::pair<Fields *, bool> *>(cls);
    fields->first->emplace_back(fields->second ? lowerAscii(key) : std::string(key), value ? value : "");
    return MHD_YES;
}

std::string peerAddress(MHD_Connection *connection)
{
    const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr)
        return {};
    char text[INET6_ADDRSTRLEN] = {};
    const sockaddr *address = info->client_addr;
    if (address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, text, sizeof text);
    else if (address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr, text, sizeof text);
    return text;
}

// The bytes the peer has acknowledged on a TCP socket, and whether any of ours wait unsent or
// unacknowledged; false when the kernel cannot tell.
bool sendProgress(int fd, qint64 *acked, bool *pending)
{
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
        return false;
    int queued = 0;
    if (ioctl(fd, SIOCOUTQ, &queued) != 0)
        return false;
    *acked = qint64(info.tcpi_bytes_acked);
    *pending = queued > 0;
    return true;
}

// Two framings in one head (Content-Length with Transfer-Encoding, or two different lengths)
// let a proxy and this server disagree on where the request ends.
bool ambiguousFraming(const Fields &headers)
{
    bool encoded = false;
    const std::string *length = nullptr;
    for (const auto &[name, value] : headers) {
        if (name == "transfer-encoding") {
            encoded = true;
        } else if (name == "content-length") {
            if (value.find(',') != std::string::npos || (length && *length != value))
                return true;
            length = &value;
        }
    }
    return encoded && length;
}

// The handler side of a streamed body.
class StreamReader final : public BodyReader
{
public:
    explicit StreamReader(ExchangePtr exchange)
        : m_exchange(std::move(exchange))
    {}

    bool read(const Sink &sink) override
    {
        Server::Exchange &ex = *m_exchange;
        std::string chunk;
        std::unique_lock lock(ex.mutex);
        if (ex.headPhase) {
            // The body is wanted: let it flow (the library repeats the head call first).
            ex.headPhase = false;
            ex.repeatedHeadCall = true;
            ex.resumeLocked();
        }
        for (;;) {
            ex.wake.wait(lock, [&ex] { return !ex.buffer.empty() || ex.eof || ex.closed || ex.overLimit; });
            if (ex.closed || ex.overLimit || ex.discarding)
                return false;
            if (ex.buffer.empty())
                return true; // the end
            chunk.clear();
            std::swap(chunk, ex.buffer);
            m_delivered += qint64(chunk.size());
            if (!ex.awaitingResponse)
                ex.resumeLocked(); // the window is free again
            lock.unlock();
            const bool taken = sink(chunk.data(), chunk.size());
            lock.lock();
            if (!taken) {
                ex.discarding = true;
                ex.buffer.clear();
                if (!ex.awaitingResponse)
                    ex.resumeLocked();
                return false;
            }
        }
    }

    qint64 received() const override { return m_delivered; }

private:
    ExchangePtr m_exchange;
    qint64 m_delivered = 0;
};

} // namespace

Server::Server(const Router &router, Options options, ErrorResponder errors)
    : m_router(router)
    , m_options(std::move(options))
    , m_errors(std::move(errors))
{}

Server::~Server()
{
    stop();
}

bool Server::start(QString *error)
{
    sockaddr_storage address{};
    unsigned int family = 0;
    {
        addrinfo hints{};
        hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        const std::string port = std::to_string(m_options.port);
        const char *host = m_options.host.empty() ? nullptr : m_options.host.c_str();
        if (getaddrinfo(host, port.c_str(), &hints, &found) != 0 || !found) {
            *error = QStringLiteral("cannot listen on %1: not a numeric address")
                         .arg(QString::fromStdString(m_options.host));
            return false;
        }
        std::memcpy(&address, found->ai_addr, found->ai_addrlen);
        family = found->ai_family;
        freeaddrinfo(found);
    }

    unsigned connectionLimit = m_options.connectionLimit;
    rlimit descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY) {
        const rlim_t spare = std::max<rlim_t>(64, descriptors.rlim_cur / 10);
        const rlim_t fit = descriptors.rlim_cur > 2 * spare ? (descriptors.rlim_cur - spare) / 2 : 16;
        connectionLimit = unsigned(std::min<rlim_t>(connectionLimit, fit));
    }

    m_apiPool = std::make_unique<WorkerPool>(m_options.apiWorkers, "tvr-api");
    m_streamPool = std::make_unique<WorkerPool>(m_options.streamWorkers, "tvr-stream");

    const auto access = [](void *cls, MHD_Connection *connection, const char *url, const char *method,
                           const char *version, const char *data, size_t *size, void **state) -> MHD_Result {
        return MHD_Result(onAccess(cls, connection, url, method, version, data, size, state));
    };
    const auto completed = [](void *cls, MHD_Connection *connection, void **state,
                              enum MHD_RequestTerminationCode reason) { onCompleted(cls, connection, state, reason); };
    const auto notify = [](void *cls, MHD_Connection *connection, void **socketState,
                           enum MHD_ConnectionNotificationCode event) {
        onConnection(cls, connection, socketState, event);
    };
    unsigned int flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
    if (family == AF_INET6)
        flags |= MHD_USE_IPv6;
    // Options that only some configurations pass; the list always ends in MHD_OPTION_END.
    std::vector<MHD_OptionItem> extra;
    if (!m_options.tlsCertificatePem.empty() || !m_options.tlsKeyPem.empty()) {
        if (m_options.tlsCertificatePem.empty() || m_options.tlsKeyPem.empty()) {
            *error = QStringLiteral("TLS needs both a certificate and a key");
            return false;
        }
        if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
            *error = QStringLiteral("this libmicrohttpd was built without TLS");
            return false;
        }
        flags |= MHD_USE_TLS;
        extra.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char *>(m_options.tlsKeyPem.c_str())});
        extra.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char *>(m_options.tlsCertificatePem.c_str())});
    }
    extra.push_back({MHD_OPTION_END, 0, nullptr});
    m_daemon =
        MHD_start_daemon(flags, uint16_t(m_options.port), nullptr, nullptr, access, this,                         //
                         MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr *>(&address),                            //
                         MHD_OPTION_THREAD_POOL_SIZE, unsigned(std::max(1, m_options.eventThreads)),              //
                         MHD_OPTION_CONNECTION_LIMIT, connectionLimit,                                            //
                         MHD_OPTION_PER_IP_CONNECTION_LIMIT, m_options.perAddressLimit,                           //
                         MHD_OPTION_CONNECTION_TIMEOUT, unsigned(m_options.idleTimeoutSecs),                      //
                         MHD_OPTION_CONNECTION_MEMORY_LIMIT, size_t(256 * 1024),                                  //
                         MHD_OPTION_LISTEN_BACKLOG_SIZE, 1024u,                                                   //
                         MHD_OPTION_NOTIFY_COMPLETED, static_cast<MHD_RequestCompletedCallback>(completed), this, //
                         MHD_OPTION_NOTIFY_CONNECTION, static_cast<MHD_NotifyConnectionCallback>(notify), this,   //
                         MHD_OPTION_ARRAY, extra.data(),                                                          //
                         MHD_OPTION_END);
    if (!m_daemon) {
        *error = QStringLiteral("cannot listen on %1:%2%3")
                     .arg(QString::fromStdString(m_options.host), QString::number(m_options.port),
                          m_options.tlsCertificatePem.empty()
                              ? QString()
                              : QStringLiteral(" (or the TLS certificate and key do not fit together)"));
        return false;
    }
    const MHD_DaemonInfo *info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
    m_port = info ? info->port : m_options.port;
    m_sweeper = std::thread([this] { sweepLoop(); });
    return true;
}

void Server::stopAccepting()
{
    if (!m_daemon)
        return;
    const MHD_socket listener = MHD_quiesce_daemon(m_daemon);
    if (listener != MHD_INVALID_SOCKET)
        ::close(listener);
}

bool Server::waitIdle(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_busyMutex);
    return m_idle.wait_for(lock, timeout, [this] { return m_busy <= 0; });
}

void Server::stop()
{
    {
        std::lock_guard lock(m_sweepMutex);
        if (m_stopping)
            return;
        m_stopping = true;
    }
    m_sweepWake.notify_all();
    if (m_sweeper.joinable())
        m_sweeper.join();
    if (m_daemon) {
        // The library must not stop with suspended connections: release them all first.
        {
            std::lock_guard lock(m_exchangesMutex);
            for (Exchange *ex : m_exchanges) {
                std::lock_guard exLock(ex->mutex);
                ex->resumeLocked();
                ex->closed = true;
                ex->wake.notify_all();
            }
        }
        MHD_stop_daemon(m_daemon);
        m_daemon = nullptr;
    }
    m_apiPool.reset();
    m_streamPool.reset();
}

int Server::openConnections() const
{
    std::lock_guard lock(m_connectionsMutex);
    return int(m_connections.size());
}

void Server::setPhase(MHD_Connection *connection, Phase phase)
{
    std::lock_guard lock(m_connectionsMutex);
    const auto it = m_connections.find(connection);
    if (it != m_connections.end() && it->second.phase != Phase::Closing) {
        it->second.phase = phase;
        it->second.since = SteadyClock::now();
        it->second.ackedAtWindow = -1;
    }
}

void Server::onConnection(void *cls, MHD_Connection *connection, void **, int event)
{
    auto *self = static_cast<Server *>(cls);
    std::lock_guard lock(self->m_connectionsMutex);
    if (event == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        Connection &state = self->m_connections[connection];
        state.fd = info ? int(info->connect_fd) : -1;
        state.phase = Phase::WaitingHead;
        state.since = SteadyClock::now();
        state.ackedAtWindow = -1;
    } else {
        self->m_connections.erase(connection);
    }
}

// Slow connections are shut down; the library then sees them end like any other.
void Server::sweepLoop()
{
    std::unique_lock lock(m_sweepMutex);
    while (!m_sweepWake.wait_for(lock, std::chrono::milliseconds(250), [this] { return m_stopping; })) {
        const auto now = SteadyClock::now();
        sweepConnections(now);
        sweepStreams(now);
    }
}

// Too long for a request head (or idle kept-alive), too long for a plain body, or taking an
// answer slower than the floor rate while it waits to be sent.
void Server::sweepConnections(SteadyClock::time_point now)
{
    const auto headLimit = std::chrono::seconds(m_options.headTimeoutSecs);
    const auto bodyLimit = std::chrono::seconds(m_options.bodyTimeoutSecs);
    const auto sendWindow = std::chrono::seconds(m_options.sendWindowSecs);
    const qint64 sendFloor = qint64(m_options.minBytesPerSec) * m_options.sendWindowSecs;
    std::lock_guard connections(m_connectionsMutex);
    for (auto &[connection, state] : m_connections) {
        if (state.fd < 0)
            continue;
        bool late = (state.phase == Phase::WaitingHead && now - state.since > headLimit) ||
                    (state.phase == Phase::ReceivingBody && now - state.since > bodyLimit);
        if (state.phase == Phase::Sending) {
            qint64 acked = 0;
            bool pending = false;
            if (!sendProgress(state.fd, &acked, &pending) || !pending || state.ackedAtWindow < 0) {
                // Nothing waits on the peer (or the window starts now): the window starts over.
                state.ackedAtWindow = acked;
                state.windowSince = now;
            } else if (now - state.windowSince >= sendWindow) {
                late = acked - state.ackedAtWindow < sendFloor;
                state.ackedAtWindow = acked;
                state.windowSince = now;
            }
        }
        if (late) {
            ::shutdown(state.fd, SHUT_RDWR);
            state.phase = Phase::Closing;
        }
    }
}

// A streamed body that arrives slower than the floor rate, while the server waits for it, is
// cut off: its handler learns that the client went away and frees its worker.
void Server::sweepStreams(SteadyClock::time_point now)
{
    const auto window = std::chrono::seconds(m_options.receiveWindowSecs);
    const qint64 floor = qint64(m_options.minBytesPerSec) * m_options.receiveWindowSecs;
    std::lock_guard exchanges(m_exchangesMutex);
    for (Exchange *ex : m_exchanges) {
        std::lock_guard lock(ex->mutex);
        const bool waitingOnClient = ex->streamed && !ex->headPhase && !ex->eof && !ex->closed && !ex->suspended;
        const qint64 progress = ex->received + ex->discarded;
        if (!waitingOnClient || ex->rateBase < 0) {
            ex->rateBase = waitingOnClient ? progress : -1;
            ex->rateSince = now;
            continue;
        }
        if (now - ex->rateSince < window)
            continue;
        if (progress - ex->rateBase < floor && ex->fd >= 0)
            ::shutdown(ex->fd, SHUT_RDWR);
        ex->rateBase = progress;
        ex->rateSince = now;
    }
}

int Server::onAccess(void *cls, MHD_Connection *connection, const char *url, const char *method, const char *,
                     const char *data, size_t *size, void **state)
{
    auto *self = static_cast<Server *>(cls);
    auto *holder = static_cast<ExchangePtr *>(*state);
    if (!holder)
        return self->begin(connection, url, method, state);
    if ((*holder)->streamed)
        return self->continueStreamed(*holder, data, size);
    return self->continuePlain(*holder, data, size);
}

void Server::onCompleted(void *cls, MHD_Connection *connection, void **state, int)
{
    auto *self = static_cast<Server *>(cls);
    auto *holder = static_cast<ExchangePtr *>(*state);
    if (holder) {
        Exchange &ex = **holder;
        self->releasePublicSlot(ex);
        {
            std::lock_guard lock(ex.mutex);
            ex.closed = true;
            ex.suspended = false;
        }
        ex.wake.notify_all();
        {
            std::lock_guard lock(self->m_exchangesMutex);
            self->m_exchanges.erase(&ex);
        }
        delete holder;
        *state = nullptr;
    }
    self->setPhase(connection, Phase::WaitingHead);
}

int Server::answerNow(MHD_Connection *connection, int status, bool close)
{
    Response response;
    m_errors(response, status);
    if (close)
        response.closeConnection();
    return queueAnswer(connection, response) ? MHD_YES : MHD_NO;
}

bool Server::queueAnswer(MHD_Connection *connection, Response &response)
{
    if (!queue(connection, response))
        return false;
    setPhase(connection, Phase::Sending);
    return true;
}

// An answer outside any session takes one of its address's few public places until it has
// been sent; false when they are all taken.
bool Server::takePublicSlot(Exchange &exchange)
{
    std::lock_guard lock(m_publicMutex);
    unsigned &taken = m_publicByAddress[exchange.request.remoteAddress];
    if (taken >= m_options.publicPerAddressLimit) {
        if (taken == 0)
            m_publicByAddress.erase(exchange.request.remoteAddress);
        return false;
    }
    ++taken;
    exchange.holdsPublicSlot = true;
    return true;
}

void Server::releasePublicSlot(Exchange &exchange)
{
    std::lock_guard lock(m_publicMutex);
    if (!exchange.holdsPublicSlot)
        return;
    exchange.holdsPublicSlot = false;
    const auto it = m_publicByAddress.find(exchange.request.remoteAddress);
    if (it != m_publicByAddress.end() && --it->second == 0)
        m_publicByAddress.erase(it);
}

int Server::begin(MHD_Connection *connection, const char *url, const char *method, void **state)
{
    auto exchange = std::make_shared<Exchange>();
    Exchange &ex = *exchange;
    ex.server = this;
    ex.connection = connection;
    ex.request.method = method;
    ex.request.path = url;
    std::pair<Fields *, bool> headers{&ex.request.headers, true};
    MHD_get_connection_values(connection, MHD_HEADER_KIND, collect, &headers);
    std::pair<Fields *, bool> params{&ex.request.params, false};
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, collect, &params);
    ex.request.remoteAddress =
        m_options.trustedProxies.clientAddress(peerAddress(connection), ex.request.header("x-forwarded-for"));
    if (const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD))
        ex.fd = int(info->connect_fd);

    *state = new ExchangePtr(exchange);
    {
        std::lock_guard lock(m_exchangesMutex);
        m_exchanges.insert(&ex);
    }
    // Refused before anything looks at it: a target no client of this server sends, and a
    // head that frames its body in two ways.
    size_t targetLength = ex.request.path.size();
    for (const auto &[name, value] : ex.request.params)
        targetLength += name.size() + value.size() + 2;
    if (targetLength > TargetLimit) {
        setPhase(connection, Phase::Handling);
        return answerNow(connection, 414, true);
    }
    if (ambiguousFraming(ex.request.headers)) {
        setPhase(connection, Phase::Handling);
        return answerNow(connection, 400, true);
    }
    ex.route = m_router.match(ex.request.method, ex.request.path, &ex.request.matches);
    if (!ex.route) {
        setPhase(connection, Phase::Handling);
        return answerNow(connection, 404);
    }
    // A declared body over the route's limit is refused before any of it is read.
    const auto declared = ex.request.contentLength();
    if (declared && *declared > ex.route->bodyLimit) {
        setPhase(connection, Phase::Handling);
        return answerNow(connection, 413);
    }
    ex.streamed = bool(ex.route->streamHandler);
    if (!ex.streamed) {
        setPhase(connection, Phase::ReceivingBody);
        return MHD_YES;
    }
    setPhase(connection, Phase::Handling);
    {
        std::lock_guard lock(ex.mutex);
        ex.suspendLocked();
        ex.dispatched = true;
    }
    {
        std::lock_guard lock(m_busyMutex);
        ++m_busy;
    }
    m_streamPool->post([this, exchange] { runHandler(exchange); });
    return MHD_YES;
}

int Server::continuePlain(const ExchangePtr &exchange, const char *data, size_t *size)
{
    Exchange &ex = *exchange;
    if (*size > 0) {
        // A chunked body gives no length ahead: it is cut off as soon as it is too long.
        if (qint64(ex.request.body.size() + *size) > ex.route->bodyLimit)
            return MHD_NO;
        ex.request.body.append(data, *size);
        *size = 0;
        return MHD_YES;
    }
    std::lock_guard lock(ex.mutex);
    if (ex.closed)
        return MHD_NO;
    if (ex.responseReady)
        return ex.answered || (ex.answered = queueAnswer(ex.connection, ex.response)) ? MHD_YES : MHD_NO;
    if (!ex.dispatched) {
        ex.dispatched = true;
        // A form's fields are parameters too, as for a query string.
        if (lowerAscii(ex.request.header("content-type")).starts_with("application/x-www-form-urlencoded")) {
            for (auto &field : parseUrlEncoded(ex.request.body))
                ex.request.params.push_back(std::move(field));
        }
        ex.suspendLocked();
        setPhase(ex.connection, Phase::Handling);
        dispatchPlain(exchange);
    }
    return MHD_YES;
}

void Server::dispatchPlain(ExchangePtr exchange)
{
    {
        std::lock_guard lock(m_busyMutex);
        ++m_busy;
    }
    m_apiPool->post([this, exchange = std::move(exchange)] { runHandler(exchange); });
}

int Server::continueStreamed(const ExchangePtr &exchange, const char *data, size_t *size)
{
    Exchange &ex = *exchange;
    std::lock_guard lock(ex.mutex);
    if (ex.closed)
        return MHD_NO;
    if (ex.repeatedHeadCall) {
        ex.repeatedHeadCall = false;
        if (*size == 0)
            return MHD_YES;
    }
    if (*size > 0) {
        const size_t length = *size;
        *size = 0;
        if (ex.discarding) {
            ex.discarded += qint64(length);
            return ex.discarded > DrainLimit ? MHD_NO : MHD_YES;
        }
        ex.received += qint64(length);
        if (ex.received > ex.route->bodyLimit) {
            // Longer than the route allows: the handler is told, the rest is dropped.
            ex.overLimit = true;
            ex.discarding = true;
            ex.buffer.clear();
            ex.wake.notify_all();
            return MHD_YES;
        }
        ex.buffer.append(data, length);
        ex.wake.notify_all();
        if (ex.buffer.size() >= StreamWindow)
            ex.suspendLocked();
        return MHD_YES;
    }
    // The whole body is in.
    ex.eof = true;
    ex.wake.notify_all();
    if (ex.responseReady)
        return ex.answered || (ex.answered = queueAnswer(ex.connection, ex.response)) ? MHD_YES : MHD_NO;
    ex.awaitingResponse = true;
    ex.suspendLocked();
    return MHD_YES;
}

void Server::runHandler(const ExchangePtr &exchange)
{
    Exchange &ex = *exchange;
    Response response;
    try {
        if (ex.streamed) {
            StreamReader reader(exchange);
            ex.route->streamHandler(ex.request, response, reader);
        } else {
            ex.route->handler(ex.request, response);
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tolvar-server: %s %s failed: %s\n", ex.request.method.c_str(), ex.request.path.c_str(),
                     e.what());
        response = Response();
        m_errors(response, 500);
    } catch (...) {
        response = Response();
        m_errors(response, 500);
    }
    if (response.deferred && !ex.streamed) {
        // The answer comes later from elsewhere; the request stays counted as busy until then.
        auto later = std::move(response.deferred);
        response.deferred = nullptr;
        later([this, exchange](Response &&answer) {
            finish(exchange, std::move(answer));
            handlerDone();
        });
        return;
    }
    finish(exchange, std::move(response));
    handlerDone();
}

void Server::finish(const ExchangePtr &exchange, Response response)
{
    Exchange &ex = *exchange;
    std::lock_guard lock(ex.mutex);
    if (ex.closed)
        return;
    ex.response = std::move(response);
    if (!ex.response.signedIn && !takePublicSlot(ex)) {
        ex.response = Response();
        m_errors(ex.response, 503);
        ex.response.closeConnection();
    }
    ex.responseReady = true;
    if (ex.streamed && ex.headPhase) {
        // Answered without reading the body. A small body is taken off the connection first, so
        // that a client still sending it reads the answer (a close on unread data can reset the
        // connection before the answer is read); a large or unknown one ends the connection.
        const auto declared = ex.request.contentLength();
        if (declared && *declared > 0 && *declared <= DrainLimit) {
            ex.headPhase = false;
            ex.repeatedHeadCall = true;
            ex.discarding = true;
            ex.resumeLocked();
            return;
        }
    }
    if (!ex.streamed || ex.headPhase || ex.awaitingResponse) {
        // The connection is suspended waiting for this answer (a streamed one that never read
        // its body is answered at once; the library then drops the body and closes).
        // When the library does not take it now, it is offered again on the next call.
        ex.answered = queueAnswer(ex.connection, ex.response);
        ex.resumeLocked();
        return;
    }
    // The handler stopped before the end of its body: the rest is dropped as it arrives and the
    // answer goes out after it.
    ex.discarding = true;
    ex.buffer.clear();
    ex.resumeLocked();
}

void Server::handlerDone()
{
    std::lock_guard lock(m_busyMutex);
    if (--m_busy == 0)
        m_idle.notify_all();
}

} // namespace tvr::server::http
