#include "mainwindow.h"
#include "theme.h"
#include "windowfixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <QVBoxLayout>

namespace {

const QString raised = QStringLiteral("border: 2px solid; border-color: #FFFFFF #000000 #000000 #FFFFFF;");
const QString sunken = QStringLiteral("border: 2px solid; border-color: #000000 #FFFFFF #FFFFFF #000000;");

QStringList expectedRules()
{
    return {
        "QMainWindow { background: #0055AA; }",
        "QLabel { color: #FFFFFF; }",
        "QGroupBox { background: #AAAAAA; " + raised + " margin-top: 26px; padding: 12px 8px 8px 8px; }",
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; background: #FF8800; "
        "color: "
        "#000000; padding: 3px 12px; " +
            raised + " }",
        "QGroupBox QLabel, QGroupBox QCheckBox { color: #000000; }",
        "QGroupBox QLabel:disabled, QGroupBox QCheckBox:disabled { color: #555555; }",
        "QPushButton { background: #AAAAAA; color: #000000; " + raised +
            " padding: 4px 14px; min-height: 18px; }",
        "QPushButton:hover { background: #C4C4C4; }",
        "QPushButton:pressed { background: #8E8E8E; " + sunken + " }",
        "QPushButton:default { background: #FF8800; font-weight: bold; }",
        "QPushButton:default:hover { background: #FFA030; }",
        "QPushButton:disabled { background: #9A9A9A; color: #555555; }",
        "QLineEdit, QComboBox { background: #FFFFFF; color: #000000; " + sunken +
            " padding: 2px 4px; selection-background-color: #FF8800; selection-color: #000000; }",
        "QLineEdit:disabled, QComboBox:disabled { background: #CCCCCC; color: #555555; }",
        "QComboBox::drop-down { width: 22px; border-left: 2px solid #000000; background: #AAAAAA; }",
        "QComboBox::down-arrow { image: url(:/arrow-down.png); width: 11px; height: 6px; }",
        "QComboBox QAbstractItemView { background: #FFFFFF; color: #000000; border: 2px solid #000000; "
        "selection-background-color: #FF8800; selection-color: #000000; outline: 0; }",
        "QPlainTextEdit { background: #000000; color: #FFFFFF; " + sunken +
            " selection-background-color: #FF8800; selection-color: #000000; }",
        "QCheckBox::indicator { width: 14px; height: 14px; background: #FFFFFF; " + sunken + " }",
        "QCheckBox::indicator:checked { background: #FF8800; }",
        "QCheckBox::indicator:disabled { background: #CCCCCC; }",
        "QCheckBox::indicator:checked:disabled { background: #C8A070; }",
        "QProgressBar { background: #FFFFFF; color: #000000; " + sunken +
            " text-align: center; min-height: 20px; }",
        "QProgressBar::chunk { background: #FF8800; }",
        "QScrollBar:vertical { background: #AAAAAA; width: 16px; margin: 0; }",
        "QScrollBar::handle:vertical { background: #0055AA; min-height: 24px; " + raised + " }",
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }",
        "QDialog { background: #AAAAAA; }",
        "QDialog QLabel { color: #000000; }",
        "QToolTip { background: #FFFFFF; color: #000000; border: 1px solid #000000; }",
        "QLineEdit:focus, QComboBox:focus, QPlainTextEdit:focus { border: 2px solid #FF8800; }",
        "QPushButton:focus { border: 2px solid #000000; }",
        "QCheckBox { border: 1px solid transparent; }",
        "QCheckBox:focus { border: 1px dashed #FFFFFF; }",
        "QGroupBox QCheckBox:focus { border: 1px dashed #000000; }",
    };
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

// A pixel just inside the 2-pixel border, clear of any text.
QRgb backgroundOf(QWidget &widget)
{
    return widget.grab().toImage().pixel(4, 4) & 0xFFFFFF;
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

    // The default button is drawn in bold; its text must not be cut off.
    void defaultButtonFitsBoldText()
    {
        FakeLsblk lsblk;
        QTemporaryDir dir;
        MainWindow window(QUrl::fromLocalFile(dir.filePath("none.json")), QUrl());
        window.show();
        auto *button = member<QPushButton>(window, "installButton");
        QFont bold = button->font();
        bold.setBold(true);
        const int padding = 2 * 14, border = 2 * 2;
        QVERIFY(button->width() >= QFontMetrics(bold).horizontalAdvance(button->text()) + padding + border);
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

    void styleSheet()
    {
        const QStringList rules = expectedRules();
        QCOMPARE(rules.size(), 35);
        QCOMPARE(qApp->styleSheet(), rules.join('\n') + '\n');
    }

    void arrowImage()
    {
        const QImage arrow(QStringLiteral(":/arrow-down.png"));
        QVERIFY(!arrow.isNull());
        QVERIFY(arrow.hasAlphaChannel());
        QCOMPARE(arrow.convertToFormat(QImage::Format_ARGB32), expectedArrow());
    }

    // What the sheet makes of a few widgets, as drawn.
    void drawnColours()
    {
        QPushButton button(QStringLiteral("Abbrechen"));
        button.setEnabled(false);
        button.resize(200, 40);
        QCOMPARE(backgroundOf(button), QRgb(0x9A9A9A));

        QLineEdit edit;
        edit.setEnabled(false);
        edit.resize(200, 30);
        QCOMPARE(backgroundOf(edit), QRgb(0xCCCCCC));
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
