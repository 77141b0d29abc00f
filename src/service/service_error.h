#pragma once

#include <QString>

#include <optional>

namespace corvex::service {

/// Why a request to the light-show service failed.
struct ServiceError {
    enum class Kind {
        UserAuthenticationRequired, // no stored token
        Unknown, // nothing chosen to upload for; with a detail, a local failure (the outbox)
        BadURL, // no address could be formed
        BadServerResponse, // an answer, but not status 200 (or not HTTP)
        Transport, // no answer: unreachable, dropped, timed out
    };

    Kind kind = Kind::Unknown;
    int status = 0; // the HTTP status for BadServerResponse, 0 when not HTTP
    QString detail; // the transport's message, or what made the URL bad

    /// One line for the user: what happened and what to do.
    QString message() const;
    /// Whether trying the same request again can never help: the service
    /// refused it for what it is (400 malformed, 413 too large, 422, …), not
    /// for who sent it (401, 403), when (408, 429) or how it was doing (5xx).
    static bool isPermanentStatus(int status);
    bool isPermanent() const { return kind == Kind::BadServerResponse && isPermanentStatus(status); }
};

} // namespace corvex::service
