// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli.h"

#include "clioptions.h"
#include "commandline.h"
#include "drives.h"
#include "imagecache.h"
#include "keptversionlist.h"
#include "plaintext.h"
#include "translations.h"
#include "versionlistloader.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace cli {

Options::Options()
    : cliSwitch(QStringLiteral("cli"), QStringLiteral("Ohne Fenster arbeiten")),
      device(QStringLiteral("device"),
             QStringLiteral("Speicherkarte, die gelöscht und beschrieben wird; mehrfach angegeben "
                            "bekommt jede Karte dasselbe Image"),
             QStringLiteral("gerät")),
      rom(QStringLiteral("rom"), QStringLiteral("Kickstart-ROM-Datei (wird zu Rom/rom.bin)"),
          QStringLiteral("datei")),
      ext(QStringLiteral("ext"), QStringLiteral("Zusätzliches Erweiterungs-ROM (wird zu Rom/ext.bin)"),
          QStringLiteral("datei")),
      image(QStringLiteral("image"), QStringLiteral("Lokale Image-Datei verwenden (ohne Download)"),
            QStringLiteral("datei")),
      title(QStringLiteral("title"),
            QStringLiteral("Titel der Version aus der Versionsliste (ohne --image und --title: die erste)"),
            QStringLiteral("titel")),
      configUrl(QStringLiteral("config-url"), QStringLiteral("Adresse oder Pfad der tobra.json"),
                QStringLiteral("url"), defaultConfigUrl()),
      imageBase(QStringLiteral("image-base"), QStringLiteral("Ordner, aus dem die Images geladen werden"),
                QStringLiteral("url"), defaultImageBase()),
      count(QStringLiteral("count"),
            QStringLiteral("Nach dem Erfolg nur den Namen des Images an den Server melden (anonym "
                           "mitzählen)")),
      yes(QStringLiteral("yes"), QStringLiteral("Die Karte ohne Rückfrage löschen")),
      listDrives(QStringLiteral("list-drives"),
                 QStringLiteral("Wechseldatenträger auflisten: Pfad, Größe in Bytes, Bezeichnung")),
      listVersions(QStringLiteral("list-versions"), QStringLiteral("Titel der Versionsliste auflisten")),
      clearCache(QStringLiteral("clear-cache"), QStringLiteral("Den Image-Cache leeren"))
{
    parser.setApplicationDescription(
        applicationDescription() +
        QStringLiteral(
            ", ohne Fenster:\n"
            "  tobra-installer --cli --device GERÄT [--device GERÄT …] --rom DATEI [--ext DATEI]\n"
            "                  [--image DATEI | --title TITEL] [--config-url URL]\n"
            "                  [--image-base URL] [--count] [--yes]\n"
            "  tobra-installer --cli --list-drives\n"
            "  tobra-installer --cli --list-versions [--config-url URL]\n"
            "  tobra-installer --cli --clear-cache\n"
            "Rückgabewert: 0 installiert und geprüft (jede Karte), 1 fehlgeschlagen, 2 falscher Aufruf, "
            "130 mit Strg+C abgebrochen."));
    parser.addHelpOption();
    parser.addVersionOption();
    cliSwitch.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({cliSwitch, device, rom, ext, image, title, configUrl, imageBase, count, yes,
                       listDrives, listVersions, clearCache});
}

QList<QCommandLineOption> Options::withoutWindow() const
{
    return {device, rom, ext, image, title, count, yes, listDrives, listVersions, clearCache};
}

// Lines may carry outside text (titles, a server's answers, file names): no control sequence of
// theirs reaches the terminal, only lines and columns.
QString terminalText(const QString &text)
{
    return withoutControls(text, QStringLiteral("\n\t"));
}

void printLine(const QString &text)
{
    std::fputs(qPrintable(terminalText(text) + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

void printError(const QString &text)
{
    std::fputs(qPrintable(terminalText(text) + QLatin1Char('\n')), stderr);
}

bool fetchVersionList(const Options &options, VersionList *list, QString *error)
{
    QNetworkAccessManager network;
    VersionListLoader loader(network);
    QEventLoop loop;
    QObject::connect(&loader, &VersionListLoader::loaded, &loop, [&loop, list](const VersionList &loaded) {
        *list = loaded;
        loop.exit(1);
    });
    QObject::connect(
        &loader, &VersionListLoader::keptListOffered, &loop,
        [&loop, list](const VersionList &kept, const QDateTime &loadedAt, const QString &message) {
            printError(message);
            printError(QStringLiteral("Es gilt die %1.").arg(keptListText(loadedAt)));
            *list = kept;
            loop.exit(1);
        });
    QObject::connect(&loader, &VersionListLoader::failed, &loop,
                     [&loop, error](VersionListLoader::Failure, const QString &message) {
                         if (error)
                             *error = message;
                         loop.exit(0);
                     });
    loader.load(urlFromUserInput(options.parser.value(options.configUrl)));
    return loop.exec() == 1;
}

} // namespace cli

namespace {

using namespace cli;

const QString helpHint = QStringLiteral("„tobra-installer --cli --help“ zeigt die Optionen.");

int printDrives()
{
    QString error;
    const QList<DriveInfo> drives = ::listDrives(&error);
    if (!error.isEmpty()) {
        printError(error);
        return failed;
    }
    for (const DriveInfo &drive : drives)
        printLine(QStringLiteral("%1\t%2\t%3").arg(drive.path).arg(drive.sizeBytes).arg(drive.label));
    return succeeded;
}

int emptyCache()
{
    QStringList report;
    QString error;
    if (!clearImageCache(&report, &error)) {
        printError(error);
        return failed;
    }
    for (const QString &line : report)
        printLine(line);
    return succeeded;
}

int printVersions(const Options &options)
{
    VersionList list;
    QString error;
    if (!fetchVersionList(options, &list, &error)) {
        printError(error);
        return failed;
    }
    for (const VersionEntry &entry : list.versions)
        printLine(entry.title);
    return succeeded;
}

// What the command line gets wrong by itself, before anything is looked at; empty when nothing.
QString usageError(const Options &options)
{
    const QCommandLineParser &parser = options.parser;
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("Unerwartetes Argument: %1").arg(parser.positionalArguments().first());
    QStringList actions;
    for (const QCommandLineOption &action : {options.listDrives, options.listVersions, options.clearCache})
        if (parser.isSet(action))
            actions << QStringLiteral("--") + action.names().constFirst();
    if (actions.size() > 1)
        return QStringLiteral("%1 und %2 bitte einzeln aufrufen.").arg(actions.at(0), actions.at(1));
    if (!actions.isEmpty())
        return QString();
    if (!parser.isSet(options.device))
        return QStringLiteral("Bitte mit --device die Speicherkarte angeben (--list-drives zeigt sie).");
    if (!parser.isSet(options.rom))
        return QStringLiteral("Bitte mit --rom die Kickstart-ROM-Datei angeben.");
    if (parser.isSet(options.image) && parser.isSet(options.title))
        return QStringLiteral("Bitte entweder --image oder --title angeben, nicht beides.");
    // Nobody could be asked, and erasing a card unasked needs an explicit word.
    if (!parser.isSet(options.yes) && !::isatty(STDIN_FILENO))
        return QStringLiteral("Ohne Terminal kann nicht nachgefragt werden: Mit --yes wird die Karte "
                              "ohne Rückfrage gelöscht.");
    return QString();
}

} // namespace

bool asksForCli(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--cli") == 0)
            return true;
    return false;
}

int runCli(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    installQtGermanTranslations(application);
    Options options;
    QCommandLineParser &parser = options.parser;
    if (!parser.parse(QCoreApplication::arguments())) {
        printError(parser.errorText());
        printError(helpHint);
        return wrongUsage;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return succeeded;
    }
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    const QString error = usageError(options);
    if (!error.isEmpty()) {
        printError(error);
        printError(helpHint);
        return wrongUsage;
    }
    if (parser.isSet(options.listDrives))
        return printDrives();
    if (parser.isSet(options.listVersions))
        return printVersions(options);
    if (parser.isSet(options.clearCache))
        return emptyCache();
    return install(options);
}

QString withoutCliError(const QStringList &arguments)
{
    const Options options;
    for (const QString &argument : arguments.mid(1)) {
        if (argument == QLatin1String("--"))
            break;
        if (!argument.startsWith(QLatin1String("--")))
            continue;
        const QString name = argument.mid(2).section(QLatin1Char('='), 0, 0);
        for (const QCommandLineOption &option : options.withoutWindow())
            if (option.names().contains(name))
                return QStringLiteral("Die Option --%1 gibt es nur ohne Fenster: Bitte --cli hinzufügen.\n%2")
                    .arg(name, helpHint);
    }
    return QString();
}
