#pragma once

#include "platform/http/http_client.h"

#include <QCache>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QUrl>

#include <QCoroTask>

#include <memory>
#include <optional>

namespace corvex::app {

/// Poster thumbnails, fetched once and kept in memory (the most recently used
/// few hundred), shared by every catalogue window. GUI thread only.
class ImageCache final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ImageCache)

public:
    static constexpr int kCapacity = 400; // images

    explicit ImageCache(QObject* parent = nullptr);
    ~ImageCache() override;

    std::optional<QImage> cached(const QUrl& url) const;
    /// Starts fetching the image unless it is cached or already on its way;
    /// `loaded` or `failed` follows (a failure is not remembered, so a later
    /// load tries again).
    void load(const QUrl& url);
    /// How many requests were sent so far.
    int requestCount() const { return m_requestCount; }

Q_SIGNALS:
    void loaded(const QUrl& url, const QImage& image);
    void failed(const QUrl& url);

private:
    QCoro::Task<> fetch(QUrl url);

    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    http::Client m_http;
    QCache<QUrl, QImage> m_images { kCapacity };
    QSet<QUrl> m_inFlight;
    int m_requestCount = 0;
};

} // namespace corvex::app
