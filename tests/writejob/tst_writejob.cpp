// SPDX-License-Identifier: GPL-3.0-or-later
#include "writejob.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString cancelText =
    "Abgebrochen. Die Karte ist unvollständig beschrieben und muss neu bespielt werden.";
const QString noPermissionText = "Keine Berechtigung: Die Passwortabfrage wurde abgebrochen oder abgelehnt.";
const QString noPkexecText =
    "pkexec konnte nicht gestartet werden. Bitte polkit installieren oder den Installer als root starten.";
const QString noPromptText =
    "Die Passwortabfrage konnte nicht gezeigt werden: Es läuft kein polkit-Dienst oder kein "
    "Authentifizierungsagent. Bitte polkit und den Authentifizierungsagenten der Arbeitsumgebung "
    "installieren und starten, oder den Installer als root starten.";
const QString helperNotStartedText = "Der Schreib-Helfer konnte nicht gestartet werden.";
const QString cancelUntouchedText = "Abgebrochen. Die Karte wurde nicht verändert.";

QString endedText(int code)
{
    return QString("Der Schreib-Helfer wurde unerwartet beendet (Code %1).").arg(code);
}

constexpr qint64 mib = 1 << 20;

QByteArray readFileAt(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool isRoot()
{
    return ::geteuid() == 0;
}

// ---- The stand-in write helper ----------------------------------------------------------
// TOBRA_TEST_HELPER holds its steps, separated by '|': "sleep <ms>", "exit <code>", "hang",
// "kill" (SIGKILL to itself), "chatter" (a progress line every 50 ms for 30 s, or until nobody
// reads them), "poll" (appends to TOBRA_TEST_HELPER_INPUT whether input is waiting already),
// "drain" and "slowdrain" (read standard input to its end, appending it to
// TOBRA_TEST_HELPER_INPUT; the slow one 256 KiB per 10 ms); anything else is written to standard
// output at once, with
// \n and \r standing for newline and carriage return. Its arguments go, one a line, to the
// file TOBRA_TEST_HELPER_ARGS, its process id to TOBRA_TEST_HELPER_PID.

void writeFile(const char *variable, const QByteArray &content)
{
    const QString path = qEnvironmentVariable(variable);
    QFile file(path);
    if (!path.isEmpty() && file.open(QIODevice::WriteOnly))
        file.write(content);
}

void writeOut(QByteArray text)
{
    text.replace("\\n", "\n").replace("\\r", "\r");
    for (qsizetype written = 0; written < text.size();) {
        const ssize_t n = ::write(STDOUT_FILENO, text.constData() + written, text.size() - written);
        if (n <= 0)
            return;
        written += n;
    }
}

void appendInput(const QByteArray &bytes)
{
    QFile file(qEnvironmentVariable("TOBRA_TEST_HELPER_INPUT"));
    if (!file.fileName().isEmpty() && file.open(QIODevice::Append))
        file.write(bytes);
}

void drainInput(bool slowly)
{
    QByteArray buffer(256 * 1024, '\0');
    ssize_t n;
    while ((n = ::read(STDIN_FILENO, buffer.data(), size_t(buffer.size()))) > 0 ||
           (n < 0 && errno == EINTR)) {
        appendInput(buffer.left(qMax(n, ssize_t(0))));
        if (slowly)
            ::usleep(10000);
    }
}

int runStandInHelper(int argc, char **argv)
{
    QByteArray arguments;
    for (int i = 0; i < argc; ++i)
        arguments += QByteArray(argv[i]) + '\n';
    writeFile("TOBRA_TEST_HELPER_ARGS", arguments);
    writeFile("TOBRA_TEST_HELPER_PID", QByteArray::number(::getpid()));
    for (const QByteArray &step : qgetenv("TOBRA_TEST_HELPER").split('|')) {
        if (step.startsWith("sleep "))
            ::usleep(step.mid(6).toUInt() * 1000);
        else if (step.startsWith("exit "))
            return step.mid(5).toInt();
        else if (step == "hang")
            for (;;)
                ::pause();
        else if (step == "kill")
            ::kill(::getpid(), SIGKILL);
        else if (step == "poll") {
            pollfd input{STDIN_FILENO, POLLIN, 0};
            appendInput(::poll(&input, 1, 0) > 0 ? "(input waiting)" : "(no input yet)");
        } else if (step == "drain" || step == "slowdrain")
            drainInput(step == "slowdrain");
        else if (step == "chatter")
            for (int line = 0; line < 600; ++line) {
                writeOut("PROGRESS write 1 2\\n");
                ::usleep(50000);
            }
        else
            writeOut(step);
    }
    return 0;
}

// ---- Running a job and recording what it emits --------------------------------------------

// Records every signal of the job in order, as "phase <p>", "progress <d> <t>", "finished <ok> <e>".
class Recorder : public QObject
{
public:
    explicit Recorder(WriteJob *job)
    {
        connect(job, &WriteJob::phaseChanged, this,
                [this](const QString &phase) { events << "phase " + phase; });
        connect(job, &WriteJob::progress, this, [this](qint64 done, qint64 total) {
            events << QString("progress %1 %2").arg(done).arg(total);
        });
        connect(job, &WriteJob::ready, this, [this] { events << "ready"; });
        connect(job, &WriteJob::finished, this, [this](bool ok, const QString &error) {
            events << QString("finished %1 %2").arg(ok).arg(error).trimmed();
            ++finishedCount;
        });
    }

    // Waits for the first finished(), then a little longer to catch a second one; the caller
    // compares the events, which show a missing or a second finished().
    void waitForFinished()
    {
        if (QTest::qWaitFor([this] { return finishedCount > 0; }, 20000))
            QTest::qWait(100);
    }

    QStringList events;
    int finishedCount = 0;
};

// Records the per-card signals as "writing <c>", "card <c> <phase> <d> <t>", "card <c> end <ok>
// <e>", with the run's ready and finished ("finished <ok> <e>") among them.
class CardRecorder : public QObject
{
public:
    explicit CardRecorder(WriteJob *job)
    {
        connect(job, &WriteJob::ready, this, [this] { events << "ready"; });
        connect(job, &WriteJob::cardWriting, this,
                [this](int card) { events << QString("writing %1").arg(card); });
        connect(job, &WriteJob::cardProgress, this,
                [this](int card, const QString &phase, qint64 done, qint64 total) {
                    events << QString("card %1 %2 %3 %4").arg(card).arg(phase).arg(done).arg(total);
                });
        connect(job, &WriteJob::cardFinished, this, [this](int card, bool ok, const QString &error) {
            events << QString("card %1 end %2 %3").arg(card).arg(ok).arg(error).trimmed();
        });
        connect(job, &WriteJob::finished, this, [this](bool ok, const QString &error) {
            events << QString("finished %1 %2").arg(ok).arg(error).trimmed();
        });
    }
    bool waitForFinished()
    {
        return QTest::qWaitFor([this] { return !events.filter("finished").isEmpty(); }, 20000);
    }

    QStringList events;
};

QStringList runJob(WriteJob &job, const QByteArray &script, bool verify = true)
{
    qputenv("TOBRA_TEST_HELPER", script);
    Recorder recorder(&job);
    job.start("/tmp/tobra.img", "/dev/sdz", verify);
    recorder.waitForFinished();
    return recorder.events;
}

// ---- Scenarios run as an unprivileged user ---------------------------------------------------
// "--scenario run" starts a job and prints each finished() as a line; "cancel" cancels it as
// soon as the event loop runs, "cancel-running" once the helper reports its first phase.

int runScenario(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QByteArray mode = argc > 2 ? argv[2] : "";
    WriteJob job;
    if (mode == "cancel-running")
        QObject::connect(&job, &WriteJob::phaseChanged, &job, &WriteJob::cancel);
    QObject::connect(&job, &WriteJob::finished, [&app](bool ok, const QString &error) {
        ::printf("finished %d %s\n", ok, qPrintable(error));
        ::fflush(stdout);
        QTimer::singleShot(200, &app, &QCoreApplication::quit);
    });
    QTimer::singleShot(20000, &app, [&app] {
        ::printf("timeout\n");
        app.quit();
    });
    if (mode == "stream-cancel") {
        // Cancelled while the helper takes its input slowly and our writes to it wait.
        QObject::connect(&job, &WriteJob::ready, &job, [&job] {
            job.send(QByteArray(16 << 20, 'x'));
            QTimer::singleShot(300, &job, &WriteJob::cancel);
        });
        job.startStream("/dev/sdz", true);
        return app.exec();
    }
    job.start("/tmp/tobra.img", "/dev/sdz", true);
    if (mode == "cancel")
        QTimer::singleShot(0, &job, &WriteJob::cancel);
    return app.exec();
}

constexpr char pkexecStandIn[] = R"(#!/bin/sh
# Records its command line, then behaves as TOBRA_TEST_PKEXEC says: "hang" waits for the
# password forever, "exit<code>" gives up with that code, "root" runs the command as root
# (through a set-user-ID launcher, as pkexec itself does), anything else runs it as it is.
printf '%s\n' "$@" > "$TOBRA_TEST_PKEXEC_LOG"
case "$TOBRA_TEST_PKEXEC" in
    hang) exec sleep 1000 ;;
    exit*) exit "${TOBRA_TEST_PKEXEC#exit}" ;;
    root) exec "$TOBRA_TEST_ROOT_LAUNCHER" --reuid=0 --regid=0 --clear-groups -- "$@" ;;
esac
exec "$@"
)";

} // namespace

class TestWriteJob : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void reportsOutcome_data();
    void reportsOutcome();
    void startsHelperDirectlyAsRoot_data();
    void startsHelperDirectlyAsRoot();
    void helperThatCannotStart();
    void choosesExecutable_data();
    void choosesExecutable();
    void cancelWhileRunning();
    void cancelWhenIdle();
    void secondRunStartsAfresh();
    void destructionKillsHelper();
    void unprivileged_data();
    void unprivileged();
    void streamFramesTheImage_data();
    void streamFramesTheImage();
    void streamKeepsTheQueueBounded();
    void streamCancelWhileSendWaits_data();
    void streamCancelWhileSendWaits();
    void streamHelperDiesWhileSending();
    void streamCancelBeforeReady();
    void oneCardFormsSpeakForCardZero_data();
    void oneCardFormsSpeakForCardZero();
    void severalCards_data();
    void severalCards();

private:
    QString rootLauncher() const { return dir.filePath("launcher/setpriv"); }
    bool makeRootLauncher(const QString &setpriv, const QStringList &asNobody) const;

    QTemporaryDir dir;
    QString standInDir;
    QString emptyDir;
    QString originalPath;
};

void TestWriteJob::initTestCase()
{
    QVERIFY(dir.isValid());
    // Unprivileged scenarios read and write here.
    QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                  QFile::ReadOther | QFile::WriteOther | QFile::ExeOther));
    standInDir = dir.filePath("standin");
    emptyDir = dir.filePath("empty");
    QVERIFY(QDir().mkpath(standInDir) && QDir().mkpath(emptyDir));
    QFile script(standInDir + "/pkexec");
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(pkexecStandIn);
    script.close();
    QVERIFY(
        script.setPermissions(script.permissions() | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
    // Not as root, the in-process jobs reach the helper through the stand-in.
    originalPath = qEnvironmentVariable("PATH");
    qputenv("PATH", (standInDir + ":" + originalPath).toUtf8());
    qputenv("TOBRA_TEST_PKEXEC_LOG", dir.filePath("pkexec.log").toUtf8());
}

void TestWriteJob::init()
{
    qunsetenv("TOBRA_TEST_HELPER_INPUT");
    qunsetenv("TOBRA_TEST_HELPER_ARGS");
    qunsetenv("TOBRA_TEST_HELPER_PID");
    qunsetenv("TOBRA_TEST_PKEXEC");
}

void TestWriteJob::reportsOutcome_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("write and verify")
        << QByteArray("PROGRESS write 4194304 8388608\\n|PROGRESS write 8388608 8388608\\n|"
                      "PROGRESS verify 4194304 8388608\\nPROGRESS verify 8388608 8388608\\nDONE\\n|exit 0")
        << QStringList{"phase write",  "progress 4194304 8388608", "progress 8388608 8388608",
                       "phase verify", "progress 4194304 8388608", "progress 8388608 8388608",
                       "finished 1"};
    QTest::newRow("line in pieces") << QByteArray("PROGRE|sleep 200|SS write 4194304 8388608|sleep 200|\\n|"
                                                  "DO|sleep 100|NE\\n|exit 0")
                                    << QStringList{"phase write", "progress 4194304 8388608", "finished 1"};
    QTest::newRow("carriage returns and blank lines")
        << QByteArray("\\r\\n  \\n PROGRESS write 1 2 \\r\\nDONE\\r\\n|exit 0")
        << QStringList{"phase write", "progress 1 2", "finished 1"};
    QTest::newRow("malformed progress lines")
        << QByteArray("PROGRESS write  1 2\\nPROGRESS write 1 2 3\\nPROGRESS\\nprogress write 1 2\\n"
                      "PROGRESS verify x 2\\nDONE\\n|exit 0")
        << QStringList{"phase verify", "progress 0 2", "finished 1"};
    QTest::newRow("exit 0 without DONE")
        << QByteArray("PROGRESS write 1 2\\n|exit 0")
        << QStringList{"phase write", "progress 1 2", "finished 0 " + endedText(0)};
    QTest::newRow("DONE with exit 1")
        << QByteArray("DONE\\n|exit 1") << QStringList{"finished 0 " + endedText(1)};
    QTest::newRow("DONE then killed")
        << QByteArray("DONE\\n|kill") << QStringList{"finished 0 " + endedText(SIGKILL)};
    QTest::newRow("last ERROR line wins")
        << QByteArray("ERROR Erster Fehler\\nERROR /dev/sdz ist kein erlaubtes Ziel \\n|exit 3")
        << QStringList{"finished 0 /dev/sdz ist kein erlaubtes Ziel"};
    QTest::newRow("ERROR without text is ignored")
        << QByteArray("ERROR \\nERRORx\\n|exit 2") << QStringList{"finished 0 " + endedText(2)};
    QTest::newRow("last line without newline")
        << QByteArray("ERROR zu spät|exit 3") << QStringList{"finished 0 " + endedText(3)};
    QTest::newRow("DONE without newline")
        << QByteArray("DONE|exit 0") << QStringList{"finished 0 " + endedText(0)};
    QTest::newRow("exit 126") << QByteArray("exit 126")
                              << QStringList{"finished 0 " + (isRoot() ? endedText(126) : noPermissionText)};
    QTest::newRow("UTF-8 error text")
        << QByteArray("ERROR Gerät \xc3\xbc\\n|exit 2") << QStringList{"finished 0 Gerät ü"};
}

void TestWriteJob::reportsOutcome()
{
    QFETCH(QByteArray, script);
    QFETCH(QStringList, events);
    WriteJob job;
    QCOMPARE(runJob(job, script), events);
    QVERIFY(!job.isRunning());
}

void TestWriteJob::startsHelperDirectlyAsRoot_data()
{
    QTest::addColumn<bool>("verify");
    QTest::addColumn<QString>("lastArgument");
    QTest::newRow("verify") << true << "--verify";
    QTest::newRow("no verify") << false << "--no-verify";
}

void TestWriteJob::startsHelperDirectlyAsRoot()
{
    if (!isRoot())
        QSKIP("needs root: the unprivileged command line is checked by unprivileged()");
    QFETCH(bool, verify);
    QFETCH(QString, lastArgument);
    const QString argsFile = dir.filePath("args");
    qputenv("TOBRA_TEST_HELPER_ARGS", argsFile.toUtf8());
    WriteJob job;
    QCOMPARE(runJob(job, "DONE\\n", verify), QStringList{"finished 1"});
    QFile file(argsFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList expected{QCoreApplication::applicationFilePath(), "--write-helper", "/tmp/tobra.img",
                               "/dev/sdz", lastArgument};
    QCOMPARE(QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts), expected);
}

// An AppImage file that is there but not executable: exec fails.
void TestWriteJob::helperThatCannotStart()
{
    if (!isRoot())
        QSKIP("needs root: without it, the job starts pkexec (see unprivileged())");
    const QString appImage = dir.filePath("Tobra.AppImage");
    QFile file(appImage);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    qputenv("APPIMAGE", appImage.toUtf8());
    qputenv("APPDIR", QCoreApplication::applicationDirPath().toUtf8());
    WriteJob job;
    const QStringList events = runJob(job, "DONE\\n");
    qunsetenv("APPIMAGE");
    qunsetenv("APPDIR");
    QCOMPARE(events, QStringList{"finished 0 " + helperNotStartedText});
    QVERIFY(!job.isRunning());
    QCOMPARE(runJob(job, "DONE\\n"), QStringList{"finished 1"});
}

void TestWriteJob::choosesExecutable_data()
{
    const QString self = QCoreApplication::applicationFilePath();
    const QString selfDir = QCoreApplication::applicationDirPath();
    const QString existing = dir.filePath("standin/pkexec");
    QTest::addColumn<QString>("appImage");
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<QString>("expected");
    QTest::newRow("neither set") << ""
                                 << "" << self;
    QTest::newRow("inside the AppDir") << existing << selfDir << existing;
    QTest::newRow("AppDir as plain text prefix") << existing << selfDir.left(selfDir.size() - 2) << existing;
    QTest::newRow("only APPIMAGE") << existing << "" << self;
    QTest::newRow("only APPDIR") << "" << selfDir << self;
    QTest::newRow("outside the AppDir") << existing << "/opt/elsewhere" << self;
    QTest::newRow("AppDir in other case") << existing << selfDir.toUpper() << self;
    QTest::newRow("relative AppImage") << "standin/pkexec" << selfDir << self;
    QTest::newRow("missing AppImage") << dir.filePath("gone.AppImage") << selfDir << self;
}

void TestWriteJob::choosesExecutable()
{
    QFETCH(QString, appImage);
    QFETCH(QString, appDir);
    QFETCH(QString, expected);
    // A relative AppImage that would exist relative to the working directory.
    const QString workingDir = QDir::currentPath();
    QDir::setCurrent(dir.path());
    qputenv("APPIMAGE", appImage.toUtf8());
    qputenv("APPDIR", appDir.toUtf8());
    const QString chosen = WriteJob::helperExecutable();
    qunsetenv("APPIMAGE");
    qunsetenv("APPDIR");
    QDir::setCurrent(workingDir);
    QCOMPARE(chosen, expected);
}

// Cancel wins over a DONE already read; the hanging helper is gone when finished() arrives.
void TestWriteJob::cancelWhileRunning()
{
    WriteJob job;
    connect(&job, &WriteJob::phaseChanged, &job, &WriteJob::cancel);
    QCOMPARE(runJob(job, "PROGRESS write 1 2\\nDONE\\n|hang"),
             (QStringList{"phase write", "progress 1 2", "finished 0 " + cancelText}));
    QVERIFY(!job.isRunning());
}

void TestWriteJob::cancelWhenIdle()
{
    WriteJob job;
    Recorder recorder(&job);
    job.cancel();
    QTest::qWait(100);
    QCOMPARE(recorder.finishedCount, 0);
    // The flag of an idle cancel does not spoil the next run, nor does a cancel after it.
    QCOMPARE(runJob(job, "DONE\\n"), QStringList{"finished 1"});
    job.cancel();
    QTest::qWait(100);
    QCOMPARE(recorder.events, QStringList{"finished 1"});
}

// Phase, DONE, error text and a partial line of one run do not leak into the next.
void TestWriteJob::secondRunStartsAfresh()
{
    WriteJob job;
    QCOMPARE(runJob(job, "PROGRESS write 1 2\\nDONE\\n"),
             (QStringList{"phase write", "progress 1 2", "finished 1"}));
    QCOMPARE(runJob(job, "PROGRESS write 2 2\\nERROR kaputt\\nPROGRESS write|exit 3"),
             (QStringList{"phase write", "progress 2 2", "finished 0 kaputt"}));
    QCOMPARE(runJob(job, " 3 4\\n|exit 5"), QStringList{"finished 0 " + endedText(5)});
}

void TestWriteJob::destructionKillsHelper()
{
    const QString pidFile = dir.filePath("pid");
    QFile::remove(pidFile);
    qputenv("TOBRA_TEST_HELPER_PID", pidFile.toUtf8());
    qputenv("TOBRA_TEST_HELPER", "PROGRESS write 1 2\\n|sleep 300|PROGRESS write 2 2\\n|hang");
    auto *job = new WriteJob;
    Recorder recorder(job);
    job->start("/tmp/tobra.img", "/dev/sdz", true);
    QTRY_COMPARE(recorder.events, QStringList({"phase write", "progress 1 2"}));
    QFile file(pidFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const pid_t pid = file.readAll().toInt();
    QVERIFY(pid > 0);

    delete job;
    // Reaped, not merely killed: no zombie remains.
    QCOMPARE(::kill(pid, 0), -1);
    QCOMPARE(errno, ESRCH);
    // Whatever the helper had still written never reaches a slot (ASan would see it).
    QTest::qWait(500);
    QCOMPARE(recorder.events, QStringList({"phase write", "progress 1 2"}));
}

void TestWriteJob::unprivileged_data()
{
    QTest::addColumn<QString>("mode");      // run, cancel or cancel-running
    QTest::addColumn<QString>("path");      // PATH of the unprivileged process
    QTest::addColumn<QString>("pkexec");    // what the stand-in does
    QTest::addColumn<QByteArray>("script"); // the helper's script
    QTest::addColumn<QString>("result");    // the scenario's output

    const QString standIn = "%standin%:" + QString("/usr/bin:/bin");
    QTest::newRow("through pkexec") << "run" << standIn << "" << QByteArray("PROGRESS write 1 2\\nDONE\\n")
                                    << "finished 1 ";
    QTest::newRow("helper error passes through")
        << "run" << standIn << "" << QByteArray("ERROR kein erlaubtes Ziel\\n|exit 3")
        << "finished 0 kein erlaubtes Ziel";
    QTest::newRow("password prompt dismissed")
        << "run" << standIn << "exit126" << QByteArray() << "finished 0 " + noPermissionText;
    QTest::newRow("other exit of pkexec")
        << "run" << standIn << "exit1" << QByteArray() << "finished 0 " + endedText(1);
    QTest::newRow("cancel while pkexec waits")
        << "cancel" << standIn << "hang" << QByteArray() << "finished 0 " + cancelText;
    QTest::newRow("cancel while helper runs")
        << "cancel-running" << standIn << "" << QByteArray("PROGRESS write 1 2\\n|hang")
        << "finished 0 " + cancelText;
    // The user may not kill a helper that runs as root: only the closed pipe stops it.
    QTest::newRow("cancel while a root helper runs")
        << "cancel-running" << standIn << "root" << QByteArray("chatter") << "finished 0 " + cancelText;
    QTest::newRow("cancel while a root helper takes its input slowly")
        << "stream-cancel" << standIn << "root" << QByteArray("READY\\n|slowdrain|ERROR Ende\\n|exit 1")
        << "finished 0 " + cancelUntouchedText;
    // pkexec that cannot ask at all is no refused password.
    QTest::newRow("real pkexec without system bus")
        << "run"
        << "/usr/bin:/bin"
        << "real" << QByteArray("DONE\\n") << "finished 0 " + noPromptText;
    QTest::newRow("no pkexec") << "run"
                               << "%empty%"
                               << "" << QByteArray("DONE\\n") << "finished 0 " + noPkexecText;
}

// A set-user-ID copy of setpriv: what lets the pkexec stand-in start the helper as root. False
// where the folder does not honour set-user-ID (mounted nosuid).
bool TestWriteJob::makeRootLauncher(const QString &setpriv, const QStringList &asNobody) const
{
    QFile::remove(rootLauncher());
    if (!QDir().mkpath(dir.filePath("launcher")) || !QFile::copy(setpriv, rootLauncher()) ||
        ::chmod(QFile::encodeName(rootLauncher()).constData(), 04755) != 0)
        return false;
    QProcess idAsRoot;
    idAsRoot.start(setpriv, asNobody + QStringList{rootLauncher(), "--reuid=0", "--", "id", "-u"});
    return idAsRoot.waitForFinished() && idAsRoot.readAllStandardOutput() == "0\n";
}

// The job as an ordinary user runs it: through pkexec, whatever pkexec there is.
void TestWriteJob::unprivileged()
{
    QFETCH(QString, mode);
    QFETCH(QString, path);
    QFETCH(QString, pkexec);
    QFETCH(QByteArray, script);
    QFETCH(QString, result);

    if (pkexec == "real") {
        if (!QFileInfo("/usr/bin/pkexec").isExecutable())
            QSKIP("needs /usr/bin/pkexec (package pkexec)");
        if (QFileInfo::exists("/run/dbus/system_bus_socket") ||
            QFileInfo::exists("/var/run/dbus/system_bus_socket"))
            QSKIP("needs a machine without a running system bus (here pkexec would ask for a password)");
    }
    const QString self = QCoreApplication::applicationFilePath();
    QString program = self;
    QStringList arguments{"--scenario", mode};
    if (pkexec == "root" && !isRoot())
        QSKIP("needs root, to make the set-user-ID stand-in of pkexec");
    if (isRoot()) {
        const passwd *nobody = ::getpwnam("nobody");
        const QString setpriv = QStandardPaths::findExecutable("setpriv", {"/usr/bin", "/bin"});
        if (!nobody || setpriv.isEmpty())
            QSKIP("needs the user nobody and setpriv (util-linux)");
        const QStringList asNobody{QString("--reuid=%1").arg(nobody->pw_uid),
                                   QString("--regid=%1").arg(nobody->pw_gid), "--clear-groups"};
        if (QProcess::execute(setpriv, asNobody + QStringList{"test", "-x", self}) != 0)
            QSKIP("needs a build folder that the user nobody can enter and run");
        if (pkexec == "root" && !makeRootLauncher(setpriv, asNobody))
            QSKIP("needs a temporary folder that allows set-user-ID programs (not mounted nosuid)");
        program = setpriv;
        arguments = asNobody + QStringList{self} + arguments;
    }

    const QString log = dir.filePath("pkexec.log");
    QFile::remove(log);
    QFile logFile(log);
    QVERIFY(logFile.open(QIODevice::WriteOnly));
    QVERIFY(logFile.setPermissions(logFile.permissions() | QFile::WriteOther | QFile::ReadOther));
    logFile.close();

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PATH", QString(path).replace("%standin%", standInDir).replace("%empty%", emptyDir));
    environment.insert("TOBRA_TEST_PKEXEC", pkexec);
    environment.insert("TOBRA_TEST_HELPER", script);
    environment.insert("TOBRA_TEST_ROOT_LAUNCHER", rootLauncher());
    QProcess scenario;
    scenario.setProcessEnvironment(environment);
    scenario.start(program, arguments);
    QVERIFY(scenario.waitForFinished(60000));
    QCOMPARE(scenario.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(scenario.readAllStandardOutput()), result + "\n");

    QFile recorded(log);
    QVERIFY(recorded.open(QIODevice::ReadOnly));
    const QStringList commandLine = QString::fromUtf8(recorded.readAll()).split('\n', Qt::SkipEmptyParts);
    // Cancelled at once, the stand-in may not have come as far as writing its log.
    if (mode == "cancel")
        return;
    if (path.startsWith("%standin%"))
        QCOMPARE(commandLine,
                 (QStringList{self, "--write-helper", mode == "stream-cancel" ? "--stdin" : "/tmp/tobra.img",
                              "/dev/sdz", "--verify"}));
    else
        QVERIFY(commandLine.isEmpty());
}

namespace {

// The frames as the helper expects them, built here from the format: a type byte, a big-endian
// 32-bit length, the payload.
QByteArray frame(char type, const QByteArray &payload)
{
    QByteArray header(1, type);
    for (int shift = 24; shift >= 0; shift -= 8)
        header += char(quint32(payload.size()) >> shift);
    return header + payload;
}

QByteArray count(qint64 bytes)
{
    QByteArray big;
    for (int shift = 56; shift >= 0; shift -= 8)
        big += char(quint64(bytes) >> shift);
    return big;
}

} // namespace

void TestWriteJob::streamFramesTheImage_data()
{
    QTest::addColumn<bool>("goAhead");
    QTest::newRow("go-ahead") << true;
    QTest::newRow("abort") << false;
}

// Bytes handed over before the helper says READY wait for it; then they go in frames of at most
// 1 MiB, in order, and the go-ahead carries their count. An abort drops nothing already on its way.
void TestWriteJob::streamFramesTheImage()
{
    QFETCH(bool, goAhead);
    const QString inputFile = dir.filePath("input");
    QFile::remove(inputFile);
    qputenv("TOBRA_TEST_HELPER_INPUT", inputFile.toUtf8());
    qputenv("TOBRA_TEST_HELPER_ARGS", dir.filePath("args").toUtf8());
    qputenv("TOBRA_TEST_HELPER", goAhead ? "sleep 300|poll|READY\\n|drain|DONE\\n"
                                         : "sleep 300|poll|READY\\n|drain|ERROR weg\\n|exit 1");
    const QByteArray first(2 * mib + mib / 2, 'a');
    const QByteArray second(mib / 2, 'b');
    WriteJob job;
    Recorder recorder(&job);
    job.startStream("/dev/sdz", true, {}, 3 * mib);
    QVERIFY(job.send(first));
    connect(&job, &WriteJob::ready, &job, [&] {
        QVERIFY(job.send(second));
        if (goAhead)
            job.goAhead();
        else
            job.abortStream();
        QVERIFY(!job.send(second));
    });
    recorder.waitForFinished();
    QCOMPARE(recorder.events, (QStringList{"ready", goAhead ? "finished 1" : "finished 0 weg"}));
    QVERIFY(!job.send(second));
    const QList<QByteArray> frames{frame('D', first.left(mib)), frame('D', first.mid(mib, mib)),
                                   frame('D', first.mid(2 * mib)), frame('D', second)};
    const QByteArray input = readFileAt(inputFile);
    if (goAhead) {
        QCOMPARE(input, "(no input yet)" + frames.join() + frame('G', count(3 * mib)));
    } else {
        // Whole frames, as far as they had gone, then the abort.
        QByteArray expected = "(no input yet)";
        for (qsizetype i = 0; i < frames.size() && input.size() > expected.size() + 5; ++i)
            expected += frames.at(i);
        QCOMPARE(input, expected + frame('A', {}));
    }
    QCOMPARE(
        readFileAt(dir.filePath("args")).split('\n').mid(1, 5),
        (QList<QByteArray>{"--write-helper", "--stdin", "/dev/sdz", "--verify", "--image-size=3145728"}));
}

// A producer that pauses above streamHighWater and goes on at drained(): the queue stays bounded
// while a slow helper takes everything, in order.
void TestWriteJob::streamKeepsTheQueueBounded()
{
    const QString inputFile = dir.filePath("input");
    QFile::remove(inputFile);
    qputenv("TOBRA_TEST_HELPER_INPUT", inputFile.toUtf8());
    qputenv("TOBRA_TEST_HELPER", "READY\\n|slowdrain|DONE\\n");
    const qint64 total = 40 * mib;
    const QByteArray piece(mib / 2 + 3, 'p');
    qint64 sent = 0;
    qint64 mostQueued = 0;
    int drainedCount = 0;
    WriteJob job;
    Recorder recorder(&job);
    const auto produce = [&] {
        while (sent < total && job.queuedBytes() <= WriteJob::streamHighWater) {
            const QByteArray bytes = piece.left(int(qMin(qint64(piece.size()), total - sent)));
            QVERIFY(job.send(bytes));
            sent += bytes.size();
            mostQueued = qMax(mostQueued, job.queuedBytes());
        }
        if (sent == total)
            job.goAhead();
    };
    connect(&job, &WriteJob::ready, &job, produce);
    connect(&job, &WriteJob::drained, &job, [&] {
        ++drainedCount;
        QVERIFY(job.queuedBytes() <= WriteJob::streamHighWater / 2);
        produce();
    });
    job.startStream("/dev/sdz", false);
    recorder.waitForFinished();
    QCOMPARE(recorder.events, (QStringList{"ready", "finished 1"}));
    QVERIFY2(drainedCount > 0, "the producer was never woken");
    QVERIFY2(mostQueued <= WriteJob::streamHighWater + 2 * piece.size(),
             qPrintable(QString::number(mostQueued)));
    QCOMPARE(QFileInfo(inputFile).size(), total + 5 * ((total + piece.size() - 1) / piece.size()) + 13);
}

void TestWriteJob::streamCancelWhileSendWaits_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("text");
    QTest::newRow("card-not-touched")
        << QByteArray("READY\\n|slowdrain|ERROR Ende\\n|exit 1") << cancelUntouchedText;
    QTest::newRow("card-touched") << QByteArray("READY\\nWRITING\\n|slowdrain|ERROR Ende\\n|exit 1")
                                  << cancelText;
    QTest::newRow("helper-not-reading") << QByteArray("READY\\n|hang") << cancelUntouchedText;
}

// A cancel while our writes to the helper wait for it ends the run at once, with a text that says
// whether the card was touched; nothing can be sent after it.
void TestWriteJob::streamCancelWhileSendWaits()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, text);
    qputenv("TOBRA_TEST_HELPER", script);
    WriteJob job;
    Recorder recorder(&job);
    QElapsedTimer timer;
    connect(&job, &WriteJob::ready, &job, [&] {
        QVERIFY(job.send(QByteArray(32 * mib, 'x')));
        QTimer::singleShot(300, &job, [&] {
            QVERIFY(job.queuedBytes() > 0);
            timer.start();
            job.cancel();
        });
    });
    job.startStream("/dev/sdz", true);
    recorder.waitForFinished();
    QCOMPARE(recorder.events, (QStringList{"ready", "finished 0 " + text}));
    QVERIFY2(timer.elapsed() < 3000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(job.cardTouched(), text == cancelText);
    QVERIFY(!job.send("more"));
    QVERIFY(!job.isRunning());
}

// A helper that dies while we send: one finished(), and send() says the run has ended.
void TestWriteJob::streamHelperDiesWhileSending()
{
    qputenv("TOBRA_TEST_HELPER", "READY\\n|sleep 200|kill");
    WriteJob job;
    Recorder recorder(&job);
    connect(&job, &WriteJob::ready, &job, [&job] { job.send(QByteArray(16 * mib, 'x')); });
    job.startStream("/dev/sdz", true);
    recorder.waitForFinished();
    QCOMPARE(recorder.events, (QStringList{"ready", "finished 0 " + endedText(SIGKILL)}));
    QVERIFY(!job.send("more"));
    QCOMPARE(job.queuedBytes(), 0);
}

// Cancelled while the helper still checks the card: no ready() follows, and the card is untouched.
void TestWriteJob::streamCancelBeforeReady()
{
    qputenv("TOBRA_TEST_HELPER", "sleep 300|READY\\n|drain|ERROR Ende\\n|exit 1");
    WriteJob job;
    Recorder recorder(&job);
    job.startStream("/dev/sdz", true);
    QTimer::singleShot(100, &job, &WriteJob::cancel);
    recorder.waitForFinished();
    QCOMPARE(recorder.events, QStringList{"finished 0 " + cancelUntouchedText});
    QVERIFY(!job.cardTouched());
}

void TestWriteJob::oneCardFormsSpeakForCardZero_data()
{
    QTest::addColumn<bool>("stream");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QStringList>("events");
    QTest::newRow("file-form") << false
                               << QByteArray("PROGRESS write 2 4\\nPROGRESS verify 4 4\\nDONE\\n|exit 0")
                               << QStringList{"writing 0",    "progress 2 4",      "card 0 write 2 4",
                                              "progress 4 4", "card 0 verify 4 4", "card 0 end 1",
                                              "finished 1"};
    QTest::newRow("file-form-failing") << false << QByteArray("ERROR kaputt\\n|exit 1")
                                       << QStringList{"card 0 end 0 kaputt", "finished 0 kaputt"};
    QTest::newRow("stream-form") << true
                                 << QByteArray("READY\\n|WRITING\\nPROGRESS write 2 0\\nDONE\\n|exit 0")
                                 << QStringList{"ready",         "writing 0",
                                                "progress 2 -1", "card 0 write 2 -1",
                                                "card 0 end 1",  "finished 1"};
    QTest::newRow("stream-form-dying")
        << true << QByteArray("READY\\n|WRITING\\n|exit 9")
        << QStringList{"ready", "writing 0", "card 0 end 0 " + endedText(9), "finished 0 " + endedText(9)};
}

// The one-card forms give their card's signals as card 0, its end just before the run's.
void TestWriteJob::oneCardFormsSpeakForCardZero()
{
    QFETCH(bool, stream);
    QFETCH(QByteArray, script);
    QFETCH(QStringList, events);
    qputenv("TOBRA_TEST_HELPER", script);
    WriteJob job;
    CardRecorder recorder(&job);
    connect(&job, &WriteJob::progress, &recorder, [&](qint64 done, qint64 total) {
        recorder.events << QString("progress %1 %2").arg(done).arg(total);
    });
    // The stream form's image size is not given here: its write total stays unknown (-1).
    if (stream)
        job.startStream("/dev/sdz", true);
    else
        job.start("/tmp/tobra.img", "/dev/sdz", true);
    QCOMPARE(job.cardCount(), 1);
    QVERIFY(recorder.waitForFinished());
    QCOMPARE(recorder.events, events);
    QVERIFY(job.cardTouched(0));
    QVERIFY(!job.cardTouched(1));
}

void TestWriteJob::severalCards_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QStringList>("events");
    const QByteArray held = "CARD 1 READY\\nCARD 2 READY\\nCARD 3 READY\\nREADY\\n|";
    const QByteArray writing = "CARD 1 WRITING\\nCARD 2 WRITING\\nCARD 3 WRITING\\n";
    QTest::newRow("every-card-verified")
        << held + writing +
               "CARD 2 PROGRESS write 8 0\\nCARD 1 PROGRESS write 8 0\\nCARD 3 PROGRESS write 4 0\\n"
               "CARD 3 PROGRESS write 8 0\\nCARD 1 PROGRESS verify 8 8\\nCARD 2 PROGRESS verify 8 8\\n"
               "CARD 3 PROGRESS verify 8 8\\nCARD 2 DONE\\nCARD 1 DONE\\nCARD 3 DONE\\nDONE\\n|exit 0"
        << QStringList{"ready",
                       "writing 0",
                       "writing 1",
                       "writing 2",
                       "card 1 write 8 8",
                       "progress write 8 8",
                       "card 0 write 8 8",
                       "progress write 8 8",
                       "card 2 write 4 8",
                       "progress write 4 8",
                       "card 2 write 8 8",
                       "progress write 8 8",
                       "card 0 verify 8 8",
                       "progress write 8 8",
                       "card 1 verify 8 8",
                       "progress write 8 8",
                       "card 2 verify 8 8",
                       "progress verify 8 8",
                       "card 1 end 1",
                       "card 0 end 1",
                       "card 2 end 1",
                       "finished 1"};
    QTest::newRow("one-card-failing-on-its-own")
        << held + writing +
               "CARD 2 ERROR Schreibfehler\\nCARD 1 DONE\\nCARD 3 DONE\\nERROR 1 von 3 Karten\\n|exit 1"
        << QStringList{"ready",
                       "writing 0",
                       "writing 1",
                       "writing 2",
                       "card 1 end 0 Schreibfehler",
                       "card 0 end 1",
                       "card 2 end 1",
                       "finished 0 1 von 3 Karten"};
    QTest::newRow("a-refused-card-and-lines-of-no-card")
        << QByteArray("CARD 1 READY\\nCARD 2 ERROR gefälscht\\nCARD 3 READY\\nREADY\\n|CARD 1 WRITING\\n"
                      "CARD 4 DONE\\nCARD 0 DONE\\nCARD 01 DONE\\nCARD 2 DONE\\nCARD 1 DONE\\nCARD 3 DONE\\n"
                      "ERROR 1 von 3 Karten\\n|exit 1")
        << QStringList{"card 1 end 0 gefälscht", "ready",        "writing 0",
                       "card 0 end 1",           "card 2 end 1", "finished 0 1 von 3 Karten"};
    QTest::newRow("helper-dying") << held + "CARD 1 WRITING\\nCARD 3 DONE\\n|kill"
                                  << QStringList{"ready",
                                                 "writing 0",
                                                 "card 2 end 1",
                                                 "card 0 end 0 " + endedText(SIGKILL),
                                                 "card 1 end 0 " + endedText(SIGKILL),
                                                 "finished 0 " + endedText(SIGKILL)};
}

// The several-card form: its command line names every card with its identity, each "CARD <n>"
// line reaches card n-1 only, a card's end comes once, the run's bar follows the card furthest
// behind, and cards without an end of their own end with the run.
void TestWriteJob::severalCards()
{
    QFETCH(QByteArray, script);
    QFETCH(QStringList, events);
    qputenv("TOBRA_TEST_HELPER", script);
    qputenv("TOBRA_TEST_HELPER_ARGS", dir.filePath("args").toUtf8());
    WriteJob job;
    CardRecorder recorder(&job);
    connect(&job, &WriteJob::progress, &recorder, [&](qint64 done, qint64 total) {
        recorder.events
            << QString("progress %1 %2 %3").arg(job.property("phase").toString()).arg(done).arg(total);
    });
    connect(&job, &WriteJob::phaseChanged, &recorder,
            [&](const QString &phase) { job.setProperty("phase", phase); });
    job.startStream({{"/dev/sdx", {7, 512}}, {"/dev/sdy", {}}, {"/dev/sdz", {0, 1024}}}, false, 8);
    QCOMPARE(job.cardCount(), 3);
    QVERIFY(recorder.waitForFinished());
    QCOMPARE(recorder.events, events);
    QCOMPARE(readFileAt(dir.filePath("args")).split('\n').mid(1, 14),
             (QList<QByteArray>{"--write-helper", "--stdin-cards", "--no-verify", "--image-size=8", "--card",
                                "/dev/sdx", "--diskseq=7", "--size=512", "--card", "/dev/sdy", "--card",
                                "/dev/sdz", "--size=1024", ""}));
}

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--write-helper") == 0)
        return runStandInHelper(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--scenario") == 0)
        return runScenario(argc, argv);
    QCoreApplication app(argc, argv);
    TestWriteJob test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_writejob.moc"
