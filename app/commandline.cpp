#include "commandline.h"

#include <QCoreApplication>

void setApplicationIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("TobraInstaller"));
    QCoreApplication::setOrganizationName(QStringLiteral("Drellwerk"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TOBRA_VERSION));
}

QString applicationDescription()
{
    return QStringLiteral("Installiert Tobra auf eine SD-Karte für den Raspberry Pi");
}

QString defaultConfigUrl()
{
    return QStringLiteral("https://" TOBRA_LIST_HOST "/tobra/download/tobra.json");
}

QString defaultImageBase()
{
    return QStringLiteral("https://" TOBRA_IMAGE_HOST "/tobra/");
}

QUrl urlFromUserInput(const QString &value)
{
    return QUrl::fromUserInput(value, QString());
}

QStringList argumentList(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}
