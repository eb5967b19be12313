// SPDX-License-Identifier: GPL-3.0-or-later
// The installer without a window, run as a user would run it: the built program with --cli,
// the demonstration image and ROM files, loop devices shown as removable cards, the version list
// and image from the local HTTP server.
#include "installfixture.h"
#include "mounts.h"
#include "removablelsblk.h"
#include "testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>
#include <csignal>
#include <pwd.h>
#include <unistd.h>

namespace {

const QString helpHint = QStringLiteral("„tobra-installer --cli --help“ zeigt die Optionen.");
const QString doneText = QStringLiteral("Fertig! Die Karte wurde geschrieben und geprüft.\nSie kann jetzt "
                                        "entfernt und in den Raspberry Pi gesteckt werden.\n");
const QByteArray cardMarker = randomBytes(4096, 7); // what the card holds before a run

struct Run
{
    int exitCode = -1; // -1: ended by a signal or not at all
    QString out;
    QString err;
};

Run finish(QProcess &process, int timeoutMs = 120000)
{
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

// Starts "tobra-installer --cli ARGUMENTS"; standard input is an empty pipe, not a terminal.
void startCli(QProcess &process, const QStringList &arguments,
              const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    process.setProcessEnvironment(environment);
    process.start(qEnvironmentVariable("TOBRA_INSTALLER"), QStringList{"--cli"} + arguments);
    process.closeWriteChannel();
}

Run runCli(const QStringList &arguments,
           const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    startCli(process, arguments, environment);
    return finish(process);
}

// What the program wrote without a terminal, without its progress lines ("<step>  42 %  …").
QString withoutProgress(const QString &out)
{
    QStringList lines = out.split('\n');
    lines.removeIf([](const QString &line) { return line.contains("  "); });
    return lines.join('\n');
}

// The percentages of the step's progress lines, in order.
QList<int> percentsOf(const QString &out, const QString &step)
{
    static const QRegularExpression percent("^  (\\d+) %");
    QList<int> percents;
    for (const QString &line : out.split('\n'))
        if (line.startsWith(step + "  "))
            percents << percent.match(line.mid(step.size())).captured(1).toInt();
    return percents;
}

// Process ids of running write helpers for the device.
QStringList helpersFor(const QString &device)
{
    QStringList found;
    for (const QString &pid : QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs)) {
        const QList<QByteArray> arguments = readFile("/proc/" + pid + "/cmdline").split('\0');
        if (arguments.contains("--write-helper") && arguments.contains(device.toUtf8()))
            found << pid;
    }
    return found;
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir fixtures; // demo/ from make-demo.sh, served over HTTP
    std::unique_ptr<HttpServer> server;
    std::unique_ptr<QTemporaryDir> dir; // per test: the card file and TMPDIR

    QString demoPath() const { return fixtures.filePath("demo/images/" + demoImage); }
    QString rom() const { return fixtures.filePath("demo/roms/kick-demo.rom"); }
    QString ext() const { return fixtures.filePath("demo/roms/ext-demo.rom"); }

    // The program's environment: the device a removable card, private temporary and cache folders.
    QProcessEnvironment environmentFor(const QString &device) const
    {
        return environmentFor(QStringList{device});
    }
    QProcessEnvironment environmentFor(const QStringList &devices) const
    {
        QProcessEnvironment environment = environmentWithRemovable(devices);
        environment.insert("TMPDIR", dir->path());
        environment.insert("XDG_CACHE_HOME", dir->filePath("cache"));
        return environment;
    }

    // A card file of the given size that starts with the marker.
    bool makeCard(const QString &path, qint64 size) const
    {
        QFile card(path);
        return card.open(QIODevice::WriteOnly) && card.write(cardMarker) == cardMarker.size() &&
               card.resize(size);
    }

    QString scratch() const { return dir->filePath("from-card.bin"); }

    // Cards on loop devices that start with the marker; the reason when one cannot be attached.
    QString attachMarkedCards(int count, std::vector<std::unique_ptr<LoopDevice>> *loops) const
    {
        for (int i = 0; i < count; ++i) {
            const QString cardPath = dir->filePath(QString("card%1.img").arg(i));
            if (!makeCard(cardPath, cardBytes))
                return "cannot make " + cardPath;
            loops->push_back(std::make_unique<LoopDevice>(cardPath));
            if (!loops->back()->isAttached())
                return loops->back()->error();
        }
        return QString();
    }

    QStringList installArguments(const QString &device, const QStringList &more) const
    {
        return QStringList{"--device", device, "--rom", rom()} + more;
    }

    QStringList fromServer(const QStringList &more = {}) const
    {
        return QStringList{"--config-url", server->url("/demo/tobra.json").toString(), "--image-base",
                           server->url("/demo/images/").toString()} +
               more;
    }

    int counterReports() const { return server->requests("POST").size(); }

    // The label --list-drives gives each of the devices, in their order.
    QStringList labelsOf(const QStringList &devices) const
    {
        QMap<QString, QString> labels;
        for (const QString &line : runCli({"--list-drives"}, environmentFor(devices)).out.split('\n'))
            labels.insert(line.section('\t', 0, 0), line.section('\t', 2));
        QStringList result;
        for (const QString &device : devices)
            result << labels.value(device);
        return result;
    }

    // "--device" before each device.
    static QStringList deviceArguments(const QStringList &devices)
    {
        QStringList arguments;
        for (const QString &device : devices)
            arguments << "--device" << device;
        return arguments;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("TOBRA_INSTALLER"))
            QSKIP("TOBRA_INSTALLER does not name the built installer");
        for (const char *tool : {"sfdisk", "mkfs.fat", "mmd", "mcopy"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                QSKIP(qPrintable(QString("needs %1 (packages fdisk, dosfstools, mtools)").arg(tool)));
        QVERIFY(makeDemo(fixtures.filePath("demo")));
        QVERIFY(writeFile(fixtures.filePath("two.json"), R"({"schema": 1, "versions": [
            {"title": "Tobra 1.2", "image": "a.img"}, {"title": "Tobra <1.1> & mehr", "image": "b.img"}]})"));
        // A title that would set the terminal's title, clear the screen and hide what follows.
        QVERIFY(writeFile(
            fixtures.filePath("escapes.json"),
            "{\"schema\": 1, \"versions\": [{\"title\": "
            "\"\\u001b]0;Titel\\u0007Tobra\\u001b[2J\\u001b[8m\\u202e 2\", \"image\": \"a.img\"}]}"));
        server = std::make_unique<HttpServer>(fixtures.path());
        QVERIFY2(server->isRunning(), qPrintable(server->errorString()));
        qputenv("MTOOLS_SKIP_CHECK", "1");
    }

    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
    }

    // No working folder is left behind, whatever the run's end (a verified download stays cached).
    void cleanup()
    {
        QDirIterator files(dir->path(), QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            QVERIFY2(!path.contains("/TobraInstaller/work/"), qPrintable(path));
        }
        dir.reset();
    }

    void wrongUsage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        const QStringList card{"--device", "/dev/tobratest9", "--rom", "kick.rom"};
        QTest::newRow("no device")
            << QStringList{"--rom", "kick.rom", "--yes"}
            << "Bitte mit --device die Speicherkarte angeben (--list-drives zeigt sie).";
        QTest::newRow("no ROM") << QStringList{"--device", "/dev/tobratest9", "--yes"}
                                << "Bitte mit --rom die Kickstart-ROM-Datei angeben.";
        QTest::newRow("image and title") << card + QStringList{"--image", "a.img", "--title", "T", "--yes"}
                                         << "Bitte entweder --image oder --title angeben, nicht beides.";
        QTest::newRow("no --yes without a terminal") << card
                                                     << "Ohne Terminal kann nicht nachgefragt werden: Mit "
                                                        "--yes wird die Karte ohne Rückfrage gelöscht.";
        QTest::newRow("both lists") << QStringList{"--list-drives", "--list-versions"}
                                    << "--list-drives und --list-versions bitte einzeln aufrufen.";
        QTest::newRow("a list and the cache") << QStringList{"--list-drives", "--clear-cache"}
                                              << "--list-drives und --clear-cache bitte einzeln aufrufen.";
        QTest::newRow("stray argument")
            << card + QStringList{"--yes", "/dev/sdz"} << "Unerwartetes Argument: /dev/sdz";
        QTest::newRow("unknown option") << QStringList{"--bogus"} << "Unbekannte Option 'bogus'.";
        QTest::newRow("option without value") << QStringList{"--device"} << "Nach '--device' fehlt der Wert.";
    }

    // Exit code 2 and the reason, before any drive or list is looked at.
    void wrongUsage()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        const Run run = runCli(arguments);
        QCOMPARE(run.exitCode, 2);
        QCOMPARE(run.err, message + "\n" + helpHint + "\n");
        QCOMPARE(run.out, QString());
    }

    void help()
    {
        const Run run = runCli({"--help"});
        QCOMPARE(run.exitCode, 0);
        const QString help = run.out.simplified();
        for (const char *option : {"--device <gerät>", "--rom <datei>", "--ext <datei>", "--image <datei>",
                                   "--title <titel>", "--config-url <url>", "--image-base <url>", "--count",
                                   "--yes", "--list-drives", "--list-versions", "tobra-installer --cli"})
            QVERIFY2(help.contains(QString::fromUtf8(option)), option);
    }

    void listVersions_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("two titles, as typed") << "/two.json" << 0 << "Tobra 1.2\nTobra <1.1> & mehr\n"
                                              << "";
        QTest::newRow("missing list")
            << "/none.json" << 1 << ""
            << "Fehler beim Laden der Versionsliste: Error transferring " +
                   server->url("/none.json").toString() + " - server replied: Not Found\n";
        QTest::newRow("title with terminal controls") << "/escapes.json" << 0 << "]0;TitelTobra[2J[8m 2\n"
                                                      << "";
        QTest::newRow("endless list") << "/two.json?endless=1" << 1 << ""
                                      << "Die Versionsliste ist größer als 1 MiB und wird nicht gelesen.\n";
    }

    void listVersions()
    {
        QFETCH(QString, path);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        const Run run = runCli({"--list-versions", "--config-url", server->url(path).toString()},
                               environmentFor("/dev/tobratest9"));
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.out, out);
        QCOMPARE(run.err, err);
    }

    // Path, size in bytes and label of each removable disk; the loop device is one here.
    void listDrives()
    {
        const QString cardPath = dir->filePath("card.img");
        QVERIFY(makeCardFile(cardPath, cardBytes, {}));
        LoopDevice card(cardPath);
        if (!card.isAttached())
            QSKIP(qPrintable(card.error()));
        const Run run = runCli({"--list-drives"}, environmentFor(card.path()));
        QCOMPARE(run.exitCode, 0);
        const QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1);
        const QStringList fields = lines.first().split('\t');
        QCOMPARE(fields.size(), 3);
        QCOMPARE(fields.at(0), card.path());
        QCOMPARE(fields.at(1), QString::number(cardBytes));
        QVERIFY2(fields.at(2).endsWith(card.path()), qPrintable(fields.at(2)));
    }

    void installs_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("withExt");
        QTest::addColumn<int>("reports");
        QTest::addColumn<QStringList>("lines"); // the steps and log lines before the final text

        const QStringList written{"Rom/rom.bin geschrieben (0,3 MB)"};
        const QStringList writeAndVerify{"Prüfe die Karte …", "Installation abgeschlossen."};
        const QString sha = sha256Hex(readFile(demoPath()));
        const QStringList download{"Lade Tobra Demo herunter und schreibe es auf die Karte …",
                                   "Download fertig, SHA-256 " + sha, "Prüfsumme stimmt."};
        QTest::newRow("local image with ext.bin")
            << QStringList{"--image", demoPath(), "--ext", ext()} << true << 0
            << QStringList{"Prüfe Karte und Speicherplatz …", "Schreibe das lokale Image auf die Karte …"} +
                   written + QStringList{"Rom/ext.bin geschrieben (0,5 MB)"} + writeAndVerify;
        QTest::newRow("first version of the list, counted")
            << fromServer({"--count"}) << false << 1
            << QStringList{"Prüfe Karte und Speicherplatz …"} + download + written + writeAndVerify;
        QTest::newRow("version by title, not counted")
            << fromServer({"--title", " Tobra Demo "}) << false << 0
            << QStringList{"Prüfe Karte und Speicherplatz …"} + download + written + writeAndVerify;
    }

    // Plain lines without a terminal; the card holds the image with the user's ROM files.
    void installs()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, withExt);
        QFETCH(int, reports);
        QFETCH(QStringList, lines);

        const QString cardPath = dir->filePath("card.img");
        QVERIFY(makeCard(cardPath, cardBytes));
        LoopDevice card(cardPath);
        if (!card.isAttached())
            QSKIP(qPrintable(card.error()));
        const int reportsBefore = counterReports();

        const Run run = runCli(installArguments(card.path(), arguments + QStringList{"--yes"}),
                               environmentFor(card.path()));
        QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
        QCOMPARE(withoutProgress(run.out), lines.join('\n') + '\n' + doneText);
        QCOMPARE(run.err, QString());
        // How far the read-back has come shows at least every 10 % (a chunk may pass a little more).
        const QList<int> written = percentsOf(run.out, "Prüfe die Karte …");
        QVERIFY2(!written.isEmpty() && written.first() <= 20 && written.last() == 100, qPrintable(run.out));
        for (int i = 1; i < written.size(); ++i)
            QVERIFY2(written.at(i) > written.at(i - 1) && written.at(i) - written.at(i - 1) <= 20,
                     qPrintable(run.out));

        QCOMPARE(cardFile(card.path(), "Rom/rom.bin", scratch()), readFile(rom()));
        QCOMPARE(cardFile(card.path(), "Rom/ext.bin", scratch()).startsWith("mcopy failed"), !withExt);
        if (withExt)
            QCOMPARE(cardFile(card.path(), "Rom/ext.bin", scratch()), readFile(ext()));
        QCOMPARE(cardFile(card.path(), "README.TXT", scratch()), QByteArray("Tobra demonstration image\r\n"));
        QTRY_COMPARE(counterReports() - reportsBefore, reports);
        if (reports)
            QCOMPARE(server->requests("POST").last().body, QByteArray("image=tobra-demo.img"));
    }

    // Started as root through pkexec or sudo, the installer inherits their PKEXEC_UID and
    // SUDO_UID; the helper it starts itself still reads root's private working copy as root.
    void rootWithALaunchersVariables()
    {
        if (::geteuid() != 0)
            QSKIP("needs root");
        const passwd *nobody = ::getpwnam("nobody");
        if (!nobody)
            QSKIP("needs the user nobody");
        const QString cardPath = dir->filePath("card.img");
        QVERIFY(makeCard(cardPath, cardBytes));
        LoopDevice card(cardPath);
        if (!card.isAttached())
            QSKIP(qPrintable(card.error()));
        QProcessEnvironment environment = environmentFor(card.path());
        for (const char *variable : {"PKEXEC_UID", "SUDO_UID"})
            environment.insert(variable, QString::number(nobody->pw_uid));
        environment.insert("SUDO_GID", QString::number(nobody->pw_gid));

        const Run run = runCli(installArguments(card.path(), {"--image", demoPath(), "--yes"}), environment);
        QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
        QCOMPARE(cardFile(card.path(), "Rom/rom.bin", scratch()), readFile(rom()));
    }

    void counterNeverHoldsTheEnd_data()
    {
        QTest::addColumn<QString>("counter");
        QTest::newRow("silent counter") << "silent";
        QTest::newRow("endless answer") << "endless";
    }

    // The result shows at once, and the program ends a short moment later, whatever the counter
    // does with the report.
    void counterNeverHoldsTheEnd()
    {
        QFETCH(QString, counter);
        const QString cardPath = dir->filePath("card.img");
        QVERIFY(makeCard(cardPath, cardBytes));
        LoopDevice card(cardPath);
        if (!card.isAttached())
            QSKIP(qPrintable(card.error()));
        const int reportsBefore = counterReports();

        QProcess process;
        const QString list = server->url("/__q/onpost=" + counter + "/demo/tobra.json").toString();
        startCli(process,
                 installArguments(card.path(), {"--config-url", list, "--image-base",
                                                server->url("/demo/images/").toString(), "--count", "--yes"}),
                 environmentFor(card.path()));
        QString out;
        QTRY_VERIFY_WITH_TIMEOUT(
            (out += QString::fromUtf8(process.readAllStandardOutput())).contains("Fertig!"), 120000);
        QElapsedTimer sinceEnd;
        sinceEnd.start();
        const Run run = finish(process);
        QVERIFY2(sinceEnd.elapsed() < 5000, qPrintable(QString::number(sinceEnd.elapsed())));
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(counterReports() - reportsBefore, 1);
        QCOMPARE(server->requests("POST").last().body, QByteArray("image=tobra-demo.img"));
    }

    // Paths relative to the current folder are files there; a list from a file never reports
    // to the counter.
    void relativePaths()
    {
        const QString cardPath = dir->filePath("card.img");
        QVERIFY(makeCard(cardPath, cardBytes));
        LoopDevice card(cardPath);
        if (!card.isAttached())
            QSKIP(qPrintable(card.error()));
        const int reportsBefore = counterReports();
        QProcess process;
        process.setWorkingDirectory(fixtures.path());
        startCli(process,
                 installArguments(card.path(), {"--config-url", "demo/tobra.json", "--image-base",
                                                "demo/images", "--count", "--yes"}),
                 environmentFor(card.path()));
        const Run run = finish(process);
        QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
        QVERIFY2(run.out.endsWith(doneText), qPrintable(run.out));
        QCOMPARE(cardFile(card.path(), "Rom/rom.bin", scratch()), readFile(rom()));
        QTest::qWait(500);
        QCOMPARE(counterReports(), reportsBefore);
    }

    // Without a network the list last loaded from the same address is used, so a cached image
    // can still be installed; emptying the cache then leaves nothing to install from.
    void offlineWithTheListLastLoaded()
    {
        const QString cardPath = dir->filePath("card.img");
        QVERIFY(makeCard(cardPath, cardBytes));
        LoopDevice card(cardPath);
        if (!card.isAttached())
            QSKIP(qPrintable(card.error()));
        const QString folder = QFileInfo(dir->path()).fileName();
        QVERIFY(QDir(fixtures.path()).mkdir(folder));
        const QString list = fixtures.filePath(folder + "/tobra.json");
        QVERIFY(QFile::copy(fixtures.filePath("demo/tobra.json"), list));
        const QString listUrl = server->url("/" + folder + "/tobra.json").toString();
        const QStringList online{"--config-url", listUrl, "--image-base",
                                 server->url("/demo/images/").toString()};
        QVERIFY(
            runCli(installArguments(card.path(), online + QStringList{"--yes"}), environmentFor(card.path()))
                .exitCode == 0);

        QVERIFY(QFile::remove(list));
        const QStringList offline{"--config-url", listUrl, "--image-base", server->url("/gone/").toString(),
                                  "--yes"};
        Run run = runCli(installArguments(card.path(), offline), environmentFor(card.path()));
        QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
        static const QRegularExpression keptNote("^Fehler beim Laden der Versionsliste: .*Not Found\n"
                                                 "Es gilt die Versionsliste vom \\d\\d\\.\\d\\d\\.\\d{4}, "
                                                 "\\d\\d:\\d\\d \\(zuletzt geladen\\)\\.\n$");
        QVERIFY2(keptNote.match(run.err).hasMatch(), qPrintable(run.err));
        QVERIFY2(run.out.contains("Das Image wird aus dem Cache genommen"), qPrintable(run.out));

        run = runCli({"--clear-cache"}, environmentFor(card.path()));
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, QStringLiteral("Cache geleert: 36,7 MB freigegeben.\n"));
        run = runCli(installArguments(card.path(), offline), environmentFor(card.path()));
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("Download fehlgeschlagen"), qPrintable(run.err));
    }

    // A list server that does not answer is given up after 15 s.
    void silentListServer()
    {
        QElapsedTimer clock;
        clock.start();
        const Run run =
            runCli({"--list-versions", "--config-url", server->url("/two.json?stall=silent").toString()},
                   environmentFor("/dev/tobratest9"));
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.startsWith("Fehler beim Laden der Versionsliste: "), qPrintable(run.err));
        // The limit is a coarse timer, which may fire up to 5 % early.
        QVERIFY2(clock.elapsed() >= 14000 && clock.elapsed() < 40000,
                 qPrintable(QString::number(clock.elapsed())));
    }

    void refused_data()
    {
        QTest::addColumn<qint64>("cardSize");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message"); // the start of what the program says
        QTest::addColumn<QString>("ending");  // and its end

        const QString none;
        QTest::newRow("card too small")
            << qint64(16 * 1024 * 1024) << QStringList{"--image", demoPath()}
            << "FEHLER: Das Image (36,7 MB) ist größer als die Speicherkarte (16,8 MB)." << none;
        QTest::newRow("unknown title")
            << cardBytes << fromServer({"--title", "Tobra 9"})
            << "Die Version „Tobra 9“ steht nicht in der Versionsliste (--list-versions zeigt die Titel)."
            << none;
        QTest::newRow("file name with terminal controls")
            << cardBytes
            << QStringList{"--image", demoPath(), "--rom", "/nowhere/\x1b]0;x\x07\x1b[2J\u202e.rom"}
            << "Die ROM-Datei „/nowhere/]0;x[2J.rom“ wurde nicht gefunden.\n"
            << none;
        QTest::newRow("ROM missing") << cardBytes
                                     << QStringList{"--image", demoPath(), "--rom", "/nowhere.rom"}
                                     << "Die ROM-Datei „/nowhere.rom“ wurde nicht gefunden." << none;
        QTest::newRow("local image missing")
            << cardBytes << QStringList{"--image", "/nowhere.img"}
            << "Die lokale Image-Datei „/nowhere.img“ wurde nicht gefunden." << none;
        QTest::newRow("list unavailable")
            << cardBytes << QStringList{"--config-url", server->url("/none.json").toString()}
            << "Fehler beim Laden der Versionsliste: " << none;
        // A download cut off on the way can be tried again at once, and continues.
        QTest::newRow("download cut off")
            << cardBytes
            << QStringList{"--config-url", server->url("/demo/tobra.json").toString(), "--image-base",
                           server->url("/__q/truncate=3000000/demo/images/").toString()}
            << "FEHLER: Download fehlgeschlagen: "
            << "\nDer nächste Versuch setzt dort fort, wo dieser aufgehört hat.\nDie Karte wurde nicht "
               "verändert.\n"
               "Hinweis: Ein erneuter Aufruf desselben Befehls versucht es sofort noch einmal.\n";
    }

    // Exit code 1 and the reason; the card keeps what it held.
    void refused()
    {
        QFETCH(qint64, cardSize);
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QFETCH(QString, ending);

        const QString cardPath = dir->filePath("card.img");
        QVERIFY(makeCard(cardPath, cardSize));
        LoopDevice card(cardPath);
        if (!card.isAttached())
            QSKIP(qPrintable(card.error()));
        const Run run = runCli(installArguments(card.path(), arguments + QStringList{"--yes"}),
                               environmentFor(card.path()));
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.startsWith(message) && run.err.endsWith(ending), qPrintable(run.err));
        QCOMPARE(readRange(card.path(), 0, cardMarker.size()), cardMarker);
    }

    void installsOntoThreeCards_data()
    {
        QTest::addColumn<bool>("failing"); // the middle card fails with EIO half-way
        QTest::newRow("all verified") << false;
        QTest::newRow("one card fails") << true;
    }

    // --device three times: one download for all, a line per card at the end, exit code 0 only
    // when every card is verified, and the counter told once per verified card.
    void installsOntoThreeCards()
    {
        QFETCH(bool, failing);
        FaultyDisk::Options options = failingHalfWay();
        if (!failing)
            options.failAfter = -1;
        FaultyCard middle(dir->path(), options);
        if (!middle.error().isEmpty())
            QSKIP(qPrintable(middle.error()));
        std::vector<std::unique_ptr<LoopDevice>> loops;
        const QString missing = attachMarkedCards(2, &loops);
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing));
        const QStringList cards{loops.front()->path(), middle.path(), loops.back()->path()};
        const QStringList labels = labelsOf(cards);
        const int reportsBefore = counterReports();
        const int requestsBefore = server->requests("GET").size();

        const Run run =
            runCli(deviceArguments(cards) + QStringList{"--rom", rom(), "--count", "--yes"} + fromServer(),
                   environmentFor(cards));
        QCOMPARE(run.exitCode, failing ? 1 : 0);
        QStringList lines;
        for (const QString &label : labels)
            lines << label + ": geschrieben und geprüft.";
        if (failing) {
            QVERIFY2(run.err.startsWith("FEHLER: 2 von 3 Karten sind geschrieben und geprüft:\n" +
                                        lines.at(0) + "\n" + labels.at(1) + ": nicht fertig – "),
                     qPrintable(run.err));
            QVERIFY2(
                run.err.endsWith("Die Karte ist unvollständig beschrieben, startet so nicht und muss neu "
                                 "bespielt werden.\n" +
                                 lines.at(2) + "\n"),
                qPrintable(run.err));
            QCOMPARE(readRange(middle.path(), 0, partitionOffset), QByteArray(partitionOffset, '\0'));
        } else {
            QVERIFY2(
                run.out.endsWith("Alle 3 Karten sind geschrieben und geprüft:\n" + lines.join('\n') + "\n"),
                qPrintable(run.out));
            QCOMPARE(cardFile(middle.path(), "Rom/rom.bin", scratch()), readFile(rom()));
        }
        for (const auto &loop : loops)
            QCOMPARE(cardFile(loop->path(), "Rom/rom.bin", scratch()), readFile(rom()));
        // The list and the image, once each.
        QCOMPARE(server->requests("GET").size() - requestsBefore, 2);
        QTRY_COMPARE(counterReports() - reportsBefore, failing ? 2 : 3);
    }

    // The same card twice is refused before anything is written.
    void refusesTheSameCardTwice()
    {
        const QString cardPath = dir->filePath("card.img");
        QVERIFY(makeCard(cardPath, cardBytes));
        LoopDevice card(cardPath);
        if (!card.isAttached())
            QSKIP(qPrintable(card.error()));
        const Run run = runCli(deviceArguments({card.path(), card.path()}) +
                                   QStringList{"--rom", rom(), "--image", demoPath(), "--yes"},
                               environmentFor(card.path()));
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.err, "Die Speicherkarte " + card.path() + " ist mehrfach ausgewählt.\n");
        QCOMPARE(readRange(card.path(), 0, cardMarker.size()), cardMarker);
    }

    // Only disks that the drive rules offer are written: here no disk is removable.
    void refusesADiskNotOffered()
    {
        const Run run = runCli(installArguments("/dev/zero", {"--image", demoPath(), "--yes"}),
                               environmentFor("/dev/tobratest9"));
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.err,
                 QStringLiteral("/dev/zero ist keine angebotene Speicherkarte; nur Wechseldatenträger "
                                "werden beschrieben (--list-drives zeigt sie).\n"));
    }

    // On a terminal the program asks first, and shows one line per step that it redraws.
    void asksOnATerminal_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("no") << QByteArray("n\n");
        QTest::newRow("nothing") << QByteArray("\n");
        QTest::newRow("yes") << QByteArray("j\n");
        QTest::newRow("Ctrl+C") << QByteArray("\x03");
    }

    void asksOnATerminal()
    {
        QFETCH(QByteArray, answer);
        const QString script = QStandardPaths::findExecutable("script");
        if (script.isEmpty())
            QSKIP("needs script (package bsdutils) for a terminal");
        const QString cardPath = dir->filePath("card.img");
        QVERIFY(makeCard(cardPath, cardBytes));
        LoopDevice card(cardPath);
        if (!card.isAttached())
            QSKIP(qPrintable(card.error()));

        QProcess process;
        process.setProcessEnvironment(environmentFor(card.path()));
        QStringList command{qEnvironmentVariable("TOBRA_INSTALLER"), "--cli"};
        command << installArguments(card.path(), {"--image", demoPath()});
        process.start(script, {"-qec", command.join(' '), "/dev/null"});
        QVERIFY(process.waitForStarted());
        // Answered once asked: a Ctrl+C before would meet a program not yet listening.
        QString asked;
        QTRY_VERIFY_WITH_TIMEOUT(
            (asked += QString::fromUtf8(process.readAllStandardOutput())).contains("[j/N] "), 60000);
        process.write(answer);
        process.closeWriteChannel();
        Run run = finish(process);
        run.out.prepend(asked);

        // One line names the image and the card.
        const QRegularExpression question("^„" + QRegularExpression::escape(demoImage) + "“ auf „[^\n]*" +
                                          QRegularExpression::escape(card.path()) +
                                          "“ schreiben und alle Daten darauf löschen\\? \\[j/N\\] ");
        QVERIFY2(question.match(run.out).hasMatch(), qPrintable(run.out));
        const bool yes = answer == "j\n";
        const bool interrupted = answer == "\x03";
        QCOMPARE(run.exitCode, yes ? 0 : interrupted ? 130 : 1);
        if (interrupted) {
            QVERIFY2(run.out.contains("Abgebrochen; die Karte ist unverändert."), qPrintable(run.out));
            QCOMPARE(readRange(card.path(), 0, cardMarker.size()), cardMarker);
            return;
        }
        if (!yes) {
            QVERIFY2(run.out.contains("Nicht installiert; die Karte ist unverändert."), qPrintable(run.out));
            QCOMPARE(readRange(card.path(), 0, cardMarker.size()), cardMarker);
            return;
        }
        // Redrawn in place; the speed needs more time than a loop card takes.
        QVERIFY2(run.out.contains(
                     QRegularExpression("\r\x1b\\[KSchreibe das lokale Image auf die Karte …[^\r]*  100 %")),
                 qPrintable(run.out));
        QCOMPARE(cardFile(card.path(), "Rom/rom.bin", scratch()), readFile(rom()));
    }

    // With several cards the question names each of them, and a "no" leaves them all as they were.
    void asksForEveryCard()
    {
        const QString script = QStandardPaths::findExecutable("script");
        if (script.isEmpty())
            QSKIP("needs script (package bsdutils) for a terminal");
        std::vector<std::unique_ptr<LoopDevice>> loops;
        const QString missing = attachMarkedCards(3, &loops);
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing));
        const QStringList devices = pathsOf(loops);
        QProcess process;
        process.setProcessEnvironment(environmentFor(devices));
        const QStringList command = QStringList{qEnvironmentVariable("TOBRA_INSTALLER"), "--cli"} +
                                    deviceArguments(devices) +
                                    QStringList{"--rom", rom(), "--image", demoPath()};
        process.start(script, {"-qec", command.join(' '), "/dev/null"});
        QVERIFY(process.waitForStarted());
        QString asked;
        QTRY_VERIFY_WITH_TIMEOUT(
            (asked += QString::fromUtf8(process.readAllStandardOutput())).contains("[j/N] "), 60000);
        process.write("n\n");
        process.closeWriteChannel();
        const Run run = finish(process);

        QStringList lines;
        for (const QString &label : labelsOf(devices))
            lines << "• " + label;
        QVERIFY2(asked.contains("„" + demoImage +
                                "“ auf 3 Karten schreiben.\r\nAlle Daten auf diesen 3 "
                                "Laufwerken werden unwiderruflich gelöscht:\r\n\r\n" +
                                lines.join("\r\n") + "\r\n\r\nFortfahren? [j/N] "),
                 qPrintable(asked));
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.out.contains("Nicht installiert; die Karten sind unverändert."), qPrintable(run.out));
        for (const QString &device : devices)
            QCOMPARE(readRange(device, 0, cardMarker.size()), cardMarker);
    }

    // Ctrl+C while the helper writes: the helper stops, the card is described as it is, and the
    // program ends with 130 like a shell's interrupted command.
    void ctrlCWhileWriting()
    {
        SlowCard card(dir->path());
        if (!card.error().isEmpty())
            QSKIP(qPrintable(card.error()));

        // In a process group of its own, like a command started from a shell: Ctrl+C on a
        // terminal reaches the whole group, the write helper included.
        QProcess process;
        process.setChildProcessModifier([] { ::setpgid(0, 0); });
        startCli(process, installArguments(card.path(), {"--image", demoPath(), "--yes"}),
                 environmentFor(card.path()));
        QString out;
        const bool writing = QTest::qWaitFor(
            [&] {
                out += QString::fromUtf8(process.readAllStandardOutput());
                return out.contains("Schreibe das lokale Image auf die Karte …") ||
                       process.state() == QProcess::NotRunning;
            },
            60000);
        QVERIFY2(writing && process.state() == QProcess::Running, qPrintable(out));
        QTRY_VERIFY_WITH_TIMEOUT(!helpersFor(card.path()).isEmpty(), 10000);
        QTest::qWait(500);
        ::kill(-pid_t(process.processId()), SIGINT);
        const Run run = finish(process, 60000);

        QCOMPARE(run.exitCode, 130);
        QVERIFY2(run.err.startsWith("Abgebrochen. Die Karte ist unvollständig beschrieben"),
                 qPrintable(run.err));
        QVERIFY(!run.out.contains("Fertig!"));
        QCOMPARE(helpersFor(card.path()), QStringList());
    }

    void unprivilegedThroughPkexec_data()
    {
        QTest::addColumn<int>("cards");
        QTest::newRow("one card") << 1;
        QTest::newRow("three cards") << 3;
    }

    // As an ordinary user the helper runs through the real pkexec, allowed by a polkit rule of
    // the test, which is asked once however many cards there are. pkexec gives the helper a clean
    // PATH, so the real lsblk shows the loop devices as what they are and the helper refuses
    // each: the refusal comes from the helper as root.
    void unprivilegedThroughPkexec()
    {
        QFETCH(int, cards);
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
        const QString installer = qEnvironmentVariable("TOBRA_INSTALLER");
        const QStringList asNobody{QString("--reuid=%1").arg(nobody->pw_uid),
                                   QString("--regid=%1").arg(nobody->pw_gid), "--clear-groups"};
        if (QProcess::execute("/usr/bin/setpriv", asNobody + QStringList{"test", "-x", installer}) != 0)
            QSKIP("needs a build folder that the user nobody can enter and run");

        std::vector<std::unique_ptr<LoopDevice>> loops;
        const QString missing = attachMarkedCards(cards, &loops);
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing));
        const QStringList devices = pathsOf(loops);
        const QString home = dir->filePath("home");
        QVERIFY(QDir().mkpath(home + "/runtime"));
        QVERIFY(QFile::copy(demoPath(), home + "/my.img"));
        QVERIFY(QFile::copy(rom(), home + "/kick.rom"));
        QVERIFY(runTool("chown", {"-R", QString("%1:%2").arg(nobody->pw_uid).arg(nobody->pw_gid), home}));
        QVERIFY(QFile::setPermissions(home + "/runtime", QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                             QFileDevice::ExeOwner));
        QVERIFY(QFile::setPermissions(dir->path(), QFileDevice::Permissions(0x7755)));

        QProcessEnvironment environment = environmentFor(devices);
        environment.insert("HOME", home);
        environment.insert("XDG_CONFIG_HOME", home);
        environment.insert("XDG_CACHE_HOME", home + "/cache");
        environment.insert("XDG_RUNTIME_DIR", home + "/runtime");
        environment.insert("TMPDIR", home);
        environment.insert("TOBRA_POLKIT_LOG", dir->filePath("polkit.log"));
        environment.remove("SHELL");
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start("/usr/bin/unshare",
                      QStringList{"-m",
                                  qEnvironmentVariable("TOBRA_TEST_SUPPORT") + "/as-user-with-polkit.sh",
                                  QString::number(nobody->pw_uid), QString::number(nobody->pw_gid), installer,
                                  "--cli"} +
                          deviceArguments(devices) +
                          QStringList{"--rom", home + "/kick.rom", "--image", home + "/my.img", "--yes"});
        process.closeWriteChannel();
        const Run run = finish(process);
        if (run.exitCode == 77)
            QSKIP(qPrintable("polkit could not be set up: " + run.out));

        QCOMPARE(run.exitCode, 1);
        const QString asked =
            QStringLiteral("Für den Zugriff auf %1 wird gleich nach dem Passwort gefragt.\n")
                .arg(cards == 1 ? "die Karte" : "die Karten");
        QVERIFY2(run.out.contains(asked.toUtf8()), qPrintable(run.out));
        const QByteArray polkitLog = readFile(dir->filePath("polkit.log"));
        QVERIFY2(polkitLog.count("tobra-test: asked ") == 1, polkitLog.constData());
        if (cards == 1)
            QVERIFY2(run.err.startsWith("FEHLER: " + devices.first() + " ist kein erlaubtes Ziel"),
                     qPrintable(run.err));
        for (const QString &device : devices) {
            QVERIFY2(run.err.contains(device + " ist kein erlaubtes Ziel"), qPrintable(run.err));
            QCOMPARE(readRange(device, 0, cardMarker.size()), cardMarker);
        }
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
