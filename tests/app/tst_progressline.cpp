// SPDX-License-Identifier: GPL-3.0-or-later
#include "progressline.h"
#include "progressmeter.h"

#include <QTest>

// The terminal line after a step has run at a steady speed for a while, on a clock the test moves.
class TestProgressLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void line_data()
    {
        QTest::addColumn<qint64>("bytesPerSecond");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<qint64>("elapsedMs");
        QTest::addColumn<QString>("expected");

        QTest::newRow("too early for a speed") << 2000000ll << 4000000ll << 500ll << "Schreibe …  25 %";
        QTest::newRow("speed, too early for the time left")
            << 25000000ll << 100000000ll << 2000ll << "Schreibe …  50 %  25,0 MB/s";
        QTest::newRow("minutes") << 1200000ll << 1000000000ll << 10000ll
                                 << "Schreibe …  1 %  1,2 MB/s  noch 13:43";
        QTest::newRow("hours") << 1000000ll << 8000000000ll << 4000ll
                               << "Schreibe …  0 %  1,0 MB/s  noch 2:13:16";
        QTest::newRow("finished, nothing left")
            << 1000000ll << 4000000ll << 4000ll << "Schreibe …  100 %  1,0 MB/s";
        QTest::newRow("length unknown") << 1000000ll << -1ll << 2000ll << "Schreibe …  2,0 MB  1,0 MB/s";
        QTest::newRow("nothing yet") << 0ll << 4000000ll << 3000ll << "Schreibe …  0 %";
    }

    void line()
    {
        QFETCH(qint64, bytesPerSecond);
        QFETCH(qint64, total);
        QFETCH(qint64, elapsedMs);
        QFETCH(QString, expected);
        qint64 now = 0;
        ProgressMeter meter([&now] { return now; });
        meter.start(QStringLiteral("Schreibe …"));
        for (now = 100; now <= elapsedMs; now += 100)
            meter.update(bytesPerSecond * now / 1000, total);
        now = elapsedMs;
        QCOMPARE(progressLine(meter), expected);
    }

    // Seconds without a byte: the speed has fallen and the line says what it waits for.
    void stalledLine()
    {
        qint64 now = 0;
        ProgressMeter meter([&now] { return now; });
        meter.start(QStringLiteral("Lade …"), QStringLiteral("warte auf den Server"));
        for (now = 100; now <= 4000; now += 100)
            meter.update(1000 * now, 8000000);
        now = 10000;
        QCOMPARE(progressLine(meter),
                 QStringLiteral("Lade …  50 %  0,0 MB/s  warte auf den Server (seit 0:06)"));
    }
};

QTEST_GUILESS_MAIN(TestProgressLine)
#include "tst_progressline.moc"
