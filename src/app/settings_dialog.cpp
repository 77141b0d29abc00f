#include "app/settings_dialog.h"

#include "app/text_styles.h"
#include "service/session.h"

#include "platform/settings/endpoints.h"
#include "platform/settings/store.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvex::app {

QKeySequence defaultStartShortcut()
{
    return QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_R);
}

QKeySequence defaultSaveShortcut()
{
    return QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_S);
}

namespace {

QString settingKey(const char* key)
{
    return QString::fromLatin1(key);
}

} // namespace

SettingsDialog::SettingsDialog(service::Session& manager, QWidget* parent)
    : QDialog(parent)
    , m_manager(manager)
    , m_addresses { { { "Light-show service", "service_url", "CORVEX_SERVICE_URL",
                          settings::Endpoints::defaults().service },
          { "Catalogue", "catalogue_url", "CORVEX_CATALOGUE_URL", settings::Endpoints::defaults().catalogue },
          { "Catalogue images", "images_url", "CORVEX_IMAGES_URL", settings::Endpoints::defaults().images } } }
    , m_shortcuts { { { kStartShortcutKey, defaultStartShortcut() }, { kSaveShortcutKey, defaultSaveShortcut() } } }
    , m_signOutNote(problemLabel())
{
    setWindowTitle(QStringLiteral("Settings"));
    const settings::Store& store = manager.store();
    auto* column = new QVBoxLayout(this);
    // Grows with what it says (a wrapped message, a larger font).
    column->setSizeConstraint(QLayout::SetMinimumSize);
    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    column->addLayout(form);
    for (Address& address : m_addresses) {
        address.fallback = qEnvironmentVariable(address.variable, address.fallback);
        address.field = new QLineEdit(store.value(settingKey(address.key)).value_or(QString()), this);
        // Empty: what the environment or the default says, shown greyed.
        address.field->setPlaceholderText(address.fallback);
        address.field->setClearButtonEnabled(true);
        address.field->setMinimumWidth(QFontMetrics(address.field->font()).averageCharWidth() * 44);
        address.problem = problemLabel();
        auto* cell = new QVBoxLayout;
        cell->addWidget(address.field);
        cell->addWidget(address.problem);
        form->addRow(QString::fromLatin1(address.label) + QLatin1Char(':'), cell);
    }
    text_styles::setColour(m_signOutNote, text_styles::secondary());
    m_signOutNote->setText(QStringLiteral("Saving another service signs you out: your sign-in belongs to the service "
                                          "you use now."));
    form->addRow(m_signOutNote);
    connect(m_addresses[0].field, &QLineEdit::textChanged, this, &SettingsDialog::updateSignOutNote);
    // A sign-in or sign-out while the dialog is open changes what saving would do.
    connect(&manager, &service::Session::accessTokenChanged, this, &SettingsDialog::updateSignOutNote);
    const QStringList names { QStringLiteral("Start recording:"), QStringLiteral("Save recording:") };
    for (std::size_t i = 0; i < m_shortcuts.size(); ++i) {
        Shortcut& shortcut = m_shortcuts[i];
        const QString stored = store.value(settingKey(shortcut.key)).value_or(QString());
        shortcut.field = new QKeySequenceEdit(
            stored.isEmpty() ? shortcut.fallback : QKeySequence::fromString(stored, QKeySequence::PortableText), this);
        shortcut.problem = problemLabel();
        auto* cell = new QVBoxLayout;
        cell->addWidget(shortcut.field);
        cell->addWidget(shortcut.problem);
        form->addRow(names.at(static_cast<qsizetype>(i)), cell);
    }
    auto* keysNote = text_styles::label(
        QStringLiteral("These keys work anywhere on the desktop while a Recording window is open."),
        text_styles::body(), text_styles::secondary(), this);
    keysNote->setWordWrap(true);
    form->addRow(keysNote);

    auto* buttons = new QDialogButtonBox(
        QDialogButtonBox::Save | QDialogButtonBox::Cancel | QDialogButtonBox::RestoreDefaults, this);
    column->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SettingsDialog::reject);
    connect(buttons->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked, this,
        &SettingsDialog::restoreDefaults);
    updateSignOutNote();
}

QLabel* SettingsDialog::problemLabel()
{
    QLabel* label = text_styles::label({}, text_styles::body(), text_styles::failure(), this);
    label->setWordWrap(true);
    label->hide();
    return label;
}

void SettingsDialog::updateSignOutNote()
{
    const settings::Endpoints::CheckedOrigin wanted = settings::Endpoints::checkOrigin(
        m_addresses[0].field->text().isEmpty() ? m_addresses[0].fallback : m_addresses[0].field->text(), {});
    const std::optional<QString> current = m_manager.serviceOrigin();
    m_signOutNote->setVisible(m_manager.accessToken() && wanted.error.isEmpty() && current != wanted.origin);
}

void SettingsDialog::restoreDefaults()
{
    for (Address& address : m_addresses)
        address.field->clear();
    for (Shortcut& shortcut : m_shortcuts)
        shortcut.field->setKeySequence(shortcut.fallback);
}

QString SettingsDialog::checkAddress(const Address& address) const
{
    const QString text = address.field->text().trimmed();
    if (!text.isEmpty())
        return settings::Endpoints::checkOrigin(text, QStringLiteral("The address")).error;
    // Empty hands the address back to the environment, which must then be usable.
    if (qEnvironmentVariableIsSet(address.variable))
        return settings::Endpoints::checkOrigin(address.fallback,
            QStringLiteral("Left empty, the environment variable %1 decides, and its address")
                .arg(QString::fromLatin1(address.variable)))
            .error;
    return {};
}

QString SettingsDialog::checkShortcut(const Shortcut& shortcut, const Shortcut& other) const
{
    const QKeySequence keys = shortcut.field->keySequence();
    if (keys.isEmpty())
        return QStringLiteral("Press the keys to use.");
    if (keys.count() != 1)
        return QStringLiteral("Use one combination of keys, not %1 in a row.").arg(keys.count());
    // Without one of these the key would be taken from every other program.
    const Qt::KeyboardModifiers held = keys[0].keyboardModifiers();
    if (!(held & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)))
        return QStringLiteral("%1 would take the key from every other program: hold Ctrl, Alt or Super with it.")
            .arg(keys.toString(QKeySequence::NativeText));
    if (keys == other.field->keySequence())
        return QStringLiteral("Starting and saving need different keys.");
    return {};
}

void SettingsDialog::accept()
{
    bool fine = true;
    const auto show = [&fine](QLabel* problem, const QString& text) {
        problem->setText(text);
        problem->setVisible(!text.isEmpty());
        fine = fine && text.isEmpty();
    };
    for (const Address& address : m_addresses)
        show(address.problem, checkAddress(address));
    show(m_shortcuts[0].problem, checkShortcut(m_shortcuts[0], m_shortcuts[1]));
    show(m_shortcuts[1].problem, checkShortcut(m_shortcuts[1], m_shortcuts[0]));
    if (!fine)
        return;

    settings::Store& store = m_manager.store();
    const std::optional<QString> oldService = m_manager.serviceOrigin();
    for (const Address& address : m_addresses) {
        const QString text = address.field->text().trimmed();
        store.setValue(settingKey(address.key), text.isEmpty() ? std::nullopt : std::optional(text));
    }
    for (const Shortcut& shortcut : m_shortcuts)
        store.setValue(settingKey(shortcut.key), shortcut.field->keySequence().toString(QKeySequence::PortableText));
    std::variant<settings::Endpoints, QString> endpoints = settings::Endpoints::load(store);
    const auto* loaded = std::get_if<settings::Endpoints>(&endpoints);
    // The token was given by the old service: it must not travel to another.
    if (m_manager.accessToken() && (!loaded || loaded->service != oldService))
        m_manager.signOut();
    m_manager.setEndpoints(std::move(endpoints));
    QDialog::accept();
}

} // namespace corvex::app
