// SPDX-License-Identifier: GPL-3.0-or-later
// The window's side of an installation: the widgets become a request, the chosen card is listed
// afresh and confirmed, and what the installation reports is shown; the image it keeps can be
// removed.
#include "cardrows.h"
#include "desktopnotification.h"
#include "drivepicker.h"
#include "drives.h"
#include "filechecks.h"
#include "filefield.h"
#include "germannumber.h"
#include "imagecache.h"
#include "logview.h"
#include "mainwindow.h"
#include "messages.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>

namespace {

// "Fertig: 2 von 3 Karten geschrieben und geprüft"; the outcome alone for a single card.
QString withTally(const QString &outcome, const QString &tally)
{
    return tally.isEmpty() ? outcome : QStringLiteral("%1: %2").arg(outcome, tally);
}

} // namespace

void MainWindow::install()
{
    if (busy)
        return;
    InstallRequest request = requestFromWidgets();
    QWidget *fault = nullptr;
    const QString refusal = refusalFor(request, &fault);
    if (!refusal.isEmpty()) {
        refuse(refusal, fault);
        return;
    }
    if (!passRomDoubt(request) || !confirmErase(request))
        return;
    runRequest = request;
    startRun(request);
}

// With several cards a row for each shows what becomes of it.
void MainWindow::startRun(const InstallRequest &request)
{
    cardRows->start(request.targets);
    setBusy(true);
    installation->start(request);
}

// Why the request cannot start and which field is at fault. The card chosen from an earlier
// listing may have been swapped since: the request then names the disk that has the name now.
QString MainWindow::refusalFor(InstallRequest &request, QWidget **fault) const
{
    QString refusal = refusalOf(request);
    *fault = fieldAtFault(request);
    if (refusal.isEmpty() && request.isLocal())
        refusal = cardImageProblem(request.localImage);
    if (!refusal.isEmpty())
        return refusal;
    *fault = drivePicker;
    refusal = tooSmallCards(request.targets, knownImageSize(request));
    if (!refusal.isEmpty())
        return refusal;
    const QList<DriveInfo> drives = listDrives();
    refusal = targetRefusal(request.targets, drives);
    for (DriveInfo &target : request.targets)
        target = freshDrive(drives, target.path);
    return refusal;
}

// The same request again, without asking again: the card was confirmed for it, and the
// installation checks that it is still the same card.
void MainWindow::retry()
{
    startRun(runRequest);
}

InstallRequest MainWindow::requestFromWidgets() const
{
    InstallRequest request;
    request.useLocalImage = localImageCheck->isChecked();
    if (request.useLocalImage) {
        request.localImage = localImageField->path();
    } else {
        const int index = versionCombo->currentIndex();
        if (index >= 0 && index < catalog.versions.size())
            request.version = catalog.versions.at(index);
        request.expectedSha256 = request.version.sha256;
        request.imageBase = imageBase;
    }
    request.romFile = romField->path();
    request.useExt = useExtCheck->isChecked();
    if (request.useExt)
        request.extFile = extField->path();
    request.targets = drivePicker->chosenCards();
    request.counterUrl = counterUrlFor(configUrl);
    request.countConsent = countCheck->isChecked();
    return request;
}

// A refused start leaves nothing of an earlier run's end on screen, and the keyboard at the field
// to mend.
void MainWindow::refuse(const QString &text, QWidget *fault)
{
    statusLabel->setText(idleStatus);
    progressBar->setValue(0);
    showMessage(this, QMessageBox::Warning, text);
    if (fault)
        fault->setFocus();
}

// A ROM that looks like none is the user's to take all the same.
bool MainWindow::passRomDoubt(const InstallRequest &request)
{
    const QString doubt = romDoubt(request.romFile);
    if (doubt.isEmpty() ||
        askChoice(this, QMessageBox::Warning, doubt + QStringLiteral("\n\nDie Datei trotzdem verwenden?"),
                  QStringLiteral("&Trotzdem verwenden"), QStringLiteral("&Zurück")))
        return true;
    romField->setFocus();
    return false;
}

// Asks before the cards are erased, naming the version once and every card; more sharply where a
// drive is too large to be a memory card.
bool MainWindow::confirmErase(const InstallRequest &request)
{
    const QString source = request.isLocal()
                               ? QStringLiteral("„%1“").arg(QFileInfo(request.localImage).fileName())
                               : request.version.title;
    const bool large = std::any_of(request.targets.cbegin(), request.targets.cend(), isLargeDrive);
    return askChoice(this, large ? QMessageBox::Critical : QMessageBox::Warning,
                     QStringLiteral("Installieren: %1\n\n%2").arg(source, eraseQuestion(request.targets)),
                     request.targets.size() > 1 ? QStringLiteral("Karten &löschen und installieren")
                                                : QStringLiteral("Karte &löschen und installieren"),
                     QStringLiteral("&Nicht installieren"));
}

// The steps are counted in the order of the enum: checking is the first, verifying the last.
void MainWindow::onStepChanged(Installation::Step step, const QString &text)
{
    if (step == Installation::Step::Finished)
        return;
    progressBar->setFormat(QStringLiteral("%1 · %p %").arg(stepText(int(step), stepCount())));
    if (text.isEmpty())
        return;
    meter.start(text, Installation::waitingFor(step, runRequest));
    setStatus(text, 0);
}

int MainWindow::stepCount() const
{
    return int(Installation::Step::Verifying);
}

// The desktop hears of each end, even while the window is hidden; without a notification
// service nothing is shown and nothing else changes.
void MainWindow::onInstallFinished(bool ok, const QString &text)
{
    setBusy(false);
    if (ok)
        succeed(text);
    else if (installation->outcome() == Installation::Outcome::Cancelled)
        showCancelled(text);
    else
        fail(text);
}

// With several cards the installation sums up what became of each; the status line counts them.
void MainWindow::succeed(const QString &summary)
{
    const QString text = summary.isEmpty() ? finishedText() : summary;
    if (!summary.isEmpty())
        appendLog(summary);
    statusLabel->setText(withTally(QStringLiteral("Fertig"), cardRows->tally()));
    progressBar->setValue(100);
    notifyDesktop(QStringLiteral("Installation abgeschlossen"), text);
    showMessage(this, QMessageBox::Information, text);
}

void MainWindow::fail(const QString &message)
{
    statusLabel->setText(withTally(QStringLiteral("Fehlgeschlagen"), cardRows->tally()));
    progressBar->setValue(0);
    const QString text = LogView::redactAddresses(message);
    appendLog(QStringLiteral("FEHLER: %1").arg(text));
    notifyDesktop(QStringLiteral("Installation fehlgeschlagen"), text);
    if (!installation->downloadWasInterrupted())
        return showMessage(this, QMessageBox::Critical, text);
    if (askChoice(this, QMessageBox::Critical, text, QStringLiteral("&Erneut versuchen"),
                  QStringLiteral("&Schließen")))
        retry();
}

// A cancel is the user's wish, not a fault: the log says what became of the card.
void MainWindow::showCancelled(const QString &text)
{
    statusLabel->setText(withTally(QStringLiteral("Abgebrochen"), cardRows->tally()));
    progressBar->setValue(0);
    appendLog(text);
    notifyDesktop(QStringLiteral("Installation abgebrochen"), text);
}

void MainWindow::cancel()
{
    if (busy)
        installation->cancel();
}

// SIGTERM or SIGINT ends the window as a close would, even during a run: the installation goes
// first, which stops the helper and removes the working folder.
void MainWindow::stopOnSignal()
{
    if (busy)
        stopRun();
    close();
}

// Deleting the installation stops the helper and removes the working folder; no signal follows.
void MainWindow::stopRun()
{
    delete installation;
    makeInstallation();
    setBusy(false);
}

// Usable only while idle and with something to remove. The tooltip, which screen readers take as
// the description, says where the cache is and what it holds.
void MainWindow::updateCacheButton()
{
    const qint64 bytes = imageCacheBytes();
    const QString folder = QDir::toNativeSeparators(Installation::imageCache());
    clearCacheButton->setEnabled(!busy && bytes > 0);
    clearCacheButton->setToolTip(bytes > 0
                                     ? QStringLiteral("Zwischengespeichertes Image in „%1“ löschen (%2)")
                                           .arg(folder, germanSize(bytes))
                                     : QStringLiteral("Der Cache in „%1“ ist leer.").arg(folder));
}

void MainWindow::clearCache()
{
    const qint64 bytes = imageCacheBytes();
    if (busy || bytes == 0)
        return;
    if (!askYesNo(this, QMessageBox::Question,
                  QStringLiteral("Das zwischengespeicherte Image (%1) löschen? Eine spätere Installation "
                                 "lädt es dann neu herunter.")
                      .arg(germanSize(bytes))))
        return;
    QString error;
    QStringList report;
    if (clearImageCache(&report, &error)) {
        for (const QString &line : report)
            appendLog(line);
    } else {
        statusLabel->setText(QStringLiteral("Cache nicht geleert"));
        appendLog(QStringLiteral("FEHLER: %1").arg(error));
    }
    updateCacheButton();
}

void MainWindow::makeInstallation()
{
    installation = new Installation(&network, this);
    connect(installation, &Installation::stepChanged, this, &MainWindow::onStepChanged);
    connect(installation, &Installation::progress, this, &MainWindow::showProgress);
    connect(installation, &Installation::activityChanged, this, [this](const QString &text) {
        meter.setActivity(text);
        statusLabel->setText(meter.text());
    });
    connect(installation, &Installation::logLine, this, &MainWindow::appendLog);
    connect(installation, &Installation::cardChanged, this,
            [this](int index) { cardRows->showReport(index, installation->cardReports().value(index)); });
    connect(installation, &Installation::finished, this, &MainWindow::onInstallFinished);
    connect(countCheck, &QCheckBox::toggled, installation, &Installation::setCountConsent);
}
