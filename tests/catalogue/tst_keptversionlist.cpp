// SPDX-License-Identifier: GPL-3.0-or-later
// The last version list loaded from an address is kept and offered when a later load fails.
#include "httpserver.h"
#include "keptversionlist.h"
#include "versionlistloader.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTest>

namespace {

const QByteArray oneVersion = R"({"schema": 1, "versions": [{"title": "Tobra 1.2", "image": "t-1.2.img"}]})";
const QByteArray twoVersions = R"({"schema": 1, "versions": [{"title": "Tobra 1.3", "image": "t-1.3.img"},
    {"title": "Tobra 1.2", "image": "t-1.2.img"}]})";

QStringList titles(const VersionList &list)
{
    QStringList result;
    for (const VersionEntry &entry : list.versions)
        result << entry.title;
    return result;
}

} // namespace

class TestKeptVersionList : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir served;
    QTemporaryDir cache;
    std::unique_ptr<HttpServer> server;
    QNetworkAccessManager network;

    bool serve(const QString &name, const QByteArray &content)
    {
        QFile file(served.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }

    // Loads url to its end: the signal that ended it, with its arguments.
    QPair<QString, QVariantList> load(const QUrl &url)
    {
        VersionListLoader loader(network);
        QSignalSpy loaded(&loader, &VersionListLoader::loaded);
        QSignalSpy kept(&loader, &VersionListLoader::keptListOffered);
        QSignalSpy failed(&loader, &VersionListLoader::failed);
        loader.load(url);
        if (!QTest::qWaitFor([&] { return loaded.size() + kept.size() + failed.size() > 0; }, 30000))
            return {};
        if (!loaded.isEmpty())
            return {"loaded", loaded.first()};
        return kept.isEmpty() ? qMakePair(QString("failed"), failed.first())
                              : qMakePair(QString("kept"), kept.first());
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path()));
        server = std::make_unique<HttpServer>(served.path());
        QVERIFY2(server->isRunning(), qPrintable(server->errorString()));
    }

    void failedLoad_data()
    {
        QTest::addColumn<QString>("later"); // what the address gives on the second load
        QTest::addColumn<QString>("reason");
        QTest::newRow("server gone") << "404"
                                     << "Fehler beim Laden der Versionsliste: ";
        QTest::newRow("list broken") << "garbage"
                                     << "tobra.json ist kein gültiges JSON";
    }

    // A failed load offers the list last loaded from the same address, with when and why.
    void failedLoad()
    {
        QFETCH(QString, later);
        QFETCH(QString, reason);
        const QString name = QString("%1.json").arg(QTest::currentDataTag()).replace(' ', '-');
        QVERIFY(serve(name, oneVersion));
        QCOMPARE(load(server->url("/" + name)).first, "loaded");
        QVERIFY(serve(name, twoVersions));
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        QCOMPARE(load(server->url("/" + name)).first, "loaded"); // the newest is kept

        if (later == "404")
            QVERIFY(QFile::remove(served.filePath(name)));
        else
            QVERIFY(serve(name, "<html>"));
        const auto [how, arguments] = load(server->url("/" + name));
        QCOMPARE(how, "kept");
        QCOMPARE(titles(arguments.at(0).value<VersionList>()), QStringList({"Tobra 1.3", "Tobra 1.2"}));
        const QDateTime loadedAt = arguments.at(1).toDateTime();
        QVERIFY2(loadedAt >= before && loadedAt <= QDateTime::currentDateTime(),
                 qPrintable(loadedAt.toString(Qt::ISODate)));
        QVERIFY2(arguments.at(2).toString().startsWith(reason), qPrintable(arguments.at(2).toString()));
        QCOMPARE(keptListText(QDateTime(QDate(2026, 12, 1), QTime(9, 5))),
                 "Versionsliste vom 01.12.2026, 09:05 (zuletzt geladen)");
    }

    // Each address keeps its own list; a local file is never copied.
    void onlyTheSameServerAddress()
    {
        QVERIFY(serve("a.json", oneVersion));
        QCOMPARE(load(server->url("/a.json")).first, "loaded");
        QCOMPARE(load(server->url("/b.json")).first, "failed");
        QCOMPARE(load(server->url("/a.json?status=404")).first, "failed");

        const int keptBefore = QDir(keptListFolder()).entryList(QDir::Files).size();
        const QString local = served.filePath("local.json");
        QVERIFY(serve("local.json", oneVersion));
        QCOMPARE(load(QUrl::fromLocalFile(local)).first, "loaded");
        QVERIFY(QFile::remove(local));
        QCOMPARE(load(QUrl::fromLocalFile(local)).first, "failed");
        QCOMPARE(QDir(keptListFolder()).entryList(QDir::Files).size(), keptBefore);
    }

    // Without a cache folder to write to, a list still loads; only nothing is kept.
    void unwritableCache()
    {
        QTemporaryDir blocked;
        QVERIFY(serve("c.json", oneVersion));
        const QByteArray saved = qgetenv("XDG_CACHE_HOME");
        QFile blocker(blocked.filePath("cache"));
        QVERIFY(blocker.open(QIODevice::WriteOnly)); // a file where the folder would go
        qputenv("XDG_CACHE_HOME", QFile::encodeName(blocker.fileName()));
        QString error;
        QVERIFY(!keepVersionList(server->url("/c.json"), oneVersion, &error));
        QVERIFY2(error.startsWith("Die Versionsliste konnte nicht in „"), qPrintable(error));
        QCOMPARE(load(server->url("/c.json")).first, "loaded");
        qputenv("XDG_CACHE_HOME", saved);
    }
};

QTEST_GUILESS_MAIN(TestKeptVersionList)
#include "tst_keptversionlist.moc"
