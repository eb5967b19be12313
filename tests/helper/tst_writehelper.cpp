#include "faultydisk.h"
#include "loopdevice.h"
#include "mounts.h"
#include "removablelsblk.h"
#include "testfiles.h"

#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <csignal>
#include <cstring>

// The installer started with --write-helper, as the window starts it: arguments, the lines on
// standard output, the exit code, silence on standard error, and what ends up on the device.
class TestWriteHelper : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void wrongArguments_data();
    void wrongArguments();
    void refusesTargetNotOffered_data();
    void refusesTargetNotOffered();
    void writesVerifiesAndUnmounts_data();
    void writesVerifiesAndUnmounts();
    void verifyOnlyWhenAskedExactly_data();
    void verifyOnlyWhenAskedExactly();
    void busyMountFailsWithUmountsMessage();
    void deviceTooSmall();
    void ioErrorIsOneLine();
    void stopsWhenNobodyReads();

private:
    struct Run
    {
        int exitCode = -1;
        QStringList lines;
        QByteArray standardError;
    };
    Run runHelper(const QStringList &arguments, const QProcessEnvironment &environment);
    void fillCard();

    QTemporaryDir dir;
    std::unique_ptr<LoopDevice> card; // 64 MiB, two ext2 partitions, shown removable
};

namespace {

const qint64 MiB = 1 << 20;
const qint64 CARD_SIZE = 64 * MiB;
const char HINT[] =
    "\nDas Gerät meldet einen Hardwarefehler. Bitte prüfen: Schreibschutzschalter am SD-Adapter, einen "
    "anderen USB-Anschluss (direkt am Rechner, ohne Hub), einen anderen Kartenleser oder eine andere Karte. "
    "Eine defekte oder gefälschte Karte kann diesen Fehler ebenfalls auslösen.";

QStringList expectedLines(qint64 size, bool verify)
{
    QStringList lines;
    for (const char *phase : {"write", "verify"}) {
        if (QByteArray(phase) == "verify" && !verify)
            break;
        for (qint64 done = 0; done < size;) {
            done = qMin(size, done + 4 * MiB);
            lines << QString("PROGRESS %1 %2 %3").arg(phase).arg(done).arg(size);
        }
    }
    return lines << "DONE";
}

QStringList progressLines(const QStringList &lines)
{
    return lines.filter(QRegularExpression("^PROGRESS "));
}

} // namespace

void TestWriteHelper::initTestCase()
{
    QVERIFY2(QFileInfo::exists(qEnvironmentVariable("TOBRA_INSTALLER")), "TOBRA_INSTALLER names no program");
    QVERIFY(makeCardFile(dir.filePath("card.img"), CARD_SIZE, {"1MiB,16MiB", ","}));
    LoopDevice::Options options;
    options.addPartitions = true;
    card = std::make_unique<LoopDevice>(dir.filePath("card.img"), options);
    if (!card->isAttached())
        QSKIP(qPrintable(card->error()));
}

void TestWriteHelper::cleanupTestCase()
{
    card.reset();
}

TestWriteHelper::Run TestWriteHelper::runHelper(const QStringList &arguments,
                                                const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    // Standard input stays an open pipe: a helper that read from it would hang here.
    process.start(qEnvironmentVariable("TOBRA_INSTALLER"), QStringList{"--write-helper"} + arguments);
    Run run;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    const QString output = QString::fromUtf8(process.readAllStandardOutput());
    run.lines = output.split('\n');
    if (run.lines.last().isEmpty())
        run.lines.removeLast();
    else
        run.lines << "(output does not end with a newline)";
    run.standardError = process.readAllStandardError();
    return run;
}

// Puts a known pattern on the shared card, so that a test sees whether anything was written.
void TestWriteHelper::fillCard()
{
    QFile device(card->path());
    QVERIFY(device.open(QIODevice::WriteOnly));
    QVERIFY(device.write(QByteArray(MiB, '\xAA')) == MiB);
}

void TestWriteHelper::wrongArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("none") << QStringList();
    QTest::newRow("no-verify-flag") << QStringList{"/tmp/a.img", "/dev/sdb"};
}

void TestWriteHelper::wrongArguments()
{
    QFETCH(QStringList, arguments);
    const Run run = runHelper(arguments, QProcessEnvironment::systemEnvironment());
    QCOMPARE(run.lines, QStringList{"ERROR Falsche Argumente für den Schreib-Helfer"});
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.standardError, QByteArray());
}

void TestWriteHelper::refusesTargetNotOffered_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("partition") << "partition";
    QTest::newRow("trailing-slash") << "trailing-slash";
    QTest::newRow("symbolic-link") << "symbolic-link";
    QTest::newRow("not-removable") << "not-removable";
    QTest::newRow("read-only") << "read-only";
    QTest::newRow("percent-signs") << "percent-signs";
    QTest::newRow("lsblk-missing") << "lsblk-missing";
}

void TestWriteHelper::refusesTargetNotOffered()
{
    QFETCH(QString, kind);
    fillCard();
    QVERIFY(writeFile(dir.filePath("image"), randomBytes(MiB)));
    QProcessEnvironment environment = environmentWithRemovable({card->path()});
    QString target = card->path();
    QString enumerationError;
    std::unique_ptr<LoopDevice> readOnly;
    if (kind == "partition") {
        target = card->partition(1);
    } else if (kind == "trailing-slash") {
        target += '/';
    } else if (kind == "symbolic-link") {
        target = dir.filePath("link");
        QVERIFY(QFile::link(card->path(), target));
    } else if (kind == "not-removable") {
        environment.remove("TOBRA_REMOVABLE_DEVICES");
    } else if (kind == "read-only") {
        LoopDevice::Options options;
        options.readOnly = true;
        readOnly = std::make_unique<LoopDevice>(dir.filePath("card.img"), options);
        if (!readOnly->isAttached())
            QSKIP(qPrintable(readOnly->error()));
        target = readOnly->path();
        environment = environmentWithRemovable({target});
    } else if (kind == "percent-signs") {
        target = "/dev/%1%2%";
    } else if (kind == "lsblk-missing") {
        environment.insert("PATH", dir.filePath("empty-folder"));
        enumerationError = "lsblk (Paket util-linux) konnte nicht ausgeführt werden";
    }
    const Run run = runHelper({dir.filePath("image"), target, "--verify"}, environment);
    QCOMPARE(run.lines,
             QStringList{"ERROR " + target + " ist kein erlaubtes Ziel (nur Wechseldatenträger bis 2 TB). " +
                         enumerationError});
    QCOMPARE(run.exitCode, 3);
    QCOMPARE(run.standardError, QByteArray());
    QCOMPARE(readRange(card->path(), 0, MiB), QByteArray(MiB, '\xAA'));
}

void TestWriteHelper::writesVerifiesAndUnmounts_data()
{
    QTest::addColumn<bool>("oldLsblk");
    QTest::newRow("lsblk-with-mountpoints") << false;
    QTest::newRow("lsblk-without-mountpoints") << true;
}

// The whole path: the card's partition is mounted, the helper takes it down, writes, verifies.
void TestWriteHelper::writesVerifiesAndUnmounts()
{
    QFETCH(bool, oldLsblk);
    QVERIFY(makeExt2(card->partition(2)));
    const QString mountpoint = dir.filePath("media/TOBRA");
    Mount mount(card->partition(2), mountpoint);
    QVERIFY2(mount.isOk(), qPrintable(mount.error()));
    const QByteArray image = randomBytes(10 * MiB, 3);
    QVERIFY(writeFile(dir.filePath("image"), image));
    QProcessEnvironment environment = environmentWithRemovable({card->path()});
    if (oldLsblk)
        environment.insert("TOBRA_LSBLK_OLD", "1");

    const Run run = runHelper({dir.filePath("image"), card->path(), "--verify"}, environment);
    QCOMPARE(run.lines, expectedLines(10 * MiB, true));
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.standardError, QByteArray());
    QVERIFY(!isMounted(mountpoint));
    QVERIFY(readRange(card->path(), 0, 10 * MiB) == image);
}

void TestWriteHelper::verifyOnlyWhenAskedExactly_data()
{
    QTest::addColumn<QStringList>("flags");
    QTest::addColumn<bool>("verified");
    QTest::newRow("no-verify") << QStringList{"--no-verify"} << false;
    QTest::newRow("upper-case") << QStringList{"--VERIFY"} << false;
    QTest::newRow("without-dashes") << QStringList{"verify"} << false;
    QTest::newRow("extra-arguments-ignored") << QStringList{"--verify", "--no-verify", "x"} << true;
}

void TestWriteHelper::verifyOnlyWhenAskedExactly()
{
    QFETCH(QStringList, flags);
    QFETCH(bool, verified);
    const QByteArray image = randomBytes(6 * MiB, 5);
    QVERIFY(writeFile(dir.filePath("image"), image));
    const Run run = runHelper(QStringList{dir.filePath("image"), card->path()} + flags,
                              environmentWithRemovable({card->path()}));
    QCOMPARE(run.lines, expectedLines(6 * MiB, verified));
    QCOMPARE(run.exitCode, 0);
    QVERIFY(readRange(card->path(), 0, 6 * MiB) == image);
}

void TestWriteHelper::busyMountFailsWithUmountsMessage()
{
    fillCard();
    QVERIFY(makeExt2(card->partition(2)));
    const QString mountpoint = dir.filePath("busy");
    Mount mount(card->partition(2), mountpoint);
    QVERIFY2(mount.isOk(), qPrintable(mount.error()));
    QFile heldOpen(mountpoint + "/file");
    QVERIFY(heldOpen.open(QIODevice::WriteOnly));
    QVERIFY(writeFile(dir.filePath("image"), randomBytes(MiB)));

    const Run run = runHelper({dir.filePath("image"), card->path(), "--verify"},
                              environmentWithRemovable({card->path()}));
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.lines.size(), 1);
    const QString prefix = "ERROR " + mountpoint + " konnte nicht ausgehängt werden: umount: ";
    QVERIFY2(run.lines[0].startsWith(prefix) && run.lines[0].contains(mountpoint + ":"),
             qPrintable(run.lines[0]));
    QVERIFY(isMounted(mountpoint));
    QCOMPARE(readRange(card->path(), 0, MiB), QByteArray(MiB, '\xAA'));
}

void TestWriteHelper::deviceTooSmall()
{
    QVERIFY(writeFile(dir.filePath("small.img"), QByteArray(8 * MiB, '\xAA')));
    LoopDevice::Options options;
    options.sizeLimit = 4 * MiB;
    LoopDevice small(dir.filePath("small.img"), options);
    if (!small.isAttached())
        QSKIP(qPrintable(small.error()));
    QVERIFY(writeFile(dir.filePath("image"), randomBytes(10 * MiB)));
    const Run run = runHelper({dir.filePath("image"), small.path(), "--verify"},
                              environmentWithRemovable({small.path()}));
    QCOMPARE(run.lines, QStringList{"ERROR Die Karte ist zu klein: 4 MB statt mindestens 11 MB"});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(readRange(small.path(), 0, 4 * MiB), QByteArray(4 * MiB, '\xAA'));
}

// The hardware hint's newline must not split the ERROR line.
void TestWriteHelper::ioErrorIsOneLine()
{
    FaultyDisk::Options diskOptions;
    diskOptions.size = 32 * MiB;
    diskOptions.failAfter = 2 * MiB;
    FaultyDisk disk(dir.path(), diskOptions);
    if (!disk.isRunning())
        QSKIP(qPrintable(disk.error()));
    LoopDevice faulty(disk.file());
    if (!faulty.isAttached())
        QSKIP(qPrintable(faulty.error()));
    QVERIFY(writeFile(dir.filePath("image"), randomBytes(8 * MiB)));

    const Run run = runHelper({dir.filePath("image"), faulty.path(), "--verify"},
                              environmentWithRemovable({faulty.path()}));
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.standardError, QByteArray());
    QVERIFY(!run.lines.isEmpty());
    QCOMPARE(progressLines(run.lines).size(), run.lines.size() - 1);
    const QString errorText =
        QString::fromLocal8Bit(std::strerror(EIO)) + QString::fromUtf8(HINT).replace('\n', ' ');
    const QStringList expected{"ERROR Schreibfehler auf " + faulty.path() + ": " + errorText,
                               "ERROR Zurückschreiben auf " + faulty.path() +
                                   " fehlgeschlagen: " + errorText};
    QVERIFY2(expected.contains(run.lines.last()), qPrintable(run.lines.last()));
}

// The installer cancels a helper that runs as root by closing its end of the output pipe; the
// helper must stop at its next line, even when it inherited an ignored SIGPIPE.
void TestWriteHelper::stopsWhenNobodyReads()
{
    QVERIFY(writeFile(dir.filePath("image"), randomBytes(48 * MiB, 5)));
    QProcess shell;
    shell.setProcessEnvironment(environmentWithRemovable({card->path()}));
    shell.start("bash", {"-c", "trap '' PIPE; \"$0\" \"$@\" | head -n 1; echo \"exit ${PIPESTATUS[0]}\"",
                         qEnvironmentVariable("TOBRA_INSTALLER"), "--write-helper", dir.filePath("image"),
                         card->path(), "--verify"});
    QVERIFY(shell.waitForFinished(120000));
    QCOMPARE(QString::fromUtf8(shell.readAllStandardOutput()),
             QString("PROGRESS write %1 %2\nexit %3\n").arg(4 * MiB).arg(48 * MiB).arg(128 + SIGPIPE));
}

QTEST_GUILESS_MAIN(TestWriteHelper)
#include "tst_writehelper.moc"
