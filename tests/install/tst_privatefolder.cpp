// SPDX-License-Identifier: GPL-3.0-or-later
#include "installation.h"
#include "privatefolder.h"
#include "testfiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

// Where root keeps its cache and working folders, and opening them so that nobody else can put
// anything in their place. Run as root: a user's folders are those of the user nobody.
class TestPrivateFolder : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir scratch;
    const passwd *nobody = nullptr;

    static QString rootsCache() { return QString::fromLocal8Bit(::getpwuid(0)->pw_dir) + "/.cache"; }

    bool giveToNobody(const QString &path) const
    {
        return ::chown(QFile::encodeName(path).constData(), nobody->pw_uid, nobody->pw_gid) == 0;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("needs root");
        nobody = ::getpwnam("nobody");
        if (!nobody)
            QSKIP("needs the user nobody");
        QVERIFY(scratch.isValid());
        QCoreApplication::setOrganizationName("Drellwerk");
        QCoreApplication::setApplicationName("TobraInstaller");
    }

    // sudo -E keeps the user's HOME and XDG_CACHE_HOME: root's folders are root's own all the
    // same. Only a cache folder that nobody but root can change is taken from the environment.
    void rootsFoldersAreRootsOwn_data()
    {
        QTest::addColumn<QString>("setUp");
        QTest::addColumn<bool>("fromEnvironment");
        QTest::newRow("user's home and cache") << "user" << false;
        QTest::newRow("user's home, no XDG_CACHE_HOME") << "home only" << false;
        QTest::newRow("cache below a folder open to all") << "open" << false;
        QTest::newRow("cache below /tmp, root's") << "root" << true;
    }

    void rootsFoldersAreRootsOwn()
    {
        QFETCH(QString, setUp);
        QFETCH(bool, fromEnvironment);
        const QString user = scratch.filePath("home");
        QVERIFY(QDir().mkpath(user + "/.cache"));
        QVERIFY(giveToNobody(user) && giveToNobody(user + "/.cache"));
        const QString open = scratch.filePath("open");
        QVERIFY(QDir().mkpath(open));
        QVERIFY(QFile::setPermissions(open, QFileDevice::Permissions(0x7777)));
        qputenv("HOME", QFile::encodeName(user));
        QString chosen = user + "/.cache";
        if (setUp == "open")
            chosen = open + "/cache";
        else if (setUp == "root")
            chosen = scratch.filePath("cache");
        if (setUp == "home only")
            qunsetenv("XDG_CACHE_HOME");
        else
            qputenv("XDG_CACHE_HOME", QFile::encodeName(chosen));

        const QString expected = (fromEnvironment ? chosen : rootsCache()) + "/Drellwerk/TobraInstaller";
        QCOMPARE(cacheLocation(), expected);
        QCOMPARE(Installation::imageCache(), expected + "/images");
        QCOMPARE(Installation::workingRoot(), expected + "/work");
    }

    // The folder is made private through its descriptor; a link anywhere on the way is not
    // followed, and its target keeps its mode.
    void opensWithoutFollowingLinks()
    {
        const QString base = scratch.filePath("walk");
        const QString target = scratch.filePath("target");
        QVERIFY(QDir().mkpath(base) && QDir().mkpath(target));
        QVERIFY(QFile::setPermissions(target, QFileDevice::Permissions(0x7755)));

        QString error;
        const int fd = openPrivateFolder(base + "/made/images", FolderUse::Create, &error);
        QVERIFY2(fd >= 0, qPrintable(error));
        ::close(fd);
        struct stat status;
        QVERIFY(::stat(QFile::encodeName(base + "/made/images").constData(), &status) == 0);
        QCOMPARE(status.st_mode & 07777, mode_t(0700));

        for (const QString &link : {base + "/linked", base + "/made/images/inner"})
            QVERIFY(QFile::link(target, link));
        for (const QString &path : {base + "/linked", base + "/linked/images", base + "/made/images/inner"}) {
            error.clear();
            QCOMPARE(openPrivateFolder(path, FolderUse::Create, &error), -1);
            const QString link = path.endsWith("/images") ? QFileInfo(path).path() : path;
            QCOMPARE(error,
                     "Der Ordner " + link +
                         " kann nicht sicher benutzt werden: Dort steht eine Verknüpfung oder kein Ordner.");
        }
        QCOMPARE(QFileInfo(target).permissions(), QFileDevice::Permissions(0x7755));
        QCOMPARE(QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }

    // A folder others can change, or one of a user, is refused on the way; a missing one is no
    // error when only an existing one is wanted.
    void refusesFoldersOthersCanChange()
    {
        const QString open = scratch.filePath("open-to-all");
        const QString users = scratch.filePath("users");
        QVERIFY(QDir().mkpath(open) && QDir().mkpath(users));
        QVERIFY(QFile::setPermissions(open, QFileDevice::Permissions(0x7777)));
        QVERIFY(giveToNobody(users));

        QString error;
        QCOMPARE(openPrivateFolder(open + "/cache", FolderUse::Create, &error), -1);
        QCOMPARE(error,
                 "Der Ordner " + open +
                     " kann nicht sicher benutzt werden: Er gehört nicht root oder andere dürfen darin "
                     "schreiben.");
        QCOMPARE(openPrivateFolder(users, FolderUse::Create, &error), -1);
        QCOMPARE(error, "Der Ordner " + users + " kann nicht sicher benutzt werden: Er gehört nicht root.");
        QVERIFY(!QFileInfo::exists(open + "/cache"));

        error = "untouched";
        QCOMPARE(openPrivateFolder(scratch.filePath("missing/images"), FolderUse::Existing, &error), -1);
        QCOMPARE(error, QString("untouched"));
        QVERIFY(!QFileInfo::exists(scratch.filePath("missing")));
    }

    // Links, pipes and sockets go as themselves; files and folders stay, and so does what a link
    // points to.
    void removesOddEntries()
    {
        const QString folder = scratch.filePath("odd");
        QVERIFY(QDir().mkpath(folder + "/sub"));
        QVERIFY(writeFile(folder + "/image", "image"));
        QVERIFY(writeFile(scratch.filePath("pointed-at"), "keep"));
        QVERIFY(QFile::link(scratch.filePath("pointed-at"), folder + "/image.part"));
        QVERIFY(QFile::link(scratch.filePath("gone"), folder + "/dangling"));
        QVERIFY(::mkfifo(QFile::encodeName(folder + "/fifo").constData(), 0600) == 0);

        const int fd = openPrivateFolder(folder, FolderUse::Existing);
        QVERIFY(fd >= 0);
        removeOddEntries(fd);
        ::close(fd);
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
                 (QStringList{"image", "sub"}));
        QCOMPARE(readFile(scratch.filePath("pointed-at")), QByteArray("keep"));
    }
};

QTEST_GUILESS_MAIN(TestPrivateFolder)
#include "tst_privatefolder.moc"
