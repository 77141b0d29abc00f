#pragma once

#include <QDialog>
#include <QKeySequence>

#include <array>

class QKeySequenceEdit;
class QLabel;
class QLineEdit;

namespace corvex::service {
class Session;
}

namespace corvex::app {

/// The settings keys of the global keys that start and save a recording
/// (QKeySequence portable text), and their defaults.
inline constexpr const char* kStartShortcutKey = "shortcuts/start";
inline constexpr const char* kSaveShortcutKey = "shortcuts/save";
QKeySequence defaultStartShortcut();
QKeySequence defaultSaveShortcut();

/// File ▸ Settings: where the light-service and the catalogue are, and the
/// keys that start and save a recording from anywhere on the desktop. An
/// empty address leaves it to the environment (CORVEX_SERVICE_URL, …) or the
/// default, which the field shows greyed. Everything is checked when saved
/// (an address is https, or http to this machine only; a key has a modifier
/// and the two differ); nothing is stored while anything is wrong. Saving
/// another service signs the author out: the sign-in belongs to the old one.
class SettingsDialog final : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SettingsDialog)

public:
    explicit SettingsDialog(service::Session& manager, QWidget* parent = nullptr);

    /// Checks and stores the settings, then closes; stays open saying what is wrong.
    void accept() override;

private:
    struct Address {
        const char* label;
        const char* key; // the settings key
        const char* variable; // the environment variable the setting overrides
        QString fallback; // used when neither is set
        QLineEdit* field = nullptr;
        QLabel* problem = nullptr;
    };
    struct Shortcut {
        const char* key;
        QKeySequence fallback;
        QKeySequenceEdit* field = nullptr;
        QLabel* problem = nullptr;
    };

    QLabel* problemLabel();
    QString checkAddress(const Address& address) const;
    QString checkShortcut(const Shortcut& shortcut, const Shortcut& other) const;
    void restoreDefaults();
    void updateSignOutNote();

    service::Session& m_manager;
    std::array<Address, 3> m_addresses;
    std::array<Shortcut, 2> m_shortcuts;
    QLabel* m_signOutNote;
};

} // namespace corvex::app
