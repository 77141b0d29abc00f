#include "app/desktop_choice_view.h"

#include "app/panel_section.h"
#include "capture/screen_recorder.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvex::app {

QString DesktopChoiceView::choiceText(const screencapture::DesktopChoice& choice)
{
    using Kind = screencapture::DesktopChoice::Kind;
    if (choice.kind == Kind::none)
        return notChosenText();
    const QString kind = choice.kind == Kind::window ? QStringLiteral("Window") : QStringLiteral("Display");
    if (choice.width <= 0 || choice.height <= 0)
        return kind;
    return QStringLiteral("%1: %2 x %3").arg(kind).arg(choice.width).arg(choice.height);
}

QString DesktopChoiceView::ownWindowsText(bool windowsOffered)
{
    // The portal shares the display as the desktop draws it: nothing lets an
    // application cut its own windows out, as it can on X11.
    const QString shown = QStringLiteral("Corvex Studio's windows cannot be left out of a shared display here: ");
    return shown
        + (windowsOffered ? QStringLiteral("pick \"Window\" as the capture type and share the player's window instead.")
                          : QStringLiteral("Corvex Studio minimises itself to the tray when a recording starts."));
}

DesktopChoiceView::DesktopChoiceView(
    capture::ScreenRecorder& screenRecorder, screencapture::DesktopChooser& chooser, QWidget* parent)
    : QWidget(parent)
    , m_screenRecorder(screenRecorder)
    , m_chooser(chooser)
    , m_choice(new QLabel(notChosenText(), this))
    , m_choose(new QPushButton(QStringLiteral("Choose…"), this))
    , m_ownWindows(hintLabel(ownWindowsText(false), this))
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    auto* row = new QHBoxLayout;
    m_choice->setAccessibleName(QStringLiteral("Screen Content"));
    m_choice->setToolTip(QStringLiteral("Chosen in the desktop's screen sharing dialog"));
    m_choose->setToolTip(QStringLiteral("Ask the desktop's screen sharing dialog again"));
    row->addWidget(m_choice, 1);
    row->addWidget(m_choose);
    column->addLayout(row);
    column->addWidget(m_ownWindows);

    connect(m_choose, &QPushButton::clicked, this, &DesktopChoiceView::chooseAgain);
    // The choice is made on a capture thread while the desktop's dialog is
    // open; the model's refreshes (every few seconds) and the first frames of
    // a new stream are when it can have changed.
    using capture::ScreenRecorder;
    connect(&screenRecorder, &ScreenRecorder::availableContentRefreshed, this, &DesktopChoiceView::refresh);
    connect(&screenRecorder, &ScreenRecorder::isRunningChanged, this, &DesktopChoiceView::refresh);
    connect(&screenRecorder, &ScreenRecorder::contentSizeChanged, this, &DesktopChoiceView::refresh);
    refresh();
}

void DesktopChoiceView::refresh()
{
    const screencapture::DesktopChoice choice = m_chooser.desktopChoice();
    m_choice->setText(choiceText(choice));
    m_ownWindows->setText(ownWindowsText(m_chooser.offersWindows()));
    m_ownWindows->setVisible(choice.kind == screencapture::DesktopChoice::Kind::display);
}

void DesktopChoiceView::chooseAgain()
{
    m_chooser.chooseAgain();
    refresh();
    // A running capture asks at once; a stopped one asks when it starts, which
    // the author expects of this button too.
    if (!m_screenRecorder.isRunning())
        m_screenRecorder.start();
}

} // namespace corvex::app
