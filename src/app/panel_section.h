#pragma once

#include <QWidget>

class QComboBox;
class QLabel;
class QVBoxLayout;

namespace corvex::app {

/// One section of the recording panel: a heading in the headline font and
/// the secondary colour, with the section's rows under it indented so that
/// the heading starts `kAlignmentOffset` points to their left.
class PanelSection : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PanelSection)

public:
    static constexpr int kAlignmentOffset = 10;

    explicit PanelSection(const QString& title, QWidget* parent = nullptr);
    ~PanelSection() override;

    QLabel* heading() const { return m_heading; }

protected:
    QVBoxLayout* rows() const { return m_rows; }

private:
    QLabel* m_heading;
    QVBoxLayout* m_rows;
};

/// A caption that wraps, for a section's hints ("No windows to record…").
QLabel* hintLabel(const QString& text, QWidget* parent);

/// A drop-down list whose width does not follow its items: long window
/// titles or receiver names must not widen the panel.
QComboBox* picker(const QString& accessibleName, QWidget* parent);

} // namespace corvex::app
