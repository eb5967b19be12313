// SPDX-License-Identifier: GPL-3.0-or-later
#include "faultydisk.h"
#include "loopdevice.h"
#include "testfiles.h"
#include "writehelper.h"

#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <cstring>

// writeImage on regular files and on loop devices, including devices that fail like hardware.
class TestWriteImage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void writesAndReportsPerChunk_data();
    void writesAndReportsPerChunk();
    void refusesBeforeWriting_data();
    void refusesBeforeWriting();
    void hardwareHintOnlyForEio();
    void writesLoopDevice_data();
    void writesLoopDevice();
    void refusesTooSmallDevice();
    void readOnlyDevice();
    void faultyDevice_data();
    void faultyDevice();
    void fakeCard_data();
    void fakeCard();

private:
    QTemporaryDir dir;
};

namespace {

constexpr char hintText[] =
    "\nDas Gerät meldet einen Hardwarefehler. Bitte prüfen: Schreibschutzschalter am SD-Adapter, einen "
    "anderen USB-Anschluss (direkt am Rechner, ohne Hub), einen anderen Kartenleser oder eine andere Karte. "
    "Eine defekte oder gefälschte Karte kann diesen Fehler ebenfalls auslösen.";
constexpr char verifyMismatch[] =
    "Prüfung fehlgeschlagen: Die Daten auf der Karte stimmen nicht mit dem Image überein (Karte defekt?)";
constexpr qint64 mib = 1 << 20;
constexpr qint64 probeBytes = 4096; // the capacity check's marked block

struct Call
{
    QByteArray phase;
    qint64 done;
    qint64 total;
    bool operator==(const Call &other) const
    {
        return phase == other.phase && done == other.done && total == other.total;
    }
};

QString describe(const QList<Call> &calls)
{
    QStringList text;
    for (const Call &call : calls)
        text << QString("%1 %2 %3").arg(QString(call.phase)).arg(call.done).arg(call.total);
    return text.join(", ");
}

// The calls a correct run makes: one per chunk of 4 MiB, per phase.
QList<Call> expectedCalls(qint64 size, bool verify)
{
    QList<Call> calls;
    for (const char *phase : {"write", "verify"}) {
        if (QByteArray(phase) == "verify" && !verify)
            break;
        for (qint64 done = 0; done < size;) {
            done = qMin(size, done + chunkSize);
            calls.append({phase, done, size});
        }
    }
    return calls;
}

QString errorText(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

} // namespace

void TestWriteImage::writesAndReportsPerChunk_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("verify");
    QTest::newRow("10MiB-verify") << 10 * mib << true;
    QTest::newRow("10MiB-no-verify") << 10 * mib << false;
    QTest::newRow("one-byte") << qint64(1) << true;
    QTest::newRow("exactly-one-chunk") << chunkSize << true;
    QTest::newRow("chunk-and-one-byte") << chunkSize + 1 << true;
}

// A regular file as target: written from the start, verified, and never truncated.
void TestWriteImage::writesAndReportsPerChunk()
{
    QFETCH(qint64, size);
    QFETCH(bool, verify);
    const QByteArray image = randomBytes(size);
    const QByteArray tail(3 * mib, '\xAA');
    QVERIFY(writeFile(dir.filePath("image"), image));
    QVERIFY(writeFile(dir.filePath("target"), QByteArray(size, '\x55') + tail));

    QList<Call> calls;
    QString error = "untouched";
    const bool ok = writeImage(
        dir.filePath("image"), dir.filePath("target"), verify, {},
        [&calls](const char *phase, qint64 done, qint64 total) {
            calls.append({phase, done, total});
        },
        &error);
    QVERIFY2(ok, qPrintable(error));
    QCOMPARE(error, QString("untouched"));
    QVERIFY2(calls == expectedCalls(size, verify), qPrintable(describe(calls)));
    QVERIFY(readRange(dir.filePath("target"), 0, size + tail.size()) == image + tail);
}

void TestWriteImage::refusesBeforeWriting_data()
{
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("message");
    const QString path = dir.path();
    QTest::newRow("image-missing") << path + "/missing" << path + "/target"
                                   << "Image kann nicht gelesen werden: No such file or directory";
    QTest::newRow("image-empty") << path + "/empty" << path + "/target"
                                 << "Das Image ist leer";
    // Files of the kernel's own file systems, which may answer root otherwise than the user.
    for (const QString &kernelFile : {QString("/proc/self/status"), QString("/sys/kernel/uevent_seqnum")})
        QTest::newRow(qPrintable("image-" + kernelFile.section('/', 1, 1)))
            << kernelFile << path + "/target"
            << "Image kann nicht gelesen werden: " + kernelFile +
                   " ist keine gewöhnliche Datei, sondern eine Schnittstelle des Kernels (" +
                   (kernelFile.startsWith("/proc") ? "proc" : "sysfs") + ")";
    QTest::newRow("target-missing") << path + "/image" << path + "/no/target"
                                    << "Zielgerät nicht gefunden: " + path + "/no/target";
    QTest::newRow("target-percent-signs") << path + "/image" << path + "/%1%2%"
                                          << "Zielgerät nicht gefunden: " + path + "/%1%2%";
    QTest::newRow("target-is-folder")
        << path + "/image" << path
        << "Zielgerät kann nicht geöffnet werden (" + path + "): " + errorText(EISDIR);
}

void TestWriteImage::refusesBeforeWriting()
{
    QFETCH(QString, image);
    QFETCH(QString, target);
    QFETCH(QString, message);
    if (!image.startsWith(dir.path()) && !QFileInfo::exists(image))
        QSKIP(qPrintable("needs " + image));
    QVERIFY(writeFile(dir.filePath("image"), randomBytes(mib)));
    QVERIFY(writeFile(dir.filePath("empty"), {}));
    QVERIFY(writeFile(dir.filePath("target"), "keep"));
    bool called = false;
    QString error;
    QVERIFY(!writeImage(
        image, target, true, {}, [&called](const char *, qint64, qint64) { called = true; }, &error));
    QCOMPARE(error, message);
    QVERIFY(!called);
    QCOMPARE(readRange(dir.filePath("target"), 0, 100), QByteArray("keep"));
}

void TestWriteImage::hardwareHintOnlyForEio()
{
    QCOMPARE(QString::fromUtf8(hintText).size(), 273);
    QCOMPARE(systemErrorText(EIO), errorText(EIO) + QString::fromUtf8(hintText));
    QCOMPARE(systemErrorText(ENOSPC), errorText(ENOSPC));
    QCOMPARE(systemErrorText(EBUSY), errorText(EBUSY));
}

void TestWriteImage::writesLoopDevice_data()
{
    QTest::addColumn<qint64>("imageSize");
    QTest::newRow("10MiB-on-64MiB") << 10 * mib;
    QTest::newRow("as-large-as-device") << 64 * mib;
}

void TestWriteImage::writesLoopDevice()
{
    QFETCH(qint64, imageSize);
    const QByteArray image = randomBytes(imageSize, 7);
    QVERIFY(writeFile(dir.filePath("image"), image));
    QVERIFY(writeFile(dir.filePath("card"), QByteArray(64 * mib, '\xAA')));
    LoopDevice loop(dir.filePath("card"));
    if (!loop.isAttached())
        QSKIP(qPrintable(loop.error()));
    qint64 verified = 0;
    QString error;
    QVERIFY2(writeImage(
                 dir.filePath("image"), loop.path(), true, {},
                 [&verified](const char *phase, qint64 done, qint64) {
                     if (QByteArray(phase) == "verify")
                         verified = done;
                 },
                 &error),
             qPrintable(error));
    QCOMPARE(verified, imageSize);
    QVERIFY(readRange(loop.path(), 0, imageSize) == image);
    // Beyond the image only the capacity check's marked blocks changed (one every 2 MiB here, one
    // at the image's end): the bytes between them are as they were.
    const qint64 between = qMin(2 * mib, 64 * mib - imageSize) - probeBytes;
    if (between > 0)
        QCOMPARE(readRange(loop.path(), imageSize + probeBytes, between), QByteArray(between, '\xAA'));
}

// One byte more than the device holds: refused with rounded figures before anything is written.
void TestWriteImage::refusesTooSmallDevice()
{
    const qint64 deviceSize = 999999488; // 999 999 999 rounded down to whole sectors
    QFile image(dir.filePath("large.img"));
    QVERIFY(image.open(QIODevice::WriteOnly) && image.resize(1000000001));
    image.close();
    QVERIFY(writeFile(dir.filePath("card"), QByteArray(mib, '\xAA')));
    LoopDevice::Options options;
    options.sizeLimit = deviceSize;
    QFile card(dir.filePath("card"));
    QVERIFY(card.open(QIODevice::ReadWrite) && card.resize(deviceSize));
    card.close();
    LoopDevice loop(dir.filePath("card"), options);
    if (!loop.isAttached())
        QSKIP(qPrintable(loop.error()));
    bool called = false;
    QString error;
    QVERIFY(!writeImage(
        image.fileName(), loop.path(), true, {}, [&called](const char *, qint64, qint64) { called = true; },
        &error));
    QCOMPARE(error, QString("Die Karte ist zu klein: 999 MB statt mindestens 1001 MB"));
    QVERIFY(!called);
    QCOMPARE(readRange(loop.path(), 0, mib), QByteArray(mib, '\xAA'));
}

// Depending on the kernel, a read-only device refuses the open or the first write; either way
// nothing reaches it.
void TestWriteImage::readOnlyDevice()
{
    QVERIFY(writeFile(dir.filePath("image"), randomBytes(mib)));
    QVERIFY(writeFile(dir.filePath("card"), QByteArray(8 * mib, '\xAA')));
    LoopDevice::Options options;
    options.readOnly = true;
    LoopDevice loop(dir.filePath("card"), options);
    if (!loop.isAttached())
        QSKIP(qPrintable(loop.error()));
    QString error;
    QVERIFY(!writeImage(dir.filePath("image"), loop.path(), false, {}, {}, &error));
    const QString openFailed = "Zielgerät kann nicht geöffnet werden (" + loop.path() + "): ";
    const QStringList expected{openFailed + errorText(EROFS), openFailed + errorText(EACCES),
                               "Schreibfehler auf " + loop.path() + ": " + errorText(EPERM)};
    QVERIFY2(expected.contains(error), qPrintable(error));
    QCOMPARE(readRange(loop.path(), 0, mib), QByteArray(mib, '\xAA'));
}

void TestWriteImage::faultyDevice_data()
{
    QTest::addColumn<qint64>("failAfter");
    QTest::addColumn<qint64>("failReadsAfter");
    QTest::addColumn<qint64>("corruptAfter");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<qint64>("verifiedAtLeast");
    QTest::addColumn<qint64>("verifiedAtMost");
    // Each fault is a bad patch from just behind one block at a whole MiB (where the capacity check
    // puts its marks) to the next MiB, so that the image's write or read-back meets it.
    // Writes go through the kernel's cache, so an I/O error shows up in the write or in fsync.
    QTest::newRow("eio-writing") << 8 * mib + probeBytes << qint64(-1) << qint64(-1)
                                 << QStringList{"Schreibfehler auf %1: %2",
                                                "Zurückschreiben auf %1 fehlgeschlagen: %2"}
                                 << qint64(0) << qint64(0);
    QTest::newRow("eio-reading-back") << qint64(-1) << 6 * mib + probeBytes << qint64(-1)
                                      << QStringList{"Lesefehler beim Prüfen: %2"} << 4 * mib << 6 * mib;
    QTest::newRow("lying-card") << qint64(-1) << qint64(-1) << 9 * mib + probeBytes
                                << QStringList{verifyMismatch} << 10 * mib << 10 * mib;
}

void TestWriteImage::faultyDevice()
{
    QFETCH(qint64, failAfter);
    QFETCH(qint64, failReadsAfter);
    QFETCH(qint64, corruptAfter);
    QFETCH(QStringList, messages);
    QFETCH(qint64, verifiedAtLeast);
    QFETCH(qint64, verifiedAtMost);
    FaultyDisk::Options diskOptions;
    diskOptions.size = 32 * mib;
    diskOptions.failAfter = failAfter;
    diskOptions.failReadsAfter = failReadsAfter;
    diskOptions.corruptAfter = corruptAfter;
    diskOptions.faultsBefore = qMax(qMax(failAfter, failReadsAfter), corruptAfter) / mib * mib + mib;
    FaultyDisk disk(dir.path(), diskOptions);
    if (!disk.isRunning())
        QSKIP(qPrintable(disk.error()));
    LoopDevice loop(disk.file());
    if (!loop.isAttached())
        QSKIP(qPrintable(loop.error()));
    QVERIFY(writeFile(dir.filePath("image"), randomBytes(10 * mib)));

    qint64 verified = 0;
    QString error;
    QVERIFY(!writeImage(
        dir.filePath("image"), loop.path(), true, {},
        [&verified](const char *phase, qint64 done, qint64) {
            if (QByteArray(phase) == "verify")
                verified = done;
        },
        &error));
    QStringList expected;
    for (const QString &message : messages)
        expected << QString(message).replace("%1", loop.path()).replace("%2", systemErrorText(EIO));
    QVERIFY2(expected.contains(error), qPrintable(error));
    // Reading back stops at the failing place; the kernel may hand out what it read before it.
    QVERIFY2(verified >= verifiedAtLeast && verified <= verifiedAtMost,
             qPrintable(QString::number(verified)));
}

void TestWriteImage::fakeCard_data()
{
    QTest::addColumn<qint64>("wrapAfter");
    QTest::addColumn<qint64>("dropAfter");
    QTest::addColumn<qint64>("failReadAt");
    QTest::addColumn<QString>("message");
    const QString fake =
        "Die Karte meldet 67 MB, speichert aber nur etwa 8 MB. Sie ist gefälscht oder defekt und "
        "sollte nicht verwendet werden. Das Image wurde nicht geschrieben.";
    QTest::newRow("genuine") << qint64(-1) << qint64(-1) << qint64(-1) << QString();
    QTest::newRow("wraps-beyond-8MiB") << 8 * mib << qint64(-1) << qint64(-1) << fake;
    QTest::newRow("drops-writes-beyond-8MiB") << qint64(-1) << 8 * mib << qint64(-1) << fake;
    QTest::newRow("one-read-fails") << qint64(-1) << qint64(-1) << 40 * mib
                                    << "Lesefehler beim Prüfen: " + systemErrorText(EIO);
}

// A card that reports 64 MiB: a fake one is refused before any of the image is written, with its
// estimated real size; a genuine one is written as ever.
void TestWriteImage::fakeCard()
{
    QFETCH(qint64, wrapAfter);
    QFETCH(qint64, dropAfter);
    QFETCH(qint64, failReadAt);
    QFETCH(QString, message);
    FaultyDisk::Options diskOptions;
    diskOptions.size = 64 * mib;
    diskOptions.wrapAfter = wrapAfter;
    diskOptions.dropAfter = dropAfter;
    diskOptions.failReadsAfter = failReadAt;
    diskOptions.faultsBefore = failReadAt >= 0 ? failReadAt + probeBytes : -1;
    FaultyDisk disk(dir.path(), diskOptions);
    if (!disk.isRunning())
        QSKIP(qPrintable(disk.error()));
    LoopDevice loop(disk.file());
    if (!loop.isAttached())
        QSKIP(qPrintable(loop.error()));
    QVERIFY(writeFile(loop.path(), QByteArray(mib, '\xAA')));
    const QByteArray image = randomBytes(6 * mib, 13);
    QVERIFY(writeFile(dir.filePath("image"), image));

    bool called = false;
    QString error;
    const bool ok = writeImage(
        dir.filePath("image"), loop.path(), true, {},
        [&called](const char *, qint64, qint64) { called = true; }, &error);
    if (message.isEmpty()) {
        QVERIFY2(ok, qPrintable(error));
        QVERIFY(readRange(loop.path(), 0, image.size()) == image);
        return;
    }
    QVERIFY(!ok);
    QCOMPARE(error, message);
    QVERIFY(!called);
    // The first marked block is at 0, the next at 1 MiB: between them the card is as it was.
    QCOMPARE(readRange(loop.path(), probeBytes, mib - probeBytes), QByteArray(mib - probeBytes, '\xAA'));
}

QTEST_GUILESS_MAIN(TestWriteImage)
#include "tst_writeimage.moc"
