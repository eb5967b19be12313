// SPDX-License-Identifier: GPL-3.0-or-later
#include "drivewatcher.h"
#include "loopdevice.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

// The watcher on a list file of its own, and on the kernel's list with a real loop device.
class TestDriveWatcher : public QObject
{
    Q_OBJECT

private:
    static bool writeList(const QString &path, const QByteArray &content)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
    }

private Q_SLOTS:
    void signalsOnceForEachChange()
    {
        QTemporaryDir dir;
        const QString list = dir.filePath("partitions");
        QVERIFY(writeList(list, "254 0 1000 vda\n"));
        DriveWatcher watcher(nullptr, list, 20);
        QSignalSpy changed(&watcher, &DriveWatcher::changed);
        watcher.start();
        QTest::qWait(100);
        QCOMPARE(changed.count(), 0);

        QVERIFY(writeList(list, "254 0 1000 vda\n8 0 15000 sdb\n"));
        QTRY_COMPARE(changed.count(), 1);
        QTest::qWait(100);
        QCOMPARE(changed.count(), 1);

        QVERIFY(QFile::remove(list));
        QTRY_COMPARE(changed.count(), 2);

        watcher.stop();
        QVERIFY(writeList(list, "8 0 15000 sdb\n"));
        QTest::qWait(100);
        QCOMPARE(changed.count(), 2);
    }

    // The default watcher sees a loop device come and go within about two seconds.
    void noticesLoopDevice()
    {
        QTemporaryDir dir;
        QFile card(dir.filePath("card.img"));
        QVERIFY(card.open(QIODevice::WriteOnly) && card.resize(4 << 20));
        card.close();
        DriveWatcher watcher;
        QSignalSpy changed(&watcher, &DriveWatcher::changed);
        watcher.start();

        auto loop = std::make_unique<LoopDevice>(card.fileName());
        if (!loop->isAttached())
            QSKIP(qPrintable(loop->error()));
        QTRY_VERIFY_WITH_TIMEOUT(changed.count() >= 1, 2500);
        const int seen = changed.count();
        loop.reset();
        QTRY_VERIFY_WITH_TIMEOUT(changed.count() > seen, 2500);
    }
};

QTEST_GUILESS_MAIN(TestDriveWatcher)
#include "tst_drivewatcher.moc"
