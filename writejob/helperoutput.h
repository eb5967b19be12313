// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// One line of the write helper's output protocol, as the write job reads it.
struct HelperLine
{
    enum Kind
    {
        Ignored,
        Done,
        Error,
        Progress,
        Ready,  // the stream form's helper holds the card and its checks passed
        Writing // the stream form's helper starts changing the card
    };
    Kind kind = Ignored;
    QString text; // Error: the message without "ERROR "; Progress: the phase name
    qint64 done = 0;
    qint64 total = 0;
    int card = 0; // "CARD <n> ..." of the several-card form: n (1-based); 0 for a run-level line
};

// Cuts every complete line off the front of buffer and returns them decoded as UTF-8 and trimmed,
// empty ones left out. The bytes after the last newline stay in buffer for the next call.
QStringList takeHelperLines(QByteArray *buffer);

// Reads one trimmed line: "DONE", "READY", "WRITING", "ERROR <text>" or "PROGRESS <phase> <done>
// <total>" (single blanks; a number that does not read is 0), each also as "CARD <n> " and such a
// line, n a plain decimal from 1 to 9999. Anything else is Ignored.
HelperLine parseHelperLine(const QString &line);
