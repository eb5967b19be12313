#include "mainwindow.h"
#include "theme.h"
#include "translations.h"
#include "writehelper.h"

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QPixmap>
#include <QTimer>
#include <cstring>

namespace {

const int screenshotDelayMs = 1500;

// Parses the GUI command line; help, version and errors end the process here.
struct Options
{
    QCommandLineOption configUrl{
        QStringLiteral("config-url"), QStringLiteral("Adresse oder Pfad der tobra.json (zum Testen)"),
        QStringLiteral("url"), QStringLiteral("http://" TOBRA_LIST_HOST "/tobra/download/tobra.json")};
    QCommandLineOption imageBase{QStringLiteral("image-base"),
                                 QStringLiteral("Ordner, aus dem die Images geladen werden (zum Testen)"),
                                 QStringLiteral("url"),
                                 QStringLiteral("https://" TOBRA_IMAGE_HOST "/tobra/")};
    QCommandLineOption plain{QStringLiteral("plain"),
                             QStringLiteral("Normale Systemoberfläche statt Workbench-Stil")};
    QCommandLineOption screenshot{QStringLiteral("screenshot"),
                                  QStringLiteral("Fenster als PNG speichern und beenden"),
                                  QStringLiteral("datei")};
    QCommandLineParser parser;

    explicit Options(const QApplication &application)
    {
        parser.setApplicationDescription(
            QStringLiteral("Installiert Tobra auf eine SD-Karte für den Raspberry Pi"));
        parser.addHelpOption();
        parser.addVersionOption();
        screenshot.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOptions({configUrl, imageBase, plain, screenshot});
        parser.process(application);
    }
    Q_DISABLE_COPY(Options)

    QUrl url(const QCommandLineOption &option) const
    {
        return QUrl::fromUserInput(parser.value(option), QString());
    }
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
    QApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("TobraInstaller"));
    QCoreApplication::setOrganizationName(QStringLiteral("Drellwerk"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TOBRA_VERSION));
    installQtGermanTranslations(application);

    const Options options(application);
    if (!options.parser.isSet(options.plain))
        applyWorkbenchTheme(application);

    MainWindow window(options.url(options.configUrl), options.url(options.imageBase));
    window.resize(640, 640);
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
    return runGui(argc, argv);
}
