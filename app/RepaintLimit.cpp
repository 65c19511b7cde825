#include "app/RepaintLimit.h"

#include <QWidget>

TRepaintLimit::TRepaintLimit(QWidget* Widget, int IntervalMs)
    : QObject(Widget), widget_(Widget), intervalMs_(IntervalMs)
{
    held_.setSingleShot(true);
    connect(&held_, &QTimer::timeout, this, [this] { Flush(); });
}

void TRepaintLimit::Changing()
{
    if (!lastPaint_.isValid() || lastPaint_.elapsed() >= intervalMs_) {
        Flush();
        return;
    }
    // Held: the change lands in the widget, its repaint waits.
    if (widget_->updatesEnabled())
        widget_->setUpdatesEnabled(false);
    if (!held_.isActive())
        held_.start(static_cast<int>(intervalMs_ - lastPaint_.elapsed()));
}

void TRepaintLimit::Flush()
{
    held_.stop();
    lastPaint_.start();
    if (!widget_->updatesEnabled())
        widget_->setUpdatesEnabled(true);  // schedules the repaint
}

bool TRepaintLimit::Open() const
{
    return !held_.isActive() && (!lastPaint_.isValid() || lastPaint_.elapsed() >= intervalMs_);
}
