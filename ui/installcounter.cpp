// Tells the server beside the version list which image was installed, if the user agreed.
#include "mainwindow.h"

#include <QCheckBox>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

const int counterTimeoutMs = 10000;

} // namespace

void MainWindow::reportInstall()
{
    if (imageName.isEmpty() || !countCheck->isChecked())
        return;
    // A version list read from a file has no server to tell.
    const QUrl url = configUrl.resolved(QUrl(QStringLiteral("count.php")));
    if (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))
        return;

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral(TOBRA_USER_AGENT));
    request.setTransferTimeout(counterTimeoutMs);
    QNetworkReply *reply = network.post(request, "image=" + QUrl::toPercentEncoding(imageName));
    // The answer does not matter; the reply only has to go away once the request is over.
    connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
}
