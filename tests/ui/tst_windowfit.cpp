// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow.h"
#include "theme.h"
#include "windowfixture.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

namespace {

// What a title bar and a panel take from a screen's height, in screen pixels.
constexpr int decorationHeight = 64;

// The part of the widget seen through every scroll area around it, in window coordinates.
QRect visiblePart(QWidget *widget, QWidget *window)
{
    QRect seen(widget->mapTo(window, QPoint(0, 0)), widget->size());
    for (QWidget *parent = widget->parentWidget(); parent && parent != window;
         parent = parent->parentWidget())
        if (auto *scroll = qobject_cast<QScrollArea *>(parent))
            seen &= QRect(scroll->viewport()->mapTo(window, QPoint(0, 0)), scroll->viewport()->size());
    return seen & window->rect();
}

} // namespace

// The themed window on small screens, at the scale factor the test runs with (QT_SCALE_FACTOR).
class TestWindowFit : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<FakeLsblk> lsblk;
    QTemporaryDir scratch;

private Q_SLOTS:
    void initTestCase()
    {
        applyWorkbenchTheme(*qApp);
        lsblk = std::make_unique<FakeLsblk>();
    }

    void fitsSmallScreens_data()
    {
        QTest::addColumn<QSize>("screen");
        QTest::newRow("1366x768") << QSize(1366, 768);
        QTest::newRow("1440x900") << QSize(1440, 900);
        QTest::newRow("1024x768") << QSize(1024, 768);
    }

    // Every button can be reached: those below the content always show, the others once scrolled
    // to. The log gives way before the content scrolls.
    void fitsSmallScreens()
    {
        QFETCH(QSize, screen);
        MainWindow window(QUrl::fromLocalFile(scratch.filePath("none.json")), QUrl());
        const qreal scale = window.devicePixelRatio();
        const QSize space = QSize(screen.width(), screen.height() - decorationHeight) / scale;
        QVERIFY2(window.minimumSizeHint().height() <= space.height(),
                 qPrintable(QString::number(window.minimumSizeHint().height())));
        QVERIFY(window.minimumSizeHint().width() <= space.width());
        window.resize(space.boundedTo(QSize(640, space.height())));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.height(), space.height());

        auto *scroll = member<QScrollArea>(window, "scrollArea");
        auto *log = member<QPlainTextEdit>(window, "logView");
        if (scroll->verticalScrollBar()->isVisible())
            QCOMPARE(log->height(), log->minimumHeight());
        const QList<QPushButton *> buttons = window.findChildren<QPushButton *>();
        QVERIFY(buttons.size() >= 9);
        for (QPushButton *button : buttons) {
            if (scroll->isAncestorOf(button))
                scroll->ensureWidgetVisible(button);
            QVERIFY2(visiblePart(button, &window).size() == button->size(), qPrintable(button->objectName()));
        }
    }
};

QTEST_MAIN(TestWindowFit)
#include "tst_windowfit.moc"
