#include "service/outbox.h"

#include "service/service_error.h"

#include "platform/settings/private_file.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUuid>

namespace corvex::service {

namespace {

bool isEntryId(const QString& id)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9]{8}T[0-9]{9}Z-[0-9a-f]{8}$"));
    return pattern.match(id).hasMatch();
}

using settings::private_file::prepareFolder;
using settings::private_file::write;

QString newKey()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// A sender's hold on an entry lives as long as its attempt, which may wait a
// minute for the service; it is stale only when its process is gone.
std::unique_ptr<QLockFile> longLock(const QString& path)
{
    auto lock = std::make_unique<QLockFile>(path);
    lock->setStaleLockTime(0);
    return lock;
}

} // namespace

Outbox::Outbox()
    : Outbox(defaultFolder())
{
}

Outbox::Outbox(QString folder)
    : m_folder(std::move(folder))
{
}

QString Outbox::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/corvex/outbox");
}

QString Outbox::pathOf(const QString& id, const char* suffix) const
{
    return m_folder + QLatin1Char('/') + id + QLatin1StringView(suffix);
}

QString Outbox::tokenHash(const QString& token)
{
    return QString::fromLatin1(QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256).toHex());
}

Result<QString> Outbox::add(const QByteArray& recording, const catalogue::TMDBItem& item, const QString& accountId,
    const QString& tokenHash, const QString& accountEmail)
{
    if (Result<void> ready = prepareFolder(m_folder); !ready)
        return Result<QString>::failure(std::move(ready.error));
    Entry entry;
    entry.savedAt = QDateTime::currentDateTimeUtc();
    // Sorts by time; the random part keeps two saves in one millisecond apart.
    entry.id = entry.savedAt.toString(QStringLiteral("yyyyMMdd'T'HHmmsszzz'Z'")) + QLatin1Char('-')
        + QStringLiteral("%1").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    entry.key = newKey();
    entry.accountId = accountId;
    entry.accountEmail = accountEmail;
    if (accountId.isEmpty())
        entry.tokenHash = tokenHash;
    entry.item = item;
    // The record first: an entry is listed only once its description exists.
    Result<void> written = write(pathOf(entry.id, ".pb"), recording);
    if (written)
        written = writeMeta(entry);
    // Trusted only as read back: whatever the disk kept is what a retry sends.
    if (written) {
        const std::optional<Entry> stored = this->entry(entry.id);
        if (!stored || stored->key != entry.key || stored->accountId != entry.accountId || stored->item != entry.item
            || this->recording(entry.id) != recording)
            written = Result<void>::failure(
                QStringLiteral("the recording saved in %1 does not read back as it was written").arg(m_folder));
    }
    if (!written) {
        QFile::remove(pathOf(entry.id, ".json"));
        QFile::remove(pathOf(entry.id, ".pb"));
        return Result<QString>::failure(std::move(written.error));
    }
    return Result<QString>::success(entry.id);
}

Result<void> Outbox::writeMeta(const Entry& entry) const
{
    const QJsonObject object {
        { QStringLiteral("item"), catalogue::itemToJson(entry.item) },
        { QStringLiteral("key"), entry.key },
        { QStringLiteral("account_id"), entry.accountId },
        { QStringLiteral("token_hash"), entry.tokenHash },
        { QStringLiteral("saved_at"), entry.savedAt.toString(Qt::ISODateWithMs) },
        { QStringLiteral("attempts"), entry.attempts },
        { QStringLiteral("last_error"), entry.lastError },
        { QStringLiteral("last_status"), entry.lastStatus },
        { QStringLiteral("account_email"), entry.accountEmail },
    };
    return write(pathOf(entry.id, ".json"), QJsonDocument(object).toJson());
}

std::optional<Outbox::Entry> Outbox::entry(const QString& id) const
{
    if (!isEntryId(id))
        return std::nullopt;
    QFile file(pathOf(id, ".json"));
    if (!file.open(QIODevice::ReadOnly) || !QFile::exists(pathOf(id, ".pb")))
        return std::nullopt;
    QJsonParseError parsed;
    const QJsonObject object = QJsonDocument::fromJson(file.readAll(), &parsed).object();
    const auto item = catalogue::itemFromJson(object.value(QStringLiteral("item")).toObject());
    // Only recordings of a film or an episode are ever kept: anything else
    // here was damaged on disk.
    if (parsed.error != QJsonParseError::NoError || !item || !item->isComplete())
        return std::nullopt;
    Entry result;
    result.id = id;
    result.item = *item;
    result.key = object.value(QStringLiteral("key")).toString();
    result.accountId = object.value(QStringLiteral("account_id")).toString();
    result.tokenHash = object.value(QStringLiteral("token_hash")).toString();
    result.savedAt = QDateTime::fromString(object.value(QStringLiteral("saved_at")).toString(), Qt::ISODateWithMs);
    result.attempts = object.value(QStringLiteral("attempts")).toInt();
    result.lastError = object.value(QStringLiteral("last_error")).toString();
    result.lastStatus = object.value(QStringLiteral("last_status")).toInt();
    result.accountEmail = object.value(QStringLiteral("account_email")).toString();
    return result;
}

QString Outbox::folderProblem() const
{
    if (!QFileInfo::exists(m_folder) && !QFileInfo(m_folder).isSymLink())
        return {};
    return prepareFolder(m_folder).error;
}

Outbox::Contents Outbox::contents() const
{
    Contents result;
    // Entries in a folder someone else could have written are not ours to send.
    if (!folderProblem().isEmpty())
        return result;
    const QStringList names = QDir(m_folder).entryList({ QStringLiteral("*.json") }, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        const QString id = name.chopped(5);
        if (auto found = entry(id))
            result.entries.append(std::move(*found));
        else if (isEntryId(id) && QFile::exists(pathOf(id, ".pb")))
            result.unreadable.append(id);
    }
    return result;
}

Outbox::Entry Outbox::unreadableEntry(const QString& id) const
{
    Entry result;
    result.id = id;
    result.savedAt = QFileInfo(pathOf(id, ".pb")).lastModified();
    return result;
}

std::optional<QByteArray> Outbox::recording(const QString& id) const
{
    if (!isEntryId(id))
        return std::nullopt;
    QFile file(pathOf(id, ".pb"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

bool Outbox::isTaken(const QString& id) const
{
    if (!isEntryId(id))
        return false;
    auto probe = longLock(pathOf(id, ".sending"));
    if (!probe->tryLock())
        return true;
    probe->unlock();
    return false;
}

Result<std::unique_ptr<QLockFile>> Outbox::lockFolder() const
{
    using Locked = Result<std::unique_ptr<QLockFile>>;
    if (Result<void> ready = prepareFolder(m_folder); !ready)
        return Locked::failure(std::move(ready.error));
    // Held only for a few file operations; a holder that died long ago is stale.
    auto lock = std::make_unique<QLockFile>(m_folder + QStringLiteral("/outbox.lock"));
    lock->setStaleLockTime(30'000);
    if (!lock->tryLock(10'000))
        return Locked::failure(QStringLiteral("the outbox %1 stays locked by another program").arg(m_folder));
    return Locked::success(std::move(lock));
}

Result<std::unique_ptr<Outbox::Taken>, Outbox::TakeError> Outbox::take(const QString& id)
{
    using Took = Result<std::unique_ptr<Taken>, TakeError>;
    const auto gone = [] { return Took::failure({ TakeStatus::Gone, {} }); };
    const auto failed = [](QString message) { return Took::failure({ TakeStatus::Failed, std::move(message) }); };
    if (!isEntryId(id))
        return gone();
    Result<std::unique_ptr<QLockFile>> folderLock = lockFolder();
    if (!folderLock)
        return failed(std::move(folderLock.error));
    // Under the folder lock, so an entry that its sender is removing right
    // now is either still whole here or already gone.
    std::optional<Entry> found = entry(id);
    if (!found)
        return gone();
    auto lock = longLock(pathOf(id, ".sending"));
    if (!lock->tryLock()) {
        if (lock->error() == QLockFile::LockFailedError)
            return Took::failure({ TakeStatus::Busy, {} });
        return failed(QStringLiteral("cannot mark %1 as being sent in %2").arg(id, m_folder));
    }
    if (found->key.isEmpty()) {
        // Saved before keys were kept: give it one now and keep it before the
        // first keyed attempt, so every later attempt repeats it.
        found->key = newKey();
        if (Result<void> described = writeMeta(*found); !described)
            return failed(std::move(described.error));
    }
    return Took::success(std::unique_ptr<Taken>(new Taken(*this, std::move(*found), std::move(lock))));
}

bool Outbox::Entry::refusedForGood() const
{
    return ServiceError::isPermanentStatus(lastStatus);
}

QString Outbox::Entry::authorText() const
{
    if (accountId.isEmpty())
        return QStringLiteral("an unknown account");
    if (accountEmail.isEmpty())
        return QStringLiteral("account %1").arg(accountId);
    return QStringLiteral("%1 (account %2)").arg(accountEmail, accountId);
}

Result<void> Outbox::saveRecording(const QString& id, const QString& path) const
{
    const std::optional<QByteArray> bytes = recording(id);
    if (!bytes)
        return Result<void>::failure(QStringLiteral("no recording '%1' waits in the outbox %2").arg(id, m_folder));
    return write(path, *bytes);
}

Result<void, Outbox::TakeError> Outbox::remove(const QString& id)
{
    auto taken = take(id);
    bool removed = false;
    if (taken) {
        removed = (*taken.value)->remove();
    } else if (taken.error.status == TakeStatus::Gone && unreadable().contains(id)) {
        // Nothing can send an entry whose description is damaged, so nobody
        // holds it: only its files are left.
        const Result<std::unique_ptr<QLockFile>> folderLock = lockFolder();
        if (!folderLock)
            return Result<void, TakeError>::failure({ TakeStatus::Failed, folderLock.error });
        removed = removeFiles(id);
    } else {
        return Result<void, TakeError>::failure(taken.error);
    }
    if (!removed)
        return Result<void, TakeError>::failure(
            { TakeStatus::Failed, QStringLiteral("cannot remove %1 from %2").arg(id, m_folder) });
    return Result<void, TakeError>::success();
}

bool Outbox::removeFiles(const QString& id) const
{
    // The description first, so a half-removed entry is never listed.
    const bool removed = QFile::remove(pathOf(id, ".json"));
    QFile::remove(pathOf(id, ".pb"));
    return removed;
}

Outbox::Taken::Taken(Outbox& outbox, Entry entry, std::unique_ptr<QLockFile> lock)
    : m_outbox(outbox)
    , m_entry(std::move(entry))
    , m_lock(std::move(lock))
{
}

Outbox::Taken::~Taken() = default;

std::optional<QByteArray> Outbox::Taken::recording() const
{
    return m_outbox.recording(m_entry.id);
}

void Outbox::Taken::recordFailure(const QString& error, int status)
{
    m_entry.attempts += 1;
    m_entry.lastError = error;
    m_entry.lastStatus = status;
    // Best effort: the entry stays in the outbox whether or not its count could be kept.
    static_cast<void>(m_outbox.writeMeta(m_entry));
}

bool Outbox::Taken::adoptAuthor(const QString& accountId)
{
    m_entry.accountId = accountId;
    m_entry.tokenHash.clear();
    return static_cast<bool>(m_outbox.writeMeta(m_entry));
}

bool Outbox::Taken::remove()
{
    // Without the folder lock the removal is still safe: we hold the entry.
    const Result<std::unique_ptr<QLockFile>> folderLock = m_outbox.lockFolder();
    return m_outbox.removeFiles(m_entry.id);
}

} // namespace corvex::service
