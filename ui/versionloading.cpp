#include "mainwindow.h"

#include <QComboBox>
#include <QLabel>

void MainWindow::loadConfig()
{
    versionCombo->clear();
    kickstartLabel->clear();
    catalog = VersionList();
    setStatus(QStringLiteral("Lade Versionsliste …"), 0);
    listLoader.load(configUrl);
}

void MainWindow::onListFailed(VersionListLoader::Failure failure, const QString &message)
{
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
    // Replaced first: adding the first item selects it, and onVersionChanged must find its entry.
    catalog = list;
    for (const VersionEntry &entry : catalog.versions)
        versionCombo->addItem(entry.title);
    setStatus(QStringLiteral("Bereit (%1 Version(en) gefunden)").arg(catalog.versions.size()), 0);
    onVersionChanged();
}

void MainWindow::onVersionChanged()
{
    const int index = versionCombo->currentIndex();
    if (index < 0 || index >= catalog.versions.size()) {
        kickstartLabel->clear();
        return;
    }
    const QString kickstart = catalog.versions.at(index).kickstart;
    kickstartLabel->setText(kickstart.isEmpty() ? QStringLiteral("keine Angabe") : kickstart);
}
