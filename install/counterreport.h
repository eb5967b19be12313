// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

class QAbstractSocket;
class QTimer;

// The report of a successful installation to the counter beside the version list: an HTTP(S)
// POST of "image=<name>". It never delays or changes the end of a run: it goes on by itself and
// ends on its own, when the counter has begun to answer, fails, or stays silent for the time
// limit. Of the answer it reads a few bytes at most: a socket of its own, whose buffer is bounded,
// rather than a network reply, which would take in an endless answer as fast as it comes.
class CounterReport : public QObject
{
    Q_OBJECT

public:
    static constexpr int timeoutMs = 10000;

    // Sends the report; it belongs to owner (the application, a window) and deletes itself when it
    // has ended.
    static CounterReport *send(const QUrl &url, const QString &image, QObject *owner);
    // Waits at most ms for the reports of owner still under way; true when none is left.
    static bool waitForReports(QObject *owner, int ms);

    Q_DISABLE_COPY(CounterReport)

Q_SIGNALS:
    // The counter has begun to answer, or failed, or stayed silent for the time limit.
    void ended();

private:
    CounterReport(const QUrl &counterUrl, const QString &image, QObject *owner);
    static QList<CounterReport *> underWay(QObject *owner);
    void sendRequest();
    void end();

    QUrl url;
    QByteArray body;
    QAbstractSocket *socket;
    QTimer *silence;
    bool hasEnded = false;
};
