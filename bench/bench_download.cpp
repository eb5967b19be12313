// SPDX-License-Identifier: GPL-3.0-or-later
// Downloads one URL into a file with Downloader and prints "<sha256>  <file>" like sha256sum.
#include "downloader.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QTimer>
#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s URL FILE\n", argv[0]);
        return 2;
    }
    const QUrl url(QString::fromLocal8Bit(argv[1]));
    const QString path = QString::fromLocal8Bit(argv[2]);
    QNetworkAccessManager network;
    Downloader downloader(&network);
    QObject::connect(&downloader, &Downloader::finished,
                     [&](bool ok, const QString &error, const QString &hex) {
                         if (ok)
                             std::printf("%s  %s\n", qPrintable(hex), argv[2]);
                         else
                             std::fprintf(stderr, "%s\n", qPrintable(error));
                         QCoreApplication::exit(ok ? 0 : 1);
                     });
    QTimer::singleShot(0, &downloader, [&] { downloader.start(url, path); });
    return app.exec();
}
