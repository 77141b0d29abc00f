#include "app/panel_section.h"

#include "app/text_styles.h"

#include <QComboBox>
#include <QLabel>
#include <QVBoxLayout>

namespace corvex::app {

PanelSection::PanelSection(const QString& title, QWidget* parent)
    : QWidget(parent)
    , m_heading(text_styles::label(title, text_styles::headline(), text_styles::secondary(), this))
    , m_rows(new QVBoxLayout)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    column->addWidget(m_heading);
    m_rows->setContentsMargins(kAlignmentOffset, 0, 0, 0);
    m_rows->setSpacing(4);
    column->addLayout(m_rows);
}

PanelSection::~PanelSection() = default;

QLabel* hintLabel(const QString& text, QWidget* parent)
{
    QLabel* hint = text_styles::label(text, text_styles::caption(), text_styles::secondary(), parent);
    hint->setWordWrap(true);
    return hint;
}

QComboBox* picker(const QString& accessibleName, QWidget* parent)
{
    auto* box = new QComboBox(parent);
    box->setAccessibleName(accessibleName);
    box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    box->setMinimumContentsLength(10);
    return box;
}

} // namespace corvex::app
