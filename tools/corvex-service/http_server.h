#pragma once

#include "http_message.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace corvex::reference {

/// The service's HTTP/1.1 server: Boost.Beast parses each request (strictly,
/// within head and body limits), a few threads serve every connection, and
/// the service answers from any thread, now or later. One connection reads
/// its next request only once its answer is out; a request's head must
/// arrive within a short time and its body within a longer one; bodies in
/// flight share one memory budget; one client address can hold only a few
/// of the connections.
class HttpServer final {
public:
    /// Sends the answer; call once, from any thread.
    using Respond = std::function<void(HttpResponse)>;

    /// What the service says about a request whose head has arrived.
    struct Screening {
        std::optional<HttpResponse> refusal; // answer this instead of reading the body
        qint64 maxBodyBytes = 0; // otherwise: the largest body to read
    };

    class Handler {
    public:
        virtual ~Handler() = default;
        /// Called with the head only; calls `done` once, from any thread.
        virtual void screen(const HttpRequest& request, qint64 maxBodyBytes, std::function<void(Screening)> done) = 0;
        /// Called with the whole request.
        virtual void handle(HttpRequest request, Respond respond) = 0;
        /// Called once per answer sent, for the log.
        virtual void answered(const HttpRequest& request, int status) = 0;
    };

    HttpServer(Handler& handler, HttpLimits limits);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    /// Binds and listens; false with the reason in `error`.
    bool listen(const QHostAddress& address, quint16 port, QString& error);
    quint16 port() const;
    /// Serves on `threads` threads (this one among them) until `stop` or
    /// SIGINT or SIGTERM.
    void run(int threads);
    /// From any thread.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

} // namespace corvex::reference
