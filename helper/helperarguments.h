// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "drives.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The write helper's command line, read strictly: it comes from an unprivileged caller, and the
// password prompt shows it to the user, so what the prompt shows must be all that counts.
struct HelperArguments
{
    bool fromStandardInput = false; // "--stdin" in place of the image path
    QString imagePath;              // empty in the standard-input form
    QString devicePath;
    bool verify = false;
    DriveIdentity identity; // "--diskseq=N", "--size=BYTES"; 0 where not given
    qint64 imageSize = -1;  // "--image-size=BYTES", standard-input form only; -1 where not given
};

// The marker of the standard-input form at the image's place. A file of that name is still
// written as "./--stdin".
extern const char standardInputArgument[];

// Reads argv as the process got it: program, "--write-helper", the image path or "--stdin", the
// target, "--verify" or "--no-verify", then each option at most once. Refuses anything else: an
// unknown or repeated argument, a malformed number, text that is not UTF-8, and control or
// bidirectional formatting characters in either path (they could make the prompt show another
// path than the one used).
bool parseHelperArguments(const QList<QByteArray> &arguments, HelperArguments *parsed);
