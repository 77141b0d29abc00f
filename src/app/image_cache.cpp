#include "app/image_cache.h"

namespace corvex::app {

ImageCache::ImageCache(QObject* parent)
    : QObject(parent)
{
    m_http.setTimeout(std::chrono::seconds(30));
}

ImageCache::~ImageCache()
{
    *m_alive = false;
    m_http.abortAll();
}

std::optional<QImage> ImageCache::cached(const QUrl& url) const
{
    if (const QImage* image = m_images.object(url))
        return *image;
    return std::nullopt;
}

void ImageCache::load(const QUrl& url)
{
    if (m_images.contains(url) || m_inFlight.contains(url))
        return;
    m_inFlight.insert(url);
    ++m_requestCount;
    fetch(url);
}

QCoro::Task<> ImageCache::fetch(QUrl url)
{
    const std::shared_ptr<bool> alive = m_alive;
    // Named, not a braced temporary in the awaited call: GCC 12 destroys such
    // temporaries twice when optimising, which frees the URL under the cache.
    http::Request request { url, QByteArrayLiteral("GET"), {}, {}, false };
    const http::Reply reply = co_await m_http.send(std::move(request));
    if (!*alive)
        co_return;
    m_inFlight.remove(url);
    QImage image;
    if (!reply.error && reply.status == 200)
        image.loadFromData(reply.body);
    if (image.isNull()) {
        Q_EMIT failed(url);
        co_return;
    }
    m_images.insert(url, new QImage(image));
    Q_EMIT loaded(url, image);
}

} // namespace corvex::app
