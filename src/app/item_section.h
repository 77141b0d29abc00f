#pragma once

#include "app/panel_section.h"
#include "catalogue/tmdb_item.h"

#include <optional>

namespace corvex::service {
class Session;
}

namespace corvex::app {

class ElidedLabel;

/// The text shown for the item being recorded: a film's title, or a show's
/// name with "Season 2 · Episode 5: Pilot" (or "Specials · Episode 1") under
/// it; empty when there is neither.
struct CurrentItemText {
    QString title;
    QString detail;
};
CurrentItemText currentItemText(const std::optional<catalogue::TMDBItem>& item);

/// "Movie / Episode": what the recording is made for.
class ItemSection final : public PanelSection {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ItemSection)

public:
    explicit ItemSection(const std::optional<catalogue::TMDBItem>& item, QWidget* parent = nullptr);

    /// One line; a title too long for the panel ends in "…" and is whole in the tooltip.
    ElidedLabel* title() const { return m_title; }
    QLabel* detail() const { return m_detail; }

private:
    ElidedLabel* m_title;
    QLabel* m_detail;
};

} // namespace corvex::app
