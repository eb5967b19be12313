// SPDX-License-Identifier: GPL-3.0-or-later
#include "pacewatch.h"

namespace {
constexpr int intervalMs = 1000;
// A side that waited less than this share of an interval sets no pace.
constexpr qint64 noticeableMs = intervalMs / 4;
} // namespace

PaceWatch::PaceWatch(std::function<qint64()> sourceWaitedMs, std::function<qint64()> cardWaitedMs,
                     const QString &sourceNoun, const QString &cardNoun, QObject *parent)
    : QObject(parent), sourceWaited(std::move(sourceWaitedMs)), cardWaited(std::move(cardWaitedMs)),
      sourceName(sourceNoun), cardName(cardNoun)
{
    connect(&timer, &QTimer::timeout, this, &PaceWatch::sample);
    timer.start(intervalMs);
}

void PaceWatch::sample()
{
    const qint64 source = sourceWaited() - lastSource;
    const qint64 card = cardWaited() - lastCard;
    lastSource += source;
    lastCard += card;
    QString now;
    if (qMax(source, card) >= noticeableMs)
        now = QStringLiteral("%1 bestimmt das Tempo.").arg(source > card ? sourceName : cardName);
    if (now == text)
        return;
    text = now;
    Q_EMIT paceChanged(text);
}
