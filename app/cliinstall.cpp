// SPDX-License-Identifier: GPL-3.0-or-later
// The installation on the command line: the choices from the options, the question before the
// card is erased, the job's steps as lines, and Ctrl+C as a cancel.
#include "clioptions.h"
#include "commandline.h"
#include "counterreport.h"
#include "installation.h"
#include "progressline.h"
#include "progressmeter.h"
#include "stopsignals.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <unistd.h>

namespace {

using namespace cli;

constexpr qint64 redrawIntervalMs = 250;
// Without a terminal, how often a step's progress is written at least.
constexpr qint64 logIntervalMs = 10000;
constexpr int logPercentStep = 10;
// How long the program waits, after the end is shown, for a report to the counter to go out.
constexpr int reportGraceMs = 2000;

// The entry called title, or the first one when no title is given.
bool chooseVersion(const VersionList &list, const QString &title, VersionEntry *entry, QString *error)
{
    for (const VersionEntry &candidate : list.versions) {
        if (title.isEmpty() || candidate.title == title.trimmed()) {
            *entry = candidate;
            return true;
        }
    }
    *error = QStringLiteral("Die Version „%1“ steht nicht in der Versionsliste (--list-versions zeigt "
                            "die Titel).")
                 .arg(title);
    return false;
}

// The drives of a fresh listing that have the given paths, in their order.
bool findDrives(const QStringList &paths, QList<DriveInfo> *drives, QString *error)
{
    const QList<DriveInfo> listed = listDrives(error);
    for (const QString &path : paths) {
        const DriveInfo drive = freshDrive(listed, path);
        if (drive.path.isEmpty()) {
            if (error && error->isEmpty())
                *error = QStringLiteral("%1 ist keine angebotene Speicherkarte; nur Wechseldatenträger "
                                        "werden beschrieben (--list-drives zeigt sie).")
                             .arg(path);
            return false;
        }
        drives->append(drive);
    }
    return true;
}

QString absolute(const QString &path)
{
    return path.isEmpty() ? path : QFileInfo(path).absoluteFilePath();
}

// The request the options describe; false and the reason when the drive or version is not found.
bool buildRequest(const Options &options, InstallRequest *request, QString *error)
{
    const QCommandLineParser &parser = options.parser;
    if (!findDrives(parser.values(options.device), &request->targets, error))
        return false;
    request->localImage = absolute(parser.value(options.image));
    if (request->localImage.isEmpty()) {
        VersionList list;
        if (!fetchVersionList(options, &list, error) ||
            !chooseVersion(list, parser.value(options.title), &request->version, error))
            return false;
        request->expectedSha256 = request->version.sha256;
    }
    request->imageBase = urlFromUserInput(parser.value(options.imageBase));
    request->romFile = absolute(parser.value(options.rom));
    request->useExt = parser.isSet(options.ext);
    request->extFile = absolute(parser.value(options.ext));
    request->counterUrl = counterUrlFor(urlFromUserInput(parser.value(options.configUrl)));
    request->countConsent = parser.isSet(options.count);
    return true;
}

// The question before the cards are erased: for one card on one line, what is written onto which
// card, more sharply for a drive too large to be a memory card; for several every card named.
QString eraseQuestionLine(const InstallRequest &request)
{
    const QString image =
        request.isLocal() ? QFileInfo(request.localImage).fileName() : request.version.title;
    if (request.targets.size() > 1)
        return QStringLiteral("„%1“ auf %2 Karten schreiben.\n%3 [j/N] ")
            .arg(image, QString::number(request.targets.size()), eraseQuestion(request.targets));
    const DriveInfo &target = request.targets.constFirst();
    if (isLargeDrive(target))
        return QStringLiteral(
                   "ACHTUNG: „%1“ ist sehr groß für eine Speicherkarte, vielleicht eine externe "
                   "Festplatte. Trotzdem „%2“ darauf schreiben und alle Daten darauf löschen? [j/N] ")
            .arg(target.label, image);
    return QStringLiteral("„%1“ auf „%2“ schreiben und alle Daten darauf löschen? [j/N] ")
        .arg(image, target.label);
}

QString untouched(const InstallRequest &request)
{
    return request.targets.size() > 1 ? QStringLiteral("die Karten sind unverändert")
                                      : QStringLiteral("die Karte ist unverändert");
}

enum class Answer
{
    No,
    Yes,
    Interrupted,
};

// Asks on the terminal and reads the answer on the event loop, so that Ctrl+C ends the question;
// only "j" or "ja" agree.
Answer askBeforeErasing(const InstallRequest &request)
{
    std::fputs(qPrintable(eraseQuestionLine(request)), stdout);
    std::fflush(stdout);
    QEventLoop loop;
    QByteArray line;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &loop, [&loop, &line] {
        char bytes[64];
        const ssize_t count = ::read(STDIN_FILENO, bytes, sizeof bytes);
        if (count > 0)
            line.append(bytes, int(count));
        if (count > 0 && !line.contains('\n') && line.size() < 256)
            return;
        const QString word = QString::fromLocal8Bit(line.left(line.indexOf('\n'))).trimmed().toLower();
        const bool yes = word == QLatin1String("j") || word == QLatin1String("ja");
        loop.exit(int(yes ? Answer::Yes : Answer::No));
    });
    QObject::connect(StopSignals::instance(), &StopSignals::received, &loop,
                     [&loop] { loop.exit(int(Answer::Interrupted)); });
    return Answer(loop.exec());
}

// Shows the job's steps: on a terminal one line per step that is redrawn as it goes on,
// elsewhere (a log file, a pipe) each step and log line once, and how far the step has come at
// least every 10 % or 10 s.
class StepDisplay
{
public:
    StepDisplay() : terminal(::isatty(STDOUT_FILENO)) {}

    void step(const QString &text, const QString &waiting)
    {
        if (text.isEmpty())
            return;
        endLine();
        meter.start(text, waiting);
        percentShown = 0;
        sinceDraw.start();
        if (!terminal)
            printLine(text);
        else
            draw(text);
    }

    // A terminal sees it with the next progress line.
    void activity(const QString &text) { meter.setActivity(text); }

    void progress(qint64 done, qint64 total)
    {
        meter.update(done, total);
        if (terminal && (sinceDraw.elapsed() >= redrawIntervalMs || done >= total))
            draw(progressLine(meter));
        else if (!terminal && progressLineDue())
            writeProgressLine();
    }

    // Redrawn while nothing comes, so that a stall shows.
    void refresh()
    {
        if (terminal && meter.isStalled())
            draw(progressLine(meter));
    }

    void log(const QString &text)
    {
        endLine();
        printLine(text);
    }

    void endLine()
    {
        if (!lineOpen)
            return;
        std::fputs("\n", stdout);
        lineOpen = false;
    }

private:
    void draw(const QString &line)
    {
        std::fputs(qPrintable(QStringLiteral("\r\033[K") + terminalText(line)), stdout);
        std::fflush(stdout);
        lineOpen = true;
        sinceDraw.start();
    }

    bool progressLineDue() const
    {
        const int percent = meter.percent();
        return sinceDraw.elapsed() >= logIntervalMs || percent >= percentShown + logPercentStep ||
               (percent == 100 && percentShown < 100);
    }

    void writeProgressLine()
    {
        printLine(progressLine(meter));
        percentShown = qMax(meter.percent(), 0);
        sinceDraw.start();
    }

    const bool terminal;
    ProgressMeter meter;
    QElapsedTimer sinceDraw;
    int percentShown = 0; // in the last progress line written without a terminal
    bool lineOpen = false;
};

// Tells how the run ended and returns the exit code. A cancel is no error. A stop signal decides
// the code even when a part ended first of the same Ctrl+C, which a terminal sends to the helper
// as well.
int endOfRun(bool ok, const QString &text, const Installation &installation, int stopSignal)
{
    // Several cards: the text names each card and what became of it, one line per card.
    const bool severalCards = installation.cardReports().size() > 1;
    if (ok) {
        printLine(severalCards ? text : finishedText());
        return succeeded;
    }
    const bool cancelled = installation.outcome() == Installation::Outcome::Cancelled;
    printError(cancelled ? text : QStringLiteral("FEHLER: %1").arg(text));
    if (installation.downloadWasInterrupted())
        printError(
            QStringLiteral("Hinweis: Ein erneuter Aufruf desselben Befehls versucht es sofort noch einmal."));
    return stopSignal ? 128 + stopSignal : failed;
}

// Runs the request to its end; Ctrl+C or SIGTERM cancel it. Returns the exit code.
int run(const InstallRequest &request)
{
    Installation::removeLeftovers();
    QNetworkAccessManager network;
    Installation installation(&network);
    StepDisplay display;
    int stopSignal = 0;
    QEventLoop loop;
    QObject::connect(StopSignals::instance(), &StopSignals::received, &installation, [&](int signalNumber) {
        stopSignal = signalNumber;
        installation.cancel();
    });
    QObject::connect(&installation, &Installation::stepChanged, &loop,
                     [&display, &request](Installation::Step step, const QString &text) {
                         display.step(text, Installation::waitingFor(step, request));
                     });
    QObject::connect(&installation, &Installation::activityChanged, &loop,
                     [&display](const QString &text) { display.activity(text); });
    QTimer stallCheck;
    QObject::connect(&stallCheck, &QTimer::timeout, &loop, [&display] { display.refresh(); });
    stallCheck.start(1000);
    QObject::connect(&installation, &Installation::progress, &loop,
                     [&display](qint64 done, qint64 total) { display.progress(done, total); });
    QObject::connect(&installation, &Installation::logLine, &loop,
                     [&display](const QString &text) { display.log(text); });
    int exitCode = -1;
    QObject::connect(&installation, &Installation::finished, &loop, [&](bool ok, const QString &text) {
        display.endLine();
        exitCode = endOfRun(ok, text, installation, stopSignal);
        loop.quit();
    });
    installation.start(request);
    // A refused request has finished before the loop could run.
    if (exitCode < 0)
        loop.exec();
    CounterReport::waitForReports(&network, reportGraceMs);
    return exitCode;
}

} // namespace

int cli::install(const Options &options)
{
    InstallRequest request;
    QString error;
    if (!buildRequest(options, &request, &error)) {
        printError(error);
        return failed;
    }
    const QString refusal = refusalOf(request);
    if (!refusal.isEmpty()) {
        printError(refusal);
        return failed;
    }
    if (options.parser.isSet(options.yes))
        return run(request);
    switch (askBeforeErasing(request)) {
    case Answer::Yes:
        return run(request);
    case Answer::No:
        printLine(QStringLiteral("Nicht installiert; %1.").arg(untouched(request)));
        return failed;
    case Answer::Interrupted:
        printLine(QString());
        printError(QStringLiteral("Abgebrochen; %1.").arg(untouched(request)));
        return interrupted;
    }
    return failed;
}
