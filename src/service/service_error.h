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
};

} // namespace corvex::service
