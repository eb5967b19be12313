// SPDX-License-Identifier: GPL-3.0-or-later
#include "imagecache.h"
#include "installation.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QTemporaryDir>
#include <QTest>

// The image cache as the window shows and empties it, in a cache folder of the test's own.
class TestImageCache : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir home;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(home.isValid());
        qputenv("XDG_CACHE_HOME", QFile::encodeName(home.filePath("cache")));
    }

    void missingCacheIsEmpty()
    {
        QVERIFY(!QFileInfo::exists(Installation::imageCache()));
        QCOMPARE(imageCacheBytes(), qint64(0));
        QString error;
        QVERIFY(emptyImageCache(&error));
        QVERIFY(error.isEmpty());
    }

    // Links inside the cache are neither counted nor followed: what they point to stays.
    void linksGoNotTheirTargets()
    {
        const QString cache = Installation::imageCache();
        QVERIFY(QDir().mkpath(cache));
        QVERIFY(QDir().mkpath(home.filePath("outside/folder")));
        const QString outsideFile = home.filePath("outside/image");
        const QString outsideInFolder = home.filePath("outside/folder/image");
        QVERIFY(writeFile(outsideFile, QByteArray(1000, 'o')));
        QVERIFY(writeFile(outsideInFolder, QByteArray(10, 'o')));
        QVERIFY(writeFile(cache + "/" + QString(64, 'a'), QByteArray(300, 'c')));
        QVERIFY(writeFile(cache + "/" + QString(64, 'b') + ".part", QByteArray(20, 'p')));
        QVERIFY(QFile::link(outsideFile, cache + "/to-file"));
        QVERIFY(QFile::link(home.filePath("outside/folder"), cache + "/to-folder"));
        QVERIFY(QFile::link(home.filePath("gone"), cache + "/dangling"));

        QCOMPARE(imageCacheBytes(), qint64(320));
        QString error;
        QVERIFY2(emptyImageCache(&error), qPrintable(error));
        QCOMPARE(QDir(cache).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
                 QStringList());
        QCOMPARE(imageCacheBytes(), qint64(0));
        QCOMPARE(readFile(outsideFile), QByteArray(1000, 'o'));
        QCOMPARE(readFile(outsideInFolder), QByteArray(10, 'o'));
    }

    // What another installer is downloading stays with its lock; a lock left by a dead one goes.
    void downloadOfAnotherInstallerStays()
    {
        const QString cache = Installation::imageCache();
        QVERIFY(QDir().mkpath(cache));
        const QString running = cache + "/" + QString(64, 'c') + ".part";
        const QString left = cache + "/" + QString(64, 'd') + ".part";
        QVERIFY(writeFile(running, QByteArray(50, 'r')));
        QVERIFY(writeFile(left, QByteArray(70, 'l')));
        QVERIFY(writeFile(lockOf(left), "999999999\ntobra-installer\n\n")); // no such process
        QLockFile lock(lockOf(running));
        QVERIFY(lock.tryLock(0));

        QString error;
        QVERIFY2(emptyImageCache(&error), qPrintable(error));
        QStringList expected{QFileInfo(running).fileName(), QFileInfo(lockOf(running)).fileName()};
        expected.sort();
        QCOMPARE(QDir(cache).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), expected);
        QCOMPARE(imageCacheBytes(), qint64(50) + QFileInfo(lockOf(running)).size());
    }
};

QTEST_GUILESS_MAIN(TestImageCache)
#include "tst_imagecache.moc"
