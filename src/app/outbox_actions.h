#pragma once

#include "service/outbox.h"

#include <QString>

#include <functional>

class QMessageBox;
class QWidget;

namespace corvex::app {

/// What the studio does to one waiting recording besides sending it: keep it
/// as a file, or remove it from the outbox after asking. Both run without
/// blocking the window: `done` gets what to tell the author (and whether it
/// worked) when the author has chosen.
namespace outbox_actions {

using Done = std::function<void(const QString& message, bool succeeded)>;

/// What was recorded: the film's title, or the show's with its episode ("Show S01E02").
QString titleOf(const catalogue::TMDBItem& item);
/// The recording as the author knows it: its title, when it was saved, and
/// whose it is, e.g. “Metropolis”, saved 3 May 2025 14:05, a@example.org (account 7).
QString describe(const service::Outbox::Entry& entry);
/// Why it waits, in a few words: refused for good (with the status), the
/// last attempt's error, or the account it waits for.
QString stateOf(const service::Outbox::Entry& entry, const QString& signedInAccount);

/// Asks where to write the recording (a file dialog), then writes it there.
/// The entry stays in the outbox.
void saveAs(QWidget* parent, const service::Outbox& outbox, const service::Outbox::Entry& entry, Done done);
/// Asks whether to remove the recording for good (naming it), then removes
/// it; the question is returned, open.
QMessageBox* confirmRemove(QWidget* parent, service::Outbox& outbox, const service::Outbox::Entry& entry, Done done);

} // namespace outbox_actions

} // namespace corvex::app
