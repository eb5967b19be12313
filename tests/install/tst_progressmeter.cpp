// SPDX-License-Identifier: GPL-3.0-or-later
#include "progressmeter.h"

#include <QTest>

namespace {

const QString writing = QStringLiteral("Schreibe auf die Karte …");

// Samples of a transfer: (milliseconds, bytes done) in time order.
struct Samples
{
    QList<qint64> times;
    QList<qint64> done;

    // Adds one sample every stepMs from the last time on, at bytesPerSecond, up to untilMs.
    Samples &steady(double bytesPerSecond, qint64 untilMs, qint64 stepMs = 1000)
    {
        qint64 at = times.isEmpty() ? 0 : times.last();
        qint64 bytes = done.isEmpty() ? 0 : done.last();
        while (at < untilMs) {
            const qint64 step = qMin<qint64>(stepMs, untilMs - at);
            at += step;
            bytes += qint64(bytesPerSecond * double(step) / 1000);
            add(at, bytes);
        }
        return *this;
    }
    Samples &add(qint64 atMs, qint64 bytes)
    {
        times << atMs;
        done << bytes;
        return *this;
    }
};

} // namespace

// The status text after a run of samples, on a clock the test moves.
class TestProgressMeter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void statusText_data()
    {
        QTest::addColumn<qint64>("total");
        QTest::addColumn<QList<qint64>>("times");
        QTest::addColumn<QList<qint64>>("done");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("percent");

        const qint64 image = 1946000000;
        QTest::newRow("just started")
            << image << QList<qint64>{0} << QList<qint64>{0} << writing + " 0 von 1.946 MB" << 0;
        Samples early = Samples().add(500, 12000000);
        QTest::newRow("no speed within the first second")
            << image << early.times << early.done << writing + " 12 von 1.946 MB" << 0;
        Samples second = Samples().steady(23400000, 2000);
        QTest::newRow("speed, but no time left yet")
            << image << second.times << second.done << writing + " 47 von 1.946 MB · 23,4 MB/s" << 2;
        Samples settled = Samples().steady(23400000, 17000).add(17607, 412000000);
        QTest::newRow("settled") << image << settled.times << settled.done
                                 << writing + " 412 von 1.946 MB · 23,4 MB/s · noch etwa 1:06" << 21;
        Samples burst = Samples().steady(10000000, 10000).steady(50000000, 11000);
        QTest::newRow("a burst is smoothed")
            << qint64(1000000000) << burst.times << burst.done
            << writing + " 150 von 1.000 MB · 18,0 MB/s · noch etwa 0:47" << 15;
        Samples slow = Samples().steady(100000, 10000);
        QTest::newRow("hours left") << qint64(2000000000) << slow.times << slow.done
                                    << writing + " 1 von 2.000 MB · 0,1 MB/s · noch etwa 5:33:10" << 0;
        Samples unknown = Samples().steady(10000000, 4000);
        QTest::newRow("total unknown")
            << qint64(-1) << unknown.times << unknown.done << writing + " 40 MB · 10,0 MB/s" << -1;
        Samples small = Samples().add(500, 2500000);
        QTest::newRow("small sizes keep a decimal")
            << qint64(5000000) << small.times << small.done << writing + " 2,5 von 5,0 MB" << 50;
        Samples back = Samples().steady(10000000, 5000).add(5500, 1000000).add(6000, 2000000);
        QTest::newRow("going back measures anew")
            << qint64(100000000) << back.times << back.done << writing + " 2 von 100 MB" << 2;
        Samples frequent = Samples().steady(10000000, 6000, 1);
        QTest::newRow("a report every millisecond")
            << qint64(100000000) << frequent.times << frequent.done
            << writing + " 60 von 100 MB · 10,0 MB/s · noch etwa 0:04" << 60;
        Samples resumed = Samples().add(100, 900000000).steady(10000000, 5100);
        QTest::newRow("a resumed transfer starts its speed at the first report")
            << qint64(1000000000) << resumed.times << resumed.done
            << writing + " 950 von 1.000 MB · 10,0 MB/s · noch etwa 0:05" << 95;
        Samples complete = Samples().steady(20000000, 5000);
        QTest::newRow("complete") << qint64(100000000) << complete.times << complete.done
                                  << writing + " 100 von 100 MB · 20,0 MB/s · noch etwa 0:00" << 100;
    }

    void statusText()
    {
        QFETCH(qint64, total);
        QFETCH(QList<qint64>, times);
        QFETCH(QList<qint64>, done);
        QFETCH(QString, expected);
        QFETCH(int, percent);
        qint64 now = 0;
        ProgressMeter meter([&now] { return now; });
        meter.start(writing);
        for (int i = 0; i < times.size(); ++i) {
            now = times.at(i);
            meter.update(done.at(i), total);
        }
        QCOMPARE(meter.text(), expected);
        QCOMPARE(meter.percent(), percent);
    }

    // A new phase forgets the speed of the one before.
    void startBeginsAnew()
    {
        qint64 now = 0;
        ProgressMeter meter([&now] { return now; });
        meter.start(QStringLiteral("Lade herunter …"));
        for (now = 1000; now <= 10000; now += 1000)
            meter.update(now * 10000, 200000000);
        QVERIFY(meter.secondsLeft() > 0);
        meter.start(QStringLiteral("Prüfe die Karte …"));
        meter.update(0, 50000000);
        QCOMPARE(meter.bytesPerSecond(), 0.0);
        QCOMPARE(meter.secondsLeft(), qint64(-1));
        QCOMPARE(meter.text(), QStringLiteral("Prüfe die Karte … 0 von 50 MB"));
    }

    // When no byte comes the speed falls with the time since the last one, and after a few
    // seconds the text says what it waits for, in place of a time left that no longer holds.
    void stallShowsWaiting_data()
    {
        QTest::addColumn<qint64>("silentMs");
        QTest::addColumn<QString>("waiting");
        QTest::addColumn<QString>("expected");
        const QString loading = QStringLiteral("Lade Tobra herunter … 250 von 2.000 MB · ");
        QTest::newRow("still flowing")
            << qint64(0) << "warte auf den Server" << loading + "25,0 MB/s · noch etwa 1:10";
        QTest::newRow("two seconds silent")
            << qint64(2000) << "warte auf den Server" << loading + "15,0 MB/s · noch etwa 1:57";
        QTest::newRow("seven seconds silent") << qint64(7000) << "warte auf den Server"
                                              << loading + "0,0 MB/s · warte auf den Server (seit 0:07)";
        QTest::newRow("nothing named")
            << qint64(65000) << QString() << loading + "0,0 MB/s · keine Daten seit 1:05";
    }
    void stallShowsWaiting()
    {
        QFETCH(qint64, silentMs);
        QFETCH(QString, waiting);
        QFETCH(QString, expected);
        qint64 now = 0;
        ProgressMeter meter([&now] { return now; });
        meter.start(QStringLiteral("Lade Tobra herunter …"), waiting);
        for (now = 1000; now <= 10000; now += 1000)
            meter.update(now * 25000, 2000000000);
        now += silentMs - 1000;

        QCOMPARE(meter.text(), expected);
        QCOMPARE(meter.isStalled(), silentMs >= 5000);
    }

    // However often progress is reported, the text is due about ten times a second, and once more
    // at the end of the phase.
    void textDueTenTimesASecond()
    {
        qint64 now = 0;
        ProgressMeter meter([&now] { return now; });
        meter.start(writing);
        int due = 0;
        for (now = 1; now <= 1000; ++now)
            due += meter.update(now * 1000, 2000000) ? 1 : 0;
        QVERIFY2(due >= 10 && due <= 12, qPrintable(QString::number(due)));
        QVERIFY(!meter.update(1001000, 2000000));
        QVERIFY(meter.update(2000000, 2000000));
    }

    void texts_data()
    {
        QTest::addColumn<QString>("actual");
        QTest::addColumn<QString>("expected");
        QTest::newRow("step") << stepText(3, 4) << "Schritt 3 von 4";
        QTest::newRow("megabytes, thousands") << megabytesText(31914983424) << "31.915 MB";
        QTest::newRow("megabytes, below ten") << megabytesText(8388608) << "8,4 MB";
        QTest::newRow("seconds") << durationText(9) << "0:09";
        QTest::newRow("minutes") << durationText(3599) << "59:59";
        QTest::newRow("an hour") << durationText(3600) << "1:00:00";
    }

    void texts()
    {
        QFETCH(QString, actual);
        QFETCH(QString, expected);
        QCOMPARE(actual, expected);
    }
};

QTEST_GUILESS_MAIN(TestProgressMeter)
#include "tst_progressmeter.moc"
