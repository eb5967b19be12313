// SPDX-License-Identifier: GPL-3.0-or-later
#include "theme.h"

#include <QApplication>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>

namespace {

const QString raisedBorder =
    QStringLiteral("border: 2px solid; border-color: #FFFFFF #000000 #000000 #FFFFFF;");
const QString sunkenBorder =
    QStringLiteral("border: 2px solid; border-color: #000000 #FFFFFF #FFFFFF #000000;");

struct Rule
{
    const char *text;
    const QString *border; // fills %1, if the rule has one
};

const Rule rules[] = {
    {"QMainWindow { background: #0055AA; }", nullptr},
    {"QLabel { color: #FFFFFF; }", nullptr},
    {"QGroupBox { background: #AAAAAA; %1 margin-top: 26px; padding: 12px 8px 8px 8px; }", &raisedBorder},
    {"QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; background: #FF8800; "
     "color: #000000; padding: 3px 12px; %1 }",
     &raisedBorder},
    {"QGroupBox QLabel, QGroupBox QCheckBox { color: #000000; }", nullptr},
    {"QGroupBox QLabel:disabled, QGroupBox QCheckBox:disabled { color: #555555; }", nullptr},
    {"QPushButton { background: #AAAAAA; color: #000000; %1 padding: 4px 14px; min-height: 18px; }",
     &raisedBorder},
    {"QPushButton:hover { background: #C4C4C4; }", nullptr},
    {"QPushButton:pressed { background: #8E8E8E; %1 }", &sunkenBorder},
    {"QPushButton:default { background: #FF8800; font-weight: bold; }", nullptr},
    {"QPushButton:default:hover { background: #FFA030; }", nullptr},
    {"QPushButton:disabled { background: #9A9A9A; color: #555555; }", nullptr},
    {"QLineEdit, QComboBox { background: #FFFFFF; color: #000000; %1 padding: 2px 4px; "
     "selection-background-color: #FF8800; selection-color: #000000; }",
     &sunkenBorder},
    {"QLineEdit:disabled, QComboBox:disabled { background: #CCCCCC; color: #555555; }", nullptr},
    {"QComboBox::drop-down { width: 22px; border-left: 2px solid #000000; background: #AAAAAA; }", nullptr},
    {"QComboBox::down-arrow { image: url(:/arrow-down.png); width: 11px; height: 6px; }", nullptr},
    {"QComboBox QAbstractItemView { background: #FFFFFF; color: #000000; border: 2px solid #000000; "
     "selection-background-color: #FF8800; selection-color: #000000; outline: 0; }",
     nullptr},
    {"QPlainTextEdit { background: #000000; color: #FFFFFF; %1 selection-background-color: #FF8800; "
     "selection-color: #000000; }",
     &sunkenBorder},
    {"QCheckBox::indicator { width: 14px; height: 14px; background: #FFFFFF; %1 }", &sunkenBorder},
    {"QCheckBox::indicator:checked { background: #FF8800; image: url(:/check-mark.png); }", nullptr},
    {"QCheckBox::indicator:disabled { background: #CCCCCC; }", nullptr},
    {"QCheckBox::indicator:checked:disabled { background: #C8A070; }", nullptr},
    {"QProgressBar { background: #FFFFFF; color: #000000; %1 text-align: center; min-height: 20px; }",
     &sunkenBorder},
    {"QProgressBar::chunk { background: #FF8800; }", nullptr},
    {"QScrollBar:vertical { background: #AAAAAA; width: 16px; margin: 0; }", nullptr},
    {"QScrollBar::handle:vertical { background: #0055AA; min-height: 24px; %1 }", &raisedBorder},
    {"QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }", nullptr},
    {"QDialog { background: #AAAAAA; }", nullptr},
    {"QDialog QLabel { color: #000000; }", nullptr},
    {"QToolTip { background: #FFFFFF; color: #000000; border: 1px solid #000000; }", nullptr},
    // The keyboard focus: an orange frame on fields, a black one on buttons, a dashed line in the
    // text's colour around check boxes (whose idle frame is transparent, so that nothing moves).
    {"QLineEdit:focus, QComboBox:focus, QPlainTextEdit:focus { border: 2px solid #FF8800; }", nullptr},
    {"QPushButton:focus { border: 2px solid #000000; }", nullptr},
    {"QCheckBox { border: 1px solid transparent; }", nullptr},
    {"QCheckBox:focus { border: 1px dashed #FFFFFF; }", nullptr},
    {"QGroupBox QCheckBox:focus { border: 1px dashed #000000; }", nullptr},
};

struct RoleColour
{
    QPalette::ColorRole role;
    QRgb colour;
};

} // namespace

QPalette workbenchPalette(const QPalette &base)
{
    const RoleColour allGroups[] = {
        {QPalette::Window, 0x0055AA},
        {QPalette::WindowText, 0xFFFFFF},
        {QPalette::Base, 0xFFFFFF},
        {QPalette::AlternateBase, 0xDDDDDD},
        {QPalette::Text, 0x000000},
        {QPalette::Button, 0xAAAAAA},
        {QPalette::ButtonText, 0x000000},
        {QPalette::Highlight, 0xFF8800},
        {QPalette::HighlightedText, 0x000000},
        {QPalette::ToolTipBase, 0xFFFFFF},
        {QPalette::ToolTipText, 0x000000},
    };
    const RoleColour disabled[] = {
        {QPalette::WindowText, 0xBBCCEE},
        {QPalette::Text, 0x555555},
        {QPalette::ButtonText, 0x555555},
    };

    QPalette palette = base;
    for (const auto &entry : allGroups)
        palette.setBrush(QPalette::All, entry.role, QColor(entry.colour));
    for (const auto &entry : disabled)
        palette.setBrush(QPalette::Disabled, entry.role, QColor(entry.colour));
    return palette;
}

QString workbenchStyleSheet()
{
    QString sheet;
    for (const Rule &rule : rules) {
        const QString text = QString::fromLatin1(rule.text);
        sheet += (rule.border ? text.arg(*rule.border) : text) + QLatin1Char('\n');
    }
    return sheet;
}

void applyWorkbenchTheme(QApplication &application)
{
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setPalette(workbenchPalette(QApplication::style()->standardPalette()));
    application.setStyleSheet(workbenchStyleSheet());
}
