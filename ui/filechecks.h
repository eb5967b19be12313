// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "drives.h"

#include <QList>
#include <QString>
#include <QtGlobal>

struct InstallRequest;

// Looks at the files the user chooses before anything is erased. Reads only.

// Why the file is no card image for Tobra: it has no partition table with a FAT partition that
// holds the folder "Rom". Empty when it is one, and for a packed file, which cannot be looked
// into without unpacking it.
QString cardImageProblem(const QString &path);

// Why the file is probably no Kickstart ROM: a picture, a text, or a size no Kickstart has (real
// ones have 256 KiB or 512 KiB, some 1 MiB or 2 MiB). Empty when nothing speaks against it or the
// file cannot be read (the request's own checks speak of that).
QString romDoubt(const QString &path);

// The unpacked image's size where it is known before a run: given by the version list, or that
// of an unpacked local file or cached download. 0 when unknown.
qint64 knownImageSize(const InstallRequest &request);

// Whether an image of imageBytes (0: unknown) is larger than the card.
bool isTooSmallFor(const DriveInfo &card, qint64 imageBytes);
// Why the image does not fit the card, for its tool tip; empty when it fits or is of unknown size.
QString tooSmallText(const DriveInfo &card, qint64 imageBytes);
// Why the image of imageBytes (0: unknown) does not fit one of the cards, naming the card's device
// where there are several; empty when each can take it.
QString tooSmallCards(const QList<DriveInfo> &cards, qint64 imageBytes);
