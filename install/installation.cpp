#include "installation.h"

#include <QNetworkAccessManager>
#include <QTemporaryDir>

Installation::Installation(QNetworkAccessManager *network, QObject *parent)
    : QObject(parent), network(network)
{
    if (!network) {
        ownNetwork = std::make_unique<QNetworkAccessManager>();
        this->network = ownNetwork.get();
    }
}

Installation::~Installation() = default;

void Installation::start(const InstallRequest &request)
{
    this->request = request;
    const QString refusal = refusalOf(request);
    finish(Outcome::Failed, refusal);
}

void Installation::cancel()
{}

bool Installation::isRunning() const
{
    return currentStep != Step::Idle && currentStep != Step::Finished;
}

QString Installation::workingFolder() const
{
    return workDir ? workDir->path() : QString();
}

QString Installation::workingRoot()
{
    return QString();
}

void Installation::removeLeftovers()
{}

void Installation::enterStep(Step next, const QString &text)
{
    currentStep = next;
    Q_EMIT stepChanged(next, text);
}

void Installation::finish(Outcome result, const QString &text)
{
    currentOutcome = result;
    enterStep(Step::Finished, QString());
    Q_EMIT finished(result == Outcome::Succeeded, text);
}
