#include "mainwindow.h"

#include <QComboBox>
#include <QLabel>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

const int listTimeoutMs = 15000;

} // namespace

void MainWindow::loadConfig()
{
    abandonConfigReply();
    versionCombo->clear();
    kickstartLabel->clear();
    catalog = VersionList();
    setStatus(QStringLiteral("Lade Versionsliste …"), 0);

    QNetworkRequest request(configUrl);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(listTimeoutMs);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral("TobraInstaller/0.1"));
    QNetworkReply *reply = network.get(request);
    configReply = reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onConfigReply(reply); });
}

// An older request still running when the list is reloaded must not add its titles as well.
void MainWindow::abandonConfigReply()
{
    if (!configReply)
        return;
    configReply->disconnect(this);
    configReply->abort();
    configReply->deleteLater();
    configReply = nullptr;
}

void MainWindow::onConfigReply(QNetworkReply *reply)
{
    reply->deleteLater();
    configReply = nullptr;
    if (reply->error() != QNetworkReply::NoError) {
        setStatus(QStringLiteral("Versionsliste nicht verfügbar"), 0);
        appendLog(QStringLiteral("Fehler beim Laden der Versionsliste: %1").arg(reply->errorString()));
        appendLog(QStringLiteral("Du kannst trotzdem eine lokale Image-Datei verwenden."));
        return;
    }

    VersionList parsed;
    QString error;
    if (!parseVersionList(reply->readAll(), &parsed, &error)) {
        setStatus(QStringLiteral("Versionsliste fehlerhaft"), 0);
        appendLog(error);
        return;
    }
    // Replaced first: adding the first item selects it, and onVersionChanged must find its entry.
    catalog = parsed;
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
