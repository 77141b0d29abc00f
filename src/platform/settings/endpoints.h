#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QUrl>

#include <variant>

namespace corvex::settings {

class Store;

/// Where the studio's requests go: the light-show service, the catalogue API
/// and the catalogue's image host, and the catalogue API key. Compiled
/// defaults, overridden by the environment (CORVEX_SERVICE_URL,
/// CORVEX_CATALOGUE_URL, CORVEX_IMAGES_URL, CORVEX_TMDB_API_KEY) and then by
/// the settings keys "service_url", "catalogue_url", "images_url" and
/// "tmdb_api_key".
struct Endpoints {
    /// Origins without a trailing "/" (a path prefix is kept), for example
    /// "https://lights.example.org" or "http://127.0.0.1:8787".
    QString service;
    QString catalogue;
    QString images;
    QString tmdbApiKey;

    static const Endpoints& defaults();

    /// The configured endpoints, or a message naming the setting that is
    /// unusable and what to do about it.
    static std::variant<Endpoints, QString> load(
        const Store& store, const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());

    /// Checks one origin: http or https with a host, no query or fragment,
    /// and plain http only for a loopback host (127.0.0.0/8, ::1,
    /// "localhost"), since tokens and keys travel in these requests.
    /// Gives the normalised origin, or an error message that names `source`.
    struct CheckedOrigin {
        QString origin;
        QString error; // empty when the origin is usable
    };
    static CheckedOrigin checkOrigin(const QString& text, const QString& source);

    friend bool operator==(const Endpoints&, const Endpoints&) = default;
};

} // namespace corvex::settings
