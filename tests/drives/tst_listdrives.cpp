// SPDX-License-Identifier: GPL-3.0-or-later
#include "drives.h"
#include "loopdevice.h"
#include "mounts.h"
#include "removablelsblk.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

// The enumeration against the real lsblk, with loop devices shown as removable disks by the
// wrapper in tests/support/removable-lsblk.
class TestListDrives : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void offersRemovableLoopDevice_data();
    void offersRemovableLoopDevice();
    void skipsLoopDeviceNotShownRemovable();
    void mountpointsDecide_data();
    void mountpointsDecide();
    void noLsblkOnPath();
    void lsblkExitingNonZero();
    void hangingLsblkIsAbandoned();

private:
    QByteArray originalPath = qgetenv("PATH");
};

namespace {

constexpr qint64 cardSize = 64 << 20;

const DriveInfo *findDrive(const QList<DriveInfo> &drives, const QString &path)
{
    for (const DriveInfo &drive : drives) {
        if (drive.path == path)
            return &drive;
    }
    return nullptr;
}

} // namespace

void TestListDrives::init()
{
    qputenv("PATH", pathWithRemovableLsblk(QString::fromLocal8Bit(originalPath)).toLocal8Bit());
    qunsetenv("TOBRA_REMOVABLE_DEVICES");
    qunsetenv("TOBRA_LSBLK_OLD");
    qunsetenv("TOBRA_LSBLK_HANG");
}

void TestListDrives::offersRemovableLoopDevice_data()
{
    QTest::addColumn<bool>("oldLsblk");
    QTest::newRow("lsblk-with-mountpoints") << false;
    QTest::newRow("lsblk-without-mountpoints") << true;
}

void TestListDrives::offersRemovableLoopDevice()
{
    QFETCH(bool, oldLsblk);
    QTemporaryDir dir;
    QVERIFY(makeCardFile(dir.filePath("card.img"), cardSize, {}));
    LoopDevice loop(dir.filePath("card.img"));
    if (!loop.isAttached())
        QSKIP(qPrintable(loop.error()));
    qputenv("TOBRA_REMOVABLE_DEVICES", loop.path().toLocal8Bit());
    if (oldLsblk)
        qputenv("TOBRA_LSBLK_OLD", "1");

    QString error = "untouched";
    const QList<DriveInfo> drives = listDrives(&error);
    QCOMPARE(error, QString("untouched"));
    const DriveInfo *drive = findDrive(drives, loop.path());
    QVERIFY2(drive, qPrintable(loop.path() + " not listed"));
    QCOMPARE(drive->sizeBytes, cardSize);
    QCOMPARE(drive->label, "Speicherkarte / USB-Laufwerk (67,1 MB) – " + loop.path());
}

void TestListDrives::skipsLoopDeviceNotShownRemovable()
{
    QTemporaryDir dir;
    QVERIFY(makeCardFile(dir.filePath("card.img"), cardSize, {}));
    LoopDevice loop(dir.filePath("card.img"));
    if (!loop.isAttached())
        QSKIP(qPrintable(loop.error()));
    QString error = "untouched";
    QVERIFY(!findDrive(listDrives(&error), loop.path()));
    QCOMPARE(error, QString("untouched"));
}

void TestListDrives::mountpointsDecide_data()
{
    QTest::addColumn<QString>("mountBelow");
    QTest::addColumn<bool>("oldLsblk");
    QTest::addColumn<bool>("offered");
    QTest::newRow("data-partition-mounted") << QString() << false << true;
    QTest::newRow("system-directory") << "/var/tmp" << false << false;
    QTest::newRow("system-directory-old-lsblk") << "/var/tmp" << true << false;
}

// A mounted data partition does not hide the card; a partition mounted in a system directory does.
void TestListDrives::mountpointsDecide()
{
    QFETCH(QString, mountBelow);
    QFETCH(bool, oldLsblk);
    QFETCH(bool, offered);
    QTemporaryDir dir;
    QTemporaryDir mountParent(mountBelow.isEmpty() ? QDir::tempPath() + "/mnt-XXXXXX"
                                                   : mountBelow + "/mnt-XXXXXX");
    QVERIFY(makeCardFile(dir.filePath("card.img"), cardSize, {"1MiB,16MiB", ","}));
    LoopDevice::Options options;
    options.addPartitions = true;
    LoopDevice loop(dir.filePath("card.img"), options);
    if (!loop.isAttached())
        QSKIP(qPrintable(loop.error()));
    QVERIFY(makeExt2(loop.partition(2)));
    Mount mount(loop.partition(2), mountParent.filePath("data"));
    QVERIFY2(mount.isOk(), qPrintable(mount.error()));
    qputenv("TOBRA_REMOVABLE_DEVICES", loop.path().toLocal8Bit());
    if (oldLsblk)
        qputenv("TOBRA_LSBLK_OLD", "1");
    QCOMPARE(findDrive(listDrives(), loop.path()) != nullptr, offered);
}

void TestListDrives::noLsblkOnPath()
{
    QTemporaryDir emptyFolder;
    qputenv("PATH", emptyFolder.path().toLocal8Bit());
    QString error;
    QVERIFY(listDrives(&error).isEmpty());
    QCOMPARE(error, QString("lsblk (Paket util-linux) konnte nicht ausgeführt werden"));
    bool ok = true;
    QVERIFY(runLsblk({"-J"}, &ok).isEmpty());
    QVERIFY(!ok);
}

void TestListDrives::lsblkExitingNonZero()
{
    bool ok = true;
    QVERIFY(runLsblk({"--no-such-option"}, &ok).isEmpty());
    QVERIFY(!ok);
    QVERIFY(!runLsblk({"-J", "-o", "NAME"}, &ok).isEmpty());
    QVERIFY(ok);
}

void TestListDrives::hangingLsblkIsAbandoned()
{
    qputenv("TOBRA_LSBLK_HANG", "1");
    QElapsedTimer timer;
    timer.start();
    bool ok = true;
    QVERIFY(runLsblk({"-J"}, &ok).isEmpty());
    QVERIFY(!ok);
    QVERIFY2(timer.elapsed() >= 9500 && timer.elapsed() < 20000,
             qPrintable(QString::number(timer.elapsed())));
}

QTEST_GUILESS_MAIN(TestListDrives)
#include "tst_listdrives.moc"
