#include "app/portal_file_chooser.h"

#include "app/portal_thread.h"
#include "platform/screencapture/portal/portal_connection.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QUrl>


namespace {

// The portal's file filters, a(sa(us)): a name and its glob patterns (kind 0).
struct FilterRule {
    uint kind = 0;
    QString pattern;
};
struct Filter {
    QString name;
    QList<FilterRule> rules;
};

QDBusArgument& operator<<(QDBusArgument& argument, const FilterRule& rule)
{
    argument.beginStructure();
    argument << rule.kind << rule.pattern;
    argument.endStructure();
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, FilterRule& rule)
{
    argument.beginStructure();
    argument >> rule.kind >> rule.pattern;
    argument.endStructure();
    return argument;
}
QDBusArgument& operator<<(QDBusArgument& argument, const Filter& filter)
{
    argument.beginStructure();
    argument << filter.name << filter.rules;
    argument.endStructure();
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, Filter& filter)
{
    argument.beginStructure();
    argument >> filter.name >> filter.rules;
    argument.endStructure();
    return argument;
}

} // namespace

Q_DECLARE_METATYPE(FilterRule)
Q_DECLARE_METATYPE(Filter)

namespace corvex::app {

using screencapture::portal::PortalConnection;
using screencapture::portal::RequestError;

namespace {
const QString kFileChooser = QStringLiteral("org.freedesktop.portal.FileChooser");
}

struct PortalFileChooser::Worker {
    PortalThread thread;
};

PortalFileChooser::PortalFileChooser(screencapture::portal::PortalAddress address, QObject* parent)
    : QObject(parent)
    , m_address(std::move(address))
{
    qDBusRegisterMetaType<FilterRule>();
    qDBusRegisterMetaType<QList<FilterRule>>();
    qDBusRegisterMetaType<Filter>();
    qDBusRegisterMetaType<QList<Filter>>();
}

PortalFileChooser::~PortalFileChooser() = default;

bool PortalFileChooser::isPresent() const
{
    const QString name = QStringLiteral("corvex-file-chooser-probe");
    QDBusConnection bus = m_address.busAddress.empty()
        ? QDBusConnection::sessionBus()
        : QDBusConnection::connectToBus(QString::fromStdString(m_address.busAddress), name);
    const bool present = bus.isConnected() && bus.interface()
        && bus.interface()->isServiceRegistered(QString::fromStdString(m_address.service)).value();
    if (!m_address.busAddress.empty())
        QDBusConnection::disconnectFromBus(name);
    return present;
}

bool PortalFileChooser::isOpen() const
{
    return m_worker != nullptr;
}

void PortalFileChooser::open(const Request& request)
{
    if (m_worker)
        return;
    QList<Filter> filters { { request.filterName, {} }, { QStringLiteral("All files"), { { 0, QStringLiteral("*") } } } };
    for (const QString& pattern : request.patterns)
        filters.front().rules.append({ 0, pattern });
    QVariantMap options;
    options.insert(QStringLiteral("modal"), true);
    options.insert(QStringLiteral("multiple"), false);
    options.insert(QStringLiteral("filters"), QVariant::fromValue(filters));
    if (!request.folder.isEmpty())
        options.insert(QStringLiteral("current_folder"), QByteArray(request.folder.toUtf8() + '\0'));

    m_worker = std::make_unique<Worker>();
    Worker* worker = m_worker.get();
    // Told on the GUI thread; dropped when this goes first (its worker is joined then).
    const auto tell = [this, worker](auto&& told) {
        QMetaObject::invokeMethod(
            this,
            [this, worker, told = std::move(told)] {
                if (m_worker.get() != worker)
                    return;
                m_worker->thread.join();
                m_worker.reset();
                told();
            },
            Qt::QueuedConnection);
    };
    worker->thread.start([this, worker, tell, options, title = request.title] {
        auto connected = PortalConnection::connect(m_address);
        if (!connected) {
            const QString reason = QString::fromStdString(connected.error);
            tell([this, reason] { Q_EMIT unavailable(reason); });
            return;
        }
        PortalConnection& portal = **connected.value;
        if (!worker->thread.use(&portal))
            return;
        const auto done = [worker] { worker->thread.use(nullptr); };
        if (!portal.unsignedProperty(kFileChooser, "version")) {
            done();
            tell([this] { Q_EMIT unavailable(QStringLiteral("the desktop's portal has no file chooser")); });
            return;
        }
        auto answered = portal.request(kFileChooser, QStringLiteral("OpenFile"), { QString(), title }, options);
        done();
        if (answered) {
            const QStringList uris = answered.value->value(QStringLiteral("uris")).toStringList();
            const QString path = uris.isEmpty() ? QString() : QUrl(uris.front()).toLocalFile();
            if (path.isEmpty())
                tell([this] { Q_EMIT unavailable(QStringLiteral("the desktop's file chooser named no local file")); });
            else
                tell([this, path] { Q_EMIT chosen(path); });
        } else if (answered.error.kind == RequestError::CancelledByUser) {
            tell([this] { Q_EMIT cancelled(); });
        } else if (answered.error.kind != RequestError::Cancelled) {
            const QString reason = QString::fromStdString(answered.error.detail);
            tell([this, reason] { Q_EMIT unavailable(reason); });
        }
    });
}

} // namespace corvex::app
