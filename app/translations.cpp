// SPDX-License-Identifier: GPL-3.0-or-later
#include "translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

bool installQtGermanTranslations(QCoreApplication &application, QString *error)
{
    // German whatever the desktop's language: every text of the program itself is German too.
    auto *translator = new QTranslator(&application);
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (translator->load(QLocale(QLocale::German, QLocale::Germany), QStringLiteral("qtbase"),
                         QStringLiteral("_"), folder) &&
        QCoreApplication::installTranslator(translator))
        return true;
    delete translator;
    if (error)
        *error = QStringLiteral("Die deutschen Texte von Qt (qtbase_de.qm in %1) fehlen.").arg(folder);
    return false;
}
