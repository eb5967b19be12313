// SPDX-License-Identifier: GPL-3.0-or-later
#include "keptversionlist.h"
#include "mainwindow.h"

#include <QComboBox>
#include <QLabel>

void MainWindow::loadConfig()
{
    versionCombo->clear();
    kickstartLabel->clear();
    catalog = VersionList();
    listLoading = true;
    setStatus(QStringLiteral("Lade Versionsliste …"), 0);
    updateReadiness();
    listLoader.load(configUrl);
}

void MainWindow::onListFailed(VersionListLoader::Failure failure, const QString &message)
{
    listLoading = false;
    updateReadiness();
    const bool unavailable = failure == VersionListLoader::Failure::Unavailable;
    setStatus(unavailable ? QStringLiteral("Versionsliste nicht verfügbar")
                          : QStringLiteral("Versionsliste fehlerhaft"),
              0);
    appendLog(message);
    if (unavailable)
        appendLog(QStringLiteral("Sie können trotzdem eine lokale Image-Datei verwenden."));
}

void MainWindow::onListLoaded(const VersionList &list)
{
    showList(list);
    setStatus(QStringLiteral("Bereit (%1 Version(en) gefunden)").arg(catalog.versions.size()), 0);
}

// The list last loaded from the same address stands in for the one that could not be loaded, so
// that a cached image can still be installed; the status says which list it is.
void MainWindow::onKeptListOffered(const VersionList &list, const QDateTime &loadedAt, const QString &message)
{
    appendLog(message);
    showList(list);
    setStatus(QStringLiteral("%1: %2 Version(en)").arg(keptListText(loadedAt)).arg(catalog.versions.size()),
              0);
}

void MainWindow::showList(const VersionList &list)
{
    // Replaced first: adding the first item selects it, and onVersionChanged must find its entry.
    catalog = list;
    listLoading = false;
    for (const VersionEntry &entry : catalog.versions)
        versionCombo->addItem(entry.title);
    onVersionChanged();
}

void MainWindow::onVersionChanged()
{
    const int index = versionCombo->currentIndex();
    const bool listed = index >= 0 && index < catalog.versions.size();
    const QString kickstart = listed ? catalog.versions.at(index).kickstart : QString();
    kickstartLabel->setText(!listed               ? QString()
                            : kickstart.isEmpty() ? QStringLiteral("keine Angabe")
                                                  : kickstart);
    updateReadiness();
}
