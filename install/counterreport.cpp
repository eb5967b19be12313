// SPDX-License-Identifier: GPL-3.0-or-later
#include "counterreport.h"

#include <QEventLoop>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

namespace {

// Enough to see that an answer has begun.
constexpr qint64 answerBytes = 64;

} // namespace

CounterReport *CounterReport::send(const QUrl &url, const QString &image, QObject *owner)
{
    return new CounterReport(url, image, owner);
}

CounterReport::CounterReport(const QUrl &counterUrl, const QString &image, QObject *owner)
    : QObject(owner), url(counterUrl), body("image=" + QUrl::toPercentEncoding(image)),
      socket(counterUrl.scheme() == QLatin1String("https") ? new QSslSocket(this) : new QTcpSocket(this)),
      silence(new QTimer(this))
{
    silence->setSingleShot(true);
    silence->start(timeoutMs);
    connect(silence, &QTimer::timeout, this, &CounterReport::end);
    socket->setReadBufferSize(answerBytes);
    connect(socket, &QAbstractSocket::readyRead, this, &CounterReport::end);
    connect(socket, &QAbstractSocket::errorOccurred, this, &CounterReport::end);
    connect(socket, &QAbstractSocket::bytesWritten, silence, qOverload<>(&QTimer::start));
    if (auto *secure = qobject_cast<QSslSocket *>(socket)) {
        connect(secure, &QSslSocket::encrypted, this, &CounterReport::sendRequest);
        secure->connectToHostEncrypted(url.host(), quint16(url.port(443)));
    } else {
        connect(socket, &QAbstractSocket::connected, this, &CounterReport::sendRequest);
        socket->connectToHost(url.host(), quint16(url.port(80)));
    }
}

void CounterReport::sendRequest()
{
    const QByteArray host = url.host(QUrl::FullyEncoded).toUtf8();
    const QByteArray authority = url.port() < 0 ? host : host + ':' + QByteArray::number(url.port());
    const QByteArray head = "POST " + url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority) +
                            " HTTP/1.1\r\n"
                            "Host: " +
                            authority +
                            "\r\n"
                            "User-Agent: " TOBRA_USER_AGENT "\r\n"
                            "Content-Type: application/x-www-form-urlencoded\r\n"
                            "Content-Length: " +
                            QByteArray::number(body.size()) +
                            "\r\n"
                            "Connection: close\r\n\r\n";
    socket->write(head + body);
}

void CounterReport::end()
{
    if (hasEnded)
        return;
    hasEnded = true;
    silence->stop();
    socket->disconnect(this);
    socket->abort();
    Q_EMIT ended();
    deleteLater();
}

QList<CounterReport *> CounterReport::underWay(QObject *owner)
{
    QList<CounterReport *> reports =
        owner->findChildren<CounterReport *>(QString(), Qt::FindDirectChildrenOnly);
    reports.removeIf([](const CounterReport *report) { return report->hasEnded; });
    return reports;
}

bool CounterReport::waitForReports(QObject *owner, int ms)
{
    const QList<CounterReport *> reports = underWay(owner);
    if (reports.isEmpty())
        return true;
    QEventLoop loop;
    int pending = reports.size();
    for (CounterReport *report : reports)
        connect(report, &CounterReport::ended, &loop, [&loop, &pending] {
            if (--pending == 0)
                loop.quit();
        });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return pending == 0;
}
