// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Small makers for the window's widgets, shared by the parts that build them.

#include "hintlabel.h"

#include <QComboBox>
#include <QLabel>
#include <QLatin1String>
#include <QPushButton>
#include <utility>

// Creates a widget whose object name is the name of the member that holds it.
template <typename Widget, typename... Args> Widget *named(const char *name, Args &&...args)
{
    auto *widget = new Widget(std::forward<Args>(args)...);
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// A push button that Enter clicks while it has the focus, as in a dialog; elsewhere in the window
// Enter clicks the default button.
inline QPushButton *namedButton(const char *name, const QString &text,
                                const QString &accessibleName = QString())
{
    auto *button = named<QPushButton>(name, text);
    button->setAutoDefault(true);
    button->setAccessibleName(accessibleName);
    return button;
}

// A selector whose long entries (version titles, drive labels) do not widen the window.
inline QComboBox *namedCombo(const char *name)
{
    auto *combo = named<QComboBox>(name);
    combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    combo->setMinimumContentsLength(20);
    return combo;
}

// A label with a mnemonic that moves the focus to its field.
inline QLabel *buddyLabel(const QString &text, QWidget *field)
{
    auto *label = new QLabel(text);
    label->setBuddy(field);
    return label;
}

// A hint below a field, wrapped to the field's width: hidden while empty, and never widening the
// window; the whole text is in its tool tip as well.
inline QLabel *namedHint(const char *name)
{
    auto *hint = named<HintLabel>(name);
    hint->hide();
    return hint;
}

inline void setHint(QLabel *hint, const QString &text)
{
    hint->setText(text);
    hint->setToolTip(text);
    hint->setVisible(!text.isEmpty());
}
