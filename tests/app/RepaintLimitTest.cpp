// The progress field's repaint limit: every change lands at once, the
// painting waits, and the last change is painted.

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QLineEdit>
#include <QWidget>

#include <vector>

#include "app/RepaintLimit.h"
#include "tests/app/AppTestSupport.h"

namespace {

// Records the text the field shows at each paint.
class PaintLog : public QObject {
public:
    explicit PaintLog(QLineEdit* Edit) : edit_(Edit) { Edit->installEventFilter(this); }
    std::vector<QString> painted;

protected:
    bool eventFilter(QObject*, QEvent* Event) override
    {
        if (Event->type() == QEvent::Paint)
            painted.push_back(edit_->text());
        return false;
    }

private:
    QLineEdit* edit_;
};

}  // namespace

TEST(RepaintLimit, PaintsAtMostOncePerIntervalAndAlwaysTheLastChange)
{
    // A field inside a window, as the progress field is.
    QWidget window;
    QLineEdit edit(&window);
    window.show();
    PaintLog log(&edit);
    ASSERT_TRUE(apptest::WaitUntil([&] { return !log.painted.empty(); }));
    TRepaintLimit limit(&edit, 100);
    int changes = 0;
    QObject::connect(&edit, &QLineEdit::textChanged, [&] { ++changes; });

    struct Case {
        int count;
        int pauseMs;  // between changes, events handled meanwhile (the held paint may come)
    } cases[] = {{300, 1}, {5, 30}, {1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        log.painted.clear();
        changes = 0;
        QElapsedTimer clock;
        clock.start();
        for (int i = 1; i <= c.count; ++i) {
            limit.Changing();
            edit.setText(QString::number(i));
            QApplication::processEvents();
            // The next change is due when the case's pause has passed on the
            // clock the limit reads itself.
            QElapsedTimer pause;
            pause.start();
            ASSERT_TRUE(apptest::WaitUntil([&] { return pause.elapsed() >= c.pauseMs; }));
        }
        const QString last = QString::number(c.count);
        EXPECT_EQ(changes, c.count);
        EXPECT_EQ(edit.text(), last);
        ASSERT_TRUE(apptest::WaitUntil([&] { return !log.painted.empty() && log.painted.back() == last; }, 2000));
        const int64_t allowed = clock.elapsed() / 100 + 2;
        EXPECT_LE(static_cast<int64_t>(log.painted.size()), allowed);
        // The next case starts with the interval run out, so its first change paints at once.
        ASSERT_TRUE(apptest::WaitUntil([&] { return limit.Open(); }, 2000));
    }

    // A change right after a paint waits; Flush paints it at once.
    limit.Changing();
    edit.setText("a");
    QApplication::processEvents();
    limit.Changing();
    edit.setText("final");
    EXPECT_FALSE(edit.updatesEnabled());  // held
    EXPECT_FALSE(limit.Open());
    limit.Flush();
    EXPECT_TRUE(edit.updatesEnabled());
    log.painted.clear();
    ASSERT_TRUE(apptest::WaitUntil([&] { return !log.painted.empty(); }, 2000));
    EXPECT_EQ(log.painted.back(), "final");
}
