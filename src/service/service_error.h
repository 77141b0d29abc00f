#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <chrono>
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
    QString detail; // the transport's message, what made the URL bad, or the service's reason for a refusal
    /// How long the service asked to be left alone (its Retry-After), when it did.
    std::optional<std::chrono::seconds> retryAfter = {};

    /// One line for the user: what happened and what to do.
    QString message() const;
    /// Whether trying the same request again can never help: the service
    /// refused it for what it is (400 malformed, 413 too large, 422, …), not
    /// for who sent it (401, 403), when (408, 429) or how it was doing (5xx).
    static bool isPermanentStatus(int status);
    bool isPermanent() const { return kind == Kind::BadServerResponse && isPermanentStatus(status); }
    /// Whether the same request may well succeed later by itself: no answer
    /// came, or the service was busy or failing (408, 429, 5xx).
    bool isTransient() const;
    /// Whether the service refused the access token (401): its author is signed out.
    bool refusesToken() const { return kind == Kind::BadServerResponse && status == 401; }

    /// A Retry-After value (seconds, or an HTTP date seen from `now`) as a
    /// wait; none when it is missing or unreadable. A date in the past is no wait.
    static std::optional<std::chrono::seconds> parseRetryAfter(const QByteArray& value, const QDateTime& now);
    /// The reason a refusal's body gives (a JSON object's "error" text), as
    /// one short printable line; empty when it gives none.
    static QString reasonIn(const QByteArray& body);
};

} // namespace corvex::service
