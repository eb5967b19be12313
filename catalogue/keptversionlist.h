// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "versionlist.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>

// The last version list accepted from each server address, kept in the user's cache folder, so
// that when the list cannot be loaded (offline, a server fault) what it last held is still offered.
struct KeptVersionList
{
    VersionList list;
    QDateTime loadedAt; // when it was accepted from its address
};

// Keeps body, a list just accepted from url, in place of the one kept for url before. Only a list
// from a server is kept: a local file is its own copy. False and *error when it cannot be stored.
bool keepVersionList(const QUrl &url, const QByteArray &body, QString *error = nullptr);

// The list last kept for url: true and *kept filled; false when none is kept (or it no longer
// reads as a list).
bool keptVersionList(const QUrl &url, KeptVersionList *kept);

// How the user is told which list is offered: "Versionsliste vom 11.12.2026, 03:20 (zuletzt geladen)".
QString keptListText(const QDateTime &loadedAt);

// The folder of the kept lists, below the user's cache folder.
QString keptListFolder();
