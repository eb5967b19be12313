// SPDX-License-Identifier: GPL-3.0-or-later
#include "downloader.h"
#include "fileunpacker.h"
#include "httpserver.h"
#include "testfiles.h"

#include <QNetworkAccessManager>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {
constexpr int finishTimeoutMs = 60000;
const QString cancelledText = QStringLiteral("Abgebrochen");

// Runs a tool in dir; false with its output in error when it fails.
bool run(const QString &dir, const QString &program, const QStringList &arguments, QString *error)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
        process.exitCode() == 0)
        return true;
    *error = program + QStringLiteral(": ") + QString::fromLocal8Bit(process.readAll());
    return false;
}

// What a finished run reported, from either class.
struct Outcome
{
    bool ok = false;
    QString error;
    QString sha256Hex; // empty from FileUnpacker
};
} // namespace

// Packed images made by the standard tools, downloaded and taken as local files.
class TestUnpack : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void unpacksEachFormat_data();
    void unpacksEachFormat();
    void refusesBrokenOrWrongArchives_data();
    void refusesBrokenOrWrongArchives();
    void imageBeyondLimitEndsDownloadAtOnce();
    void cancelStopsUnpacking_data();
    void cancelStopsUnpacking();

private:
    // Downloads name from the test server (or its file URL) or unpacks it with FileUnpacker.
    Outcome unpack(const QString &how, const QString &name, qint64 maxImageBytes);
    QString served(const QString &name) const { return servedDir.filePath(name); }
    QString destination() const { return targetDir.filePath(QStringLiteral("tobra.img")); }
    // Makes name in the served folder with the shell command, or fails the test.
    void make(const QString &name, const QString &command);

    QTemporaryDir servedDir;
    QTemporaryDir targetDir;
    QByteArray image;
    std::unique_ptr<HttpServer> server;
};

void TestUnpack::make(const QString &name, const QString &command)
{
    QString error;
    QVERIFY2(run(servedDir.path(), QStringLiteral("sh"), {QStringLiteral("-c"), command}, &error),
             qPrintable(name + QStringLiteral(": ") + error));
}

// An 8 MiB FAT image holding 2 MiB of random bytes, so that it is neither empty nor all noise.
void TestUnpack::initTestCase()
{
    for (const char *tool : {"mkfs.fat", "mcopy", "xz", "zstd", "pzstd", "gzip", "bzip2", "zip", "7z", "tar"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            QSKIP(qPrintable(
                QStringLiteral("needs %1 (scripts/install-deps.sh test)").arg(QLatin1String(tool))));
    QVERIFY(writeFile(served(QStringLiteral("random.bin")), randomBytes(2 * 1024 * 1024, 15)));
    make(QStringLiteral("image.img"), QStringLiteral("mkfs.fat -C -i 1234abcd image.img 8192 >/dev/null && "
                                                     "mcopy -i image.img random.bin ::random.bin"));
    image = readFile(served(QStringLiteral("image.img")));
    QCOMPARE(image.size(), 8 * 1024 * 1024);
    make(QStringLiteral("packed"),
         QStringLiteral("xz -k image.img && zstd -q -k image.img && gzip -k image.img && "
                        "bzip2 -k image.img && zip -q image.zip image.img && "
                        "pzstd -q -p 2 image.img -o image.img.pzstd"));
    // Broken and unfit ones.
    make(QStringLiteral("broken"),
         QStringLiteral("for f in xz zst gz bz2 zip; do head -c $(($(stat -c %s image.img.$f 2>/dev/null "
                        "|| stat -c %s image.$f) / 2)) image.*$f > cut.$f; done && "
                        "zip -q two.zip image.img random.bin && "
                        "zip -q empty.zip random.bin && zip -q -d empty.zip random.bin && "
                        "head -c 64M /dev/zero | xz -0 > zeros.xz && "
                        "head -c 4G /dev/zero | zstd -q -1 > zeros.zst"));
    // Packed by other tools in ways that are not supported.
    make(QStringLiteral("unsupported"),
         QStringLiteral(
             "zstd -q --long=31 < image.img > long.zst && zip -q -P secret encrypted.zip image.img && "
             "7z a -tzip -mm=Deflate64 deflate64.zip image.img >/dev/null && "
             "7z a -t7z image.7z image.img >/dev/null && tar -cJf image.tar.xz image.img"));
    server = std::make_unique<HttpServer>(servedDir.path());
    QVERIFY2(server->isRunning(), qPrintable(server->errorString()));
}

void TestUnpack::init()
{
    QFile::remove(destination());
}

Outcome TestUnpack::unpack(const QString &how, const QString &name, qint64 maxImageBytes)
{
    Outcome outcome;
    if (how == QLatin1String("local file")) {
        FileUnpacker unpacker;
        QSignalSpy finished(&unpacker, &FileUnpacker::finished);
        unpacker.start(served(name), destination(), maxImageBytes);
        if (finished.isEmpty() && !finished.wait(finishTimeoutMs))
            return outcome;
        outcome.ok = finished.first().at(0).toBool();
        outcome.error = finished.first().at(1).toString();
        return outcome;
    }
    QNetworkAccessManager network;
    Downloader downloader(&network);
    QSignalSpy finished(&downloader, &Downloader::finished);
    const QUrl url = how == QLatin1String("http") ? server->url(QLatin1Char('/') + name)
                                                  : QUrl::fromLocalFile(served(name));
    downloader.start(url, destination(), maxImageBytes);
    if (finished.isEmpty() && !finished.wait(finishTimeoutMs))
        return outcome;
    outcome.ok = finished.first().at(0).toBool();
    outcome.error = finished.first().at(1).toString();
    outcome.sha256Hex = finished.first().at(2).toString();
    return outcome;
}

void TestUnpack::unpacksEachFormat_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("name");
    for (const char *how : {"http", "file URL", "local file"})
        for (const char *name : {"image.img", "image.img.xz", "image.img.zst", "image.img.pzstd",
                                 "image.img.gz", "image.img.bz2", "image.zip"})
            QTest::addRow("%s %s", how, name) << QString::fromLatin1(how) << QString::fromLatin1(name);
}

// The image byte for byte, also with a limit of exactly its size; a download reports the digest
// of the file as sent, which is what the version list names.
void TestUnpack::unpacksEachFormat()
{
    QFETCH(QString, how);
    QFETCH(QString, name);

    const Outcome outcome = unpack(how, name, image.size());

    QVERIFY2(outcome.ok, qPrintable(outcome.error));
    QVERIFY(readFile(destination()) == image);
    if (how != QLatin1String("local file"))
        QCOMPARE(outcome.sha256Hex, QString::fromLatin1(sha256Hex(readFile(served(name)))));
}

void TestUnpack::refusesBrokenOrWrongArchives_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<QString>("message");
    const QString cut = QStringLiteral("Die %1-Datei ist beschädigt oder unvollständig.");
    QTest::newRow("truncated xz") << QStringLiteral("cut.xz") << qint64(-1) << cut.arg(QLatin1String("xz"));
    QTest::newRow("truncated zstd") << QStringLiteral("cut.zst") << qint64(-1)
                                    << cut.arg(QLatin1String("zstd"));
    QTest::newRow("truncated gzip") << QStringLiteral("cut.gz") << qint64(-1)
                                    << cut.arg(QLatin1String("gzip"));
    QTest::newRow("truncated bzip2") << QStringLiteral("cut.bz2") << qint64(-1)
                                     << cut.arg(QLatin1String("bzip2"));
    QTest::newRow("truncated zip") << QStringLiteral("cut.zip") << qint64(-1)
                                   << cut.arg(QLatin1String("ZIP"));
    QTest::newRow("zip with two files")
        << QStringLiteral("two.zip") << qint64(-1)
        << QStringLiteral(
               "Das ZIP-Archiv enthält 2 Dateien statt genau eines Images: „image.img“, „random.bin“");
    QTest::newRow("empty zip") << QStringLiteral("empty.zip") << qint64(-1)
                               << QStringLiteral(
                                      "Das ZIP-Archiv enthält keine Datei; erwartet wird genau ein Image.");
    const QString unsupported = QStringLiteral("Das Packformat der Datei wird nicht unterstützt: %1.");
    QTest::newRow("encrypted zip") << QStringLiteral("encrypted.zip") << qint64(-1)
                                   << QStringLiteral(
                                          "Das ZIP-Archiv ist verschlüsselt; verschlüsselte Images "
                                          "werden nicht unterstützt.");
    QTest::newRow("Deflate64 zip") << QStringLiteral("deflate64.zip") << qint64(-1)
                                   << unsupported.arg(
                                          QStringLiteral("die Kompressionsmethode deflation-64-bit im "
                                                         "ZIP-Archiv"));
    QTest::newRow("zstd window above the limit")
        << QStringLiteral("long.zst") << qint64(-1)
        << unsupported.arg(QStringLiteral("ein zstd-Fenster über 128 MiB (mit „--long“ gepackt)"));
    QTest::newRow("7z") << QStringLiteral("image.7z") << qint64(-1)
                        << unsupported.arg(QStringLiteral("ein 7-Zip-Archiv"));
    QTest::newRow("tar.xz") << QStringLiteral("image.tar.xz") << qint64(-1)
                            << unsupported.arg(
                                   QStringLiteral("ein tar-Archiv; erwartet wird ein einzelnes Image"));
    QTest::newRow("one byte beyond the limit")
        << QStringLiteral("image.img.xz") << qint64(8 * 1024 * 1024 - 1)
        << QStringLiteral("Das Image ist größer als die Speicherkarte (8.388.607 Bytes).");
    QTest::newRow("raw one byte beyond the limit")
        << QStringLiteral("image.img") << qint64(8 * 1024 * 1024 - 1)
        << QStringLiteral("Das Image ist größer als die Speicherkarte (8.388.607 Bytes).");
    QTest::newRow("64 MiB of zeros") << QStringLiteral("zeros.xz") << qint64(1024 * 1024)
                                     << QStringLiteral(
                                            "Das Image ist größer als die Speicherkarte (1.048.576 Bytes).");
}

// Each refusal names its cause, by download and from a local file alike, and leaves no file.
void TestUnpack::refusesBrokenOrWrongArchives()
{
    QFETCH(QString, name);
    QFETCH(qint64, limit);
    QFETCH(QString, message);
    for (const char *how : {"http", "local file"}) {
        const Outcome outcome = unpack(QString::fromLatin1(how), name, limit);

        QCOMPARE(outcome.ok, false);
        QCOMPARE(outcome.error, message);
        QCOMPARE(outcome.sha256Hex, QString());
        QVERIFY2(!QFile::exists(destination()), how);
    }
}

// A decompression bomb must not fill the disk, nor be fetched in vain: the transfer ends at the
// limit, long before the rest of the file has come.
void TestUnpack::imageBeyondLimitEndsDownloadAtOnce()
{
    QNetworkAccessManager network;
    Downloader downloader(&network);
    QSignalSpy finished(&downloader, &Downloader::finished);
    QSignalSpy progress(&downloader, &Downloader::progress);
    const qint64 size = readFile(served(QStringLiteral("image.img.gz"))).size();

    downloader.start(server->url(QStringLiteral("/image.img.gz?rate=2000000")), destination(), 256 * 1024);
    QVERIFY(finished.wait(finishTimeoutMs));

    QCOMPARE(finished.first().at(1).toString(),
             QStringLiteral("Das Image ist größer als die Speicherkarte (262.144 Bytes)."));
    QVERIFY(!QFile::exists(destination()));
    const qint64 received = progress.isEmpty() ? 0 : progress.last().first().toLongLong();
    QVERIFY2(received < size / 2,
             qPrintable(QStringLiteral("received %1 of %2 bytes").arg(received).arg(size)));
}

void TestUnpack::cancelStopsUnpacking_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("http") << QStringLiteral("http");
    QTest::newRow("local file") << QStringLiteral("local file");
}

// 4 GiB of zeros come in a small file; once all of it has been received or read, the unpacking
// still runs for a while and can be cancelled, which leaves no file.
void TestUnpack::cancelStopsUnpacking()
{
    QFETCH(QString, how);
    QNetworkAccessManager network;
    Downloader downloader(&network);
    FileUnpacker unpacker;
    QSignalSpy downloaded(&downloader, &Downloader::finished);
    QSignalSpy unpacked(&unpacker, &FileUnpacker::finished);
    QSignalSpy &finished = how == QLatin1String("http") ? downloaded : unpacked;
    const auto cancelOnceComplete = [&](qint64 done, qint64 total) {
        if (done == total) {
            downloader.cancel();
            unpacker.cancel();
        }
    };
    connect(&downloader, &Downloader::progress, this, cancelOnceComplete);
    connect(&unpacker, &FileUnpacker::progress, this, cancelOnceComplete);

    if (how == QLatin1String("http"))
        downloader.start(server->url(QStringLiteral("/zeros.zst")), destination());
    else
        unpacker.start(served(QStringLiteral("zeros.zst")), destination());
    QVERIFY(finished.wait(finishTimeoutMs));

    QCOMPARE(finished.first().at(0).toBool(), false);
    QCOMPARE(finished.first().at(1).toString(), cancelledText);
    QVERIFY(!QFile::exists(destination()));
}

QTEST_GUILESS_MAIN(TestUnpack)
#include "tst_unpack.moc"
