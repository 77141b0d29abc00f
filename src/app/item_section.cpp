#include "app/item_section.h"

#include "app/catalogue_views.h"
#include "app/elided_label.h"
#include "app/text_styles.h"

#include <QLabel>
#include <QVBoxLayout>

namespace corvex::app {

CurrentItemText currentItemText(const std::optional<catalogue::TMDBItem>& item)
{
    if (!item)
        return {};
    if (item->movie && item->movie->title)
        return { *item->movie->title, {} };
    if (!item->tvShow || !item->tvShow->name)
        return {};
    QStringList detail;
    if (item->season)
        detail << seasonTitle(*item->season);
    if (item->episode)
        detail << episodeTitle(*item->episode);
    return { *item->tvShow->name, detail.join(QStringLiteral(" · ")) };
}

ItemSection::ItemSection(const std::optional<catalogue::TMDBItem>& item, QWidget* parent)
    : PanelSection(QStringLiteral("Movie / Episode"), parent)
    , m_title(new ElidedLabel(this))
    , m_detail(text_styles::label({}, text_styles::body(), {}, this))
{
    m_title->setFont(text_styles::body());
    rows()->addWidget(m_title);
    rows()->addWidget(m_detail);
    const CurrentItemText text = currentItemText(item);
    m_title->setFullText(text.title);
    m_title->setVisible(!text.title.isEmpty());
    m_detail->setText(text.detail);
    m_detail->setVisible(!text.detail.isEmpty());
}

} // namespace corvex::app
