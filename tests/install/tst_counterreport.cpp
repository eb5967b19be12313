// SPDX-License-Identifier: GPL-3.0-or-later
// The report to the install counter against the test server: what is sent, where, and that it
// ends on its own whatever the counter does.
#include "counterreport.h"
#include "httpserver.h"
#include "installation.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTest>

class TestCounterReport : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir root;
    std::unique_ptr<HttpServer> server;

    static bool reportEnds(const QUrl &counter)
    {
        QObject owner;
        QSignalSpy ended(CounterReport::send(counter, "tobra-1.2.img", &owner), &CounterReport::ended);
        return ended.wait(3000);
    }

    // A self-signed certificate for 127.0.0.1, as PEM files beside each other in dir.
    static bool makeCertificate(const QTemporaryDir &dir, QString *output)
    {
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                                  "-addext", "subjectAltName=IP:127.0.0.1", "-days", "1", "-keyout",
                                  dir.filePath("key.pem"), "-out", dir.filePath("cert.pem")});
        const bool made = openssl.waitForFinished(60000) && openssl.exitCode() == 0;
        *output = QString::fromLocal8Bit(openssl.readAll());
        return made;
    }

private Q_SLOTS:
    void initTestCase()
    {
        server = std::make_unique<HttpServer>(root.path());
        QVERIFY2(server->isRunning(), qPrintable(server->errorString()));
    }

    void counterUrl_data()
    {
        QTest::addColumn<QString>("list");
        QTest::addColumn<QString>("counter"); // empty: no report
        QTest::newRow("http") << "http://tobra.example.org/tobra/download/tobra.json"
                              << "http://tobra.example.org/tobra/download/count.php";
        QTest::newRow("https stays https") << "https://tobra.example.org/tobra/download/tobra.json"
                                           << "https://tobra.example.org/tobra/download/count.php";
        QTest::newRow("query and fragment dropped") << "https://example.org:8443/a/list.json?x=1#top"
                                                    << "https://example.org:8443/a/count.php";
        QTest::newRow("a list from a file") << "file:///home/user/tobra.json"
                                            << "";
        QTest::newRow("a list from a local path") << "/home/user/tobra.json"
                                                  << "";
    }

    // A list read from a file never reports; one from a server reports beside it, as securely.
    void counterUrl()
    {
        QFETCH(QString, list);
        QFETCH(QString, counter);
        QCOMPARE(counterUrlFor(QUrl::fromUserInput(list, QString())), QUrl(counter));
    }

    void endsOnItsOwn_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<int>("atLeastMs");
        QTest::addColumn<int>("atMostMs");
        QTest::newRow("answered") << "" << 0 << 3000;
        QTest::newRow("error status") << "?status=500" << 0 << 3000;
        QTest::newRow("endless answer, not taken in") << "?onpost=endless" << 0 << 3000;
        // A coarse timer may fire up to 5 % early.
        QTest::newRow("silent counter, given up after 10 s") << "?onpost=silent" << 9000 << 20000;
    }

    // One POST with the image's name; the report ends by itself, an endless answer at once.
    void endsOnItsOwn()
    {
        QFETCH(QString, query);
        QFETCH(int, atLeastMs);
        QFETCH(int, atMostMs);
        const int postsBefore = server->requests("POST").size();
        QObject owner;
        QElapsedTimer clock;
        clock.start();
        QSignalSpy ended(
            CounterReport::send(server->url("/tobra/count.php" + query), "tobra-1.2.img", &owner),
            &CounterReport::ended);
        QVERIFY(ended.wait(atMostMs));
        QVERIFY2(clock.elapsed() >= atLeastMs, qPrintable(QString::number(clock.elapsed())));
        const QList<HttpServer::Request> posts = server->requests("POST").mid(postsBefore);
        QCOMPARE(posts.size(), 1);
        QCOMPARE(posts.first().path, "/tobra/count.php");
        QCOMPARE(posts.first().body, QByteArray("image=tobra-1.2.img"));
        QCOMPARE(posts.first().userAgent, "TobraInstaller/0.1");
        QVERIFY(CounterReport::waitForReports(&owner, 0));
    }

    // An https counter gets the report over TLS, and only when its certificate is trusted.
    void reportsOverTls()
    {
        if (!QSslSocket::supportsSsl())
            QSKIP("Qt's TLS backend (OpenSSL) is missing");
        if (QStandardPaths::findExecutable("openssl").isEmpty())
            QSKIP("openssl is missing to make a test certificate");
        QTemporaryDir tls;
        QString output;
        QVERIFY2(makeCertificate(tls, &output), qPrintable(output));
        const QString certificate = tls.filePath("cert.pem");
        HttpServer secure(root.path(), certificate, tls.filePath("key.pem"));
        QVERIFY2(secure.isRunning(), qPrintable(secure.errorString()));
        const QUrl counter = secure.url("/tobra/count.php");
        QCOMPARE(counter.scheme(), "https");

        QVERIFY(reportEnds(counter));
        QCOMPARE(secure.requests("POST").size(), 0);

        const QSslConfiguration original = QSslConfiguration::defaultConfiguration();
        QSslConfiguration trusting = original;
        QVERIFY(trusting.addCaCertificates(certificate));
        QSslConfiguration::setDefaultConfiguration(trusting);
        const bool ended = reportEnds(counter);
        QSslConfiguration::setDefaultConfiguration(original);
        QVERIFY(ended);
        const QList<HttpServer::Request> posts = secure.requests("POST");
        QCOMPARE(posts.size(), 1);
        QCOMPARE(posts.first().path, "/tobra/count.php");
        QCOMPARE(posts.first().body, QByteArray("image=tobra-1.2.img"));
    }

    // A command line waits for its reports no longer than it chooses.
    void waitIsBounded()
    {
        QObject owner;
        CounterReport::send(server->url("/count.php?onpost=silent"), "a.img", &owner);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!CounterReport::waitForReports(&owner, 300));
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));

        QObject other;
        CounterReport::send(server->url("/count.php"), "a.img", &other);
        QVERIFY(CounterReport::waitForReports(&other, 5000));
    }
};

QTEST_GUILESS_MAIN(TestCounterReport)
#include "tst_counterreport.moc"
