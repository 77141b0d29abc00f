#include "app/portal_file_chooser.h"

#include "app/portal_thread.h"
#include "platform/screencapture/portal/portal_connection.h"

#include <QDBusArgument>
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

    // Only a portal that runs already: asking would start one, which is slow and may not answer.
    m_probe = std::make_unique<Worker>();
    Worker* probe = m_probe.get();
    probe->thread.start([this, probe] {
        bool present = false;
        if (auto connected = PortalConnection::connect(m_address)) {
            PortalConnection& portal = **connected.value;
            if (!probe->thread.use(&portal))
                return;
            present = portal.isRegistered() && portal.unsignedProperty(kFileChooser, "version").has_value();
            probe->thread.use(nullptr);
        }
        tellWhenDone(probe, [this, present] {
            m_present = present;
            if (std::optional<Request> waiting = std::exchange(m_waiting, std::nullopt))
                open(*waiting);
        });
    });
}

PortalFileChooser::~PortalFileChooser() = default;

void PortalFileChooser::tellWhenDone(Worker* worker, std::function<void()> told)
{
    QMetaObject::invokeMethod(
        this,
        [this, worker, told = std::move(told)] {
            std::unique_ptr<Worker>& owner = m_probe.get() == worker ? m_probe : m_worker;
            if (owner.get() != worker)
                return;
            owner->thread.join();
            owner.reset();
            told();
        },
        Qt::QueuedConnection);
}

bool PortalFileChooser::isOpen() const
{
    return m_worker != nullptr || m_waiting.has_value();
}

void PortalFileChooser::open(const Request& request)
{
    if (isOpen())
        return;
    if (!m_present)
        m_waiting = request;
    else if (!*m_present)
        Q_EMIT unavailable(QString());
    else
        ask(request);
}

void PortalFileChooser::ask(const Request& request)
{
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
    worker->thread.start([this, worker, options, title = request.title] {
        // Told on the GUI thread; dropped when this goes first (its worker is joined then).
        const auto tell = [this, worker](std::function<void()> told) { tellWhenDone(worker, std::move(told)); };
        auto connected = PortalConnection::connect(m_address);
        if (!connected) {
            const QString reason = QString::fromStdString(connected.error);
            tell([this, reason] { Q_EMIT unavailable(reason); });
            return;
        }
        PortalConnection& portal = **connected.value;
        if (!worker->thread.use(&portal))
            return;
        auto answered = portal.request(kFileChooser, QStringLiteral("OpenFile"), { QString(), title }, options);
        worker->thread.use(nullptr);
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
