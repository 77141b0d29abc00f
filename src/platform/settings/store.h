#pragma once

#include <QString>

#include <optional>

namespace corvex::settings {

/// The studio's persisted key-value store: one INI file under the XDG config
/// folder, shared by every Corvex program of the user, readable and writable
/// by its owner only (it holds the access token).
class Store final {
public:
    /// The store at `defaultPath()`.
    Store();
    /// A store kept in the given file (created when missing).
    explicit Store(const QString& path);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    /// $XDG_CONFIG_HOME/corvex/corvex.ini (or its fallback under ~/.config).
    static QString defaultPath();

    QString path() const { return m_path; }

    /// The stored text, or none when the key is absent. Rereads the file so
    /// that a value written by another Corvex program is seen.
    std::optional<QString> value(const QString& key) const;
    /// Stores the value, or removes the key when `value` is none, and writes
    /// the file at once. Returns false when the file cannot be written (a full
    /// disk, say); the value read then stays the one the file holds.
    bool setValue(const QString& key, const std::optional<QString>& value);

private:
    void restrictPermissions() const;

    QString m_path;
};

} // namespace corvex::settings
