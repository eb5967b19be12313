// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Test fixture: runs http_server.py (beside this file, found through TOBRA_TEST_SUPPORT) on a free
// port of 127.0.0.1, serving the files of one folder, and stops it in the destructor.
//
//     HttpServer server(dir.path());
//     QVERIFY2(server.isRunning(), qPrintable(server.errorString()));
//     downloader.start(server.url("/image.img?rate=100000"), target);
//
// The query parameters of http_server.py choose special answers (status=404, redirect=/x,
// rate=N, stall=N, stall=silent, truncate=N, norange=1, nolength=1, chunked=1, encoding=gzip, compress=1).
// requests() lists what the server received, e.g. to check that exactly one POST arrived.
// Given a PEM certificate and key, the server speaks HTTPS only and url() gives https:// addresses.

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

class HttpServer
{
public:
    struct Request
    {
        QString method;
        QString path;  // decoded, without the query
        QString query; // as sent
        QByteArray body;
        QString userAgent;
        QString range; // the Range header, empty without one
        QString acceptEncoding;
    };

    // Starts the server on root and waits until it listens (at most 10 s).
    explicit HttpServer(const QString &root, const QString &certificate = {}, const QString &key = {})
        : scheme(certificate.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"))
    {
        const QString script = qEnvironmentVariable("TOBRA_TEST_SUPPORT") + QStringLiteral("/http_server.py");
        QStringList arguments{script, root, QStringLiteral("--log"), logPath()};
        if (!certificate.isEmpty())
            arguments << QStringLiteral("--tls") << certificate << key;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral("python3"), arguments);
        QDeadlineTimer deadline(10000);
        while (!process.canReadLine() && process.state() != QProcess::NotRunning && !deadline.hasExpired())
            process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        listeningPort = process.readLine().trimmed().toUShort();
        if (listeningPort == 0)
            error = QStringLiteral("%1 did not start: %2").arg(script, process.errorString());
    }

    ~HttpServer()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    Q_DISABLE_COPY(HttpServer)

    bool isRunning() const { return listeningPort != 0 && process.state() == QProcess::Running; }
    QString errorString() const { return error; }
    quint16 port() const { return listeningPort; }

    // http(s)://127.0.0.1:<port> followed by pathAndQuery, e.g. "/image.img?status=404".
    QUrl url(const QString &pathAndQuery) const
    {
        return QUrl(QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme).arg(listeningPort).arg(pathAndQuery));
    }

    // Every request received so far, oldest first; each is recorded before it is answered.
    QList<Request> requests() const
    {
        QList<Request> result;
        QFile log(logPath());
        if (!log.open(QIODevice::ReadOnly))
            return result;
        while (!log.atEnd()) {
            const QJsonObject entry = QJsonDocument::fromJson(log.readLine()).object();
            result.append({entry.value(QLatin1String("method")).toString(),
                           entry.value(QLatin1String("path")).toString(),
                           entry.value(QLatin1String("query")).toString(),
                           entry.value(QLatin1String("body")).toString().toLatin1(),
                           entry.value(QLatin1String("userAgent")).toString(),
                           entry.value(QLatin1String("range")).toString(),
                           entry.value(QLatin1String("acceptEncoding")).toString()});
        }
        return result;
    }

    // The requests with the given method ("POST", "GET").
    QList<Request> requests(const QString &method) const
    {
        QList<Request> result;
        for (const Request &request : requests())
            if (request.method == method)
                result.append(request);
        return result;
    }

private:
    QString logPath() const { return logDir.filePath(QStringLiteral("requests.jsonl")); }

    QString scheme;
    QTemporaryDir logDir;
    QProcess process;
    quint16 listeningPort = 0;
    QString error;
};
