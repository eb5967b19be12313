// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "drives.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The write helper's command line, read strictly: it comes from an unprivileged caller, and the
// password prompt shows it to the user, so what the prompt shows must be all that counts.
// One card of the several-card form.
struct HelperCard
{
    QString devicePath;
    DriveIdentity identity; // "--diskseq=N", "--size=BYTES" after its path; 0 where not given
};

struct HelperArguments
{
    bool fromStandardInput = false; // "--stdin" in place of the image path, or the several-card form
    bool severalCards = false;      // "--stdin-cards": one image on standard input for every card
    QString imagePath;              // empty in the standard-input forms
    QString devicePath;             // the one-card forms
    bool verify = false;
    DriveIdentity identity;  // the one-card forms: "--diskseq=N", "--size=BYTES"; 0 where not given
    qint64 imageSize = -1;   // "--image-size=BYTES", standard-input forms only; -1 where not given
    QList<HelperCard> cards; // the several-card form, in command-line order
};

// The most cards one several-card helper writes.
constexpr int maxHelperCards = 16;

// The marker of the standard-input form at the image's place. A file of that name is still
// written as "./--stdin".
extern const char standardInputArgument[];
// The marker of the several-card form at the image's place.
extern const char severalCardsArgument[];

// Reads argv as the process got it: program, "--write-helper", the image path or "--stdin", the
// target, "--verify" or "--no-verify", then each option at most once. Refuses anything else: an
// unknown or repeated argument, a malformed number, text that is not UTF-8, and control or
// bidirectional formatting characters in either path (they could make the prompt show another
// path than the one used).
// The several-card form: program, "--write-helper", "--stdin-cards", "--verify" or "--no-verify",
// "--image-size=BYTES" at most once, then for each card "--card", its absolute path, and its "--diskseq=N"
// and "--size=BYTES" at most once each; 1 to maxHelperCards cards, each path once.
bool parseHelperArguments(const QList<QByteArray> &arguments, HelperArguments *parsed);
