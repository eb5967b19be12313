// SPDX-License-Identifier: GPL-3.0-or-later
#include "desktopnotification.h"
#include "fakenotifications.h"

#include <QTest>
#include <memory>

// Against a private session bus: first without a notification service, then with one.
class TestDesktopNotification : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<PrivateSessionBus> bus;

private Q_SLOTS:
    void initTestCase()
    {
        bus = std::make_unique<PrivateSessionBus>();
        if (!bus->error().isEmpty())
            QSKIP(qPrintable(bus->error()));
    }

    void cleanupTestCase() { bus.reset(); }

    void withoutServiceNothingIsShown() { QVERIFY(!notifyDesktop("Fertig", "Die Karte ist bereit.")); }

    void serviceShowsTheNotification()
    {
        FakeNotifications fake;
        QVERIFY(bus->serveNotifications(fake, QStringLiteral("fake")));

        QVERIFY(notifyDesktop("Fertig", "Die Karte ist bereit."));
        QTRY_COMPARE(fake.shown, QStringList({"Tobra Installer", "Fertig", "Die Karte ist bereit."}));
        QDBusConnection::disconnectFromBus(QStringLiteral("fake"));
    }

    // The body carries file names and server texts, which must not be taken as markup.
    void bodyIsPlainText()
    {
        FakeNotifications fake;
        QVERIFY(bus->serveNotifications(fake, QStringLiteral("fake")));

        QVERIFY(notifyDesktop("Fehler", R"(<b>a & b</b> <img src="x.png"> "c")"));
        QTRY_COMPARE(fake.shown,
                     QStringList({"Tobra Installer", "Fehler",
                                  "&lt;b&gt;a &amp; b&lt;/b&gt; &lt;img src=&quot;x.png&quot;&gt; "
                                  "&quot;c&quot;"}));
        QDBusConnection::disconnectFromBus(QStringLiteral("fake"));
    }
};

QTEST_GUILESS_MAIN(TestDesktopNotification)
#include "tst_desktopnotification.moc"
