// SPDX-License-Identifier: GPL-3.0-or-later
#include "httpserver.h"

#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
    qint64 elapsedMs = 0;
};

// Runs the installer to its end (at most 60 s) under the offscreen platform.
Run runInstaller(const QStringList &arguments,
                 const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    process.start(qEnvironmentVariable("TOBRA_INSTALLER"), arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError()), clock.elapsed()};
}

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private:
    // Over SSH or in a script there is no display and the desktop's platform (xcb) is asked for:
    // what needs no window must work there too.
    static QProcessEnvironment headless()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(name);
        return environment;
    }

    static void withAndWithoutDisplay()
    {
        QTest::addColumn<QProcessEnvironment>("environment");
        QTest::newRow("offscreen") << QProcessEnvironment::systemEnvironment();
        QTest::newRow("no display") << headless();
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("TOBRA_INSTALLER"))
            QSKIP("TOBRA_INSTALLER does not name the built installer");
    }

    void help_data() { withAndWithoutDisplay(); }

    void help()
    {
        QFETCH(QProcessEnvironment, environment);
        const Run run = runInstaller({"--help"}, environment);
        QCOMPARE(run.exitCode, 0);
        const QString help = run.out.simplified();
        for (const char *line :
             {"Installiert Tobra auf eine SD-Karte für den Raspberry Pi",
              "--config-url <url> Adresse oder Pfad der tobra.json (zum Testen)",
              "--image-base <url> Ordner, aus dem die Images geladen werden (zum Testen)",
              "--plain Normale Systemoberfläche statt Workbench-Stil",
              "--cli Ohne Fenster installieren („--cli --help“ zeigt, wie)", "-h, --help", "-v, --version"})
            QVERIFY2(help.contains(QString::fromUtf8(line)), line);
        QVERIFY(!help.contains("screenshot"));
        QVERIFY(!help.contains("datei"));
    }

    void version_data() { withAndWithoutDisplay(); }

    void version()
    {
        QFETCH(QProcessEnvironment, environment);
        const Run run = runInstaller({"--version"}, environment);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, QStringLiteral("TobraInstaller 0.1.0\n"));
    }

    void rejected_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown option") << QStringList{"--bogus"} << "Unbekannte Option 'bogus'.";
        QTest::newRow("--write-helper not first")
            << QStringList{"--plain", "--write-helper", "a.img", "/dev/sdx"}
            << "Unbekannte Option 'write-helper'.";
        QTest::newRow("--screenshot without value")
            << QStringList{"--screenshot"} << "Nach '--screenshot' fehlt der Wert.";
    }

    // The parser's own message, in German, a failure code, and no window (so no display needed).
    void rejected()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        const Run run = runInstaller(arguments, headless());
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
    }

    void qtOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("out"); // empty: the window is shown and saved
        const QString version = QStringLiteral("TobraInstaller 0.1.0\n");
        QTest::newRow("-platform before --version")
            << QStringList{"-platform", "offscreen", "--version"} << version;
        QTest::newRow("--platform, two dashes")
            << QStringList{"--platform", "offscreen", "--version"} << version;
        QTest::newRow("-style=Fusion") << QStringList{"-style=Fusion", "--version"} << version;
        QTest::newRow("-platform for the window") << QStringList{"-platform", "offscreen"} << "";
        QTest::newRow("-style Fusion")
            << QStringList{"-platform", "offscreen", "-style", "Fusion", "--plain"} << "";
        QTest::newRow("-reverse") << QStringList{"-reverse", "-platform", "offscreen"} << "";
    }

    // Qt's own options reach Qt: -platform lets the window open where no display is.
    void qtOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, out);
        QTemporaryDir dir;
        QProcessEnvironment environment = headless();
        environment.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        const QString shot = dir.filePath("shot.png");
        if (out.isEmpty())
            arguments << "--config-url" << dir.filePath("none.json") << "--screenshot" << shot;
        const Run run = runInstaller(arguments, environment);
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
        QCOMPARE(run.out, out);
        QCOMPARE(QFileInfo::exists(shot), out.isEmpty());
    }

    void optionOnlyWithoutWindow_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("option");
        QTest::newRow("--device") << QStringList{"--device", "/dev/sdx", "--rom", "kick.rom"} << "--device";
        QTest::newRow("--rom=FILE") << QStringList{"--plain", "--rom=kick.rom"} << "--rom";
        QTest::newRow("--list-drives") << QStringList{"--list-drives"} << "--list-drives";
        QTest::newRow("--clear-cache") << QStringList{"--clear-cache"} << "--clear-cache";
    }

    // Wrong usage (2) with the hint to add --cli, and no window.
    void optionOnlyWithoutWindow()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, option);
        const Run run = runInstaller(arguments, headless());
        QCOMPARE(run.exitCode, 2);
        QCOMPARE(run.err, "Die Option " + option +
                              " gibt es nur ohne Fenster: Bitte --cli hinzufügen.\n„tobra-installer --cli "
                              "--help“ zeigt die Optionen.\n");
    }

    // As the first argument it selects the write helper, which wants more arguments.
    void writeHelperFirst()
    {
        const Run run = runInstaller({"--write-helper", "a.img"});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.out.startsWith("ERROR "), qPrintable(run.out));
    }

    void screenshot_data()
    {
        QTest::addColumn<bool>("plain");
        QTest::newRow("workbench") << false;
        QTest::newRow("plain") << true;
    }

    // The window fetches the list from --config-url, is saved after about 1.5 s, and the
    // program ends normally, writing its settings under Drellwerk/TobraInstaller.
    void screenshot()
    {
        QFETCH(bool, plain);
        QTemporaryDir dir;
        QFile list(dir.filePath("tobra.json"));
        QVERIFY(list.open(QIODevice::WriteOnly));
        list.write(R"({"schema": 1, "versions": [{"title": "Tobra 1.2", "image": "tobra-1.2.img"}]})");
        list.close();
        HttpServer server(dir.path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorString()));

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        const QString shot = dir.filePath("shot.png");
        QStringList arguments = {"--config-url", server.url("/tobra.json").toString(), "--screenshot", shot};
        if (plain)
            arguments << "--plain";
        const Run run = runInstaller(arguments, environment);

        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.elapsedMs >= 1500, qPrintable(QString::number(run.elapsedMs)));
        const QImage image(shot, "PNG");
        QVERIFY(!image.isNull());
        QCOMPARE(image.width(), 640);
        QVERIFY(image.height() >= 640);
        const bool workbenchBlue = (image.pixel(2, 2) & 0xFFFFFF) == 0x0055AA;
        QCOMPARE(workbenchBlue, !plain);

        QCOMPARE(server.requests("GET").size(), 1);
        QCOMPARE(server.requests("GET").first().path, QStringLiteral("/tobra.json"));
        QVERIFY(QFile::exists(dir.filePath("config/Drellwerk/TobraInstaller.conf")));
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
