#pragma once

#include <QMap>
#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

struct AvahiEntryGroup;

namespace corvex::dnssd {

class AvahiSession;

/// Announces one service instance. The outcome comes on the publisher's thread:
/// `published` once the name is established, or `failed` with an error
/// description ("code" and "message") when the daemon is unavailable or the
/// name is taken. The name is never changed to avoid a collision.
class Publisher final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Publisher)

public:
    explicit Publisher(QObject* parent = nullptr);
    ~Publisher() override;

    /// Withdraws any earlier announcement and announces `name` of `type` at `port`.
    void publish(const QString& name, const QString& type, std::uint16_t port, const QString& domain = {});
    /// Withdraws the announcement; nothing more is reported for it.
    void unpublish();

Q_SIGNALS:
    void published(const QString& name, const QString& type);
    void failed(const QMap<QString, QString>& error);

private:
    void report(quint64 generation, int code, const QString& message);
    void freeGroup();

    std::shared_ptr<AvahiSession> m_session;
    AvahiEntryGroup* m_group = nullptr;
    QString m_name;
    QString m_type;
    quint64 m_generation = 0; // written under the poll's lock
};

} // namespace corvex::dnssd
