// SPDX-License-Identifier: GPL-3.0-or-later
#include "commandline.h"

#include <QCoreApplication>
#include <QDir>

namespace {

// Qt's documented options of its application objects, without their dash.
const QStringList qtOptionsWithValue{QStringLiteral("platform"),        QStringLiteral("platformpluginpath"),
                                     QStringLiteral("platformtheme"),   QStringLiteral("plugin"),
                                     QStringLiteral("qwindowgeometry"), QStringLiteral("qwindowicon"),
                                     QStringLiteral("qwindowtitle"),    QStringLiteral("session"),
                                     QStringLiteral("display"),         QStringLiteral("geometry"),
                                     QStringLiteral("style"),           QStringLiteral("stylesheet")};
const QStringList qtOptionsWithJoinedValue{QStringLiteral("style="), QStringLiteral("stylesheet="),
                                           QStringLiteral("qmljsdebugger=")};
const QStringList qtSwitches{QStringLiteral("reverse"), QStringLiteral("widgetcount")};

// An option of Qt's that holds its value, if it has one, in itself.
bool isWholeQtOption(const QString &name)
{
    if (qtSwitches.contains(name))
        return true;
    for (const QString &prefix : qtOptionsWithJoinedValue)
        if (name.startsWith(prefix))
            return true;
    return false;
}

} // namespace

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
    const QUrl url = QUrl::fromUserInput(value, QDir::currentPath());
    // Qt gives up on a relative path such as "./missing.json" that names nothing yet.
    return url.isEmpty() && !value.isEmpty() ? QUrl::fromLocalFile(QDir::current().absoluteFilePath(value))
                                             : url;
}

QStringList argumentList(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

QStringList withoutQtOptions(const QStringList &arguments)
{
    QStringList kept = arguments.mid(0, 1);
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--")) {
            kept << arguments.mid(i);
            break;
        }
        const QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
        if (!argument.startsWith(QLatin1Char('-')))
            kept << argument;
        else if (qtOptionsWithValue.contains(name))
            ++i;
        else if (!isWholeQtOption(name))
            kept << argument;
    }
    return kept;
}
