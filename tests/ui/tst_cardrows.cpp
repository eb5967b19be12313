// SPDX-License-Identifier: GPL-3.0-or-later
#include "cardrows.h"

#include <QLabel>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTest>

namespace {

using Stage = Installation::CardReport::Stage;

DriveInfo card(const QString &name)
{
    DriveInfo drive;
    drive.path = "/dev/" + name;
    drive.name = "Generic STORAGE DEVICE";
    drive.sizeBytes = 15931539456;
    drive.label = drive.name + " (15,9 GB) – " + drive.path;
    return drive;
}

const QList<DriveInfo> threeCards = {card("sdb"), card("sdc"), card("sdd")};

Installation::CardReport report(Stage stage, qint64 done = 0, const QString &reason = QString())
{
    Installation::CardReport shown;
    shown.drive = threeCards.at(1);
    shown.stage = stage;
    shown.done = done;
    shown.total = 1000000;
    shown.reason = reason;
    return shown;
}

} // namespace

Q_DECLARE_METATYPE(Installation::CardReport)

// The rows of a run onto several cards, fed with reports as the installation sends them.
class TestCardRows : public QObject
{
    Q_OBJECT

private:
    static QStringList texts(CardRows &rows, const char *name)
    {
        QStringList shown;
        for (QLabel *label : rows.findChildren<QLabel *>(QLatin1String(name)))
            shown << label->text();
        return shown;
    }

private Q_SLOTS:
    // One card keeps the window as it is: no rows, no tally.
    void onlyForSeveralCards()
    {
        CardRows rows;
        rows.start({threeCards.first()});
        QVERIFY(rows.isHidden());
        QCOMPARE(rows.tally(), QString());
        rows.start(threeCards);
        QVERIFY(!rows.isHidden());
        QCOMPARE(texts(rows, "stateLabel"), QStringList(3, "wartet"));
        QCOMPARE(texts(rows, "nameLabel").size(), 3);
        QCOMPARE(rows.tally(), "0 von 3 Karten geschrieben und geprüft");
        rows.start(threeCards.mid(0, 2));
        QCOMPARE(texts(rows, "stateLabel").size(), 2);
    }

    void stages_data()
    {
        QTest::addColumn<Installation::CardReport>("shown");
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("bar");
        QTest::addColumn<int>("verified");
        QTest::newRow("writing") << report(Stage::Writing, 250000) << "wird geschrieben" << 250 << 0;
        QTest::newRow("verifying") << report(Stage::Verifying, 500000) << "wird geprüft" << 500 << 0;
        QTest::newRow("verified") << report(Stage::Verified, 1000000) << "geschrieben und geprüft" << 1000
                                  << 1;
        QTest::newRow("failed") << report(Stage::Failed, 0, "Lesefehler. Die Karte wurde nicht verändert.")
                                << "Fehler: Lesefehler. Die Karte wurde nicht verändert." << 0 << 0;
    }

    // Each card's row says what it does or what became of it, and why it failed.
    void stages()
    {
        QFETCH(Installation::CardReport, shown);
        QFETCH(QString, state);
        QFETCH(int, bar);
        QFETCH(int, verified);
        CardRows rows;
        rows.start(threeCards);
        rows.showReport(1, shown);
        rows.showReport(7, shown); // not a card of the run
        QCOMPARE(texts(rows, "stateLabel"), (QStringList{"wartet", state, "wartet"}));
        const QList<QProgressBar *> bars = rows.findChildren<QProgressBar *>("cardBar");
        QCOMPARE(bars.at(1)->value() * 1000 / bars.at(1)->maximum(), bar);
        QCOMPARE(bars.at(1)->accessibleName(), "Fortschritt /dev/sdc");
        QCOMPARE(rows.tally(), QString("%1 von 3 Karten geschrieben und geprüft").arg(verified));
    }

    // The speed shows once it has been measured over a while, anew for reading back.
    void speedPerStage()
    {
        CardRows rows;
        rows.start(threeCards);
        for (int step = 0; step <= 12; ++step) {
            rows.showReport(0, report(Stage::Writing, step * 10000));
            QTest::qWait(100);
        }
        const QString writing = texts(rows, "stateLabel").first();
        QVERIFY2(QRegularExpression("^wird geschrieben · \\d+,\\d MB/s$").match(writing).hasMatch(),
                 qPrintable(writing));
        rows.showReport(0, report(Stage::Verifying, 0));
        QCOMPARE(texts(rows, "stateLabel").first(), "wird geprüft");
    }

    // However narrow the rows, each card's size and device show.
    void namesKeepTheirDevice()
    {
        CardRows rows;
        rows.start(threeCards);
        rows.resize(320, rows.sizeHint().height());
        rows.show();
        QVERIFY(QTest::qWaitForWindowExposed(&rows));
        for (const QString &name : texts(rows, "nameLabel"))
            QVERIFY2(QRegularExpression(" \\(15,9 GB\\) – /dev/sd[bcd]$").match(name).hasMatch(),
                     qPrintable(name));
    }
};

QTEST_MAIN(TestCardRows)
#include "tst_cardrows.moc"
