// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

class QCoreApplication;

// Installs Qt's own German texts (file dialogs, context menus, network errors, the command line's
// help) into application; works for a GUI and a command-line application alike. Returns false
// and writes the reason to *error when Qt's translation file cannot be loaded.
bool installQtGermanTranslations(QCoreApplication &application, QString *error = nullptr);
