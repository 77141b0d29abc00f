#include "app/window_geometry.h"

#include "platform/settings/store.h"

#include <QEvent>
#include <QWidget>

namespace corvex::app {

namespace {

QString geometryKey(const QString& name)
{
    return QStringLiteral("windows/%1/geometry").arg(name);
}

// Writes the window's geometry when it closes; lives as the window's child.
class GeometryKeeper final : public QObject {
public:
    GeometryKeeper(QWidget& window, settings::Store& store, QString name)
        : QObject(&window)
        , m_window(window)
        , m_store(store)
        , m_name(std::move(name))
    {
        window.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == &m_window && event->type() == QEvent::Close)
            m_store.setValue(geometryKey(m_name), QString::fromLatin1(m_window.saveGeometry().toBase64()));
        return false;
    }

private:
    QWidget& m_window;
    settings::Store& m_store;
    QString m_name;
};

} // namespace

bool rememberGeometry(QWidget& window, settings::Store& store, const QString& name)
{
    new GeometryKeeper(window, store, name);
    const std::optional<QString> saved = store.value(geometryKey(name));
    return saved && window.restoreGeometry(QByteArray::fromBase64(saved->toLatin1()));
}

} // namespace corvex::app
