// SPDX-License-Identifier: GPL-3.0-or-later
#include "loopdevice.h"
#include "mountinfo.h"
#include "mounts.h"
#include "removablelsblk.h"
#include "testfiles.h"
#include "writehelper.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <cstring>
#include <sys/sysmacros.h>

// unmountTarget against real mounts of loop device partitions (ext2, since this kernel has no vfat).
class TestUnmount : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void nestedMountsInsideOut_data();
    void nestedMountsInsideOut();
    void unmountedCardRunsNoUmount();
    void umountMessageIsPassedOn();
    void refusesSystemMountpoint();
    void refusesSwapPartition();
    void notABlockDevice();
    void exclusiveOpenGuardsStillMountedCard();
    void oddMountPoints_data();
    void oddMountPoints();
    void leavesWhatIsMountedOverTheCard();
    void hangingUmountEndsAfter30Seconds();
    void readsMountInfo_data();
    void readsMountInfo();

private:
    bool attachCard(const QString &file);
    void useFakeUmount(const QByteArray &script);

    QByteArray originalPath = qgetenv("PATH");
    QTemporaryDir dir;
    QTemporaryDir fakes;
    std::unique_ptr<LoopDevice> loop;
};

namespace {

constexpr qint64 mib = 1 << 20;

// Frees swap enabled by a test again.
struct SwapOn
{
    explicit SwapOn(const QString &devicePath) : device(devicePath) { ok = runTool("swapon", {devicePath}); }
    ~SwapOn()
    {
        if (ok)
            runTool("swapoff", {device});
    }
    Q_DISABLE_COPY(SwapOn)
    QString device;
    bool ok;
};

} // namespace

void TestUnmount::init()
{
    qputenv("PATH", pathWithRemovableLsblk(QString::fromLocal8Bit(originalPath)).toLocal8Bit());
    qunsetenv("TOBRA_LSBLK_OLD");
    loop.reset();
}

// A 64 MiB card with two partitions of about 30 MiB, each holding ext2.
bool TestUnmount::attachCard(const QString &file)
{
    if (!makeCardFile(file, 64 * mib, {"1MiB,30MiB", ","}))
        return false;
    LoopDevice::Options options;
    options.addPartitions = true;
    loop = std::make_unique<LoopDevice>(file, options);
    return loop->isAttached() && makeExt2(loop->partition(1)) && makeExt2(loop->partition(2));
}

// Puts an "umount" that runs the script first on PATH.
void TestUnmount::useFakeUmount(const QByteArray &script)
{
    QVERIFY(writeFile(fakes.filePath("umount"), "#!/bin/sh\n" + script + "\n"));
    QVERIFY(QFile::setPermissions(fakes.filePath("umount"), QFile::ReadOwner | QFile::ExeOwner));
    qputenv(
        "PATH",
        (fakes.path() + ":" + pathWithRemovableLsblk(QString::fromLocal8Bit(originalPath))).toLocal8Bit());
}

void TestUnmount::nestedMountsInsideOut_data()
{
    QTest::addColumn<bool>("oldLsblk");
    QTest::newRow("lsblk-with-mountpoints") << false;
    QTest::newRow("lsblk-without-mountpoints") << true;
}

// The outer mount cannot go while the inner one is there, so success shows the order.
void TestUnmount::nestedMountsInsideOut()
{
    QFETCH(bool, oldLsblk);
    if (!attachCard(dir.filePath("card.img")))
        QSKIP(qPrintable(loop ? loop->error() : QString("cannot make the card")));
    const QString outer = dir.filePath("card");
    Mount outerMount(loop->partition(1), outer);
    Mount innerMount(loop->partition(2), outer + "/data");
    QVERIFY2(outerMount.isOk() && innerMount.isOk(), qPrintable(outerMount.error() + innerMount.error()));
    if (oldLsblk)
        qputenv("TOBRA_LSBLK_OLD", "1");
    QString error = "untouched";
    QVERIFY2(unmountTarget(loop->path(), &error), qPrintable(error));
    QCOMPARE(error, QString("untouched"));
    QVERIFY(!isMounted(outer + "/data"));
    QVERIFY(!isMounted(outer));
}

void TestUnmount::unmountedCardRunsNoUmount()
{
    if (!attachCard(dir.filePath("card.img")))
        QSKIP(qPrintable(loop ? loop->error() : QString("cannot make the card")));
    useFakeUmount("exit 1");
    QString error;
    QVERIFY2(unmountTarget(loop->path(), &error), qPrintable(error));
}

void TestUnmount::umountMessageIsPassedOn()
{
    if (!attachCard(dir.filePath("card.img")))
        QSKIP(qPrintable(loop ? loop->error() : QString("cannot make the card")));
    const QString folder = dir.filePath("100%1 %2");
    Mount mount(loop->partition(2), folder);
    QVERIFY2(mount.isOk(), qPrintable(mount.error()));
    useFakeUmount("echo '  umount: nicht erlaubt\n' >&2; exit 32");
    QString error;
    QVERIFY(!unmountTarget(loop->path(), &error));
    QCOMPARE(error, folder + " konnte nicht ausgehängt werden: umount: nicht erlaubt");
}

void TestUnmount::refusesSystemMountpoint()
{
    if (!attachCard(dir.filePath("card.img")))
        QSKIP(qPrintable(loop ? loop->error() : QString("cannot make the card")));
    QTemporaryDir systemParent("/var/tmp/tobra-test-XXXXXX");
    const QString folder = systemParent.filePath("sd");
    Mount mount(loop->partition(1), folder);
    QVERIFY2(mount.isOk(), qPrintable(mount.error()));
    QString error;
    QVERIFY(!unmountTarget(loop->path(), &error));
    QCOMPARE(error,
             loop->path() + " enthält das Systemverzeichnis " + folder + ", das wird nicht überschrieben");
    QVERIFY(isMounted(folder));
}

void TestUnmount::refusesSwapPartition()
{
    if (!attachCard(dir.filePath("card.img")))
        QSKIP(qPrintable(loop ? loop->error() : QString("cannot make the card")));
    QVERIFY(runTool("mkswap", {loop->partition(2)}));
    SwapOn swap(loop->partition(2));
    if (!swap.ok)
        QSKIP("swapon is not allowed here");
    QString error;
    QVERIFY(!unmountTarget(loop->path(), &error));
    QCOMPARE(error, loop->path() + " enthält das Systemverzeichnis [SWAP], das wird nicht überschrieben");
}

void TestUnmount::notABlockDevice()
{
    QString error;
    QVERIFY(!unmountTarget("/dev/null", &error));
    QCOMPARE(error, QString("Die Einhängepunkte von /dev/null konnten nicht ermittelt werden"));
}

// Even when unmounting claims success but the card is still mounted, the exclusive open refuses it.
void TestUnmount::exclusiveOpenGuardsStillMountedCard()
{
    if (!attachCard(dir.filePath("card.img")))
        QSKIP(qPrintable(loop ? loop->error() : QString("cannot make the card")));
    Mount mount(loop->partition(2), dir.filePath("data"));
    QVERIFY2(mount.isOk(), qPrintable(mount.error()));
    useFakeUmount("exit 0");
    const QByteArray before = readRange(loop->path(), 0, 4 * mib);
    QVERIFY(writeFile(dir.filePath("image"), randomBytes(4 * mib)));
    QString error;
    QVERIFY(!writeImage(dir.filePath("image"), loop->path(), true, {}, {}, &error));
    QCOMPARE(error, "Zielgerät kann nicht geöffnet werden (" + loop->path() +
                        "): " + QString::fromLocal8Bit(std::strerror(EBUSY)));
    QVERIFY(readRange(loop->path(), 0, 4 * mib) == before);
}

void TestUnmount::oddMountPoints_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("newline") << "card\nsecond";
    QTest::newRow("tab") << "card\tsecond";
    QTest::newRow("backslash and blank") << "card\\040 second";
    QTest::newRow("newline at the end") << "card\n";
}

// The card's file system is taken down by the place the kernel names; another file system
// mounted at what the first line of that name would read as stays.
void TestUnmount::oddMountPoints()
{
    QFETCH(QString, name);
    if (!attachCard(dir.filePath("card.img")))
        QSKIP(qPrintable(loop ? loop->error() : QString("cannot make the card")));
    Mount other("decoy", dir.filePath("card"), "tmpfs");
    Mount mount(loop->partition(1), dir.filePath(name));
    QVERIFY2(other.isOk() && mount.isOk(), qPrintable(other.error() + mount.error()));
    QVERIFY(isMounted(dir.filePath(name)));
    QString error;
    QVERIFY2(unmountTarget(loop->path(), &error), qPrintable(error));
    QVERIFY(!isMounted(dir.filePath(name)));
    QVERIFY(isMounted(dir.filePath("card")));
}

// With another file system mounted over the card's, umount would take down that one: the card is
// refused instead, and both stay.
void TestUnmount::leavesWhatIsMountedOverTheCard()
{
    if (!attachCard(dir.filePath("card.img")))
        QSKIP(qPrintable(loop ? loop->error() : QString("cannot make the card")));
    const QString folder = dir.filePath("card");
    Mount mount(loop->partition(1), folder);
    Mount over("decoy", folder, "tmpfs");
    QVERIFY2(mount.isOk() && over.isOk(), qPrintable(mount.error() + over.error()));
    QString error;
    QVERIFY(!unmountTarget(loop->path(), &error));
    QCOMPARE(error, folder +
                        " konnte nicht ausgehängt werden: Darin oder darüber ist ein anderes Dateisystem "
                        "eingehängt.");
    QVERIFY(isMounted(folder));
    QVERIFY(runTool(systemTool("umount"), {folder}));
    QVERIFY(isMounted(folder)); // the card's, under the other one
}

// An umount that never returns is stopped after 30 s, and the card is not written.
void TestUnmount::hangingUmountEndsAfter30Seconds()
{
    if (!attachCard(dir.filePath("card.img")))
        QSKIP(qPrintable(loop ? loop->error() : QString("cannot make the card")));
    const QString folder = dir.filePath("card");
    Mount mount(loop->partition(1), folder);
    QVERIFY2(mount.isOk(), qPrintable(mount.error()));
    const QString started = dir.filePath("umount-started");
    useFakeUmount("echo $$ > '" + started.toUtf8() + "'; exec sleep 300");
    QElapsedTimer timer;
    timer.start();
    QString error;
    QVERIFY(!unmountTarget(loop->path(), &error));
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(error, folder + " konnte nicht ausgehängt werden: umount hat nach 30 s nicht geantwortet.");
    QVERIFY2(elapsed >= 30000 && elapsed < 60000, qPrintable(QString::number(elapsed)));
    const QByteArray pid = readFile(started).trimmed();
    QVERIFY(!pid.isEmpty());
    QVERIFY2(!QFileInfo::exists("/proc/" + pid), "the hanging umount is still running");
    QVERIFY(isMounted(folder));
}

void TestUnmount::readsMountInfo_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QList<QByteArray>>("mountPoints");
    QTest::addColumn<QList<int>>("ids");
    const QByteArray line = "36 35 98:0 /mnt1 ";
    const QByteArray tail = " rw,noatime master:1 - ext3 /dev/root rw,errors=continue";
    QTest::newRow("plain") << line + "/mnt/parent" + tail << QList<QByteArray>{"/mnt/parent"}
                           << QList<int>{36};
    QTest::newRow("escapes") << line + "/m\\040a\\011b\\012c\\134d" + tail
                             << QList<QByteArray>{"/m a\tb\nc\\d"} << QList<int>{36};
    QTest::newRow("not an escape") << line + "/a\\9z\\12\\477" + tail << QList<QByteArray>{"/a\\9z\\12\\477"}
                                   << QList<int>{36};
    QTest::newRow("two lines, broken ones skipped")
        << QByteArray("1 0 8:1 / / rw - ext4 /dev/sda1 rw\n\nx 1 8:2 / /a rw\n2 1 8 / /b rw\n3 1 8:3 / c rw\n"
                      "4 1 -8:4 / /d rw\n5 1 8:5 / /e rw - ext4 /dev/sda5 rw")
        << QList<QByteArray>{"/", "/e"} << QList<int>{1, 5};
}

// The kernel's mountinfo lines as they are read, mount points unescaped.
void TestUnmount::readsMountInfo()
{
    QFETCH(QByteArray, text);
    QFETCH(QList<QByteArray>, mountPoints);
    QFETCH(QList<int>, ids);
    const QList<MountEntry> entries = parseMountInfo(text);
    QList<QByteArray> readPoints;
    QList<int> readIds;
    for (const MountEntry &entry : entries) {
        readPoints << entry.mountPoint;
        readIds << entry.id;
    }
    QCOMPARE(readPoints, mountPoints);
    QCOMPARE(readIds, ids);
    if (!entries.isEmpty())
        QCOMPARE(major(entries.constFirst().device), unsigned(ids.constFirst() == 1 ? 8 : 98));
}

QTEST_GUILESS_MAIN(TestUnmount)
#include "tst_unmount.moc"
