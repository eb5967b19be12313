// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

class QApplication;
class QPalette;

// Gives the whole application the Workbench look: the Fusion style, the blue, grey and orange
// palette and the style sheet with raised and sunken borders. Call once, before any window exists.
void applyWorkbenchTheme(QApplication &application);

// The palette applyWorkbenchTheme sets: base with the Workbench colours, and its style sheet.
QPalette workbenchPalette(const QPalette &base);
QString workbenchStyleSheet();
