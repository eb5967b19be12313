// SPDX-License-Identifier: GPL-3.0-or-later
#include "httpserver.h"
#include "mainwindow.h"
#include "windowfixture.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTest>

namespace {

const QByteArray threeVersions = R"json({"schema": 1, "versions": [
  {"title": "Tobra 1.2", "image": "tobra-1.2.img", "kickstart": "3.1 (A1200)", "sha256": ""},
  {"title": "Tobra 1.1", "image": "tobra-1.1.img"},
  {"title": "Tobra 1.0 AROS", "image": "tobra-1.0.img", "kickstart": "AROS"}]})json";

// Blanks after the document make it exactly as long as the loader accepts, or one byte longer.
QByteArray padded(const QByteArray &list, qint64 size)
{
    return list + QByteArray(size - list.size(), ' ');
}

const QStringList threeTitles = {"Tobra 1.2", "Tobra 1.1", "Tobra 1.0 AROS"};
const QString ready = QStringLiteral("Bereit (3 Version(en) gefunden)");
const QString unavailable = QStringLiteral("Versionsliste nicht verfügbar");
const QString faulty = QStringLiteral("Versionsliste fehlerhaft");
const QString tooLarge = QStringLiteral("Die Versionsliste ist größer als 1 MiB und wird nicht gelesen.");
const QString useLocalImage = QStringLiteral("Sie können trotzdem eine lokale Image-Datei verwenden.");

} // namespace

class TestVersionLoading : public QObject
{
    Q_OBJECT

private:
    QString writeFile(const QString &name, const QByteArray &content)
    {
        QFile file(files.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(file.fileName()));
        return file.fileName();
    }

    std::unique_ptr<MainWindow> makeWindow(const QUrl &configUrl)
    {
        return std::make_unique<MainWindow>(configUrl,
                                            QUrl(QStringLiteral("https://images.example.org/tobra/")));
    }

    std::unique_ptr<FakeLsblk> lsblk;
    QTemporaryDir files;
    QTemporaryDir cache; // the user's cache folder, which keeps the lists last loaded
    std::unique_ptr<HttpServer> server;

private Q_SLOTS:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Drellwerk"));
        QCoreApplication::setApplicationName(QStringLiteral("TobraInstaller"));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path()));
        lsblk = std::make_unique<FakeLsblk>();
        writeFile("tobra.json", threeVersions);
        writeFile("page.html", "<html><body>Wartungsarbeiten</body></html>");
        writeFile("largest.json", padded(threeVersions, VersionListLoader::maxListBytes));
        writeFile("too-large.json", padded(threeVersions, VersionListLoader::maxListBytes + 1));
        server = std::make_unique<HttpServer>(files.path());
        QVERIFY2(server->isRunning(), qPrintable(server->errorString()));
    }

    void readyList_data()
    {
        QTest::addColumn<bool>("overHttp");
        QTest::addColumn<QString>("file");
        QTest::newRow("http") << true << "tobra.json";
        QTest::newRow("local file path") << false << "tobra.json";
        QTest::newRow("http, 1 MiB") << true << "largest.json";
        QTest::newRow("local file path, 1 MiB") << false << "largest.json";
    }

    void readyList()
    {
        QFETCH(bool, overHttp);
        QFETCH(QString, file);
        const QUrl url =
            overHttp ? server->url("/" + file) : QUrl::fromUserInput(files.filePath(file), QString());
        const auto window = makeWindow(url);
        auto *status = member<QLabel>(*window, "statusLabel");
        QCOMPARE(status->text(), QStringLiteral("Lade Versionsliste …"));
        QTRY_COMPARE(status->text(), ready);

        auto *versions = member<QComboBox>(*window, "versionCombo");
        auto *kickstart = member<QLabel>(*window, "kickstartLabel");
        QCOMPARE(itemTexts(versions), threeTitles);
        QCOMPARE(versions->currentIndex(), 0);
        QCOMPARE(kickstart->text(), QStringLiteral("3.1 (A1200)"));
        QVERIFY(logLines(*window).contains(ready));
        versions->setCurrentIndex(1);
        QCOMPARE(kickstart->text(), QStringLiteral("keine Angabe"));
        versions->setCurrentIndex(2);
        QCOMPARE(kickstart->text(), QStringLiteral("AROS"));
        versions->clear();
        QCOMPARE(kickstart->text(), QString());

        if (overHttp) {
            const QList<HttpServer::Request> requests = server->requests("GET");
            QVERIFY(!requests.isEmpty());
            QCOMPARE(requests.last().userAgent, QStringLiteral("TobraInstaller/0.1"));
        }
    }

    void failedList_data()
    {
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QStringList>("log");

        QTest::newRow("http 404")
            << server->url("/missing.json") << unavailable
            << QStringList{unavailable,
                           "Fehler beim Laden der Versionsliste: Error transferring [Adresse] - "
                           "server replied: Not Found",
                           useLocalImage};
        QTest::newRow("html page with 200")
            << server->url("/page.html") << faulty
            << QStringList{faulty, "tobra.json ist kein gültiges JSON: illegal value"};
        QTest::newRow("http, one byte over 1 MiB")
            << server->url("/too-large.json") << faulty << QStringList{faulty, tooLarge};
        QTest::newRow("local file, one byte over 1 MiB")
            << QUrl::fromLocalFile(files.filePath("too-large.json")) << faulty
            << QStringList{faulty, tooLarge};
        // Without a bound this would fill the memory.
        QTest::newRow("endless chunked body")
            << server->url("/tobra.json?endless=1") << faulty << QStringList{faulty, tooLarge};
        const QString missing = files.filePath("missing.json");
        QTest::newRow("missing local file")
            << QUrl::fromLocalFile(missing) << unavailable
            << QStringList{unavailable,
                           "Fehler beim Laden der Versionsliste: Error opening " + missing +
                               ": No such file or directory",
                           useLocalImage};
    }

    // The selector stays empty; the log explains, with the address replaced.
    void failedList()
    {
        QFETCH(QUrl, url);
        QFETCH(QString, status);
        QFETCH(QStringList, log);
        const auto window = makeWindow(url);
        QTRY_COMPARE(member<QLabel>(*window, "statusLabel")->text(), status);
        QCOMPARE(member<QComboBox>(*window, "versionCombo")->count(), 0);
        QCOMPARE(member<QLabel>(*window, "kickstartLabel")->text(), QString());
        QCOMPARE(logLines(*window).mid(logLines(*window).size() - log.size()), log);
    }

    // A failed reload, and a start without the server, offer the list last loaded, and say so.
    void keepsTheListLastLoaded()
    {
        writeFile("kept.json", threeVersions);
        const auto window = makeWindow(server->url("/kept.json"));
        auto *status = member<QLabel>(*window, "statusLabel");
        QTRY_COMPARE(status->text(), ready);
        QVERIFY(QFile::remove(files.filePath("kept.json")));
        static const QRegularExpression keptStatus("^Versionsliste vom \\d\\d\\.\\d\\d\\.\\d{4}, "
                                                   "\\d\\d:\\d\\d \\(zuletzt geladen\\): 3 Version\\(en\\)$");
        const QString notFound = QStringLiteral(
            "Fehler beim Laden der Versionsliste: Error transferring [Adresse] - server replied: Not Found");

        member<QPushButton>(*window, "reloadButton")->click();
        QTRY_VERIFY2(keptStatus.match(status->text()).hasMatch(), qPrintable(status->text()));
        QCOMPARE(itemTexts(member<QComboBox>(*window, "versionCombo")), threeTitles);
        QCOMPARE(member<QLabel>(*window, "kickstartLabel")->text(), QStringLiteral("3.1 (A1200)"));
        QVERIFY(logLines(*window).contains(notFound));

        const auto offline = makeWindow(server->url("/kept.json"));
        auto *offlineStatus = member<QLabel>(*offline, "statusLabel");
        QTRY_VERIFY2(keptStatus.match(offlineStatus->text()).hasMatch(), qPrintable(offlineStatus->text()));
        QCOMPARE(itemTexts(member<QComboBox>(*offline, "versionCombo")), threeTitles);
    }

    // Markup in the list is shown as typed, never rendered: a label would draw "<i>3.1</i>" as
    // an italic "3.1", about half as wide.
    void textsFromTheListArePlain()
    {
        const QString markup = QStringLiteral("<i>3.1</i> &amp; <a href=\"x\">mehr</a>");
        writeFile("markup.json", QStringLiteral(R"({"schema": 1, "versions": [
            {"title": "<b>Tobra</b>", "image": "t.img", "kickstart": "%1"}]})")
                                     .arg(QString(markup).replace('"', "\\\""))
                                     .toUtf8());
        const auto window = makeWindow(server->url("/markup.json"));
        auto *versions = member<QComboBox>(*window, "versionCombo");
        QTRY_COMPARE(versions->count(), 1);
        QCOMPARE(versions->itemText(0), QStringLiteral("<b>Tobra</b>"));
        auto *kickstart = member<QLabel>(*window, "kickstartLabel");
        QCOMPARE(kickstart->text(), markup);
        QVERIFY(kickstart->sizeHint().width() >= kickstart->fontMetrics().horizontalAdvance(markup));
    }

    // Reloading clears the list first; a request still running must not add its titles too.
    void reloadWhileLoading()
    {
        const auto window = makeWindow(server->url("/tobra.json?rate=400"));
        auto *versions = member<QComboBox>(*window, "versionCombo");
        QTest::qWait(200);
        member<QPushButton>(*window, "reloadButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(member<QLabel>(*window, "statusLabel")->text(), ready, 10000);
        QTest::qWait(300);
        QCOMPARE(itemTexts(versions), threeTitles);
        QVERIFY(!logLines(*window).contains(unavailable));

        member<QPushButton>(*window, "reloadButton")->click();
        QCOMPARE(versions->count(), 0);
        QCOMPARE(member<QLabel>(*window, "kickstartLabel")->text(), QString());
        member<QPushButton>(*window, "reloadButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(member<QLabel>(*window, "statusLabel")->text(), ready, 10000);
        QTest::qWait(300);
        QCOMPARE(itemTexts(versions), threeTitles);
    }

    void imageUrl_data()
    {
        QTest::addColumn<QUrl>("base");
        QTest::addColumn<QUrl>("expected");
        QTest::newRow("folder without slash")
            << QUrl("https://h.example.org/tobra") << QUrl("https://h.example.org/tobra/x.img");
        QTest::newRow("folder with slash")
            << QUrl("https://h.example.org/tobra/") << QUrl("https://h.example.org/tobra/x.img");
        QTest::newRow("empty path") << QUrl("http://h.example.org:8080")
                                    << QUrl("http://h.example.org:8080/x.img");
        QTest::newRow("query and fragment dropped")
            << QUrl("https://h.example.org/a/b?k=v#f") << QUrl("https://h.example.org/a/b/x.img");
        QTest::newRow("encoded folder") << QUrl("https://h.example.org/mein%20Ordner")
                                        << QUrl("https://h.example.org/mein%20Ordner/x.img");
        QTest::newRow("local folder")
            << QUrl::fromUserInput("/srv/images", QString()) << QUrl::fromLocalFile("/srv/images/x.img");
    }

    void imageUrl()
    {
        QFETCH(QUrl, base);
        QFETCH(QUrl, expected);
        QCOMPARE(::imageUrl(base, VersionEntry{"X", "x.img", "", ""}), expected);
    }
};

QTEST_MAIN(TestVersionLoading)
#include "tst_versionloading.moc"
