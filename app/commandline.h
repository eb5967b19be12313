// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the window's and the command-line installer's command lines share.

#include <QString>
#include <QStringList>
#include <QUrl>

// Name, organisation and version of the program; they also scope the settings. Works before any
// application object exists.
void setApplicationIdentity();

// The one-line description that the help texts begin with.
QString applicationDescription();

// The default version list and image folder.
QString defaultConfigUrl();
QString defaultImageBase();

// An option's value as a URL: a local path, absolute or relative to the current folder, becomes a
// file URL when it names something that exists; another text without scheme a web address.
QUrl urlFromUserInput(const QString &value);

// The process's arguments as Qt would read them, without needing an application object.
QStringList argumentList(int argc, char **argv);

// The arguments without the standard options that Qt's application objects take themselves
// (-platform NAME, -style NAME or -style=NAME, -reverse, …, with one dash or two), for the
// program's own parser; what follows "--" is kept as it is.
QStringList withoutQtOptions(const QStringList &arguments);
