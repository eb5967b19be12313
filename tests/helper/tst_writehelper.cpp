// SPDX-License-Identifier: GPL-3.0-or-later
#include "drives.h"
#include "faultydisk.h"
#include "imagestream.h"
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
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

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
    void severalCardsNotOffered();
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
    void cancelLeavesNoVolume();
    void writesOnlyTheConfirmedDisk_data();
    void writesOnlyTheConfirmedDisk();
    void readsImageAsTheUser_data();
    void readsImageAsTheUser();
    void streamThroughPkexec();
    void severalCardsThroughPkexec();
    void passwordPromptLeavesTheInputAlone();

private:
    struct Run
    {
        int exitCode = -1;
        QStringList lines;
        QByteArray standardError;
    };
    Run runHelper(const QStringList &arguments, const QProcessEnvironment &environment);
    Run runThroughPkexec(const passwd &user, const QStringList &arguments, qint64 *milliseconds,
                         const QByteArray &input = QByteArray(),
                         const QStringList &removable = QStringList());
    QString pkexecMissing(const passwd **nobody);
    void fillCard();
    static void severalCardArgumentRows();

    QTemporaryDir dir;
    std::unique_ptr<LoopDevice> card; // 64 MiB, two ext2 partitions, shown removable
};

namespace {

constexpr qint64 mib = 1 << 20;
constexpr qint64 cardSize = 64 * mib;
constexpr char hintText[] =
    "\nDas Gerät meldet einen Hardwarefehler. Bitte prüfen: Schreibschutzschalter am SD-Adapter, einen "
    "anderen USB-Anschluss (direkt am Rechner, ohne Hub), einen anderen Kartenleser oder eine andere Karte. "
    "Eine defekte oder gefälschte Karte kann diesen Fehler ebenfalls auslösen.";

QString errorText(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

QStringList expectedLines(qint64 size, bool verify)
{
    QStringList lines;
    for (const char *phase : {"write", "verify"}) {
        if (QByteArray(phase) == "verify" && !verify)
            break;
        for (qint64 done = 0; done < size;) {
            done = qMin(size, done + 4 * mib);
            lines << QString("PROGRESS %1 %2 %3").arg(phase).arg(done).arg(size);
        }
    }
    return lines << "DONE";
}

QStringList outputLines(const QString &output)
{
    QStringList lines = output.split('\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    else
        lines << "(output does not end with a newline)";
    return lines;
}

// The image as the stream form takes it: data frames of 1 MiB (its size a multiple of that), then
// the go-ahead.
QByteArray framedInMibs(const QByteArray &image)
{
    QByteArray input;
    for (qint64 offset = 0; offset < image.size(); offset += mib)
        input += ImageStream::dataHeader(mib) + image.mid(offset, mib);
    return input + ImageStream::goAheadFrame(image.size());
}

QStringList progressLines(const QStringList &lines)
{
    return lines.filter(QRegularExpression("^PROGRESS "));
}

} // namespace

void TestWriteHelper::initTestCase()
{
    QVERIFY2(QFileInfo::exists(qEnvironmentVariable("TOBRA_INSTALLER")), "TOBRA_INSTALLER names no program");
    QVERIFY(makeCardFile(dir.filePath("card.img"), cardSize, {"1MiB,16MiB", ","}));
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
    run.lines = outputLines(QString::fromUtf8(process.readAllStandardOutput()));
    run.standardError = process.readAllStandardError();
    return run;
}

// Runs the helper through the real pkexec as the user, who is allowed it by a polkit rule of a
// private system bus and polkitd. pkexec hands the helper a clean PATH, so inside the same
// private mount namespace the lsblk stand-in that shows the card as removable is put over the
// system's lsblk. *milliseconds receives how long pkexec ran; exit code 77 means polkit could not
// be set up, and the lines say why.
TestWriteHelper::Run TestWriteHelper::runThroughPkexec(const passwd &user, const QStringList &arguments,
                                                       qint64 *milliseconds, const QByteArray &input,
                                                       const QStringList &removable)
{
    Run run;
    const QString realLsblk = dir.filePath("real-lsblk");
    const QString standIn = dir.filePath("lsblk-stand-in");
    if (!QFileInfo::exists(realLsblk) && !QFile::copy(systemTool("lsblk"), realLsblk))
        return run;
    if (!writeFile(standIn, QString("#!/bin/sh\nexport TOBRA_REAL_LSBLK='%1' TOBRA_REMOVABLE_DEVICES='%2'\n"
                                    "exec /usr/bin/python3 '%3/lsblk' \"$@\"\n")
                                .arg(realLsblk, removable.isEmpty() ? card->path() : removable.join(':'),
                                     removableLsblkFolder())
                                .toUtf8()) ||
        !QFile::setPermissions(standIn, QFileDevice::ReadOwner | QFileDevice::ExeOwner))
        return run;
    const QString timed = "start=$(date +%s%N); pkexec \"$@\"; code=$?; "
                          "echo \"exit $code $(( ($(date +%s%N) - start) / 1000000 ))\"";
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start("/usr/bin/unshare",
                  QStringList{"-m", "sh", "-c", "mount --bind \"$0\" /usr/bin/lsblk && exec \"$@\"", standIn,
                              qEnvironmentVariable("TOBRA_TEST_SUPPORT") + "/as-user-with-polkit.sh",
                              QString::number(user.pw_uid), QString::number(user.pw_gid), "sh", "-c", timed,
                              "sh", qEnvironmentVariable("TOBRA_INSTALLER"), "--write-helper"} +
                      arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.lines = outputLines(QString::fromUtf8(process.readAllStandardOutput()));
    if (process.exitCode() == 77) {
        run.exitCode = 77;
        return run;
    }
    const QStringList last = run.lines.isEmpty() ? QStringList() : run.lines.takeLast().split(' ');
    if (last.size() == 3 && last.at(0) == "exit") {
        run.exitCode = last.at(1).toInt();
        *milliseconds = last.at(2).toLongLong();
    }
    return run;
}

// What the machine lacks to run the helper through the real pkexec as the user nobody, or empty.
QString TestWriteHelper::pkexecMissing(const passwd **nobody)
{
    for (const char *needed :
         {"/usr/bin/pkexec", "/usr/lib/polkit-1/polkitd", "/usr/bin/dbus-daemon", "/usr/bin/unshare",
          "/usr/bin/setpriv", "/usr/bin/pkaction", "/usr/bin/script"})
        if (!QFileInfo(QString(needed)).isExecutable())
            return QString("needs ") + needed + " (packages pkexec, polkitd, dbus, util-linux, bsdutils)";
    *nobody = ::getpwnam("nobody");
    if (!*nobody)
        return "needs the user nobody";
    if (QProcess::execute("/usr/bin/unshare", {"-m", "true"}) != 0)
        return "needs a private mount namespace (unshare -m, as root)";
    if (QProcess::execute("/usr/bin/setpriv", {QString("--reuid=%1").arg((*nobody)->pw_uid),
                                               QString("--regid=%1").arg((*nobody)->pw_gid), "--clear-groups",
                                               "test", "-x", qEnvironmentVariable("TOBRA_INSTALLER")}) != 0)
        return "needs a build folder that the user nobody can enter and run";
    return QString();
}

// Puts a known pattern on the shared card, so that a test sees whether anything was written.
void TestWriteHelper::fillCard()
{
    QFile device(card->path());
    QVERIFY(device.open(QIODevice::WriteOnly));
    QVERIFY(device.write(QByteArray(mib, '\xAA')) == mib);
}

void TestWriteHelper::wrongArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("none") << QStringList();
    QTest::newRow("no-verify-flag") << QStringList{"/tmp/a.img", "/dev/sdb"};
    const QStringList start{"/tmp/a.img", "/dev/sdb", "--verify"};
    for (const char *identity : {"--diskseq=", "--diskseq=abc", "--diskseq=-1", "--diskseq=+1", "--diskseq=0",
                                 "--diskseq=07", "--diskseq= 7", "--diskseq=7 ", "--size=1e9", "--size=0x10",
                                 "--size=9223372036854775808", "--size=99999999999999999999"})
        QTest::newRow(identity) << start + QStringList{identity};
    QTest::newRow("diskseq-twice") << start + QStringList{"--diskseq=7", "--diskseq=7"};
    QTest::newRow("size-twice") << start + QStringList{"--size=512", "--size=1024"};
    // The password prompt shows the command line: whatever it shows must be all that counts.
    QTest::newRow("unknown-after-verify-flag") << start + QStringList{"--no-verify"};
    QTest::newRow("unknown-after-identity") << start + QStringList{"--size=512", "x"};
    QTest::newRow("verify-flag-upper-case") << QStringList{"/tmp/a.img", "/dev/sdb", "--VERIFY"};
    QTest::newRow("verify-flag-without-dashes") << QStringList{"/tmp/a.img", "/dev/sdb", "verify"};
    QTest::newRow("image-size-in-file-form") << start + QStringList{"--image-size=512"};
    QTest::newRow("image-size-twice")
        << QStringList{"--stdin", "/dev/sdb", "--verify", "--image-size=512", "--image-size=512"};
    QTest::newRow("image-size-zero") << QStringList{"--stdin", "/dev/sdb", "--verify", "--image-size=0"};
    const QList<std::pair<const char *, char32_t>> hidden{{"newline", U'\n'},
                                                          {"carriage-return", U'\r'},
                                                          {"escape", 0x1B},
                                                          {"delete", 0x7F},
                                                          {"c1-control", 0x85},
                                                          {"left-to-right-mark", 0x200E},
                                                          {"right-to-left-mark", 0x200F},
                                                          {"left-to-right-embedding", 0x202A},
                                                          {"right-to-left-override", 0x202E},
                                                          {"first-strong-isolate", 0x2068},
                                                          {"pop-directional-isolate", 0x2069}};
    for (const auto &[name, code] : hidden) {
        const QString character = QString::fromUcs4(&code, 1);
        QTest::newRow(qPrintable(QString("image-path-%1").arg(name)))
            << QStringList{"/tmp/a" + character + ".img", "/dev/sdb", "--verify"};
        QTest::newRow(qPrintable(QString("device-path-%1").arg(name)))
            << QStringList{"--stdin", "/dev/sd" + character + "b", "--verify"};
        QTest::newRow(qPrintable(QString("card-path-%1").arg(name))) << QStringList{
            "--stdin-cards", "--verify", "--card", "/dev/sdb", "--card", "/dev/sd" + character + "c"};
    }
    severalCardArgumentRows();
}

// The several-card form: each card once, at most sixteen, the run's options before the cards.
void TestWriteHelper::severalCardArgumentRows()
{
    const QStringList start{"--stdin-cards", "--verify"};
    const QStringList sdb{"--card", "/dev/sdb"};
    QStringList seventeen = start;
    for (int index = 0; index < 17; ++index)
        seventeen << "--card" << QString("/dev/sd%1").arg(QChar('b' + index));
    QTest::newRow("cards-none") << start;
    QTest::newRow("cards-seventeen") << seventeen;
    QTest::newRow("cards-same-path-twice") << start + sdb + QStringList{"--size=512"} + sdb;
    QTest::newRow("cards-without-verify-flag") << QStringList{"--stdin-cards"} + sdb;
    QTest::newRow("cards-verify-flag-after-card")
        << QStringList{"--stdin-cards"} + sdb + QStringList{"--verify"};
    QTest::newRow("card-without-path") << start + QStringList{"--card"};
    QTest::newRow("card-empty-path") << start + QStringList{"--card", ""};
    QTest::newRow("card-relative-path") << start + QStringList{"--card", "sdb"};
    QTest::newRow("card-path-missing-before-option") << start + QStringList{"--card", "--size=512"} + sdb;
    QTest::newRow("card-option-before-any-card") << start + QStringList{"--size=512"} + sdb;
    QTest::newRow("card-size-twice") << start + sdb + QStringList{"--size=512", "--size=512"};
    QTest::newRow("card-diskseq-malformed") << start + sdb + QStringList{"--diskseq=07"};
    QTest::newRow("card-unknown-option") << start + sdb + QStringList{"--verify"};
    QTest::newRow("card-path-without-card") << start + sdb + QStringList{"/dev/sdc"};
    QTest::newRow("cards-image-size-after-a-card") << start + sdb + QStringList{"--image-size=512"};
    QTest::newRow("cards-image-size-twice")
        << start + QStringList{"--image-size=512", "--image-size=512"} + sdb;
    QTest::newRow("cards-image-size-zero") << start + QStringList{"--image-size=0"} + sdb;
    QTest::newRow("cards-with-stdin") << QStringList{"--stdin-cards", "--stdin", "/dev/sdb", "--verify"};
}

void TestWriteHelper::wrongArguments()
{
    QFETCH(QStringList, arguments);
    const Run run = runHelper(arguments, QProcessEnvironment::systemEnvironment());
    QCOMPARE(run.lines, QStringList{"ERROR Falsche Argumente für den Schreib-Helfer"});
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.standardError, QByteArray());
}

// Sixteen cards are read; none of them is offered, so each is refused on its own line before the
// run's refusal, in their order.
void TestWriteHelper::severalCardsNotOffered()
{
    QStringList arguments{"--stdin-cards", "--no-verify", "--image-size=512"};
    QStringList expected;
    for (int index = 0; index < 16; ++index) {
        const QString path = QString("/dev/not-offered-%1").arg(index);
        arguments << "--card" << path << QString("--diskseq=%1").arg(index + 1) << "--size=512";
        expected
            << QString(
                   "CARD %1 ERROR %2 ist kein erlaubtes Ziel (nur Wechseldatenträger bis 2 TB). Die Karte "
                   "wurde nicht verändert.")
                   .arg(index + 1)
                   .arg(path);
    }
    const Run run = runHelper(arguments, environmentWithRemovable({card->path()}));
    QCOMPARE(run.lines, expected + QStringList{"ERROR Keine der Karten kann beschrieben werden."});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.standardError, QByteArray());
}

void TestWriteHelper::refusesTargetNotOffered_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("partition") << "partition";
    QTest::newRow("trailing-slash") << "trailing-slash";
    QTest::newRow("symbolic-link") << "symbolic-link";
    QTest::newRow("not-removable") << "not-removable";
    QTest::newRow("emmc") << "emmc";
    QTest::newRow("read-only") << "read-only";
    QTest::newRow("percent-signs") << "percent-signs";
    QTest::newRow("lsblk-missing") << "lsblk-missing";
}

void TestWriteHelper::refusesTargetNotOffered()
{
    QFETCH(QString, kind);
    fillCard();
    QVERIFY(writeFile(dir.filePath("image"), randomBytes(mib)));
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
    } else if (kind == "emmc") {
        environment.remove("TOBRA_REMOVABLE_DEVICES");
        environment.insert("TOBRA_LSBLK_EMMC", target);
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
    QCOMPARE(readRange(card->path(), 0, mib), QByteArray(mib, '\xAA'));
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
    const QByteArray image = randomBytes(10 * mib, 3);
    QVERIFY(writeFile(dir.filePath("image"), image));
    QProcessEnvironment environment = environmentWithRemovable({card->path()});
    if (oldLsblk)
        environment.insert("TOBRA_LSBLK_OLD", "1");

    const Run run = runHelper({dir.filePath("image"), card->path(), "--verify"}, environment);
    QCOMPARE(run.lines, expectedLines(10 * mib, true));
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.standardError, QByteArray());
    QVERIFY(!isMounted(mountpoint));
    QVERIFY(readRange(card->path(), 0, 10 * mib) == image);
}

void TestWriteHelper::verifyOnlyWhenAskedExactly_data()
{
    QTest::addColumn<QStringList>("flags");
    QTest::addColumn<bool>("verified");
    QTest::newRow("no-verify") << QStringList{"--no-verify"} << false;
    QTest::newRow("verify") << QStringList{"--verify"} << true;
    QTest::newRow("verify-and-identity") << QStringList{"--verify", "--size=67108864"} << true;
}

void TestWriteHelper::verifyOnlyWhenAskedExactly()
{
    QFETCH(QStringList, flags);
    QFETCH(bool, verified);
    const QByteArray image = randomBytes(6 * mib, 5);
    QVERIFY(writeFile(dir.filePath("image"), image));
    const Run run = runHelper(QStringList{dir.filePath("image"), card->path()} + flags,
                              environmentWithRemovable({card->path()}));
    QCOMPARE(run.lines, expectedLines(6 * mib, verified));
    QCOMPARE(run.exitCode, 0);
    QVERIFY(readRange(card->path(), 0, 6 * mib) == image);
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
    QVERIFY(writeFile(dir.filePath("image"), randomBytes(mib)));

    const Run run = runHelper({dir.filePath("image"), card->path(), "--verify"},
                              environmentWithRemovable({card->path()}));
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.lines.size(), 1);
    const QString prefix = "ERROR " + mountpoint + " konnte nicht ausgehängt werden: umount: ";
    QVERIFY2(run.lines[0].startsWith(prefix) && run.lines[0].contains(mountpoint + ":"),
             qPrintable(run.lines[0]));
    QVERIFY(isMounted(mountpoint));
    QCOMPARE(readRange(card->path(), 0, mib), QByteArray(mib, '\xAA'));
}

void TestWriteHelper::deviceTooSmall()
{
    QVERIFY(writeFile(dir.filePath("small.img"), QByteArray(8 * mib, '\xAA')));
    LoopDevice::Options options;
    options.sizeLimit = 4 * mib;
    LoopDevice small(dir.filePath("small.img"), options);
    if (!small.isAttached())
        QSKIP(qPrintable(small.error()));
    QVERIFY(writeFile(dir.filePath("image"), randomBytes(10 * mib)));
    const Run run = runHelper({dir.filePath("image"), small.path(), "--verify"},
                              environmentWithRemovable({small.path()}));
    QCOMPARE(run.lines, QStringList{"ERROR Die Karte ist zu klein: 4 MB statt mindestens 11 MB"});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(readRange(small.path(), 0, 4 * mib), QByteArray(4 * mib, '\xAA'));
}

// The hardware hint's newline must not split the ERROR line, and the card is left without a volume.
void TestWriteHelper::ioErrorIsOneLine()
{
    FaultyDisk::Options diskOptions;
    diskOptions.size = 32 * mib;
    diskOptions.failAfter = 2 * mib + 4096; // a bad patch behind the capacity check's mark at 2 MiB
    diskOptions.faultsBefore = 3 * mib;
    FaultyDisk disk(dir.path(), diskOptions);
    if (!disk.isRunning())
        QSKIP(qPrintable(disk.error()));
    LoopDevice faulty(disk.file());
    if (!faulty.isAttached())
        QSKIP(qPrintable(faulty.error()));
    QVERIFY(writeFile(faulty.path(), QByteArray(mib, '\xAA')));
    QVERIFY(writeFile(dir.filePath("image"), randomBytes(8 * mib)));

    const Run run = runHelper({dir.filePath("image"), faulty.path(), "--verify"},
                              environmentWithRemovable({faulty.path()}));
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.standardError, QByteArray());
    QVERIFY(!run.lines.isEmpty());
    QCOMPARE(progressLines(run.lines).size(), run.lines.size() - 1);
    const QString errorText =
        QString::fromLocal8Bit(std::strerror(EIO)) + QString::fromUtf8(hintText).replace('\n', ' ');
    const QStringList expected{"ERROR Schreibfehler auf " + faulty.path() + ": " + errorText,
                               "ERROR Zurückschreiben auf " + faulty.path() +
                                   " fehlgeschlagen: " + errorText};
    QVERIFY2(expected.contains(run.lines.last()), qPrintable(run.lines.last()));
    // The head goes on last, so the card shows no partition table.
    QCOMPARE(readRange(faulty.path(), 0, mib), QByteArray(mib, '\0'));
}

// The installer cancels a helper that runs as root by closing its end of the output pipe; the
// helper must stop at its next line, even when it inherited an ignored SIGPIPE.
void TestWriteHelper::stopsWhenNobodyReads()
{
    fillCard();
    QVERIFY(writeFile(dir.filePath("image"), randomBytes(48 * mib, 5)));
    QProcess shell;
    shell.setProcessEnvironment(environmentWithRemovable({card->path()}));
    shell.start("bash", {"-c", "trap '' PIPE; \"$0\" \"$@\" | head -n 1; echo \"exit ${PIPESTATUS[0]}\"",
                         qEnvironmentVariable("TOBRA_INSTALLER"), "--write-helper", dir.filePath("image"),
                         card->path(), "--verify"});
    QVERIFY(shell.waitForFinished(120000));
    QCOMPARE(QString::fromUtf8(shell.readAllStandardOutput()),
             QString("PROGRESS write %1 %2\nexit %3\n").arg(4 * mib).arg(48 * mib).arg(128 + SIGPIPE));
    QCOMPARE(readRange(card->path(), 0, mib), QByteArray(mib, '\0'));
}

// Cancelling kills the helper: the partition tables are not on the card yet, so nothing on it
// looks like a finished installation.
void TestWriteHelper::cancelLeavesNoVolume()
{
    fillCard();
    const QByteArray image = randomBytes(48 * mib, 6);
    QVERIFY(writeFile(dir.filePath("image"), image));
    QProcess helper;
    helper.setProcessEnvironment(environmentWithRemovable({card->path()}));
    helper.start(qEnvironmentVariable("TOBRA_INSTALLER"),
                 {"--write-helper", dir.filePath("image"), card->path(), "--verify"});
    QVERIFY(helper.waitForReadyRead(60000));
    helper.kill();
    QVERIFY(helper.waitForFinished());
    QCOMPARE(readRange(card->path(), 0, mib), QByteArray(mib, '\0'));
    QVERIFY(readRange(card->path(), mib, 3 * mib) == image.mid(mib, 3 * mib));
}

void TestWriteHelper::writesOnlyTheConfirmedDisk_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("same-disk") << "";
    QTest::newRow("other-file-behind-the-same-name") << "reattach";
    QTest::newRow("other-size") << "size";
    QTest::newRow("only-the-size-known") << "size-only";
}

// The window passes the identity of the disk the user confirmed; a disk that has taken over its
// name since (here a loop device re-attached to another file) is refused before a byte is written.
void TestWriteHelper::writesOnlyTheConfirmedDisk()
{
    QFETCH(QString, change);
    QVERIFY(writeFile(dir.filePath("first.img"), QByteArray(16 * mib, '\xAA')));
    QVERIFY(writeFile(dir.filePath("second.img"), QByteArray(16 * mib, '\x55')));
    LoopDevice loop(dir.filePath("first.img"));
    if (!loop.isAttached())
        QSKIP(qPrintable(loop.error()));
    const quint64 diskseq = readDiskSequence(loop.path());
    if (diskseq == 0)
        QSKIP("needs a kernel with disk sequence numbers (5.15 or newer)");
    QStringList identity{QString("--diskseq=%1").arg(diskseq), QString("--size=%1").arg(16 * mib)};
    QString written = dir.filePath("first.img");
    if (change == "reattach") {
        if (!loop.reattach(dir.filePath("second.img")))
            QSKIP("another process took the loop device while it was swapped");
        QVERIFY(readDiskSequence(loop.path()) != diskseq);
        written.clear();
    } else if (change == "size") {
        identity[1] = QString("--size=%1").arg(16 * mib + 512);
        written.clear();
    } else if (change == "size-only") {
        identity.removeFirst();
    }
    const QByteArray image = randomBytes(6 * mib, 11);
    QVERIFY(writeFile(dir.filePath("image"), image));

    const Run run = runHelper(QStringList{dir.filePath("image"), loop.path(), "--verify"} + identity,
                              environmentWithRemovable({loop.path()}));
    QCOMPARE(run.standardError, QByteArray());
    if (!written.isEmpty()) {
        QCOMPARE(run.lines, expectedLines(image.size(), true));
        QCOMPARE(run.exitCode, 0);
        QVERIFY(readRange(loop.path(), 0, image.size()) == image);
        return;
    }
    QCOMPARE(run.lines, QStringList{"ERROR Die Karte unter " + loop.path() +
                                    " wurde gewechselt oder verändert, seit sie ausgewählt wurde. Es wurde "
                                    "nichts geschrieben. Bitte die Auswahl prüfen."});
    QCOMPARE(run.exitCode, 1);
    QVERIFY(readRange(dir.filePath("first.img"), 0, 16 * mib) == QByteArray(16 * mib, '\xAA'));
    QVERIFY(readRange(dir.filePath("second.img"), 0, 16 * mib) == QByteArray(16 * mib, '\x55'));
}

void TestWriteHelper::readsImageAsTheUser_data()
{
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("message");
    const QString unreadable = "ERROR Image kann nicht gelesen werden: ";
    const QString path = dir.path();
    QTest::newRow("own-image") << path + "/own.img" << QString();
    QTest::newRow("root-only-file") << path + "/secret" << unreadable + errorText(EACCES);
    QTest::newRow("symbolic-link-to-it") << path + "/link" << unreadable + errorText(EACCES);
    QTest::newRow("fifo") << path + "/fifo"
                          << unreadable + path +
                                 "/fifo ist keine gewöhnliche Datei, sondern eine Pipe (FIFO)";
    QTest::newRow("block-device") << path + "/card-node"
                                  << unreadable + path +
                                         "/card-node ist keine gewöhnliche Datei, sondern ein Gerät";
    QTest::newRow("proc-environ") << "/proc/self/environ" << unreadable + errorText(EACCES);
}

// Through pkexec the image is opened as the user who asked: what they may not read, or what is no
// file, is refused at once and the card keeps every byte; their own image is written.
void TestWriteHelper::readsImageAsTheUser()
{
    QFETCH(QString, image);
    QFETCH(QString, message);
    const passwd *nobody = nullptr;
    const QString missing = pkexecMissing(&nobody);
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));

    QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7755)));
    const QByteArray own = randomBytes(6 * mib, 9);
    QVERIFY(writeFile(dir.filePath("own.img"), own));
    QVERIFY(::chown(QFile::encodeName(dir.filePath("own.img")).constData(), nobody->pw_uid, nobody->pw_gid) ==
            0);
    QVERIFY(writeFile(dir.filePath("secret"), randomBytes(mib)));
    QVERIFY(QFile::setPermissions(dir.filePath("secret"), QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QFile::remove(dir.filePath("link"));
    QVERIFY(QFile::link(dir.filePath("secret"), dir.filePath("link")));
    QFile::remove(dir.filePath("fifo"));
    QVERIFY(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0666) == 0);
    struct stat cardStatus;
    QVERIFY(::stat(QFile::encodeName(card->path()).constData(), &cardStatus) == 0);
    QFile::remove(dir.filePath("card-node"));
    QVERIFY(::mknod(QFile::encodeName(dir.filePath("card-node")).constData(), S_IFBLK | 0644,
                    cardStatus.st_rdev) == 0);
    fillCard();
    const QByteArray before = readRange(card->path(), 0, cardSize);

    qint64 milliseconds = -1;
    const Run run = runThroughPkexec(*nobody, {image, card->path(), "--verify"}, &milliseconds);
    if (run.exitCode == 77)
        QSKIP(qPrintable("polkit could not be set up: " + run.lines.join(' ')));
    if (message.isEmpty()) {
        QCOMPARE(run.lines, expectedLines(own.size(), true));
        QCOMPARE(run.exitCode, 0);
        QVERIFY(readRange(card->path(), 0, own.size()) == own);
        return;
    }
    QCOMPARE(run.lines, QStringList{message});
    QCOMPARE(run.exitCode, 1);
    qDebug("refused after %lld ms", milliseconds);
    // No hang: pkexec, the drive listing and the refusal together, on a busy machine.
    QVERIFY2(milliseconds >= 0 && milliseconds < 5000, qPrintable(QString::number(milliseconds)));
    QVERIFY(readRange(card->path(), 0, cardSize) == before);
}

// The stream form through the real pkexec: pkexec hands its standard input on to the helper.
void TestWriteHelper::streamThroughPkexec()
{
    const passwd *nobody = nullptr;
    const QString missing = pkexecMissing(&nobody);
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    fillCard();
    const QByteArray image = randomBytes(6 * mib, 14);
    const QByteArray input = framedInMibs(image);
    qint64 milliseconds = -1;
    const Run run = runThroughPkexec(
        *nobody, {"--stdin", card->path(), "--verify", QString("--image-size=%1").arg(image.size())},
        &milliseconds, input);
    if (run.exitCode == 77)
        QSKIP(qPrintable("polkit could not be set up: " + run.lines.join(' ')));
    QCOMPARE(run.lines, (QStringList{"READY", "WRITING"} + expectedLines(image.size(), true)));
    QCOMPARE(run.exitCode, 0);
    QVERIFY(readRange(card->path(), 0, image.size()) == image);
}

// Two cards through one pkexec, so one prompt: each card's lines under its number, both written.
void TestWriteHelper::severalCardsThroughPkexec()
{
    const passwd *nobody = nullptr;
    const QString missing = pkexecMissing(&nobody);
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    fillCard();
    QVERIFY(writeFile(dir.filePath("second.img"), QByteArray(16 * mib, '\xAA')));
    const LoopDevice second(dir.filePath("second.img"));
    if (!second.isAttached())
        QSKIP(qPrintable(second.error()));
    const QByteArray image = randomBytes(6 * mib, 15);
    const QByteArray input = framedInMibs(image);
    qint64 milliseconds = -1;
    const Run run = runThroughPkexec(
        *nobody, {"--stdin-cards", "--verify", "--card", card->path(), "--card", second.path()},
        &milliseconds, input, {card->path(), second.path()});
    if (run.exitCode == 77)
        QSKIP(qPrintable("polkit could not be set up: " + run.lines.join(' ')));
    QCOMPARE(run.lines.mid(0, 3), (QStringList{"CARD 1 READY", "CARD 2 READY", "READY"}));
    for (const QString &prefix : {QString("CARD 1 "), QString("CARD 2 ")}) {
        QStringList cardLines;
        for (const QString &line : run.lines.filter(QRegularExpression("^" + prefix)))
            cardLines << line.mid(prefix.size());
        QCOMPARE(cardLines,
                 (QStringList{"READY", "WRITING", QString("PROGRESS write %1 0").arg(4 * mib),
                              QString("PROGRESS write %1 0").arg(6 * mib)} +
                  expectedLines(image.size(), true).filter("PROGRESS verify") + QStringList{"DONE"}));
    }
    QCOMPARE(run.lines.constLast(), QString("DONE"));
    QCOMPARE(run.exitCode, 0);
    QVERIFY(readRange(card->path(), 0, image.size()) == image);
    QVERIFY(readRange(second.path(), 0, image.size()) == image);
}

// pkexec's own password prompt on a terminal (no graphical agent) asks through the terminal and
// reads the password from it, never from its standard input, which is the helper's image.
void TestWriteHelper::passwordPromptLeavesTheInputAlone()
{
    const passwd *nobody = nullptr;
    const QString missing = pkexecMissing(&nobody);
    if (!missing.isEmpty())
        QSKIP(qPrintable(missing));
    QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7755)));
    QVERIFY(
        writeFile(dir.filePath("input"), ImageStream::dataHeader(4) + "Tobr" + ImageStream::goAheadFrame(4)));
    // As the user, on a terminal of its own (script): the image on descriptor 3 becomes pkexec's
    // standard input; afterwards the shared read position tells whether anyone read from it.
    const QString probe =
        QString("exec 3< '%1'; pkexec '%2' --write-helper --stdin '%3' --verify <&3 >/dev/null; "
                "echo \"exit $?\"; grep '^pos' /proc/self/fdinfo/3")
            .arg(dir.filePath("input"), qEnvironmentVariable("TOBRA_INSTALLER"), card->path());
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TOBRA_POLKIT_RESULT", "AUTH_SELF");
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start("/usr/bin/unshare",
                  {"-m", qEnvironmentVariable("TOBRA_TEST_SUPPORT") + "/as-user-with-polkit.sh",
                   QString::number(nobody->pw_uid), QString::number(nobody->pw_gid), "/usr/bin/script",
                   "-qec", "sh -c \"" + QString(probe).replace('"', "\\\"").replace("$", "\\$") + "\"",
                   "/dev/null"});
    QVERIFY(process.waitForStarted());
    // What is typed at the prompt: a password the user nobody does not have.
    QTest::qWait(3000);
    process.write("not-the-password\n");
    QVERIFY(process.waitForFinished(60000));
    const QString transcript = QString::fromUtf8(process.readAll());
    if (process.exitCode() == 77)
        QSKIP(qPrintable("polkit could not be set up: " + transcript));
    QVERIFY2(transcript.contains("Password:") && transcript.contains("exit 127"), qPrintable(transcript));
    QVERIFY2(transcript.contains(QRegularExpression("pos:\\s+0\\s")), qPrintable(transcript));
}

QTEST_GUILESS_MAIN(TestWriteHelper)
#include "tst_writehelper.moc"
