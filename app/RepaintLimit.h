// Lets a widget whose content changes faster than anyone can read repaint
// at most once per interval: every change is made at once (its text and its
// signals are always the latest), only the painting waits, and the last
// change is painted when the interval is over.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QWidget;

class TRepaintLimit : public QObject {
public:
    TRepaintLimit(QWidget* Widget, int IntervalMs);

    // Before each change of the widget's content.
    void Changing();
    // Paints a held change now, e.g. before a final text.
    void Flush();
    // True when the next change would be painted at once: no paint is held
    // and the interval since the last one is over.
    bool Open() const;

private:
    QWidget* widget_;
    int intervalMs_;
    QElapsedTimer lastPaint_;
    QTimer held_;
};
