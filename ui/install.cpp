// The installation that the Install button starts: checks, confirmation, image, ROM files,
// writing, and its one end in succeed() or fail().
#include "downloader.h"
#include "mainwindow.h"
#include "writejob.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <unistd.h>

namespace {

const qint64 maxRomBytes = 8388608;
const qint64 largeDriveBytes = 256000000000;

// An existing regular file (or a link to one) of 1 byte up to 8 MiB.
bool isUsableRom(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.size() >= 1 && info.size() <= maxRomBytes;
}

// A Yes/No question with No as default; only Yes gives true. The buttons speak German like
// the rest of the window.
bool askYesNo(QWidget *parent, QMessageBox::Icon icon, const QString &text)
{
    QMessageBox box(icon, parent->windowTitle(), text, QMessageBox::Yes | QMessageBox::No, parent);
    box.button(QMessageBox::Yes)->setText(QStringLiteral("&Ja"));
    box.button(QMessageBox::No)->setText(QStringLiteral("&Nein"));
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

} // namespace

void MainWindow::install()
{
    if (busy)
        return;
    int versionIndex = -1;
    const QString refusal = refusalOfChoices(&versionIndex);
    if (!refusal.isEmpty()) {
        QMessageBox::warning(this, windowTitle(), refusal);
        return;
    }
    if (!confirmErase())
        return;

    tempDir.reset();
    tempDir = std::make_unique<QTemporaryDir>();
    if (!tempDir->isValid()) {
        fail(QStringLiteral("Der temporäre Ordner konnte nicht angelegt werden."));
        return;
    }
    imagePath = tempDir->filePath(QStringLiteral("tobra.img"));
    setBusy(true);
    if (localImageCheck->isChecked())
        copyLocalImage(localImageEdit->text().trimmed());
    else
        startDownload(catalog.versions.at(versionIndex));
}

// Takes the image source, the ROM files and the drive from the widgets in a fixed order and
// returns the warning for the first that cannot be used; empty when all can.
QString MainWindow::refusalOfChoices(int *versionIndex)
{
    if (localImageCheck->isChecked()) {
        if (!QFileInfo(localImageEdit->text().trimmed()).isFile())
            return QStringLiteral("Die lokale Image-Datei wurde nicht gefunden.");
    } else {
        *versionIndex = versionCombo->currentIndex();
        if (*versionIndex < 0 || *versionIndex >= catalog.versions.size())
            return QStringLiteral(
                "Es ist keine Version ausgewählt. Bitte \"Neu laden\" klicken oder eine lokale "
                "Image-Datei verwenden.");
    }
    romFile = romEdit->text().trimmed();
    if (!isUsableRom(romFile))
        return QStringLiteral("Bitte eine gültige ROM-Datei auswählen (nicht leer, höchstens 8 MB).");
    extFile.clear();
    if (useExtCheck->isChecked()) {
        extFile = extEdit->text().trimmed();
        if (!isUsableRom(extFile))
            return QStringLiteral(
                "Bitte eine gültige Datei für die ext.bin auswählen (nicht leer, höchstens 8 MB).");
    }
    devicePath = driveCombo->currentData(Qt::UserRole).toString();
    if (devicePath.isEmpty())
        return QStringLiteral("Es ist keine Speicherkarte ausgewählt.");
    return QString();
}

// Asks before the card is erased, more sharply for a drive too large to be a memory card.
bool MainWindow::confirmErase()
{
    const qint64 size = driveCombo->currentData(Qt::UserRole + 1).toLongLong();
    const QString drive = driveCombo->currentText();
    if (size > largeDriveBytes)
        return askYesNo(
            this, QMessageBox::Critical,
            QStringLiteral(
                "ACHTUNG: Dieses Laufwerk ist mit %1 GB sehr groß für eine Speicherkarte. Es könnte "
                "eine externe Festplatte mit wichtigen Daten sein.\n\n%2\n\nAlle Daten darauf werden "
                "unwiderruflich gelöscht. Wirklich fortfahren?")
                .arg(QString::number(double(size) / 1e9, 'f', 0), drive));
    return askYesNo(
        this, QMessageBox::Warning,
        QStringLiteral("Alle Daten auf dieser Karte werden unwiderruflich gelöscht:\n\n%1\n\nFortfahren?")
            .arg(drive));
}

void MainWindow::copyLocalImage(const QString &localImage)
{
    expectedSha256.clear();
    imageName.clear();
    setStatus(QStringLiteral("Kopiere lokales Image …"), 0);
    // The copy takes over the file's permissions; a read-only original must still give a
    // working copy that the ROM files can be written into.
    if (!QFile::copy(localImage, imagePath) ||
        !QFile::setPermissions(imagePath, QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        fail(QStringLiteral("Das lokale Image konnte nicht in den temporären Ordner kopiert werden."));
        return;
    }
    copyRomsIntoImage();
}

void MainWindow::startDownload(const VersionEntry &entry)
{
    expectedSha256 = entry.sha256;
    imageName = entry.image;
    const QUrl url = imageUrl(imageBase, entry);
    setStatus(QStringLiteral("Lade %1 herunter …").arg(entry.title), 0);
    downloader->start(url, imagePath);
}

void MainWindow::onDownloadFinished(bool ok, const QString &error, const QString &sha256Hex)
{
    if (!ok) {
        fail(QStringLiteral("Download fehlgeschlagen: %1").arg(error));
        return;
    }
    appendLog(QStringLiteral("Download fertig, SHA256 %1").arg(sha256Hex));
    if (expectedSha256.isEmpty()) {
        appendLog(QStringLiteral(
            "Hinweis: In der tobra.json steht keine Prüfsumme, das Image wird nicht verglichen."));
    } else if (expectedSha256 == sha256Hex) {
        appendLog(QStringLiteral("Prüfsumme stimmt."));
    } else {
        fail(QStringLiteral("Die Prüfsumme des Downloads stimmt nicht mit der tobra.json überein.\n"
                            "Erwartet: %1\nErhalten: %2")
                 .arg(expectedSha256, sha256Hex));
        return;
    }
    copyRomsIntoImage();
}

void MainWindow::startWriting()
{
    setStatus(QStringLiteral("Schreibe auf die Karte …"), 0);
    if (::geteuid() != 0)
        appendLog(QStringLiteral("Für den Zugriff auf die Karte wird gleich nach dem Passwort gefragt."));
    writeJob->start(imagePath, devicePath, true);
}

void MainWindow::onPhaseChanged(const QString &phase)
{
    setStatus(phase == QLatin1String("verify") ? QStringLiteral("Prüfe die Karte …")
                                               : QStringLiteral("Schreibe auf die Karte …"),
              0);
}

void MainWindow::onWriteFinished(bool ok, const QString &error)
{
    if (ok)
        succeed();
    else
        fail(error);
}

void MainWindow::succeed()
{
    setBusy(false);
    tempDir.reset();
    statusLabel->setText(QStringLiteral("Fertig"));
    progressBar->setValue(100);
    appendLog(QStringLiteral("Installation abgeschlossen."));
    reportInstall();
    QMessageBox::information(
        this, windowTitle(),
        QStringLiteral("Fertig! Die Karte wurde geschrieben und geprüft.\nSie kann jetzt "
                       "entfernt und in den Raspberry Pi gesteckt werden."));
}

void MainWindow::fail(const QString &message)
{
    setBusy(false);
    tempDir.reset();
    statusLabel->setText(QStringLiteral("Fehlgeschlagen"));
    progressBar->setValue(0);
    const QString text = redactAddresses(message);
    appendLog(QStringLiteral("FEHLER: %1").arg(text));
    QMessageBox::critical(this, windowTitle(), text);
}

void MainWindow::cancel()
{
    if (!busy)
        return;
    appendLog(QStringLiteral("Abbruch angefordert …"));
    // Only the download and the write can be running when a click gets through: everything in
    // between runs without the event loop. Cancelling an idle downloader does nothing.
    if (writeJob->isRunning())
        writeJob->cancel();
    else
        downloader->cancel();
}
