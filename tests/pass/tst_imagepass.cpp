// SPDX-License-Identifier: GPL-3.0-or-later
// The pass from a source to a sink in one process: the image that arrives at the sink must be
// byte for byte what the FAT writer makes of the whole image file, for every packing, layout,
// source and piece size; faults end the pass with the right text.

#include "cardfeed.h"
#include "downloadsource.h"
#include "fatimage.h"
#include "filesource.h"
#include "httpserver.h"
#include "imagepass.h"
#include "loopdevice.h"
#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr qint64 mib = 1024 * 1024;
const QDateTime stamp(QDate(2026, 12, 11), QTime(4, 5, 6));

// Collects the image in memory, as the card would receive it.
class MemorySink : public ImageSink
{
public:
    bool write(qint64 offset, const char *data, qint64 size) override
    {
        if (offset != image.size())
            return false;
        image.append(data, size);
        return true;
    }
    bool finish() override
    {
        finished = true;
        return true;
    }
    Failure failure() const override { return Failure::WriteFailed; }

    QByteArray image;
    bool finished = false;
};

// The bytes of a file in pieces of a chosen size, to move every boundary.
class PieceSource : public ByteSource
{
public:
    PieceSource(const QByteArray &content, qint64 size) : bytes(content), pieceSize(size) {}
    bool next(QByteArrayView *piece) override
    {
        *piece = QByteArrayView(bytes).sliced(done, qMin(pieceSize, bytes.size() - done));
        done += piece->size();
        return !stopped;
    }
    void stop() override { stopped = true; }
    bool stopRequested() const override { return stopped; }

private:
    const QByteArray bytes;
    const qint64 pieceSize;
    qint64 done = 0;
    std::atomic<bool> stopped{false};
};

bool tool(const QString &program, const QStringList &arguments, const QByteArray &input = QByteArray())
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(systemTool(program).isEmpty() ? program : systemTool(program), arguments);
    process.write(input);
    process.closeWriteChannel();
    const bool ok = process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit &&
                    process.exitCode() == 0;
    if (!ok)
        qWarning("%s: %s", qPrintable(program), process.readAll().constData());
    return ok;
}

bool mtools(const QString &program, const QString &image, qint64 offset, const QStringList &arguments)
{
    return tool(program, QStringList{"-i", image + "@@" + QString::number(offset)} + arguments);
}

bool writeAt(const QString &path, qint64 offset, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.seek(offset) && file.write(bytes) == bytes.size();
}

// The layouts: the demo's (one FAT32 partition at 1 MiB holding Rom/ and a file); a small FAT16
// partition first and a large Linux one after it; a bare FAT16 volume with an old Rom/ROM.BIN to
// replace; a FAT32 partition whose Rom folder lies 40 MiB in, behind a file, so that the held
// bytes outgrow memory.
bool makeImage(const QString &layout, const QString &path)
{
    const QString scratch = path + ".data";
    if (layout == "demo")
        return tool("truncate", {"-s", "40M", path}) &&
               tool("sfdisk", {"-q", path}, "label: dos\nstart=2048, type=c, bootable\n") &&
               tool("mkfs.fat", {"-F", "32", "-n", "TOBRA", "--offset", "2048", path}) &&
               mtools("mmd", path, mib, {"::Rom"}) && writeFile(scratch, randomBytes(300000, 1)) &&
               mtools("mcopy", path, mib, {scratch, "::README.TXT"});
    if (layout == "smallFatFirst")
        return tool("truncate", {"-s", "64M", path}) &&
               tool("sfdisk", {"-q", path},
                    "label: dos\nstart=2048, size=16384, type=6\nstart=18432, type=83\n") &&
               tool("mkfs.fat", {"-F", "16", "-s", "1", "--offset", "2048", path, "8192"}) &&
               mtools("mmd", path, mib, {"::Rom"}) && writeAt(path, 18432 * 512, randomBytes(8 * mib, 4));
    if (layout == "bare")
        return tool("mkfs.fat", {"-F", "16", "-C", path, "20480"}) && mtools("mmd", path, 0, {"::Rom"}) &&
               writeFile(scratch, randomBytes(70000, 2)) &&
               mtools("mcopy", path, 0, {scratch, "::Rom/ROM.BIN"});
    return tool("truncate", {"-s", "96M", path}) &&
           tool("sfdisk", {"-q", path}, "label: dos\nstart=2048, type=c\n") &&
           tool("mkfs.fat", {"-F", "32", "--offset", "2048", path}) &&
           writeFile(scratch, randomBytes(40 * mib, 3)) &&
           mtools("mcopy", path, mib, {scratch, "::BIG.DAT"}) && mtools("mmd", path, mib, {"::Rom"});
}

// The image packed as format; raw is the image itself.
QString packed(const QString &image, const QString &format)
{
    const QString path = image + "." + format;
    if (format == "raw" || QFile::exists(path))
        return format == "raw" ? image : path;
    if (format == "xz")
        tool("xz", {"-k", "-0", "-T1", image});
    else if (format == "zstd")
        tool("zstd", {"-q", "-1", image, "-o", path});
    else
        tool("zip", {"-j", "-q", path, image});
    return path;
}

} // namespace

class TestImagePass : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void matchesFileInstall_data();
    void matchesFileInstall();
    void imageFaults_data();
    void imageFaults();
    void stopWakesBlockedFeed();

private:
    QString image(const QString &layout);
    QByteArray reference(const QString &layout);
    QByteArray runPass(ByteSource &source, const QString &layout, qint64 imageBytes = -1);
    bool passRuns(ImagePass &pass, QString *error = nullptr);

    QTemporaryDir dir;
    QList<RomFile> roms;
    QNetworkAccessManager network;
};

void TestImagePass::initTestCase()
{
    for (const char *program : {"mkfs.fat", "sfdisk", "mmd", "mcopy", "xz", "zstd", "zip"}) {
        if (systemTool(program).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(program)));
    }
    roms = {RomFile{"rom.bin", randomBytes(512 * 1024, 10)}, RomFile{"ext.bin", randomBytes(3000, 11)}};
}

QString TestImagePass::image(const QString &layout)
{
    const QString path = dir.filePath(layout + ".img");
    if (!QFile::exists(path) && !makeImage(layout, path))
        return QString();
    return path;
}

// What the FAT writer makes of the whole image file.
QByteArray TestImagePass::reference(const QString &layout)
{
    const QString copy = dir.filePath(layout + ".reference");
    if (!QFile::exists(copy)) {
        QFile::copy(image(layout), copy);
        FatImage fat;
        fat.setStampTime(stamp);
        QString error;
        bool written = fat.open(copy, &error);
        for (const RomFile &rom : roms)
            written = written && fat.writeFile("Rom", rom.name, rom.data, &error);
        if (!written)
            qWarning("reference: %s", qPrintable(error));
    }
    return readFile(copy);
}

bool TestImagePass::passRuns(ImagePass &pass, QString *error)
{
    QSignalSpy finished(&pass, &ImagePass::finished);
    pass.start();
    if (!finished.wait(120000))
        return false;
    if (error)
        *error = finished.first().at(1).toString();
    return finished.first().at(0).toBool();
}

QByteArray TestImagePass::runPass(ByteSource &source, const QString &layout, qint64 imageBytes)
{
    Q_UNUSED(layout)
    MemorySink sink;
    ImagePass pass(source, sink, roms, dir.path(), stamp, imageBytes, -1);
    QString error;
    if (!passRuns(pass, &error))
        return "pass failed: " + error.toUtf8();
    return sink.finished ? sink.image : QByteArray("not finished");
}

void TestImagePass::matchesFileInstall_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("source");
    for (const QString layout : {"demo", "smallFatFirst", "bare", "heldBeyondMemory"}) {
        for (const QString format : {"raw", "xz", "zstd", "zip"})
            QTest::addRow("%s %s file", qPrintable(layout), qPrintable(format)) << layout << format << "file";
        QTest::addRow("%s raw small pieces", qPrintable(layout)) << layout << "raw"
                                                                 << "pieces";
    }
    for (const QString format : {"raw", "xz"}) {
        QTest::addRow("demo %s downloaded", qPrintable(format)) << "demo" << format << "download";
        QTest::addRow("demo %s resumed", qPrintable(format)) << "demo" << format << "resumed";
    }
}

void TestImagePass::matchesFileInstall()
{
    QFETCH(QString, layout);
    QFETCH(QString, format);
    QFETCH(QString, source);
    QVERIFY2(!image(layout).isEmpty(), "the image could not be made");
    const QString file = packed(image(layout), format);
    const QByteArray expected = reference(layout);
    QVERIFY(expected.size() > 0);
    QByteArray arrived;
    if (source == "file") {
        FileSource input([](qint64, qint64) {});
        QVERIFY(input.open(file));
        arrived = runPass(input, layout);
    } else if (source == "pieces") {
        PieceSource input(readFile(file), 4093);
        arrived = runPass(input, layout, QFileInfo(file).size());
    } else {
        HttpServer server(QFileInfo(file).path());
        QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
        const QString part = dir.filePath("download.part");
        QFile::remove(part);
        if (source == "resumed")
            QVERIFY(writeFile(part, readFile(file).left(QFileInfo(file).size() * 2 / 5)));
        DownloadSource input(&network);
        QSignalSpy downloaded(&input, &DownloadSource::finished);
        QVERIFY(input.start(server.url("/" + QFileInfo(file).fileName() + "?rate=20000000"), part, -1));
        arrived = runPass(input.bytes(), layout);
        QVERIFY(downloaded.count() == 1 || downloaded.wait());
        QCOMPARE(readFile(part), readFile(file));
        if (source == "resumed")
            QVERIFY(!server.requests("GET").constLast().range.isEmpty());
    }
    QCOMPARE(arrived.size(), expected.size());
    QVERIFY2(arrived == expected, "the pass differs from the file install");
}

void TestImagePass::imageFaults_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<qint64>("cardBytes");
    QTest::addColumn<QString>("text");
    const QByteArray demo = readFile(image("demo"));
    const QByteArray xz = readFile(packed(image("demo"), "xz"));
    QTest::newRow("damaged xz") << xz.left(xz.size() / 2) + QByteArray(1000, 'x') << qint64(-1)
                                << "Die xz-Datei ist beschädigt oder unvollständig.";
    const QString two = dir.filePath("two.zip");
    tool("zip", {"-j", "-q", two, image("demo"), image("bare")});
    QTest::newRow("zip with two files") << readFile(two) << qint64(-1)
                                        << "Das ZIP-Archiv enthält 2 Dateien statt genau eines Images: "
                                           "„demo.img“, „bare.img“";
    QByteArray noFat(4 * mib, '\0');
    noFat[510] = char(0x55);
    noFat[511] = char(0xAA);
    QTest::newRow("no FAT partition")
        << noFat << qint64(-1) << "Im Image wurde keine FAT-Partition (FAT16/FAT32) gefunden";
    QTest::newRow("cut inside the partition")
        << demo.left(20 * mib) << qint64(-1) << "Das Image ist kürzer als die Partition (beschädigt?)";
    QTest::newRow("larger than the card")
        << demo << 30 * mib << "Das Image ist größer als die Speicherkarte (31.457.280 Bytes).";
}

// The card's feed stands in for the card here, so that its limit counts.
void TestImagePass::imageFaults()
{
    QFETCH(QByteArray, input);
    QFETCH(qint64, cardBytes);
    QFETCH(QString, text);
    PieceSource source(input, 256 * 1024);
    MemorySink card;
    CardFeed feed(
        [&card](const QByteArray &piece) {
            return card.write(card.image.size(), piece.data(), piece.size());
        },
        [] { return true; }, cardBytes);
    ImagePass pass(source, feed, roms, dir.path(), stamp, -1, cardBytes);
    QString error;
    QVERIFY(!passRuns(pass, &error));
    QCOMPARE(error, text);
    QCOMPARE(QDir(dir.path()).entryList({"held-*"}), QStringList());
}

// A card that takes nothing leaves the pass waiting in its feed; a stop ends it at once, without
// a text: the card's side says what happened.
void TestImagePass::stopWakesBlockedFeed()
{
    PieceSource source(readFile(image("demo")), mib);
    CardFeed feed([](const QByteArray &) { return true; }, [] { return false; }, -1);
    ImagePass pass(source, feed, roms, dir.path(), stamp, -1, -1);
    QSignalSpy finished(&pass, &ImagePass::finished);
    pass.start();
    QTest::qWait(300);
    QElapsedTimer clock;
    clock.start();
    feed.stop();
    QVERIFY(finished.wait(5000));
    QVERIFY(clock.elapsed() < 2000);
    QCOMPARE(finished.first().at(0).toBool(), false);
    QCOMPARE(finished.first().at(1).toString(), QString());
}

QTEST_GUILESS_MAIN(TestImagePass)
#include "tst_imagepass.moc"
