#include "loopdevice.h"
#include "mounts.h"
#include "removablelsblk.h"
#include "testfiles.h"
#include "writehelper.h"

#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <cstring>

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
    void lsblkMissing();
    void exclusiveOpenGuardsStillMountedCard();

private:
    bool attachCard(const QString &file);
    void useFakeUmount(const QByteArray &script);

    QByteArray originalPath = qgetenv("PATH");
    QTemporaryDir dir;
    QTemporaryDir fakes;
    std::unique_ptr<LoopDevice> loop;
};

namespace {

const qint64 MiB = 1 << 20;

// Frees swap enabled by a test again.
struct SwapOn
{
    explicit SwapOn(const QString &device) : device(device) { ok = runTool("swapon", {device}); }
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
    if (!makeCardFile(file, 64 * MiB, {"1MiB,30MiB", ","}))
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

void TestUnmount::lsblkMissing()
{
    QTemporaryDir emptyFolder;
    qputenv("PATH", emptyFolder.path().toLocal8Bit());
    QString error;
    QVERIFY(!unmountTarget("/dev/sdz", &error));
    QCOMPARE(error, QString("lsblk konnte die Einhängepunkte von /dev/sdz nicht ermitteln"));
}

// Even when unmounting claims success but the card is still mounted, the exclusive open refuses it.
void TestUnmount::exclusiveOpenGuardsStillMountedCard()
{
    if (!attachCard(dir.filePath("card.img")))
        QSKIP(qPrintable(loop ? loop->error() : QString("cannot make the card")));
    Mount mount(loop->partition(2), dir.filePath("data"));
    QVERIFY2(mount.isOk(), qPrintable(mount.error()));
    useFakeUmount("exit 0");
    const QByteArray before = readRange(loop->path(), 0, 4 * MiB);
    QVERIFY(writeFile(dir.filePath("image"), randomBytes(4 * MiB)));
    QString error;
    QVERIFY(!writeImage(dir.filePath("image"), loop->path(), true, {}, {}, &error));
    QCOMPARE(error, "Zielgerät kann nicht geöffnet werden (" + loop->path() +
                        "): " + QString::fromLocal8Bit(std::strerror(EBUSY)));
    QVERIFY(readRange(loop->path(), 0, 4 * MiB) == before);
}

QTEST_GUILESS_MAIN(TestUnmount)
#include "tst_unmount.moc"
