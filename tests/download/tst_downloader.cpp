// SPDX-License-Identifier: GPL-3.0-or-later
#include "downloader.h"
#include "httpserver.h"
#include "testfiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <unistd.h>

namespace {
const QString notFoundText = QStringLiteral("Das Image wurde auf dem Server nicht gefunden (HTTP 404)");
const QString writeFailedText =
    QStringLiteral("Schreiben der heruntergeladenen Datei fehlgeschlagen (Platz im Arbeitsordner?)");
const QString cancelledText = QStringLiteral("Abgebrochen");
const QString unknownEndText = QStringLiteral(
    "Das Image kann nicht geprüft werden: Der Server nennt keine Länge und es gibt keine Prüfsumme, ein "
    "unvollständiger Download bliebe unbemerkt.");
constexpr int finishTimeoutMs = 20000;

// The reply's own error text for url, fetched without the downloader, to compare against.
QString plainReplyError(const QUrl &url)
{
    QNetworkAccessManager network;
    QNetworkReply *reply = network.get(QNetworkRequest(url));
    QSignalSpy done(reply, &QNetworkReply::finished);
    done.wait(finishTimeoutMs);
    const QString text = reply->errorString();
    delete reply;
    return text;
}

// data as gzip packs it, the way a server stores an image.img.gz.
QByteArray gzipped(const QByteArray &data)
{
    QProcess gzip;
    gzip.start(QStringLiteral("gzip"), {QStringLiteral("-c"), QStringLiteral("-1")});
    gzip.write(data);
    gzip.closeWriteChannel();
    gzip.waitForFinished();
    return gzip.readAllStandardOutput();
}

// One downloader with its own network manager and the signals it emits.
struct Session
{
    QNetworkAccessManager network;
    Downloader downloader{&network};
    QSignalSpy finished{&downloader, &Downloader::finished};
    QSignalSpy progress{&downloader, &Downloader::progress};
};

// A small tmpfs (1 MiB unless told), unmounted again when it goes out of scope.
class SmallTmpfs
{
public:
    explicit SmallTmpfs(const QString &size = QStringLiteral("1m"))
    {
        if (geteuid() == 0)
            mounted =
                QProcess::execute(QStringLiteral("mount"),
                                  {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                   QStringLiteral("size=") + size, QStringLiteral("tmpfs"), dir.path()}) == 0;
    }
    ~SmallTmpfs()
    {
        if (mounted)
            QProcess::execute(QStringLiteral("umount"), {dir.path()});
    }
    Q_DISABLE_COPY(SmallTmpfs)

    bool isMounted() const { return mounted; }
    QString path() const { return dir.path(); }

private:
    QTemporaryDir dir;
    bool mounted = false;
};
} // namespace

class TestDownloader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void deliversExactBytesAndDigest_data();
    void deliversExactBytesAndDigest();
    void failureGivesMessageAndRemovesFile_data();
    void failureGivesMessageAndRemovesFile();
    void truncatedTransferIsAFailure();
    void uncreatableDestinationFinishesInsideStart();
    void fullDiskAbortsTransferAndRemovesFile_data();
    void fullDiskAbortsTransferAndRemovesFile();
    void cancelDuringThrottledTransfer();
    void cancelWhileLocalFileStreams();
    void cancelOnceEveryByteArrivedChangesNothing_data();
    void cancelOnceEveryByteArrivedChangesNothing();
    void nextStartBeginsAfresh();
    void destructionWhileRunningRemovesFile_data();
    void destructionWhileRunningRemovesFile();
    void resumeContinuesWhatIsKept_data();
    void resumeContinuesWhatIsKept();
    void resumeKeepsWhatArrived();
    void unknownEndIsRefusedWhenAsked_data();
    void unknownEndIsRefusedWhenAsked();
    void redirectsAcrossServersTakeTheFinalAnswer_data();
    void redirectsAcrossServersTakeTheFinalAnswer();
    void bytesAreTakenAsStored_data();
    void bytesAreTakenAsStored();
    void bodyWithoutLengthStopsBeforeTheDiskIsFull();
    void partAtTheLimitIsRemoved();

private:
    // Waits for the one finished signal of a download and makes sure no second one follows.
    void waitForOneFinished(QSignalSpy &finished);
    QString destination() const { return target.filePath(QStringLiteral("download.img")); }

    QTemporaryDir served;
    QTemporaryDir target;
    QByteArray image;
};

void TestDownloader::init()
{
    if (image.isEmpty()) {
        image = randomBytes(3 * 1024 * 1024 + 17);
        QVERIFY(writeFile(served.filePath(QStringLiteral("image.img")), image));
        QVERIFY(writeFile(served.filePath(QStringLiteral("empty.img")), QByteArray()));
    }
    QFile::remove(destination());
}

void TestDownloader::waitForOneFinished(QSignalSpy &finished)
{
    QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty(), finishTimeoutMs);
    QTest::qWait(50);
    QCOMPARE(finished.size(), 1);
}

void TestDownloader::deliversExactBytesAndDigest_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("fromFileUrl");
    QTest::addColumn<int>("requests");
    QTest::newRow("http") << QStringLiteral("/image.img") << false << 1;
    QTest::newRow("redirected") << QStringLiteral("/x?redirect=/image.img") << false << 2;
    QTest::newRow("empty body") << QStringLiteral("/empty.img") << false << 1;
    QTest::newRow("file URL") << QStringLiteral("/image.img") << true << 0;
}

void TestDownloader::deliversExactBytesAndDigest()
{
    QFETCH(QString, source);
    QFETCH(bool, fromFileUrl);
    QFETCH(int, requests);
    HttpServer server(served.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    // A longer old file at the destination must not shine through.
    QVERIFY(writeFile(destination(), QByteArray(image.size() + 4096, 'x')));
    Session session;

    const QUrl url = fromFileUrl ? QUrl::fromLocalFile(served.path() + source) : server.url(source);
    session.downloader.start(url, destination());
    waitForOneFinished(session.finished);

    QFile file(destination());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray received = file.readAll();
    const QByteArray expected = source.contains(QLatin1String("empty")) ? QByteArray() : image;
    QCOMPARE(session.finished.first(),
             QVariantList({true, QString(), QString::fromLatin1(sha256Hex(received))}));
    QVERIFY(received == expected);
    if (!expected.isEmpty())
        QCOMPARE(session.progress.last(), QVariantList({qint64(expected.size()), qint64(expected.size())}));
    const QList<HttpServer::Request> seen = server.requests();
    QCOMPARE(seen.size(), requests);
    for (const HttpServer::Request &request : seen)
        QCOMPARE(request.userAgent, QStringLiteral("TobraInstaller/0.1"));
}

void TestDownloader::failureGivesMessageAndRemovesFile_data()
{
    // An empty message stands for the reply's own error text.
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("message");
    QTest::newRow("404") << QStringLiteral("/image.img?status=404") << notFoundText;
    QTest::newRow("missing on server") << QStringLiteral("/missing.img") << notFoundText;
    QTest::newRow("redirected to 404") << QStringLiteral("/x?redirect=/missing.img") << notFoundText;
    QTest::newRow("500") << QStringLiteral("/image.img?status=500")
                         << QStringLiteral("Server antwortet mit HTTP 500");
    QTest::newRow("206 without error")
        << QStringLiteral("/image.img?status=206") << QStringLiteral("Server antwortet mit HTTP 206");
    QTest::newRow("connection refused") << QStringLiteral("refused") << QString();
    QTest::newRow("missing file URL") << QStringLiteral("file") << QString();
    QTest::newRow("redirected to a file URL")
        << QStringLiteral("/x?redirect=file:///etc/hostname")
        << QStringLiteral("Weiterleitung nach „file:///etc/hostname“ abgelehnt: Sie ist unsicherer als die "
                          "Adresse davor");
}

void TestDownloader::failureGivesMessageAndRemovesFile()
{
    QFETCH(QString, source);
    QFETCH(QString, message);
    HttpServer server(served.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    QUrl url = server.url(source);
    if (source == QLatin1String("refused"))
        url = QUrl(QStringLiteral("http://127.0.0.1:1/image.img"));
    else if (source == QLatin1String("file"))
        url = QUrl::fromLocalFile(served.filePath(QStringLiteral("missing.img")));
    if (message.isEmpty())
        message = plainReplyError(url);
    QVERIFY(!message.isEmpty());
    Session session;

    session.downloader.start(url, destination());
    waitForOneFinished(session.finished);

    QCOMPARE(session.finished.first(), QVariantList({false, message, QString()}));
    QVERIFY(!QFile::exists(destination()));
}

// The network layer sees a connection closed before the announced length only at times, so this
// repeats until both ways have most likely been taken: the file must never count as complete.
void TestDownloader::truncatedTransferIsAFailure()
{
    HttpServer server(served.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    const QString incomplete =
        QStringLiteral("Download unvollständig: 100000 von %1 Bytes empfangen").arg(image.size());
    Session session;
    for (int round = 0; round < 20; ++round) {
        session.finished.clear();
        session.downloader.start(server.url(QStringLiteral("/image.img?truncate=100000")), destination());
        waitForOneFinished(session.finished);

        QCOMPARE(session.finished.first().first().toBool(), false);
        const QString error = session.finished.first().at(1).toString();
        QVERIFY(!error.isEmpty());
        if (error.startsWith(QLatin1String("Download")))
            QCOMPARE(error, incomplete);
        QCOMPARE(session.finished.first().at(2).toString(), QString());
        QVERIFY(!QFile::exists(destination()));
    }
}

void TestDownloader::uncreatableDestinationFinishesInsideStart()
{
    HttpServer server(served.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    const QString path = target.filePath(QStringLiteral("no/such/folder/download.img"));
    QFile probe(path);
    QVERIFY(!probe.open(QIODevice::WriteOnly));
    Session session;

    session.downloader.start(server.url(QStringLiteral("/image.img")), path);

    QCOMPARE(session.finished.size(), 1);
    QCOMPARE(
        session.finished.first(),
        QVariantList({false, QStringLiteral("Datei kann nicht angelegt werden: %1").arg(probe.errorString()),
                      QString()}));
    QTest::qWait(200);
    QCOMPARE(session.finished.size(), 1);
    QVERIFY(server.requests().isEmpty());
}

void TestDownloader::fullDiskAbortsTransferAndRemovesFile_data()
{
    QTest::addColumn<qint64>("filler");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("query");
    // The first short write must end the transfer: the rest is not fetched in vain.
    QTest::newRow("much larger than the disk")
        << qint64(0) << qint64(16 * 1024 * 1024) << QStringLiteral("?rate=4000000");
    QTest::newRow("one byte too large") << qint64(0) << qint64(1024 * 1024 + 1) << QString();
    // Small pieces into the last free bytes: a write that is merely buffered would hide the failure.
    QTest::newRow("small pieces") << qint64(1024 * 1024 - 8192) << qint64(12 * 1024)
                                  << QStringLiteral("?rate=40000");
}

void TestDownloader::fullDiskAbortsTransferAndRemovesFile()
{
    QFETCH(qint64, filler);
    QFETCH(qint64, size);
    QFETCH(QString, query);
    SmallTmpfs disk;
    if (!disk.isMounted())
        QSKIP("needs root and tmpfs to mount a small file system");
    QVERIFY(writeFile(disk.path() + QStringLiteral("/filler"), QByteArray(filler, 'f')));
    QTemporaryDir servedLarge;
    QVERIFY(writeFile(servedLarge.filePath(QStringLiteral("large.img")), randomBytes(size)));
    HttpServer server(servedLarge.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    Session session;
    const QString path = disk.path() + QStringLiteral("/download.img");

    session.downloader.start(server.url(QStringLiteral("/large.img") + query), path);
    waitForOneFinished(session.finished);

    QCOMPARE(session.finished.first(), QVariantList({false, writeFailedText, QString()}));
    QVERIFY(!QFile::exists(path));
    QVERIFY(!session.progress.isEmpty());
    const qint64 received = session.progress.last().first().toLongLong();
    if (size > 4 * 1024 * 1024)
        QVERIFY2(received < size / 2, qPrintable(QStringLiteral("received %1 bytes").arg(received)));
}

void TestDownloader::cancelDuringThrottledTransfer()
{
    HttpServer server(served.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    Session session;

    session.downloader.start(server.url(QStringLiteral("/image.img?rate=200000")), destination());
    QTRY_VERIFY_WITH_TIMEOUT(!session.progress.isEmpty() && session.progress.last().first().toLongLong() > 0,
                             finishTimeoutMs);
    QVERIFY(QFile::exists(destination()));
    session.downloader.cancel();
    waitForOneFinished(session.finished);

    QCOMPARE(session.finished.first(), QVariantList({false, cancelledText, QString()}));
    QVERIFY(!QFile::exists(destination()));
    session.downloader.cancel();
    QTest::qWait(50);
    QCOMPARE(session.finished.size(), 1);
}

// A local file is ready to read at once; it must still stream in pieces that leave room for cancel.
void TestDownloader::cancelWhileLocalFileStreams()
{
    const qint64 size = 64 * 1024 * 1024;
    QVERIFY(writeFile(served.filePath(QStringLiteral("large.img")), randomBytes(size)));
    Session session;
    connect(&session.downloader, &Downloader::progress, this, [&](qint64 received, qint64 total) {
        if (received < total)
            session.downloader.cancel();
    });

    session.downloader.start(QUrl::fromLocalFile(served.filePath(QStringLiteral("large.img"))),
                             destination());
    waitForOneFinished(session.finished);

    QCOMPARE(session.finished.first(), QVariantList({false, cancelledText, QString()}));
    QVERIFY(!QFile::exists(destination()));
    QVERIFY(session.progress.last().first().toLongLong() < size);
}

void TestDownloader::cancelOnceEveryByteArrivedChangesNothing_data()
{
    QTest::addColumn<bool>("fromFileUrl");
    QTest::newRow("http") << false;
    QTest::newRow("file URL") << true;
}

// A cancel after the last byte has been received (or read) has nothing left to stop: the download
// is complete and must count, even though it is yet to be stored and reported.
void TestDownloader::cancelOnceEveryByteArrivedChangesNothing()
{
    QFETCH(bool, fromFileUrl);
    HttpServer server(served.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    Session session;
    connect(&session.downloader, &Downloader::progress, this, [&](qint64 received, qint64 total) {
        if (received == total)
            session.downloader.cancel();
    });

    const QUrl url = fromFileUrl ? QUrl::fromLocalFile(served.filePath(QStringLiteral("image.img")))
                                 : server.url(QStringLiteral("/image.img?rate=4000000"));
    session.downloader.start(url, destination());
    waitForOneFinished(session.finished);

    QCOMPARE(session.finished.first(),
             QVariantList({true, QString(), QString::fromLatin1(sha256Hex(image))}));
    QVERIFY(readFile(destination()) == image);
}

// Flags, digest and file of one download must not leak into the next on the same object.
void TestDownloader::nextStartBeginsAfresh()
{
    HttpServer server(served.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    Session session;

    session.downloader.cancel();
    session.downloader.start(server.url(QStringLiteral("/image.img?truncate=5000")), destination());
    waitForOneFinished(session.finished);
    QCOMPARE(session.finished.first().first().toBool(), false);
    QVERIFY(session.finished.first().at(1).toString() != cancelledText);

    session.finished.clear();
    session.downloader.start(server.url(QStringLiteral("/image.img")), destination());
    waitForOneFinished(session.finished);
    QCOMPARE(session.finished.first(),
             QVariantList({true, QString(), QString::fromLatin1(sha256Hex(image))}));
}

void TestDownloader::destructionWhileRunningRemovesFile_data()
{
    QTest::addColumn<bool>("managerGoesFirst");
    QTest::newRow("downloader alone") << false;
    QTest::newRow("network manager first") << true;
}

// An owner that goes away mid-download must not leave the partial file or a dangling reply behind.
void TestDownloader::destructionWhileRunningRemovesFile()
{
    QFETCH(bool, managerGoesFirst);
    HttpServer server(served.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    auto network = std::make_unique<QNetworkAccessManager>();
    auto downloader = std::make_unique<Downloader>(network.get());
    QSignalSpy progress(downloader.get(), &Downloader::progress);
    downloader->start(server.url(QStringLiteral("/image.img?rate=200000")), destination());
    QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty(), finishTimeoutMs);

    if (managerGoesFirst)
        network.reset();
    downloader.reset();
    QTest::qWait(100);

    QVERIFY(!QFile::exists(destination()));
}

void TestDownloader::resumeContinuesWhatIsKept_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("kept");         // bytes of the image already in the file; -1: all but 1000
    QTest::addColumn<bool>("keptAltered"); // the kept bytes are not the image's
    QTest::addColumn<QString>("range");    // the Range header the server saw
    QTest::addColumn<bool>("fromFileUrl");
    QTest::newRow("the rest asked for") << QString() << 1234567 << false << "bytes=1234567-" << false;
    QTest::newRow("server ignores the range")
        << QStringLiteral("?norange=1") << 1234567 << false << "bytes=1234567-" << false;
    QTest::newRow("nothing kept") << QString() << 0 << false << QString() << false;
    QTest::newRow("all kept (416)") << QString() << int(3 * 1024 * 1024 + 17) << false << "bytes=3145745-"
                                    << false;
    QTest::newRow("kept bytes damaged") << QString() << 1234567 << true << "bytes=1234567-" << false;
    QTest::newRow("file URL read whole") << QString() << 1234567 << false << QString() << true;
}

// The file ends as the image, whichever way the server answers; the digest covers the whole
// file, kept bytes included, so damaged kept bytes show in it.
void TestDownloader::resumeContinuesWhatIsKept()
{
    QFETCH(QString, query);
    QFETCH(int, kept);
    QFETCH(bool, keptAltered);
    QFETCH(QString, range);
    QFETCH(bool, fromFileUrl);
    HttpServer server(served.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    QByteArray keptBytes = image.left(kept);
    if (keptAltered)
        keptBytes[1000] = char(keptBytes.at(1000) ^ 1);
    QVERIFY(writeFile(destination(), keptBytes));
    const QUrl url = fromFileUrl ? QUrl::fromLocalFile(served.filePath(QStringLiteral("image.img")))
                                 : server.url(QStringLiteral("/image.img") + query);
    Session session;

    session.downloader.resume(url, destination());
    waitForOneFinished(session.finished);

    const QVariantList end = session.finished.first();
    QVERIFY2(end.at(0).toBool(), qPrintable(end.at(1).toString()));
    QCOMPARE(end.at(2).toByteArray() == sha256Hex(image), !keptAltered);
    QCOMPARE(sha256Hex(readFile(destination())), sha256Hex(keptBytes + image.mid(kept)));
    QCOMPARE(server.requests().size(), fromFileUrl ? 0 : 1);
    if (!fromFileUrl)
        QCOMPARE(server.requests().first().range, range);
    QCOMPARE(session.progress.last(), (QVariantList{qint64(image.size()), qint64(image.size())}));
}

// A transfer cut off or cancelled leaves the bytes that arrived, the image's own, for the next
// call to continue.
void TestDownloader::resumeKeepsWhatArrived()
{
    HttpServer server(served.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    Session session;

    session.downloader.resume(server.url(QStringLiteral("/image.img?truncate=1000000")), destination());
    waitForOneFinished(session.finished);
    QCOMPARE(session.finished.first().first().toBool(), false);
    const QByteArray first = readFile(destination());
    QVERIFY(first.size() <= 1000000);
    QVERIFY(image.startsWith(first));

    session.finished.clear();
    session.downloader.resume(server.url(QStringLiteral("/image.img?rate=1000000")), destination());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(destination()).size() > first.size() + 100000, finishTimeoutMs);
    session.downloader.cancel();
    waitForOneFinished(session.finished);
    QCOMPARE(session.finished.first().at(1).toString(), cancelledText);
    const QByteArray second = readFile(destination());
    QVERIFY(second.size() > first.size());
    QVERIFY(image.startsWith(second));
    QCOMPARE(server.requests().last().range, QStringLiteral("bytes=%1-").arg(first.size()));
}

void TestDownloader::unknownEndIsRefusedWhenAsked_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<QString>("message"); // empty: the download succeeds
    QTest::newRow("length") << QStringLiteral("/image.img") << true << QString();
    QTest::newRow("chunked") << QStringLiteral("/image.img?chunked=1") << true << QString();
    QTest::newRow("packed, no length") << QStringLiteral("/image.img.gz?nolength=1") << true << QString();
    QTest::newRow("file URL") << QStringLiteral("file") << true << QString();
    QTest::newRow("no length") << QStringLiteral("/image.img?nolength=1") << true << unknownEndText;
    QTest::newRow("no length, cut off")
        << QStringLiteral("/image.img?nolength=1&truncate=1000000") << true << unknownEndText;
    QTest::newRow("no length, tiny") << QStringLiteral("/tiny.img?nolength=1") << true << unknownEndText;
    QTest::newRow("no length, not refused") << QStringLiteral("/image.img?nolength=1") << false << QString();
}

// A body cut off without a length, unpacked or not, would otherwise count as the whole image.
void TestDownloader::unknownEndIsRefusedWhenAsked()
{
    QFETCH(QString, source);
    QFETCH(bool, refused);
    QFETCH(QString, message);
    QVERIFY(writeFile(served.filePath(QStringLiteral("tiny.img")), "abc"));
    QVERIFY(writeFile(served.filePath(QStringLiteral("image.img.gz")), gzipped(image)));
    HttpServer server(served.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    Session session;
    session.downloader.setUnknownEndRefused(refused);

    const QUrl url = source == QLatin1String("file")
                         ? QUrl::fromLocalFile(served.filePath(QStringLiteral("image.img")))
                         : server.url(source);
    session.downloader.start(url, destination());
    waitForOneFinished(session.finished);

    const QVariantList end = session.finished.first();
    if (message.isEmpty()) {
        QVERIFY2(end.at(0).toBool(), qPrintable(end.at(1).toString()));
        QVERIFY(readFile(destination()) == image);
    } else {
        QCOMPARE(end, QVariantList({false, message, QString()}));
        QVERIFY(!QFile::exists(destination()));
    }
}

void TestDownloader::redirectsAcrossServersTakeTheFinalAnswer_data()
{
    QTest::addColumn<int>("kept");
    QTest::addColumn<QString>("query");
    QTest::newRow("whole") << 0 << QString();
    QTest::newRow("resumed") << 1234567 << QString();
    QTest::newRow("chunked") << 0 << QStringLiteral("?chunked=1");
}

// Each answer on the way has a length of its own (its page); only the last one's counts, and so
// does its range.
void TestDownloader::redirectsAcrossServersTakeTheFinalAnswer()
{
    QFETCH(int, kept);
    QFETCH(QString, query);
    HttpServer first(served.path());
    HttpServer second(served.path());
    QVERIFY2(first.isRunning() && second.isRunning(), qPrintable(first.errorString() + second.errorString()));
    QUrl url = second.url(QStringLiteral("/image.img") + query);
    for (int hop = 0; hop < 7; ++hop) {
        const HttpServer &server = hop % 2 == 0 ? first : second;
        url = server.url(QStringLiteral("/hop%1?redirect=").arg(hop) +
                         QString::fromLatin1(QUrl::toPercentEncoding(url.toString())));
    }
    Session session;
    for (int round = 0; round < 5; ++round) {
        session.finished.clear();
        QVERIFY(writeFile(destination(), image.left(kept)));
        if (kept > 0)
            session.downloader.resume(url, destination());
        else
            session.downloader.start(url, destination());
        waitForOneFinished(session.finished);

        const QVariantList end = session.finished.first();
        QVERIFY2(end.at(0).toBool(), qPrintable(end.at(1).toString()));
        QCOMPARE(end.at(2).toByteArray(), sha256Hex(image));
        QVERIFY(readFile(destination()) == image);
        QCOMPARE(session.progress.last(), (QVariantList{qint64(image.size()), qint64(image.size())}));
        QCOMPARE(second.requests().last().path, QStringLiteral("/image.img"));
        QCOMPARE(second.requests().last().range,
                 kept > 0 ? QStringLiteral("bytes=%1-").arg(kept) : QString());
    }
}

void TestDownloader::bytesAreTakenAsStored_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("stored");
    QTest::newRow("gz said to be gzip-encoded")
        << QStringLiteral("/image.img.gz?encoding=gzip") << QStringLiteral("image.img.gz");
    QTest::newRow("gz encoded, without length")
        << QStringLiteral("/image.img.gz?encoding=gzip&nolength=1") << QStringLiteral("image.img.gz");
    QTest::newRow("gzipped on the way though not asked for")
        << QStringLiteral("/image.img?compress=1") << QString();
}

// The checksum names the file as stored, so the bytes hashed are the server's, undecoded; the
// image comes out whole either way.
void TestDownloader::bytesAreTakenAsStored()
{
    QFETCH(QString, source);
    QFETCH(QString, stored);
    QVERIFY(writeFile(served.filePath(QStringLiteral("image.img.gz")), gzipped(image)));
    HttpServer server(served.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    Session session;

    session.downloader.start(server.url(source), destination());
    waitForOneFinished(session.finished);

    const QVariantList end = session.finished.first();
    QVERIFY2(end.at(0).toBool(), qPrintable(end.at(1).toString()));
    QVERIFY(readFile(destination()) == image);
    if (!stored.isEmpty())
        QCOMPARE(end.at(2).toByteArray(), sha256Hex(readFile(served.filePath(stored))));
    QCOMPARE(server.requests().first().acceptEncoding, QStringLiteral("identity"));
}

// A body without a length is not measured beforehand: it must stop with room to spare, and the
// part, which could never be completed there, goes.
void TestDownloader::bodyWithoutLengthStopsBeforeTheDiskIsFull()
{
    SmallTmpfs disk(QStringLiteral("16m"));
    if (!disk.isMounted())
        QSKIP("needs root and tmpfs to mount a small file system");
    QTemporaryDir servedLarge;
    QVERIFY(writeFile(servedLarge.filePath(QStringLiteral("large.img")), randomBytes(24 * 1024 * 1024)));
    HttpServer server(servedLarge.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    Session session;
    const QString path = disk.path() + QStringLiteral("/download.part");

    session.downloader.resume(server.url(QStringLiteral("/large.img?nolength=1")), path);
    waitForOneFinished(session.finished);

    const QString error = session.finished.first().at(1).toString();
    QVERIFY2(
        error.startsWith(QStringLiteral("Auf dem Datenträger von %1 ist kaum noch Platz frei; der Download "
                                        "wurde nach ")
                             .arg(disk.path())),
        qPrintable(error));
    QVERIFY(error.endsWith(QStringLiteral(" gestoppt, bevor er voll ist.")));
    QVERIFY(!QFile::exists(path));
}

// A kept part that reached the limit would reach it again however it was continued.
void TestDownloader::partAtTheLimitIsRemoved()
{
    HttpServer server(served.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    Session session;

    session.downloader.resume(server.url(QStringLiteral("/image.img?nolength=1")), destination(), 1000000);
    waitForOneFinished(session.finished);

    QCOMPARE(session.finished.first().at(0).toBool(), false);
    QVERIFY(!QFile::exists(destination()));
}

QTEST_GUILESS_MAIN(TestDownloader)
#include "tst_downloader.moc"
