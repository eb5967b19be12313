// SPDX-License-Identifier: GPL-3.0-or-later
#include "downloader.h"
#include "httpserver.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// A server that stops sending must not hang the download: after 30 s without data it ends with
// a message that says so and no file.
class TestDownloaderStall : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void stalledTransferTimesOut_data();
    void stalledTransferTimesOut();
};

void TestDownloaderStall::stalledTransferTimesOut_data()
{
    QTest::addColumn<QString>("query");
    QTest::newRow("silent after part of the body") << QStringLiteral("stall=4096");
    QTest::newRow("never answers") << QStringLiteral("stall=silent");
}

void TestDownloaderStall::stalledTransferTimesOut()
{
    QFETCH(QString, query);
    QTemporaryDir dir;
    QFile image(dir.filePath(QStringLiteral("image.img")));
    QVERIFY(image.open(QIODevice::WriteOnly) && image.write(QByteArray(1024 * 1024, 'i')) == 1024 * 1024);
    image.close();
    HttpServer server(dir.path());
    QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
    QNetworkAccessManager network;
    Downloader downloader(&network);
    QSignalSpy finished(&downloader, &Downloader::finished);
    const QString path = dir.filePath(QStringLiteral("download.img"));
    QElapsedTimer clock;
    clock.start();

    downloader.start(server.url(QStringLiteral("/image.img?") + query), path);
    QVERIFY(finished.wait(45000));

    // The limit is a coarse timer, which may fire up to 5 % early.
    QVERIFY2(clock.elapsed() >= 28000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().first().toBool(), false);
    const QString error = finished.first().at(1).toString();
    QVERIFY(!error.isEmpty());
    QCOMPARE(error,
             QStringLiteral("Zeitüberschreitung: Der Server hat 30 Sekunden lang keine Daten gesendet."));
    QVERIFY(!QFile::exists(path));
    QTest::qWait(50);
    QCOMPARE(finished.size(), 1);
}

QTEST_GUILESS_MAIN(TestDownloaderStall)
#include "tst_downloader_stall.moc"
