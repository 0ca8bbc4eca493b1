#pragma once

#include "http/httpmessage.h"
#include "http/router.h"
#include "http/trustedproxies.h"

#include <QString>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

struct MHD_Daemon;
struct MHD_Connection;

namespace tvr::server {
class WorkerPool;
}

namespace tvr::server::http {

// The HTTP transport: an event-driven server (libmicrohttpd with epoll) in front of the
// router. Connections cost no thread while they send their request or wait for the next one,
// so slow or idle clients cannot take the server from anyone else. Route handlers run on
// worker threads: plain routes on one pool once their (bounded) body is in, streamed routes on
// another pool as soon as their head is in, reading the body as it arrives with at most
// StreamWindow bytes of it held at a time.
class Server final
{
public:
    struct Options
    {
        std::string host = "127.0.0.1";
        int port = 0;
        int eventThreads = 2;
        int apiWorkers = 16;
        int streamWorkers = 64;
        // Also bounded by the descriptors the process may open: a connection can hold two (its
        // socket and a file it sends), and some are always left for the database and uploads.
        unsigned connectionLimit = 10000;
        unsigned perAddressLimit = 1000;
        // Answers not tied to a session (public downloads, pay pages, sign-in) that one address
        // may have in flight at once; beyond, it is answered 503.
        unsigned publicPerAddressLimit = 64;
        // A connection must deliver a whole request head within this many seconds of opening or
        // of its previous answer (this is also how long an idle kept-alive connection lives).
        int headTimeoutSecs = 15;
        // A plain route's body must arrive within this many seconds.
        int bodyTimeoutSecs = 60;
        // No byte in either direction for this long ends a connection.
        int idleTimeoutSecs = 120;
        // A client must take an answer, and send a streamed body, at least this fast on average
        // over the windows below; a slower connection is closed, so that dribbling clients
        // hold neither descriptors nor upload workers for long.
        int minBytesPerSec = 1024;
        int sendWindowSecs = 60;
        int receiveWindowSecs = 30;
        // PEM certificate (chain) and key: when both are set, every connection speaks TLS.
        std::string tlsCertificatePem;
        std::string tlsKeyPem;
        // Balancers whose X-Forwarded-For names the client (see TrustedProxies).
        TrustedProxies trustedProxies;
    };

    // Fills an answer the transport gives by itself (404 no route, 413 body too large, 500).
    using ErrorResponder = std::function<void(Response &response, int status)>;

    static constexpr size_t StreamWindow = 1024 * 1024;
    // After a streamed handler has answered, this much more of an unread body is read and
    // dropped so that the client still sees the answer; a longer body ends the connection.
    static constexpr qint64 DrainLimit = 16 * 1024 * 1024;
    // A request target (path and query) longer than this is answered 414 before routing.
    static constexpr size_t TargetLimit = 8 * 1024;

    Server(const Router &router, Options options, ErrorResponder errors);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Binds and starts serving on the transport's own threads.
    bool start(QString *error);
    int port() const { return m_port; }
    // No new connections from now on; those open are served to their end.
    void stopAccepting();
    // Waits until no handler is running (at most `timeout`); true when none is.
    bool waitIdle(std::chrono::milliseconds timeout);
    // Ends every connection and joins every thread.
    void stop();

    int openConnections() const;

    struct Exchange;

private:
    enum class Phase { WaitingHead, ReceivingBody, Handling, Sending, Closing };
    struct Connection
    {
        int fd = -1;
        Phase phase = Phase::WaitingHead;
        std::chrono::steady_clock::time_point since;
        // Sending: the bytes the peer had acknowledged when the current rate window began
        // (-1: not read yet).
        qint64 ackedAtWindow = -1;
        std::chrono::steady_clock::time_point windowSince;
    };

    static int onAccess(void *cls, MHD_Connection *connection, const char *url, const char *method, const char *version,
                        const char *data, size_t *size, void **state);
    static void onCompleted(void *cls, MHD_Connection *connection, void **state, int reason);
    static void onConnection(void *cls, MHD_Connection *connection, void **socketState, int event);

    int begin(MHD_Connection *connection, const char *url, const char *method, void **state);
    int continuePlain(const std::shared_ptr<Exchange> &exchange, const char *data, size_t *size);
    int continueStreamed(const std::shared_ptr<Exchange> &exchange, const char *data, size_t *size);
    int answerNow(MHD_Connection *connection, int status, bool close = false);
    bool queueAnswer(MHD_Connection *connection, Response &response);
    bool takePublicSlot(Exchange &exchange);
    void releasePublicSlot(Exchange &exchange);
    void sweepConnections(std::chrono::steady_clock::time_point now);
    void sweepStreams(std::chrono::steady_clock::time_point now);
    void dispatchPlain(std::shared_ptr<Exchange> exchange);
    void runHandler(const std::shared_ptr<Exchange> &exchange);
    void finish(const std::shared_ptr<Exchange> &exchange, Response response);
    void setPhase(MHD_Connection *connection, Phase phase);
    void sweepLoop();
    void handlerDone();

    const Router &m_router;
    Options m_options;
    ErrorResponder m_errors;
    MHD_Daemon *m_daemon = nullptr;
    int m_port = 0;
    std::unique_ptr<WorkerPool> m_apiPool;
    std::unique_ptr<WorkerPool> m_streamPool;

    mutable std::mutex m_connectionsMutex;
    std::unordered_map<MHD_Connection *, Connection> m_connections;
    std::mutex m_publicMutex;
    std::unordered_map<std::string, unsigned> m_publicByAddress;
    std::mutex m_exchangesMutex;
    std::unordered_set<Exchange *> m_exchanges;

    std::thread m_sweeper;
    std::mutex m_sweepMutex;
    std::condition_variable m_sweepWake;
    bool m_stopping = false;

    std::mutex m_busyMutex;
    std::condition_variable m_idle;
    int m_busy = 0;
};

} // namespace tvr::server::http
