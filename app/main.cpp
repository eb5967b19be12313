// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli.h"
#include "clioptions.h"
#include "commandline.h"
#include "mainwindow.h"
#include "theme.h"
#include "translations.h"
#include "writehelper.h"

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr int screenshotDelayMs = 1500;

// The GUI command line. Help, version and errors end the process while parsing, before any
// window system is contacted, so they work without a display.
struct Options
{
    QCommandLineOption configUrl{QStringLiteral("config-url"),
                                 QStringLiteral("Adresse oder Pfad der tobra.json (zum Testen)"),
                                 QStringLiteral("url"), defaultConfigUrl()};
    QCommandLineOption imageBase{QStringLiteral("image-base"),
                                 QStringLiteral("Ordner, aus dem die Images geladen werden (zum Testen)"),
                                 QStringLiteral("url"), defaultImageBase()};
    QCommandLineOption plain{QStringLiteral("plain"),
                             QStringLiteral("Normale Systemoberfläche statt Workbench-Stil")};
    QCommandLineOption cli{QStringLiteral("cli"),
                           QStringLiteral("Ohne Fenster installieren („--cli --help“ zeigt, wie)")};
    QCommandLineOption screenshot{QStringLiteral("screenshot"),
                                  QStringLiteral("Fenster als PNG speichern und beenden"),
                                  QStringLiteral("datei")};
    QCommandLineParser parser;

    explicit Options(const QStringList &arguments)
    {
        parser.setApplicationDescription(applicationDescription());
        parser.addHelpOption();
        parser.addVersionOption();
        screenshot.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOptions({configUrl, imageBase, plain, cli, screenshot});
        parser.process(arguments);
    }
    Q_DISABLE_COPY(Options)

    QUrl url(const QCommandLineOption &option) const { return urlFromUserInput(parser.value(option)); }
};

// Saves the whole window to path once it has been on screen for a moment, then quits.
void scheduleScreenshot(MainWindow &window, const QString &path)
{
    QTimer::singleShot(screenshotDelayMs, &window, [&window, path] {
        window.grab().save(path);
        QCoreApplication::quit();
    });
}

int runGui(int argc, char **argv)
{
    // Help, version and errors end the process while parsing, before any window system is
    // contacted; a plain application object is enough for Qt's German parser texts. Qt's own
    // options are left to the application object that takes them.
    std::unique_ptr<const Options> parsed;
    {
        QCoreApplication parsing(argc, argv);
        installQtGermanTranslations(parsing);
        const QStringList arguments = withoutQtOptions(QCoreApplication::arguments());
        const QString cliOnly = withoutCliError(arguments);
        if (!cliOnly.isEmpty()) {
            std::fputs(qPrintable(cliOnly + QLatin1Char('\n')), stderr);
            return cli::wrongUsage;
        }
        parsed = std::make_unique<const Options>(arguments);
    }
    const Options &options = *parsed;
    QApplication application(argc, argv);
    installQtGermanTranslations(application);
    if (!options.parser.isSet(options.plain))
        applyWorkbenchTheme(application);

    MainWindow window(options.url(options.configUrl), options.url(options.imageBase));
    // 640 × 640, taller where the content asks, as far as the screen allows; the content scrolls
    // below that.
    const QSize available = window.screen()->availableGeometry().size();
    window.resize(QSize(640, qMax(640, window.sizeHint().height())).boundedTo(available));
    window.show();
    if (options.parser.isSet(options.screenshot))
        scheduleScreenshot(window, options.parser.value(options.screenshot));
    return QApplication::exec();
}

} // namespace

int main(int argc, char **argv)
{
    // The privileged mode takes over before any GUI object exists.
    if (argc >= 2 && std::strcmp(argv[1], "--write-helper") == 0)
        return runWriteHelper(argc, argv);
    setApplicationIdentity();
    if (asksForCli(argc, argv))
        return runCli(argc, argv);
    return runGui(argc, argv);
}
