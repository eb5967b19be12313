// The installation end to end, driven through the window's widgets: version list and image from
// the local HTTP server, the user's ROM files, a loop device shown as a removable card, the
// write helper (this executable with "--write-helper"), and the message boxes answered here.
#include "faultydisk.h"
#include "httpserver.h"
#include "loopdevice.h"
#include "mainwindow.h"
#include "mounts.h"
#include "removablelsblk.h"
#include "testfiles.h"
#include "windowfixture.h"
#include "writehelper.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <pwd.h>
#include <unistd.h>

namespace {

const qint64 partitionOffset = 1024 * 1024;
const qint64 cardBytes = 48 * 1024 * 1024;
const QString title = QStringLiteral("Tobra Installer");
const QString demoImage = QStringLiteral("tobra-demo.img");
const QString noRomImage = QStringLiteral("tobra-norom.img");

const QString noLocalImage = QStringLiteral("Die lokale Image-Datei wurde nicht gefunden.");
const QString noVersion = QStringLiteral(
    "Es ist keine Version ausgewählt. Bitte \"Neu laden\" klicken oder eine lokale Image-Datei verwenden.");
const QString badRom = QStringLiteral("Bitte eine gültige ROM-Datei auswählen (nicht leer, höchstens 8 MB).");
const QString badExt =
    QStringLiteral("Bitte eine gültige Datei für die ext.bin auswählen (nicht leer, höchstens 8 MB).");
const QString noDrive = QStringLiteral("Es ist keine Speicherkarte ausgewählt.");
const QString doneText = QStringLiteral("Fertig! Die Karte wurde geschrieben und geprüft.\nSie kann jetzt "
                                        "entfernt und in den Raspberry Pi gesteckt werden.");
const QString writing = QStringLiteral("Schreibe auf die Karte …");
const QString verifying = QStringLiteral("Prüfe die Karte …");
const QString injecting = QStringLiteral("Kopiere ROM-Dateien ins Image …");
const QString downloading = QStringLiteral("Lade Tobra Demo herunter …");
const QString checksumOk = QStringLiteral("Prüfsumme stimmt.");
const QString finishedLine = QStringLiteral("Installation abgeschlossen.");
const QString cancelRequested = QStringLiteral("Abbruch angefordert …");
const QString passwordNote =
    QStringLiteral("Für den Zugriff auf die Karte wird gleich nach dem Passwort gefragt.");

// A drive that lsblk reports but that does not exist: runs that must never reach the helper.
QByteArray fakeDrive(qint64 size)
{
    return QStringLiteral(R"({"blockdevices": [
  {"name": "tobratest9", "path": "/dev/tobratest9", "size": %1, "type": "disk", "rm": true,
   "hotplug": true, "tran": "usb", "vendor": "Test", "model": "Card", "ro": false, "mountpoints": [null]}]})")
        .arg(size)
        .toUtf8();
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray versionList(const QString &image, const QByteArray &sha256)
{
    return QStringLiteral(
               R"({"schema": 1, "versions": [{"title": "Tobra Demo", "image": "%1", "sha256": "%2"}]})")
        .arg(image, QString::fromLatin1(sha256))
        .toUtf8();
}

// What one message box showed.
struct Shown
{
    QMessageBox::Icon icon;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton;
    QStringList buttonTexts = {}; // sorted; not compared by ==
};

// Answers every message box the window opens and records what it showed: a box with Yes gets
// the confirmation answer (Yes, No, or closed with Escape), every other box its OK.
class BoxAnswerer : public QObject
{
public:
    enum Answer
    {
        Yes,
        No,
        Escape
    };

    explicit BoxAnswerer(Answer confirmation = Yes) : confirmation(confirmation)
    {
        connect(&poll, &QTimer::timeout, this, &BoxAnswerer::answerOpenBox);
        poll.start(10);
    }

    QList<Shown> shown;

private:
    void answerOpenBox()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || box == handled)
            return;
        handled = box;
        shown.append({box->icon(), box->windowTitle(), box->text(), box->standardButtons(),
                      box->standardButton(box->defaultButton()), buttonTexts(box)});
        if (!box->button(QMessageBox::Yes))
            box->button(QMessageBox::Ok)->click();
        else if (confirmation == Escape)
            QTest::keyClick(box, Qt::Key_Escape);
        else
            box->button(confirmation == Yes ? QMessageBox::Yes : QMessageBox::No)->click();
    }

    static QStringList buttonTexts(QMessageBox *box)
    {
        QStringList texts;
        for (QAbstractButton *button : box->buttons())
            texts << button->text();
        texts.sort();
        return texts;
    }

    Answer confirmation;
    QTimer poll;
    QPointer<QMessageBox> handled;
};

Shown warningBox(const QString &text)
{
    return {QMessageBox::Warning, title, text, QMessageBox::Ok, QMessageBox::Ok};
}

Shown confirmationBox(const QString &drive)
{
    return {QMessageBox::Warning, title,
            QStringLiteral("Alle Daten auf dieser Karte werden unwiderruflich gelöscht:\n\n%1\n\nFortfahren?")
                .arg(drive),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No};
}

Shown failureBox(const QString &text)
{
    return {QMessageBox::Critical, title, text, QMessageBox::Ok, QMessageBox::Ok};
}

bool operator==(const Shown &a, const Shown &b)
{
    return a.icon == b.icon && a.title == b.title && a.text == b.text && a.buttons == b.buttons &&
           a.defaultButton == b.defaultButton;
}

char *toString(const Shown &box)
{
    return qstrdup(QStringLiteral("{icon %1, \"%2\", \"%3\", buttons %4, default %5}")
                       .arg(int(box.icon))
                       .arg(box.title, box.text)
                       .arg(int(box.buttons))
                       .arg(int(box.defaultButton))
                       .toUtf8()
                       .constData());
}

// The log's lines from line number first on, without time stamps (a line of a multi-line text
// has none).
QStringList logFrom(QWidget &window, int first)
{
    return logLines(window).mid(first);
}

int logLength(QWidget &window)
{
    return member<QPlainTextEdit>(window, "logView")->blockCount();
}

} // namespace

class TestInstallWorkflow : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir fixtures; // served over HTTP: demo/, norom/, lists in folders of their own
    QByteArray demoSha;
    QString romPath;
    QString extPath;
    std::unique_ptr<HttpServer> server;
    QByteArray originalPath;

    std::unique_ptr<QTemporaryDir> dir; // per test: card file, working folders
    QString tempRoot;                   // TMPDIR of the window: must be empty after every run
    std::unique_ptr<FakeLsblk> lsblk;
    int requestsBefore = 0;

    QString demoPath() const { return fixtures.filePath("demo/images/" + demoImage); }

    static bool makeDemo(const QString &folder, const QStringList &options = {})
    {
        QByteArray output;
        const bool ok = runTool(qEnvironmentVariable("TOBRA_SCRIPTS") + "/make-demo.sh",
                                QStringList{folder} + options, &output);
        if (!ok)
            qWarning("make-demo.sh: %s", output.constData());
        return ok;
    }

    QList<HttpServer::Request> newRequests(const QString &method) const
    {
        QList<HttpServer::Request> result;
        const QList<HttpServer::Request> all = server->requests();
        for (int i = requestsBefore; i < all.size(); ++i)
            if (all.at(i).method == method)
                result.append(all.at(i));
        return result;
    }

    // Image downloads since the test began.
    int imageRequests() const
    {
        int count = 0;
        for (const HttpServer::Request &request : newRequests("GET"))
            count += request.path.endsWith(".img");
        return count;
    }

    QStringList tempLeftovers() const
    {
        return QDir(tempRoot).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }

    // Shows the loop device to the drive rules as a removable disk.
    void showAsRemovable(const QString &device)
    {
        lsblk.reset();
        qputenv("PATH", QFile::encodeName(pathWithRemovableLsblk(QFile::decodeName(originalPath))));
        qputenv("TOBRA_REMOVABLE_DEVICES", device.toUtf8());
    }

    // The window on the version list in folder list/, with the ROM (and ext.bin) filled in and
    // the drive chosen; the list has been loaded (or has failed).
    std::unique_ptr<MainWindow> openWindow(const QString &list = "demo", const QString &drive = QString())
    {
        auto window = std::make_unique<MainWindow>(server->url("/" + list + "/tobra.json"),
                                                   server->url("/demo/images/"));
        window->show();
        auto *status = member<QLabel>(*window, "statusLabel");
        const bool loaded =
            QTest::qWaitFor([&] { return !status->text().startsWith("Lade Versionsliste"); }, 15000);
        if (!loaded)
            qWarning("version list not loaded");
        member<QLineEdit>(*window, "romEdit")->setText(romPath);
        auto *drives = member<QComboBox>(*window, "driveCombo");
        drives->setCurrentIndex(drive.isEmpty() ? drives->count() - 1 : drives->findData(drive));
        return window;
    }

    // Clicks Install and waits until the run has ended in its final box (at most one per run).
    void installAndWait(MainWindow &window, BoxAnswerer &boxes, int expectedBoxes, int timeoutMs = 120000)
    {
        member<QPushButton>(window, "installButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(boxes.shown.size(), expectedBoxes, timeoutMs);
        QTest::qWait(50); // a further box would be a fault
        QCOMPARE(boxes.shown.size(), expectedBoxes);
    }

    // The card's FAT file, read with mtools from the device.
    QByteArray cardFile(const QString &device, const QString &name)
    {
        const QString copy = dir->filePath("from-card.bin");
        QFile::remove(copy);
        QByteArray output;
        if (!runTool("mcopy",
                     {"-n", "-i", device + "@@" + QString::number(partitionOffset), "::" + name, copy},
                     &output))
            return "mcopy failed: " + output;
        return fileBytes(copy);
    }

    // fsck.fat -n over a copy of the card's partition.
    bool cardPartitionIsClean(const QString &device, QByteArray *report)
    {
        const QString partition = dir->filePath("partition.img");
        const qint64 size = QFileInfo(demoPath()).size() - partitionOffset;
        if (!writeFile(partition, readRange(device, partitionOffset, size)))
            return false;
        return runTool("fsck.fat", {"-n", partition}, report);
    }

    void checkIdleAfterRun(MainWindow &window, const QString &status, int progress)
    {
        QCOMPARE(member<QLabel>(window, "statusLabel")->text(), status);
        QCOMPARE(member<QProgressBar>(window, "progressBar")->value(), progress);
        QVERIFY(member<QPushButton>(window, "installButton")->isEnabled());
        QVERIFY(!member<QPushButton>(window, "cancelButton")->isEnabled());
        QCOMPARE(tempLeftovers().join(","), QString());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(fixtures.isValid());
        if (!QFileInfo::exists(qEnvironmentVariable("TOBRA_SCRIPTS") + "/make-demo.sh"))
            QSKIP("needs scripts/make-demo.sh (TOBRA_SCRIPTS)");
        for (const char *tool : {"sfdisk", "mkfs.fat", "mmd", "mcopy", "fsck.fat"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                QSKIP(qPrintable(QString("needs %1 (packages fdisk, dosfstools, mtools)").arg(tool)));
        QVERIFY(makeDemo(fixtures.filePath("demo")));
        QVERIFY(makeDemo(fixtures.filePath("norom"), {"--no-rom-folder"}));
        demoSha = sha256Hex(fileBytes(demoPath()));
        romPath = fixtures.filePath("demo/roms/kick-demo.rom");
        extPath = fixtures.filePath("demo/roms/ext-demo.rom");

        QDir root(fixtures.path());
        QVERIFY(QFile::copy(fixtures.filePath("norom/images/" + demoImage),
                            root.filePath("demo/images/" + noRomImage)));
        const QByteArray noRomSha = sha256Hex(fileBytes(root.filePath("demo/images/" + noRomImage)));
        const QList<std::pair<QString, QByteArray>> lists = {
            {"nosum", versionList(demoImage, "")},
            {"badsum", versionList(demoImage, QByteArray(64, '0'))},
            {"missing", versionList("missing.img", "")},
            {"norom", versionList(noRomImage, noRomSha)},
        };
        for (const auto &[folder, list] : lists) {
            QVERIFY(root.mkpath(folder));
            QVERIFY(writeFile(root.filePath(folder + "/tobra.json"), list));
        }

        server = std::make_unique<HttpServer>(fixtures.path());
        QVERIFY2(server->isRunning(), qPrintable(server->errorString()));
        originalPath = qgetenv("PATH");
        qputenv("MTOOLS_SKIP_CHECK", "1");
    }

    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        qputenv("PATH", originalPath);
        qunsetenv("TOBRA_REMOVABLE_DEVICES");
        lsblk = std::make_unique<FakeLsblk>();
        lsblk->answer(fakeDrive(15931539456));
        tempRoot = dir->filePath("tmp");
        QVERIFY(QDir().mkpath(tempRoot));
        qputenv("TMPDIR", QFile::encodeName(tempRoot));
        requestsBefore = server ? server->requests().size() : 0;
    }

    void cleanup()
    {
        lsblk.reset();
        qunsetenv("TMPDIR");
        dir.reset();
    }

    void installsOntoCard_data()
    {
        QTest::addColumn<QString>("list"); // folder of the version list; empty: the local image
        QTest::addColumn<bool>("useExt");
        QTest::addColumn<bool>("consentAtEnd");
        QTest::addColumn<QStringList>("log");

        const QString downloaded = "Download fertig, SHA256 " + demoSha;
        const QString romLine = QStringLiteral("Rom/rom.bin geschrieben (0.3 MB)");
        const QString extLine = QStringLiteral("Rom/ext.bin geschrieben (0.5 MB)");
        const QStringList writeAndVerify{writing, writing, verifying, finishedLine};
        QTest::newRow("listed version with ext.bin, counted")
            << "demo" << true << true
            << QStringList{downloading, downloaded, checksumOk, injecting, romLine, extLine} + writeAndVerify;
        QTest::newRow("listed version, consent withdrawn during the run")
            << "demo" << false << false
            << QStringList{downloading, downloaded, checksumOk, injecting, romLine} + writeAndVerify;
        QTest::newRow("list without checksum") << "nosum" << false << true
                                               << QStringList{downloading, downloaded,
                                                              "Hinweis: In der tobra.json steht keine "
                                                              "Prüfsumme, das Image wird nicht verglichen.",
                                                              injecting, romLine} +
                                                      writeAndVerify;
        QTest::newRow("read-only local image")
            << "" << true << true
            << QStringList{"Kopiere lokales Image …", injecting, romLine, extLine} + writeAndVerify;
    }

    void installsOntoCard()
    {
        QFETCH(QString, list);
        QFETCH(bool, useExt);
        QFETCH(bool, consentAtEnd);
        QFETCH(QStringList, log);

        const QString cardPath = dir->filePath("card.img");
        QVERIFY(makeCardFile(cardPath, cardBytes, {}));
        LoopDevice card(cardPath);
        if (!card.isAttached())
            QSKIP(qPrintable(card.error()));
        showAsRemovable(card.path());

        // The user's files, which must stay as they are.
        const QString localImage = dir->filePath("my.img");
        QVERIFY(QFile::copy(demoPath(), localImage));
        QVERIFY(QFile::setPermissions(localImage, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        const QDateTime localImageTime = QFileInfo(localImage).lastModified();
        const QByteArray rom = fileBytes(romPath);
        const QByteArray ext = fileBytes(extPath);

        BoxAnswerer boxes;
        auto window = openWindow(list.isEmpty() ? "demo" : list, card.path());
        auto *drives = member<QComboBox>(*window, "driveCombo");
        QCOMPARE(drives->currentData().toString(), card.path());
        if (list.isEmpty()) {
            member<QCheckBox>(*window, "localImageCheck")->setChecked(true);
            member<QLineEdit>(*window, "localImageEdit")->setText(" " + localImage + " ");
        }
        member<QCheckBox>(*window, "useExtCheck")->setChecked(useExt);
        member<QLineEdit>(*window, "extEdit")->setText(extPath);
        const int first = logLength(*window);

        member<QPushButton>(*window, "installButton")->click();
        auto *consent = member<QCheckBox>(*window, "countCheck");
        QVERIFY(consent->isEnabled());
        consent->setChecked(consentAtEnd);
        QTRY_COMPARE_WITH_TIMEOUT(boxes.shown.size(), 2, 120000);

        const Shown done{QMessageBox::Information, title, doneText, QMessageBox::Ok, QMessageBox::Ok};
        QCOMPARE(boxes.shown, (QList<Shown>{confirmationBox(drives->currentText()), done}));
        QCOMPARE(logFrom(*window, first), log);
        checkIdleAfterRun(*window, "Fertig", 100);

        QCOMPARE(cardFile(card.path(), "Rom/rom.bin"), rom);
        QCOMPARE(cardFile(card.path(), "Rom/ext.bin").startsWith("mcopy failed"), !useExt);
        if (useExt)
            QCOMPARE(cardFile(card.path(), "Rom/ext.bin"), ext);
        QCOMPARE(cardFile(card.path(), "README.TXT"), QByteArray("Tobra demonstration image\r\n"));
        QByteArray report;
        QVERIFY2(cardPartitionIsClean(card.path(), &report), report.constData());

        QCOMPARE(fileBytes(romPath), rom);
        QCOMPARE(fileBytes(extPath), ext);
        QCOMPARE(sha256Hex(fileBytes(localImage)), demoSha);
        QCOMPARE(QFileInfo(localImage).lastModified(), localImageTime);

        const bool counted = consentAtEnd && !list.isEmpty();
        if (counted)
            QTRY_COMPARE(newRequests("POST").size(), 1);
        QTest::qWait(200);
        const QList<HttpServer::Request> posts = newRequests("POST");
        QCOMPARE(posts.size(), counted ? 1 : 0);
        if (counted) {
            QCOMPARE(posts.first().path, "/" + list + "/count.php");
            QCOMPARE(posts.first().body, "image=" + demoImage.toUtf8());
            QCOMPARE(posts.first().userAgent, QStringLiteral("TobraInstaller/0.1"));
        }
    }

    void failsAfterConfirmation_data()
    {
        QTest::addColumn<QString>("list");
        QTest::addColumn<QStringList>("log"); // the last line is the failure's text

        const QString downloaded = "Download fertig, SHA256 " + demoSha;
        const QByteArray noRomSha = sha256Hex(fileBytes(fixtures.filePath("demo/images/" + noRomImage)));
        QTest::newRow("checksum mismatch")
            << "badsum"
            << QStringList{
                   downloading, downloaded,
                   "Die Prüfsumme des Downloads stimmt nicht mit der tobra.json überein.\nErwartet: " +
                       QString(64, '0') + "\nErhalten: " + demoSha};
        QTest::newRow("image without Rom folder")
            << "norom"
            << QStringList{downloading, "Download fertig, SHA256 " + noRomSha, checksumOk, injecting,
                           "Das Verzeichnis \"Rom\" gibt es im Image nicht"};
        QTest::newRow("image missing on the server")
            << "missing"
            << QStringList{
                   downloading,
                   "Download fehlgeschlagen: Das Image wurde auf dem Server nicht gefunden (HTTP 404)"};
    }

    // The card is never touched: the fake drive does not even exist.
    void failsAfterConfirmation()
    {
        QFETCH(QString, list);
        QFETCH(QStringList, log);

        BoxAnswerer boxes;
        auto window = openWindow(list);
        const int first = logLength(*window);
        installAndWait(*window, boxes, 2);

        const QString message = log.takeLast();
        QCOMPARE(boxes.shown,
                 (QList<Shown>{confirmationBox(member<QComboBox>(*window, "driveCombo")->currentText()),
                               failureBox(message)}));
        QCOMPARE(logFrom(*window, first).join('\n'), (log + QStringList{"FEHLER: " + message}).join('\n'));
        checkIdleAfterRun(*window, "Fehlgeschlagen", 0);
        QCOMPARE(newRequests("POST").size(), 0);
    }

    void refusesBeforeConfirmation_data()
    {
        QTest::addColumn<QString>("list");       // "absent": the list cannot be loaded
        QTest::addColumn<QString>("localImage"); // "" none, else a path below the test folder
        QTest::addColumn<qint64>("romSize");     // -1 missing, -2 a folder
        QTest::addColumn<qint64>("extSize");     // -3: ext.bin not chosen
        QTest::addColumn<bool>("drive");
        QTest::addColumn<QString>("refusal"); // empty: the confirmation is reached

        const qint64 maxRom = 8388608;
        QTest::newRow("local image missing") << "demo"
                                             << "none.img" << 1024ll << -3ll << true << noLocalImage;
        QTest::newRow("no version, before the ROM") << "absent"
                                                    << "" << -1ll << -3ll << true << noVersion;
        QTest::newRow("ROM missing") << "demo"
                                     << "" << -1ll << -3ll << true << badRom;
        QTest::newRow("ROM empty") << "demo"
                                   << "" << 0ll << -3ll << true << badRom;
        QTest::newRow("ROM one byte too large") << "demo"
                                                << "" << maxRom + 1 << -3ll << true << badRom;
        QTest::newRow("ROM is a folder") << "demo"
                                         << "" << -2ll << -3ll << false << badRom;
        QTest::newRow("ext.bin empty") << "demo"
                                       << "" << 1024ll << 0ll << true << badExt;
        QTest::newRow("ext.bin too large, before the drive") << "demo"
                                                             << "" << 1024ll << maxRom + 1 << false << badExt;
        QTest::newRow("no drive") << "demo"
                                  << "" << 1024ll << 1024ll << false << noDrive;
        QTest::newRow("largest ROM, bad ext.bin not chosen") << "demo"
                                                             << "" << maxRom << -3ll << true << QString();
    }

    void refusesBeforeConfirmation()
    {
        QFETCH(QString, list);
        QFETCH(QString, localImage);
        QFETCH(qint64, romSize);
        QFETCH(qint64, extSize);
        QFETCH(bool, drive);
        QFETCH(QString, refusal);

        const auto userFile = [this](const QString &name, qint64 size) {
            const QString path = dir->filePath(name);
            if (size == -2)
                QDir().mkpath(path);
            else if (size >= 0)
                writeFile(path, QByteArray(size, 'r'));
            return path;
        };
        BoxAnswerer boxes(BoxAnswerer::No);
        auto window = openWindow(list);
        member<QLineEdit>(*window, "romEdit")->setText(userFile("kick.rom", romSize));
        member<QCheckBox>(*window, "useExtCheck")->setChecked(extSize != -3);
        member<QLineEdit>(*window, "extEdit")->setText(userFile("ext.rom", extSize == -3 ? -1 : extSize));
        if (!localImage.isEmpty()) {
            member<QCheckBox>(*window, "localImageCheck")->setChecked(true);
            member<QLineEdit>(*window, "localImageEdit")->setText(dir->filePath(localImage));
        }
        if (!drive)
            member<QComboBox>(*window, "driveCombo")->setCurrentIndex(0);
        const QString statusBefore = member<QLabel>(*window, "statusLabel")->text();
        const int first = logLength(*window);
        installAndWait(*window, boxes, 1);

        const QString driveText = member<QComboBox>(*window, "driveCombo")->currentText();
        QCOMPARE(boxes.shown,
                 QList<Shown>{refusal.isEmpty() ? confirmationBox(driveText) : warningBox(refusal)});
        QCOMPARE(logFrom(*window, first), QStringList());
        checkIdleAfterRun(*window, statusBefore, 0);
        QCOMPARE(imageRequests(), 0);
    }

    void confirmation_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("gigabytes"); // empty: the ordinary confirmation
        QTest::addColumn<int>("answer");

        QTest::newRow("256 GB, No") << 256000000000ll << QString() << int(BoxAnswerer::No);
        QTest::newRow("one byte more, No") << 256000000001ll << "256" << int(BoxAnswerer::No);
        QTest::newRow("500 GB disk, closed") << 500107862016ll << "500" << int(BoxAnswerer::Escape);
        QTest::newRow("16 GB card, closed") << 15931539456ll << QString() << int(BoxAnswerer::Escape);
    }

    // Anything but Yes leaves everything as it was: no folder, no download, not busy.
    void confirmation()
    {
        QFETCH(qint64, size);
        QFETCH(QString, gigabytes);
        QFETCH(int, answer);

        lsblk->answer(fakeDrive(size));
        BoxAnswerer boxes{BoxAnswerer::Answer(answer)};
        auto window = openWindow();
        const QString driveText = member<QComboBox>(*window, "driveCombo")->currentText();
        const int first = logLength(*window);
        installAndWait(*window, boxes, 1);

        const Shown large{
            QMessageBox::Critical, title,
            QStringLiteral("ACHTUNG: Dieses Laufwerk ist mit %1 GB sehr groß für eine Speicherkarte. Es "
                           "könnte eine externe Festplatte mit wichtigen Daten sein.\n\n%2\n\nAlle Daten "
                           "darauf werden unwiderruflich gelöscht. Wirklich fortfahren?")
                .arg(gigabytes, driveText),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No};
        QCOMPARE(boxes.shown, QList<Shown>{gigabytes.isEmpty() ? confirmationBox(driveText) : large});
        QCOMPARE(boxes.shown.first().buttonTexts, (QStringList{"&Ja", "&Nein"}));
        QCOMPARE(logFrom(*window, first), QStringList());
        checkIdleAfterRun(*window, QStringLiteral("Bereit (1 Version(en) gefunden)"), 0);
        QCOMPARE(imageRequests(), 0);
    }

    void cancelDuringDownload()
    {
        BoxAnswerer boxes;
        auto window = std::make_unique<MainWindow>(server->url("/demo/tobra.json"),
                                                   server->url("/__q/rate=2000000/demo/images/"));
        QTRY_COMPARE(member<QComboBox>(*window, "versionCombo")->count(), 1);
        member<QLineEdit>(*window, "romEdit")->setText(romPath);
        member<QComboBox>(*window, "driveCombo")->setCurrentIndex(1);
        const int first = logLength(*window);
        member<QPushButton>(*window, "installButton")->click();

        auto *progress = member<QProgressBar>(*window, "progressBar");
        QTRY_VERIFY_WITH_TIMEOUT(progress->value() > 0, 15000);
        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(tempLeftovers().size(), 1);
        QVERIFY(!member<QPushButton>(*window, "installButton")->isEnabled());
        // A second start while one runs is ignored without a word.
        QVERIFY(QMetaObject::invokeMethod(window.get(), "install"));
        QTest::qWait(100);
        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(tempLeftovers().size(), 1);
        member<QPushButton>(*window, "cancelButton")->click();
        QTRY_COMPARE(boxes.shown.size(), 2);

        const QString message = QStringLiteral("Download fehlgeschlagen: Abgebrochen");
        QCOMPARE(boxes.shown.last(), failureBox(message));
        QCOMPARE(logFrom(*window, first), (QStringList{downloading, cancelRequested, "FEHLER: " + message}));
        checkIdleAfterRun(*window, "Fehlgeschlagen", 0);
    }

    // A card that takes 2 MB/s: the helper is still writing when the user cancels.
    void cancelDuringWriting()
    {
        FaultyDisk::Options options;
        options.size = cardBytes;
        options.writeRate = 2000000;
        FaultyDisk slowCard(dir->path(), options);
        if (!slowCard.isRunning())
            QSKIP(qPrintable(slowCard.error()));
        LoopDevice card(slowCard.file());
        if (!card.isAttached())
            QSKIP(qPrintable(card.error()));
        showAsRemovable(card.path());

        BoxAnswerer boxes;
        auto window = openWindow("demo", card.path());
        member<QCheckBox>(*window, "localImageCheck")->setChecked(true);
        member<QLineEdit>(*window, "localImageEdit")->setText(demoPath());
        const int first = logLength(*window);
        member<QPushButton>(*window, "installButton")->click();

        auto *progress = member<QProgressBar>(*window, "progressBar");
        auto *status = member<QLabel>(*window, "statusLabel");
        QTRY_VERIFY_WITH_TIMEOUT(status->text() == writing && progress->value() > 0, 30000);
        member<QPushButton>(*window, "cancelButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(boxes.shown.size(), 2, 30000);

        const QString message = QStringLiteral(
            "Abgebrochen. Die Karte ist unvollständig beschrieben und muss neu bespielt werden.");
        QCOMPARE(boxes.shown.last(), failureBox(message));
        QCOMPARE(logFrom(*window, first),
                 (QStringList{"Kopiere lokales Image …", injecting, "Rom/rom.bin geschrieben (0.3 MB)",
                              writing, writing, cancelRequested, "FEHLER: " + message}));
        checkIdleAfterRun(*window, "Fehlgeschlagen", 0);
    }

    // An ordinary user's run goes through the real pkexec, allowed by a polkit rule, to the
    // helper as root. pkexec gives the helper a clean PATH, so the real lsblk shows the loop
    // device as what it is and the helper refuses it.
    void unprivilegedThroughPkexec()
    {
        for (const char *needed : {"/usr/bin/pkexec", "/usr/lib/polkit-1/polkitd", "/usr/bin/dbus-daemon",
                                   "/usr/bin/unshare", "/usr/bin/setpriv", "/usr/bin/pkaction"})
            if (!QFileInfo(QString(needed)).isExecutable())
                QSKIP(
                    qPrintable(QString("needs ") + needed + " (packages pkexec, polkitd, dbus, util-linux)"));
        const passwd *nobody = ::getpwnam("nobody");
        if (!nobody)
            QSKIP("needs the user nobody");
        if (QProcess::execute("/usr/bin/unshare", {"-m", "true"}) != 0)
            QSKIP("needs a private mount namespace (unshare -m, as root)");
        const QString self = QCoreApplication::applicationFilePath();
        if (QProcess::execute("/usr/bin/setpriv", {QString("--reuid=%1").arg(nobody->pw_uid),
                                                   QString("--regid=%1").arg(nobody->pw_gid),
                                                   "--clear-groups", "test", "-x", self}) != 0)
            QSKIP("needs a build folder that the user nobody can enter and run");

        const QString cardPath = dir->filePath("card.img");
        QVERIFY(makeCardFile(cardPath, cardBytes, {}));
        LoopDevice card(cardPath);
        if (!card.isAttached())
            QSKIP(qPrintable(card.error()));

        // The user's own folder: the image, the ROM and a private temporary folder.
        const QString home = dir->filePath("home");
        QVERIFY(QDir().mkpath(home + "/tmp"));
        QVERIFY(QDir().mkpath(home + "/runtime"));
        QVERIFY(QFile::setPermissions(home + "/runtime", QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                             QFileDevice::ExeOwner));
        QVERIFY(QFile::copy(demoPath(), home + "/my.img"));
        QVERIFY(QFile::copy(romPath, home + "/kick.rom"));
        QVERIFY(runTool("chown", {"-R", QString("%1:%2").arg(nobody->pw_uid).arg(nobody->pw_gid), home}));
        QVERIFY(QFile::setPermissions(dir->path(), QFileDevice::Permissions(0x7755)));

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PATH",
                           qEnvironmentVariable("TOBRA_TEST_SUPPORT") + "/removable-lsblk:" + originalPath);
        environment.insert("TOBRA_REMOVABLE_DEVICES", card.path());
        environment.insert("TMPDIR", home + "/tmp");
        environment.insert("HOME", home);
        environment.insert("XDG_CONFIG_HOME", home);
        environment.insert("XDG_RUNTIME_DIR", home + "/runtime");
        environment.remove("SHELL");
        QProcess run;
        run.setProcessEnvironment(environment);
        run.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        run.start("/usr/bin/unshare",
                  {"-m", qEnvironmentVariable("TOBRA_WORKFLOW_TESTS") + "/as-user-with-polkit.sh",
                   QString::number(nobody->pw_uid), QString::number(nobody->pw_gid), self,
                   "--unprivileged-install", home + "/my.img", home + "/kick.rom", card.path()});
        QVERIFY(run.waitForFinished(120000));
        const QString output = QString::fromUtf8(run.readAllStandardOutput());
        if (run.exitCode() == 77)
            QSKIP(qPrintable("polkit could not be set up: " + output));
        QVERIFY2(run.exitCode() == 0, qPrintable(output));

        const QStringList lines = output.split('\n', Qt::SkipEmptyParts);
        QVERIFY2(lines.size() >= 4, qPrintable(output));
        const QStringList last = lines.mid(lines.size() - 4);
        QCOMPARE(last.at(0), writing);
        QCOMPARE(last.at(1), passwordNote);
        QVERIFY2(last.at(2).startsWith("FEHLER: " + card.path() + " ist kein erlaubtes Ziel"),
                 qPrintable(output));
        QCOMPARE(last.at(3), QStringLiteral("box: ") + last.at(2).mid(8));
        QCOMPARE(QDir(home + "/tmp").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).join(","), QString());
    }
};

namespace {

// The window as an unprivileged user sees it: installs a local image onto the device, answers
// the confirmation with Yes, then prints the log lines and the text of the final box.
int runUnprivilegedInstall(int argc, char **argv)
{
    if (argc != 5)
        return 2;
    QApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("TobraInstaller"));
    MainWindow window(QUrl::fromLocalFile(QStringLiteral("/nonexistent/tobra.json")), QUrl());
    member<QCheckBox>(window, "localImageCheck")->setChecked(true);
    member<QLineEdit>(window, "localImageEdit")->setText(QString::fromLocal8Bit(argv[2]));
    member<QLineEdit>(window, "romEdit")->setText(QString::fromLocal8Bit(argv[3]));
    auto *drives = member<QComboBox>(window, "driveCombo");
    drives->setCurrentIndex(drives->findData(QString::fromLocal8Bit(argv[4])));
    BoxAnswerer boxes;
    member<QPushButton>(window, "installButton")->click();
    if (!QTest::qWaitFor([&] { return boxes.shown.size() == 2; }, 60000))
        return 1;
    QTextStream out(stdout);
    for (const QString &line : logFrom(window, 0))
        out << line << '\n';
    out << "box: " << boxes.shown.last().text << '\n';
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // The window starts this executable as its write helper, as the program does.
    if (argc > 1 && qstrcmp(argv[1], "--write-helper") == 0)
        return runWriteHelper(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--unprivileged-install") == 0)
        return runUnprivilegedInstall(argc, argv);
    QApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("TobraInstaller"));
    QCoreApplication::setOrganizationName(QStringLiteral("Drellwerk"));
    TestInstallWorkflow test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_installworkflow.moc"
