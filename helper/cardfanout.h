// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "helperarguments.h"

#include <QList>
#include <QString>
#include <functional>

// What the several-card form tells its caller on the way; card is the 0-based index in the list.
// All but ready come from the cards' own threads, at any time.
struct CardEvents
{
    std::function<void(int card)> held; // the card is held and passed every check
    std::function<void()> ready;        // every card checked, at least one held; input is read from now
    std::function<void(int card)> writing;
    std::function<void(int card, const char *phase, qint64 done, qint64 total)> progress;
    // The card's own end: written and verified, or why not, ending with what state it is in. A card
    // refused before its first byte ends here too, before ready().
    std::function<void(int card, bool ok, const QString &error)> finished;
};

// The several-card form of writeStream: opens, holds and checks each card as writeStream does,
// then reads the framed image from input once and writes it to every held card in parallel, each
// on its own thread behind a bounded queue, so the slowest card still going sets the pace. A card
// that fails is stopped with a zero first MiB and the others go on; an abort or the input's end
// stops all. True only if every card is written (and verified, if asked); otherwise a German text
// in *error for the run.
bool writeStreamToCards(int input, const QList<HelperCard> &cards, bool verify, qint64 imageSize,
                        const CardEvents &events, QString *error = nullptr);
