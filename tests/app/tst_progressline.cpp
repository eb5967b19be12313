#include "progressline.h"

#include <QTest>

class TestProgressLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void line_data()
    {
        QTest::addColumn<qint64>("done");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<qint64>("elapsedMs");
        QTest::addColumn<QString>("expected");

        QTest::newRow("too early for a speed") << 1000000ll << 4000000ll << 100ll << "Schreibe …  25 %";
        QTest::newRow("half way") << 50000000ll << 100000000ll << 2000ll
                                  << "Schreibe …  50 %  25,0 MB/s  noch 0:02";
        QTest::newRow("minutes, rounded")
            << 12345678ll << 1000000000ll << 10000ll << "Schreibe …  1 %  1,2 MB/s  noch 13:20";
        QTest::newRow("hours") << 1000000ll << 4000000000ll << 1000ll
                               << "Schreibe …  0 %  1,0 MB/s  noch 1:06:39";
        QTest::newRow("finished, nothing left")
            << 4000000ll << 4000000ll << 1000ll << "Schreibe …  100 %  4,0 MB/s";
        QTest::newRow("length unknown") << 1500000ll << -1ll << 1000ll << "Schreibe …  1,5 MB  1,5 MB/s";
        QTest::newRow("nothing yet") << 0ll << 4000000ll << 3000ll << "Schreibe …  0 %";
    }

    void line()
    {
        QFETCH(qint64, done);
        QFETCH(qint64, total);
        QFETCH(qint64, elapsedMs);
        QFETCH(QString, expected);
        QCOMPARE(progressLine(QStringLiteral("Schreibe …"), done, total, elapsedMs), expected);
    }
};

QTEST_GUILESS_MAIN(TestProgressLine)
#include "tst_progressline.moc"
