// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow.h"
#include "theme.h"
#include "windowfixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QImage>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <QVBoxLayout>
#include <memory>

namespace {

// A widget of a row of the drawn-look table, its inside clear of any text at the spot looked at.
std::unique_ptr<QWidget> makeWidget(const QString &kind)
{
    if (kind.startsWith("button")) {
        auto button = std::make_unique<QPushButton>(QStringLiteral("OK"));
        button->setEnabled(kind != "button-disabled");
        button->setDefault(kind == "button-default");
        return button;
    }
    if (kind.startsWith("line-edit")) {
        auto edit = std::make_unique<QLineEdit>();
        edit->setEnabled(kind == "line-edit");
        return edit;
    }
    if (kind.startsWith("progress-bar")) {
        auto bar = std::make_unique<QProgressBar>();
        bar->setValue(kind == "progress-bar-full" ? 100 : 0);
        return bar;
    }
    if (kind == "group-box")
        return std::make_unique<QGroupBox>(QStringLiteral("Titel"));
    if (kind == "log")
        return std::make_unique<QPlainTextEdit>();
    return std::make_unique<QMainWindow>();
}

// The image as the stylesheet draws it: 11 x 6, rows of 11, 9, 7, 5, 3 and 1 black pixels.
QImage expectedArrow()
{
    QImage arrow(11, 6, QImage::Format_ARGB32);
    arrow.fill(Qt::transparent);
    for (int y = 0; y < 6; ++y)
        for (int x = y; x < 11 - y; ++x)
            arrow.setPixel(x, y, qRgba(0, 0, 0, 255));
    return arrow;
}

// How many pixels of the outer two-pixel frame differ between two pictures of one widget.
int frameDifference(const QImage &a, const QImage &b)
{
    int differing = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const bool frame = x < 2 || y < 2 || x >= a.width() - 2 || y >= a.height() - 2;
            differing += frame && a.pixel(x, y) != b.pixel(x, y);
        }
    return differing;
}

QWidget *makeControl(const QString &kind)
{
    if (kind == "QLineEdit")
        return new QLineEdit;
    if (kind == "QComboBox")
        return new QComboBox;
    if (kind == "QPlainTextEdit")
        return new QPlainTextEdit;
    if (kind == "QPushButton")
        return new QPushButton(QStringLiteral("Installieren"));
    return new QCheckBox(QStringLiteral("Anonym mitzählen"));
}

} // namespace

class TestTheme : public QObject
{
    Q_OBJECT

    QPalette standardPalette;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(qApp->styleSheet().isEmpty());
        applyWorkbenchTheme(*qApp);
        standardPalette = QApplication::style()->standardPalette();
    }

    // A focused button becomes the default one, which is drawn in bold: no button's text may be
    // cut off then.
    void buttonsFitBoldText()
    {
        FakeLsblk lsblk;
        QTemporaryDir dir;
        MainWindow window(QUrl::fromLocalFile(dir.filePath("none.json")), QUrl());
        window.show();
        const QList<QPushButton *> buttons = window.findChildren<QPushButton *>();
        QVERIFY(buttons.size() >= 9);
        for (QPushButton *button : buttons) {
            QFont bold = button->font();
            bold.setBold(true);
            const int padding = 2 * 14, border = 2 * 2;
            const QString text = button->text().remove('&');
            QVERIFY2(button->width() >= QFontMetrics(bold).horizontalAdvance(text) + padding + border,
                     qPrintable(button->objectName()));
        }
    }

    void palette_data()
    {
        QTest::addColumn<QPalette::ColorGroup>("group");
        QTest::addColumn<QPalette::ColorRole>("role");
        QTest::addColumn<QRgb>("colour");
        const struct
        {
            const char *name;
            QPalette::ColorRole role;
            QRgb colour;
        } allGroups[] = {
            {"Window", QPalette::Window, 0x0055AA},
            {"WindowText", QPalette::WindowText, 0xFFFFFF},
            {"Base", QPalette::Base, 0xFFFFFF},
            {"AlternateBase", QPalette::AlternateBase, 0xDDDDDD},
            {"Text", QPalette::Text, 0x000000},
            {"Button", QPalette::Button, 0xAAAAAA},
            {"ButtonText", QPalette::ButtonText, 0x000000},
            {"Highlight", QPalette::Highlight, 0xFF8800},
            {"HighlightedText", QPalette::HighlightedText, 0x000000},
            {"ToolTipBase", QPalette::ToolTipBase, 0xFFFFFF},
            {"ToolTipText", QPalette::ToolTipText, 0x000000},
        };
        const QPalette::ColorRole disabledRoles[] = {QPalette::WindowText, QPalette::Text,
                                                     QPalette::ButtonText};
        const QRgb disabledColours[] = {0xBBCCEE, 0x555555, 0x555555};
        for (const auto &entry : allGroups)
            for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
                bool overridden = false;
                QRgb colour = entry.colour;
                for (int i = 0; i < 3; ++i)
                    if (group == QPalette::Disabled && disabledRoles[i] == entry.role) {
                        overridden = true;
                        colour = disabledColours[i];
                    }
                QTest::addRow("%s %d%s", entry.name, int(group), overridden ? " disabled" : "")
                    << group << entry.role << colour;
            }
    }

    void palette()
    {
        QFETCH(QPalette::ColorGroup, group);
        QFETCH(QPalette::ColorRole, role);
        QFETCH(QRgb, colour);
        const QBrush brush = QApplication::palette().brush(group, role);
        QCOMPARE(brush.style(), Qt::SolidPattern);
        QCOMPARE(brush.color(), QColor(colour));
    }

    // Roles the theme does not name keep the style's own colours.
    void otherRolesUntouched()
    {
        for (QPalette::ColorRole role : {QPalette::Light, QPalette::Dark, QPalette::Mid, QPalette::Shadow,
                                         QPalette::BrightText, QPalette::Link, QPalette::PlaceholderText})
            QCOMPARE(QApplication::palette().color(QPalette::Active, role),
                     standardPalette.color(QPalette::Active, role));
    }

    void arrowImage()
    {
        const QImage arrow(QStringLiteral(":/arrow-down.png"));
        QVERIFY(!arrow.isNull());
        QVERIFY(arrow.hasAlphaChannel());
        QCOMPARE(arrow.convertToFormat(QImage::Format_ARGB32), expectedArrow());
    }

    // What the sheet makes of the widgets, as drawn: the background just inside the border and
    // the 2-pixel border, raised (light left, dark right and bottom) or sunken (the other way round).
    void drawnLook_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QRgb>("background");
        QTest::addColumn<QString>("border");
        QTest::newRow("window") << "window" << QRgb(0x0055AA) << "none";
        QTest::newRow("group-box") << "group-box" << QRgb(0xAAAAAA) << "raised";
        QTest::newRow("button") << "button" << QRgb(0xAAAAAA) << "raised";
        QTest::newRow("button-default") << "button-default" << QRgb(0xFF8800) << "raised";
        QTest::newRow("button-disabled") << "button-disabled" << QRgb(0x9A9A9A) << "raised";
        QTest::newRow("line-edit") << "line-edit" << QRgb(0xFFFFFF) << "sunken";
        QTest::newRow("line-edit-disabled") << "line-edit-disabled" << QRgb(0xCCCCCC) << "sunken";
        QTest::newRow("log") << "log" << QRgb(0x000000) << "sunken";
        QTest::newRow("progress-bar-empty") << "progress-bar-empty" << QRgb(0xFFFFFF) << "sunken";
        QTest::newRow("progress-bar-full") << "progress-bar-full" << QRgb(0xFF8800) << "sunken";
    }
    void drawnLook()
    {
        QFETCH(QString, kind);
        QFETCH(QRgb, background);
        QFETCH(QString, border);
        const std::unique_ptr<QWidget> widget = makeWidget(kind);
        widget->resize(200, 60);
        const QImage image = widget->grab().toImage();
        const auto colour = [&image](int x, int y) { return image.pixel(x, y) & 0xFFFFFF; };
        const int width = image.width(), height = image.height();
        QCOMPARE(colour(4, height - 5), background);
        if (border == "none")
            return;
        const QRgb light = 0xFFFFFF, dark = 0x000000;
        const bool raised = border == "raised";
        QCOMPARE(colour(0, height / 2), raised ? light : dark);
        QCOMPARE(colour(width - 1, height / 2), raised ? dark : light);
        QCOMPARE(colour(width / 2, height - 1), raised ? dark : light);
    }

    void focusIsVisible_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char *kind : {"QLineEdit", "QComboBox", "QPlainTextEdit", "QPushButton", "QCheckBox"})
            QTest::newRow(kind) << kind;
    }

    // The frame of a control with the keyboard focus looks different along much of its length.
    void focusIsVisible()
    {
        QFETCH(QString, kind);
        QWidget window;
        auto *layout = new QVBoxLayout(&window);
        QWidget *control = makeControl(kind);
        control->setFocusPolicy(Qt::StrongFocus);
        auto *other = new QPushButton(QStringLiteral("Abbrechen"));
        layout->addWidget(control);
        layout->addWidget(other);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));

        other->setFocus();
        QTRY_VERIFY(!control->hasFocus());
        const QImage without = control->grab().toImage();
        control->setFocus();
        QTRY_VERIFY(control->hasFocus());
        const QImage with = control->grab().toImage();
        const int perimeter = 2 * (with.width() + with.height());
        QVERIFY2(frameDifference(without, with) > perimeter / 3,
                 qPrintable(QString::number(frameDifference(without, with))));
    }

    // A disabled check box still tells ticked from unticked.
    void disabledTickIsVisible()
    {
        QCheckBox box(QStringLiteral("Zusätzlich"));
        box.setEnabled(false);
        box.resize(box.sizeHint());
        const QImage unticked = box.grab().toImage();
        box.setChecked(true);
        const QImage ticked = box.grab().toImage();
        QVERIFY(unticked != ticked);
    }

    // A ticked box shows a black tick on its orange square, more than the frame's black.
    void tickIsDrawn()
    {
        QCheckBox box(QStringLiteral("Zusätzlich"));
        box.resize(box.sizeHint());
        const auto count = [&box](QRgb colour) {
            const QImage image = box.grab().toImage();
            int found = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < qMin(24, image.width()); ++x)
                    found += (image.pixel(x, y) & 0xFFFFFF) == colour;
            return found;
        };
        const int frame = count(0x000000);
        box.setChecked(true);
        QVERIFY(count(0xFF8800) > 20);
        QVERIFY2(count(0x000000) >= frame + 10, qPrintable(QString::number(count(0x000000) - frame)));
    }

    // The drop-down area: 22 pixels wide, a 2-pixel black line on its left, grey behind the
    // black triangle of the arrow image.
    void comboArrow()
    {
        QComboBox combo;
        combo.addItem(QStringLiteral("Tobra"));
        combo.resize(200, 30);
        const QImage image = combo.grab().toImage();
        const auto colour = [&image](int x, int y) { return image.pixel(x, y) & 0xFFFFFF; };
        const int top = 2, right = image.width() - 3, bottom = image.height() - 3; // inside the border
        int line = right;
        while (line > 0 && colour(line, top) != 0)
            --line;
        QCOMPARE(right - line, 22);
        QCOMPARE(colour(line - 1, top), QRgb(0));
        QCOMPARE(colour(line - 2, top), QRgb(0xFFFFFF));
        QCOMPARE(colour(line + 1, top), QRgb(0xAAAAAA));

        int black = 0;
        for (int y = top; y <= bottom; ++y)
            for (int x = line + 1; x <= right; ++x)
                black += colour(x, y) == 0;
        QCOMPARE(black, 36);
    }
};

QTEST_MAIN(TestTheme)
#include "tst_theme.moc"
