// SPDX-License-Identifier: GPL-3.0-or-later
// What only the window shows of an installation, driven through its widgets: the confirmation of
// the freshly listed card, the final boxes, a calm cancel, the end on SIGTERM, and the run of an
// ordinary user through the real pkexec. Version list and image from the local HTTP server, a loop
// device shown as a removable card, the write helper (this executable with "--write-helper").
#include "fakenotifications.h"
#include "installation.h"
#include "installsuite.h"
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
#include <QRegularExpression>
#include <QTest>
#include <csignal>
#include <pwd.h>
#include <unistd.h>

namespace {

const QString title = QStringLiteral("Tobra Installer");
const QString noRomImage = QStringLiteral("tobra-norom.img");

const QString doneText = QStringLiteral("Fertig! Die Karte wurde geschrieben und geprüft.\nSie kann jetzt "
                                        "entfernt und in den Raspberry Pi gesteckt werden.");
const QString checking = QStringLiteral("Prüfe Karte und Speicherplatz …");
const QString writing = QStringLiteral("Schreibe das lokale Image auf die Karte …");
const QString verifying = QStringLiteral("Prüfe die Karte …");
const QString downloading = QStringLiteral("Lade Tobra Demo herunter und schreibe es auf die Karte …");
const QString unchanged = QStringLiteral("Die Karte wurde nicht verändert.");
const QString unfinished =
    QStringLiteral("Die Karte ist unvollständig beschrieben, startet so nicht und muss neu bespielt werden.");
const QString romLine = QStringLiteral("Rom/rom.bin geschrieben (0,3 MB)");
const QString checksumOk = QStringLiteral("Prüfsumme stimmt.");
const QString finishedLine = QStringLiteral("Installation abgeschlossen.");
const QString cancelRequested = QStringLiteral("Abbruch angefordert …");
const QString retryButton = QStringLiteral("&Erneut versuchen");
const QString passwordNote =
    QStringLiteral("Für den Zugriff auf die Karte wird gleich nach dem Passwort gefragt.");

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

    explicit BoxAnswerer(Answer answer = Yes) : confirmation(answer)
    {
        connect(&poll, &QTimer::timeout, this, &BoxAnswerer::answerOpenBox);
        poll.start(10);
    }

    QList<Shown> shown;
    int retries = 0; // how often a box that offers to try again is answered with it; then it is closed

private:
    void answerOpenBox()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || box == handled)
            return;
        handled = box;
        shown.append({box->icon(), box->windowTitle(), box->text(), box->standardButtons(),
                      box->standardButton(box->defaultButton()), buttonTexts(box)});
        if (box->button(QMessageBox::Yes) && box->button(QMessageBox::Yes)->text() == retryButton)
            box->button(retries-- > 0 ? QMessageBox::Yes : QMessageBox::No)->click();
        else if (!box->button(QMessageBox::Yes))
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

QString versionOf(QWidget &window)
{
    return member<QComboBox>(window, "versionCombo")->currentText();
}

Shown warningBox(const QString &text)
{
    return {QMessageBox::Warning, title, text, QMessageBox::Ok, QMessageBox::Ok};
}

// The question names what goes onto which card.
Shown confirmationBox(const QString &drive, const QString &version)
{
    return {QMessageBox::Warning, title,
            QStringLiteral("Installieren: %1\n\nAlle Daten auf dieser Karte werden unwiderruflich "
                           "gelöscht:\n\n%2\n\nFortfahren?")
                .arg(version, drive),
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

class TestInstallWorkflow : public QObject, private InstallFixture
{
    Q_OBJECT

private:
    std::unique_ptr<PrivateSessionBus> sessionBus; // with a notification service only where a test offers one

    // Image downloads since the test began.
    int imageRequests() const
    {
        int count = 0;
        for (const HttpServer::Request &request : newRequests("GET"))
            count += request.path.endsWith(".img");
        return count;
    }

    // The window on the version list in folder list/ with images below imageFolder, the ROM
    // filled in and the drive chosen; the list has been loaded (or has failed).
    std::unique_ptr<MainWindow> openWindow(const QString &list = "demo", const QString &drive = QString(),
                                           const QString &imageFolder = "/demo/images/")
    {
        auto window =
            std::make_unique<MainWindow>(server->url("/" + list + "/tobra.json"), server->url(imageFolder));
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

    // An empty card file on a loop device, shown as removable once attached.
    std::unique_ptr<LoopDevice> attachCard()
    {
        const QString cardPath = dir->filePath("card.img");
        auto card =
            std::make_unique<LoopDevice>(makeCardFile(cardPath, cardBytes, {}) ? cardPath : QString());
        if (card->isAttached())
            showAsRemovable({card->path()});
        return card;
    }

    void useLocalImage(MainWindow &window, const QString &image)
    {
        member<QCheckBox>(window, "localImageCheck")->setChecked(true);
        member<QLineEdit>(window, "localImageEdit")->setText(image);
    }

    // Clicks Install and waits until the run has ended in its final box (at most one per run).
    void installAndWait(MainWindow &window, BoxAnswerer &boxes, int expectedBoxes, int timeoutMs = 120000)
    {
        member<QPushButton>(window, "installButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(boxes.shown.size(), expectedBoxes, timeoutMs);
        QTest::qWait(50); // a further box would be a fault
        QCOMPARE(boxes.shown.size(), expectedBoxes);
    }

    // Clicks Install and waits until the write has started onto the slow card.
    void installUntilWriting(MainWindow &window)
    {
        member<QPushButton>(window, "installButton")->click();
        auto *progress = member<QProgressBar>(window, "progressBar");
        auto *status = member<QLabel>(window, "statusLabel");
        QTRY_VERIFY_WITH_TIMEOUT(status->text().startsWith(writing) && progress->value() > 0, 30000);
    }

    // The running step shows sizes, then speed and time left; the bar counts the steps and the
    // title carries the percentage.
    void checkProgressShown(MainWindow &window, const QString &activity, int step, int steps)
    {
        auto *status = member<QLabel>(window, "statusLabel");
        QTRY_VERIFY_WITH_TIMEOUT(status->text().contains("noch etwa"), 15000);
        static const QRegularExpression line(
            "^(.+) \\d[\\d.,]* von \\d[\\d.,]* MB · \\d+,\\d MB/s · noch etwa \\d+:\\d\\d$");
        const QRegularExpressionMatch match = line.match(status->text());
        QVERIFY2(match.hasMatch(), qPrintable(status->text()));
        QVERIFY2(match.captured(1).startsWith(activity), qPrintable(match.captured(1)));
        QCOMPARE(member<QProgressBar>(window, "progressBar")->format(),
                 QString("Schritt %1 von %2 · %p %").arg(step).arg(steps));
        QVERIFY2(QRegularExpression("^\\d+ % – Tobra Installer$").match(window.windowTitle()).hasMatch(),
                 qPrintable(window.windowTitle()));
    }

    void checkIdleAfterRun(MainWindow &window, const QString &status, int progress)
    {
        QCOMPARE(member<QLabel>(window, "statusLabel")->text(), status);
        QCOMPARE(member<QProgressBar>(window, "progressBar")->value(), progress);
        QCOMPARE(window.windowTitle(), title);
        QVERIFY(member<QPushButton>(window, "installButton")->isEnabled());
        QVERIFY(!member<QPushButton>(window, "cancelButton")->isEnabled());
        QCOMPARE(workLeftovers().join(","), QString());
    }

    // Why the user nobody cannot run this executable under a private mount namespace here; empty
    // when it can.
    static QString unprivilegedRunMissing(const passwd **nobody)
    {
        for (const char *needed : {"/usr/bin/pkexec", "/usr/lib/polkit-1/polkitd", "/usr/bin/dbus-daemon",
                                   "/usr/bin/unshare", "/usr/bin/setpriv", "/usr/bin/pkaction"})
            if (!QFileInfo(QString(needed)).isExecutable())
                return QString("needs ") + needed + " (packages pkexec, polkitd, dbus, util-linux)";
        *nobody = ::getpwnam("nobody");
        if (!*nobody)
            return "needs the user nobody";
        if (QProcess::execute("/usr/bin/unshare", {"-m", "true"}) != 0)
            return "needs a private mount namespace (unshare -m, as root)";
        if (QProcess::execute("/usr/bin/setpriv",
                              {QString("--reuid=%1").arg((*nobody)->pw_uid),
                               QString("--regid=%1").arg((*nobody)->pw_gid), "--clear-groups", "test", "-x",
                               QCoreApplication::applicationFilePath()}) != 0)
            return "needs a build folder that the user nobody can enter and run";
        return QString();
    }

    // The window of the user nobody installs the demo image onto the card, started by the
    // launcher (a command line ending in the user's command); returns what it printed.
    QString runAsNobody(const passwd *nobody, const QString &card, const QStringList &launcher, int *exitCode)
    {
        const QString home = dir->filePath("home");
        [&] {
            QVERIFY(QDir().mkpath(home + "/runtime"));
            QVERIFY(QFile::setPermissions(
                home + "/runtime", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
            QVERIFY(QFile::copy(demoPath(), home + "/my.img"));
            QVERIFY(QFile::copy(romPath, home + "/kick.rom"));
            QVERIFY(runTool("chown", {"-R", QString("%1:%2").arg(nobody->pw_uid).arg(nobody->pw_gid), home}));
            QVERIFY(QFile::setPermissions(dir->path(), QFileDevice::Permissions(0x7755)));
        }();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PATH",
                           qEnvironmentVariable("TOBRA_TEST_SUPPORT") + "/removable-lsblk:" + originalPath);
        environment.insert("TOBRA_REMOVABLE_DEVICES", card);
        environment.insert("HOME", home);
        environment.insert("XDG_CONFIG_HOME", home);
        environment.insert("XDG_CACHE_HOME", home + "/cache");
        environment.insert("XDG_RUNTIME_DIR", home + "/runtime");
        environment.remove("SHELL");
        QProcess run;
        run.setProcessEnvironment(environment);
        run.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        run.start("/usr/bin/unshare",
                  QStringList{"-m"} + launcher +
                      QStringList{QCoreApplication::applicationFilePath(), "--unprivileged-install",
                                  home + "/my.img", home + "/kick.rom", card});
        if (!run.waitForFinished(120000))
            run.kill();
        *exitCode = run.exitCode();
        return QString::fromUtf8(run.readAllStandardOutput());
    }

private Q_SLOTS:
    void initTestCase()
    {
        sessionBus = std::make_unique<PrivateSessionBus>();
        const QString missing = missingForDemo();
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing));
        QVERIFY(setUpDemo());
        QDir root(fixtures.path());
        QVERIFY(root.mkpath("badsum"));
        QVERIFY(writeFile(root.filePath("badsum/tobra.json"), versionList(demoImage, QByteArray(64, '0'))));
    }

    void init() { QVERIFY(setUpTest()); }
    void cleanup() { tearDownTest(); }

    // The consent box stays usable during the run, and its state at the end decides.
    void installsOntoCard_data()
    {
        QTest::addColumn<bool>("consentAtEnd");
        QTest::newRow("counted") << true;
        QTest::newRow("consent withdrawn during the run") << false;
    }

    void installsOntoCard()
    {
        QFETCH(bool, consentAtEnd);

        const std::unique_ptr<LoopDevice> loop = attachCard();
        if (!loop->isAttached())
            QSKIP(qPrintable(loop->error()));
        const LoopDevice &card = *loop;

        BoxAnswerer boxes;
        auto window = openWindow("demo", card.path());
        auto *drives = member<QComboBox>(*window, "driveCombo");
        QCOMPARE(drives->currentData().toString(), card.path());
        auto *consent = member<QCheckBox>(*window, "countCheck");
        consent->setChecked(!consentAtEnd);
        const int first = logLength(*window);

        member<QPushButton>(*window, "installButton")->click();
        QVERIFY(consent->isEnabled());
        consent->setChecked(consentAtEnd);
        QTRY_COMPARE_WITH_TIMEOUT(boxes.shown.size(), 2, 120000);

        const Shown done{QMessageBox::Information, title, doneText, QMessageBox::Ok, QMessageBox::Ok};
        QCOMPARE(boxes.shown,
                 (QList<Shown>{confirmationBox(drives->currentText(), versionOf(*window)), done}));
        QCOMPARE(logFrom(*window, first),
                 (QStringList{checking, downloading, "Download fertig, SHA-256 " + demoSha, checksumOk,
                              romLine, verifying, finishedLine}));
        checkIdleAfterRun(*window, "Fertig", 100);
        QCOMPARE(cardFile(card.path(), "Rom/rom.bin", dir->filePath("from-card.bin")), readFile(romPath));
        // The report goes on by itself after the end.
        QTRY_COMPARE(newRequests("POST").size(), consentAtEnd ? 1 : 0);
    }

    // A failure shows its text in a red box and as a "FEHLER:" line, with what became of the card.
    void showsFailure()
    {
        const std::unique_ptr<LoopDevice> loop = attachCard();
        if (!loop->isAttached())
            QSKIP(qPrintable(loop->error()));
        const LoopDevice &card = *loop;
        BoxAnswerer boxes;
        auto window = openWindow("badsum", card.path());
        const int first = logLength(*window);
        installAndWait(*window, boxes, 2);

        const QString message =
            "Die Prüfsumme des Images stimmt nicht mit der tobra.json überein.\nErwartet: " +
            QString(64, '0') + "\nErhalten: " + demoSha + "\n" + unfinished;
        QCOMPARE(boxes.shown,
                 (QList<Shown>{confirmationBox(member<QComboBox>(*window, "driveCombo")->currentText(),
                                               versionOf(*window)),
                               failureBox(message)}));
        QCOMPARE(
            logFrom(*window, first).join('\n'),
            (QStringList{checking, downloading, "Download fertig, SHA-256 " + demoSha, "FEHLER: " + message})
                .join('\n'));
        checkIdleAfterRun(*window, "Fehlgeschlagen", 0);
    }

    // The first refusal in a fixed order is shown, nothing starts, and an earlier run's end no
    // longer stands on screen (the causes of each refusal are the job's own test).
    void refusesBeforeConfirmation_data()
    {
        QTest::addColumn<QString>("list");       // "absent": the list cannot be loaded
        QTest::addColumn<QString>("localImage"); // "" none, else a path below the test folder
        QTest::addColumn<qint64>("romSize");     // -1 missing, -2 a folder
        QTest::addColumn<qint64>("extSize");     // -3: ext.bin not chosen
        QTest::addColumn<bool>("drive");
        QTest::addColumn<QString>("refusal"); // empty: the confirmation is reached; <dir> the test folder

        const qint64 maxRom = 8388608;
        QTest::newRow("local image missing")
            << "demo"
            << "none.img" << 1024ll << -3ll << true
            << "Die lokale Image-Datei „<dir>/none.img“ wurde nicht gefunden.";
        QTest::newRow("ROM is a folder")
            << "demo"
            << "" << -2ll << -3ll << true << "„<dir>/kick.rom“ ist ein Ordner, keine ROM-Datei.";
        QTest::newRow("ext.bin too large")
            << "demo"
            << "" << 1024ll << maxRom + 1 << true
            << "Die Erweiterungs-ROM-Datei „<dir>/ext.rom“ ist größer als 8 MiB.";
        QTest::newRow("largest Kickstart size, bad ext.bin not chosen")
            << "demo"
            << "" << 2097152ll << -3ll << true << QString();
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
                writeFile(path, QByteArray(size, '\0'));
            return path;
        };
        BoxAnswerer boxes(BoxAnswerer::No);
        auto window = openWindow(list);
        member<QLineEdit>(*window, "romEdit")->setText(userFile("kick.rom", romSize));
        member<QCheckBox>(*window, "useExtCheck")->setChecked(extSize != -3);
        member<QLineEdit>(*window, "extEdit")->setText(userFile("ext.rom", extSize == -3 ? -1 : extSize));
        if (!localImage.isEmpty())
            useLocalImage(*window, dir->filePath(localImage));
        if (!drive)
            member<QComboBox>(*window, "driveCombo")->setCurrentIndex(0);
        // What an earlier successful run left on screen.
        member<QLabel>(*window, "statusLabel")->setText("Fertig");
        member<QProgressBar>(*window, "progressBar")->setValue(100);
        const int first = logLength(*window);
        installAndWait(*window, boxes, 1);

        const QString driveText = member<QComboBox>(*window, "driveCombo")->currentText();
        refusal.replace("<dir>", dir->path());
        QCOMPARE(boxes.shown, QList<Shown>{refusal.isEmpty() ? confirmationBox(driveText, versionOf(*window))
                                                             : warningBox(refusal)});
        QCOMPARE(logFrom(*window, first), QStringList());
        // A refusal puts back the status from before the run.
        checkIdleAfterRun(*window, refusal.isEmpty() ? "Fertig" : "Bereit (2 Version(en) gefunden)",
                          refusal.isEmpty() ? 100 : 0);
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
            QStringLiteral("Installieren: Tobra Demo\n\nACHTUNG: Dieses Laufwerk ist mit %1 GB sehr groß für "
                           "eine Speicherkarte. Es "
                           "könnte eine externe Festplatte mit wichtigen Daten sein.\n\n%2\n\nAlle Daten "
                           "darauf werden unwiderruflich gelöscht. Wirklich fortfahren?")
                .arg(gigabytes, driveText),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No};
        QCOMPARE(boxes.shown,
                 QList<Shown>{gigabytes.isEmpty() ? confirmationBox(driveText, versionOf(*window)) : large});
        QCOMPARE(boxes.shown.first().buttonTexts,
                 (QStringList{"&Nicht installieren", "Karte &löschen und installieren"}));
        QCOMPARE(logFrom(*window, first), QStringList());
        checkIdleAfterRun(*window, QStringLiteral("Bereit (2 Version(en) gefunden)"), 0);
        QCOMPARE(imageRequests(), 0);
    }

    // Between the listing and Install the loop device is detached and its name given to another
    // file: the window lists afresh, says so, and nothing is written to the second disk.
    void refusesSwappedCard()
    {
        const QString firstFile = dir->filePath("first.img");
        const QString secondFile = dir->filePath("second.img");
        QVERIFY(makeCardFile(firstFile, cardBytes, {}));
        QVERIFY(writeFile(secondFile, randomBytes(cardBytes + 1024 * 1024, 7)));
        const QByteArray secondBefore = sha256Hex(readFile(secondFile));
        auto first = std::make_unique<LoopDevice>(firstFile);
        if (!first->isAttached())
            QSKIP(qPrintable(first->error()));
        const QString name = first->path();
        showAsRemovable({name});

        BoxAnswerer boxes;
        auto window = openWindow("demo", name);
        QCOMPARE(member<QComboBox>(*window, "driveCombo")->currentData().toString(), name);
        first.reset();
        QByteArray output;
        if (!runTool(systemTool("losetup"), {name, secondFile}, &output))
            QSKIP(qPrintable("cannot attach another file as " + name + ": " + output));
        const auto detach = qScopeGuard([&] { runTool(systemTool("losetup"), {"-d", name}); });
        const int firstLine = logLength(*window);
        installAndWait(*window, boxes, 1);

        const DriveInfo now = freshDrive(listDrives(), name);
        QCOMPARE(boxes.shown, QList<Shown>{warningBox(
                                  QStringLiteral("Unter %1 ist inzwischen eine andere Karte (%2). Bitte auf "
                                                 "„Aktualisieren“ klicken und die Auswahl prüfen.")
                                      .arg(name, now.label))});
        QCOMPARE(logFrom(*window, firstLine), QStringList());
        QCOMPARE(imageRequests(), 0);
        QCOMPARE(sha256Hex(readRange(name, 0, cardBytes + 1024 * 1024)), secondBefore);
    }

    // A cancel is calm: no red box, no "FEHLER:" line, the status "Abgebrochen", and the log
    // says what became of the card.
    // A server that stops sending: after a few seconds the status says that the download waits
    // for it, with the speed fallen, instead of the last speed and time left.
    void stalledDownloadSaysSo()
    {
        const std::unique_ptr<LoopDevice> loop = attachCard();
        if (!loop->isAttached())
            QSKIP(qPrintable(loop->error()));
        BoxAnswerer boxes;
        auto window = openWindow("demo", loop->path(), "/__q/stall=3000000/demo/images/");
        member<QPushButton>(*window, "installButton")->click();

        auto *status = member<QLabel>(*window, "statusLabel");
        QTRY_VERIFY_WITH_TIMEOUT(status->text().contains("warte auf den Server"), 20000);
        const QRegularExpression waiting(
            "^Lade Tobra Demo herunter und schreibe es auf die Karte … \\d von 37 MB · \\d+,\\d MB/s · warte "
            "auf den Server \\(seit 0:0\\d\\)$");
        QVERIFY2(waiting.match(status->text()).hasMatch(), qPrintable(status->text()));
        QTRY_VERIFY_WITH_TIMEOUT(status->text().contains("0,0 MB/s"), 10000);
        member<QPushButton>(*window, "cancelButton")->click();
        QTRY_COMPARE(status->text(), QStringLiteral("Abgebrochen"));
    }

    // A download cut off on the way says that the next attempt continues where this one stopped,
    // and offers it at once: the retry asks only for the rest.
    void interruptedDownloadOffersRetry()
    {
        BoxAnswerer boxes;
        boxes.retries = 1;
        const std::unique_ptr<LoopDevice> loop = attachCard();
        if (!loop->isAttached())
            QSKIP(qPrintable(loop->error()));
        auto window = openWindow("demo", loop->path(), "/__q/truncate=3000000/demo/images/");
        member<QCheckBox>(*window, "countCheck")->setChecked(false);
        installAndWait(*window, boxes, 3);

        for (const Shown &failure : boxes.shown.mid(1)) {
            QCOMPARE(failure.icon, QMessageBox::Critical);
            QVERIFY2(failure.text.startsWith("Download fehlgeschlagen: ") &&
                         failure.text.contains(
                             "\nDer nächste Versuch setzt dort fort, wo dieser aufgehört hat.\n"),
                     qPrintable(failure.text));
            QCOMPARE(failure.buttonTexts, (QStringList{"&Erneut versuchen", "&Schließen"}));
        }
        QList<HttpServer::Request> gets;
        for (const HttpServer::Request &request : newRequests("GET"))
            if (request.path.endsWith(".img"))
                gets << request;
        QCOMPARE(gets.size(), 2);
        QCOMPARE(gets.first().range, QString());
        QVERIFY2(gets.last().range.startsWith("bytes=") && gets.last().range != "bytes=0-",
                 qPrintable(gets.last().range));
        checkIdleAfterRun(*window, "Fehlgeschlagen", 0);
    }

    void cancelDuringDownload()
    {
        const std::unique_ptr<LoopDevice> loop = attachCard();
        if (!loop->isAttached())
            QSKIP(qPrintable(loop->error()));
        const LoopDevice &card = *loop;
        BoxAnswerer boxes;
        auto window = openWindow("demo", card.path(), "/__q/rate=2000000/demo/images/");
        member<QCheckBox>(*window, "countCheck")->setChecked(false); // three steps, no report
        const int first = logLength(*window);
        member<QPushButton>(*window, "installButton")->click();

        auto *progress = member<QProgressBar>(*window, "progressBar");
        QTRY_VERIFY_WITH_TIMEOUT(progress->value() > 0, 15000);
        checkProgressShown(*window, downloading, 2, 3);
        QCOMPARE(workLeftovers().size(), 1);
        QVERIFY(!member<QPushButton>(*window, "installButton")->isEnabled());
        // A second start while one runs is ignored without a word.
        QVERIFY(QMetaObject::invokeMethod(window.get(), "install"));
        QTest::qWait(100);
        QCOMPARE(boxes.shown.size(), 1);
        FakeNotifications notifications;
        const bool notifying = sessionBus->serveNotifications(notifications, QStringLiteral("notifications"));
        member<QPushButton>(*window, "cancelButton")->click();
        QTRY_COMPARE(member<QLabel>(*window, "statusLabel")->text(), QStringLiteral("Abgebrochen"));
        // The desktop hears of the end where it has a notification service.
        if (notifying)
            QTRY_COMPARE(notifications.shown,
                         QStringList({title, "Installation abgebrochen", "Abgebrochen. " + unfinished}));
        QDBusConnection::disconnectFromBus(QStringLiteral("notifications"));

        QTest::qWait(100);
        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(logFrom(*window, first),
                 (QStringList{checking, downloading, cancelRequested, "Abgebrochen. " + unfinished}));
        checkIdleAfterRun(*window, "Abgebrochen", 0);
    }

    // A card that takes 2 MB/s: the pass is still writing when the user cancels.
    void cancelDuringWriting()
    {
        SlowCard card(dir->path());
        if (!card.error().isEmpty())
            QSKIP(qPrintable(card.error()));
        showAsRemovable({card.path()});

        BoxAnswerer boxes;
        auto window = openWindow("demo", card.path());
        useLocalImage(*window, demoPath());
        const int first = logLength(*window);
        installUntilWriting(*window);
        checkProgressShown(*window, writing, 2, 3);
        member<QPushButton>(*window, "cancelButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(member<QLabel>(*window, "statusLabel")->text(),
                                  QStringLiteral("Abgebrochen"), 30000);

        QTest::qWait(100);
        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(logFrom(*window, first),
                 (QStringList{checking, writing, cancelRequested, "Abgebrochen. " + unfinished}));
        checkIdleAfterRun(*window, "Abgebrochen", 0);
    }

    // SIGTERM during a write ends the window as a close would: helper stopped, folder gone.
    void endsOnTerminationSignal()
    {
        SlowCard card(dir->path());
        if (!card.error().isEmpty())
            QSKIP(qPrintable(card.error()));
        showAsRemovable({card.path()});

        BoxAnswerer boxes;
        auto window = openWindow("demo", card.path());
        useLocalImage(*window, demoPath());
        installUntilWriting(*window);
        QCOMPARE(workLeftovers().size(), 1);
        ::raise(SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 30000);

        QCOMPARE(boxes.shown.size(), 1);
        QCOMPARE(workLeftovers(), QStringList());
        const int fd = ::open(QFile::encodeName(card.path()).constData(), O_RDONLY | O_EXCL | O_CLOEXEC);
        QVERIFY2(fd >= 0, "the helper still holds the card");
        ::close(fd);
    }

    // An ordinary user's run goes through the real pkexec, allowed by a polkit rule, to the
    // helper as root. pkexec gives the helper a clean PATH, so the real lsblk shows the loop
    // device as what it is and the helper refuses it.
    void unprivilegedThroughPkexec()
    {
        const passwd *nobody = nullptr;
        const QString missing = unprivilegedRunMissing(&nobody);
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing));
        const QString cardPath = dir->filePath("card.img");
        QVERIFY(makeCardFile(cardPath, cardBytes, {}));
        LoopDevice card(cardPath);
        if (!card.isAttached())
            QSKIP(qPrintable(card.error()));

        int exitCode = -1;
        const QString output =
            runAsNobody(nobody, card.path(),
                        {qEnvironmentVariable("TOBRA_TEST_SUPPORT") + "/as-user-with-polkit.sh",
                         QString::number(nobody->pw_uid), QString::number(nobody->pw_gid)},
                        &exitCode);
        if (exitCode == 77)
            QSKIP(qPrintable("polkit could not be set up: " + output));
        QVERIFY2(exitCode == 0, qPrintable(output));

        const QStringList lines = output.split('\n', Qt::SkipEmptyParts);
        QVERIFY2(lines.size() >= 4, qPrintable(output));
        // The password is asked while checking, before anything is read; the card stays as it was.
        const int note = lines.indexOf(passwordNote);
        QVERIFY2(note > 0 && lines.at(note - 1) == checking, qPrintable(output));
        QVERIFY2(lines.at(note + 1).startsWith("FEHLER: " + card.path() + " ist kein erlaubtes Ziel"),
                 qPrintable(output));
        QCOMPARE(lines.constLast(), unchanged);
        QCOMPARE(QDir(dir->filePath("home/cache/TobraInstaller/work"))
                     .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                     .join(","),
                 QString());
    }

    // Without a system bus pkexec cannot ask at all: that is no refused password, and pkexec's
    // own line is in the log.
    void passwordPromptUnavailable()
    {
        const passwd *nobody = nullptr;
        const QString missing = unprivilegedRunMissing(&nobody);
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing));
        const QString cardPath = dir->filePath("card.img");
        QVERIFY(makeCardFile(cardPath, cardBytes, {}));
        LoopDevice card(cardPath);
        if (!card.isAttached())
            QSKIP(qPrintable(card.error()));

        const QString noBus = QString("mount --make-rprivate / && mkdir -p /run/dbus && "
                                      "mount -t tmpfs tmpfs /run/dbus && exec setpriv --reuid=%1 --regid=%2 "
                                      "--clear-groups \"$@\"")
                                  .arg(nobody->pw_uid)
                                  .arg(nobody->pw_gid);
        int exitCode = -1;
        const QString output = runAsNobody(nobody, card.path(), {"/bin/sh", "-c", noBus, "sh"}, &exitCode);
        QVERIFY2(exitCode == 0, qPrintable(output));
        const QStringList lines = output.split('\n', Qt::SkipEmptyParts);
        QVERIFY2(lines.size() >= 5, qPrintable(output));
        const QString text = QStringLiteral(
            "Die Passwortabfrage konnte nicht gezeigt werden: Es läuft kein polkit-Dienst oder kein "
            "Authentifizierungsagent. Bitte polkit und den Authentifizierungsagenten der Arbeitsumgebung "
            "installieren und starten, oder den Installer als root starten.");
        QVERIFY2(lines.at(lines.size() - 5).startsWith("pkexec: Error getting authority"),
                 qPrintable(output));
        QCOMPARE(lines.mid(lines.size() - 4),
                 (QStringList{"FEHLER: " + text, unchanged, "box: " + text, unchanged}));
        QCOMPARE(sha256Hex(readRange(card.path(), 0, cardBytes)), sha256Hex(QByteArray(cardBytes, '\0')));
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
