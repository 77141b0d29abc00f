#include "platform/screencapture/portal/portal_backend.h"
#include "platform/settings/store.h"

#include <QStringList>

namespace corvex::screencapture::portal {

namespace {

const QString kTokenKey = QStringLiteral("screencast_restore_token");
const QString kSourceKey = QStringLiteral("screencast_source"); // "WIDTHxHEIGHT TYPE"

class SettingsChoiceStore final : public ChoiceStore {
public:
    explicit SettingsChoiceStore(QString path)
        : m_path(std::move(path))
    {
    }

    PortalChoice load() override
    {
        // A store of its own each time: this runs on capture threads, and the
        // file may have been changed by another Corvex program.
        const settings::Store store = open();
        PortalChoice choice;
        choice.restoreToken = store.value(kTokenKey).value_or(QString()).toStdString();
        const QStringList source = store.value(kSourceKey).value_or(QString()).split(QLatin1Char(' '));
        const QStringList size = source.value(0).split(QLatin1Char('x'));
        if (size.size() == 2) {
            choice.width = size.at(0).toInt();
            choice.height = size.at(1).toInt();
        }
        choice.sourceType = source.value(1).toUInt();
        return choice;
    }

    void save(const PortalChoice& choice) override
    {
        settings::Store store = open();
        const bool empty = choice.restoreToken.empty();
        store.setValue(kTokenKey, empty ? std::nullopt : std::optional(QString::fromStdString(choice.restoreToken)));
        store.setValue(kSourceKey,
            empty ? std::nullopt
                  : std::optional(
                      QStringLiteral("%1x%2 %3").arg(choice.width).arg(choice.height).arg(choice.sourceType)));
    }

private:
    settings::Store open() const { return m_path.isEmpty() ? settings::Store() : settings::Store(m_path); }

    QString m_path;
};

} // namespace

std::shared_ptr<ChoiceStore> settingsChoiceStore(const std::string& path)
{
    return std::make_shared<SettingsChoiceStore>(QString::fromStdString(path));
}

} // namespace corvex::screencapture::portal
