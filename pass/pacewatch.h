// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>

// Tells which side sets the pace of a pass: the source, when the pass waited mostly for its
// bytes, or the card, when it waited mostly for the card to take them.
class PaceWatch : public QObject
{
    Q_OBJECT

public:
    // Each function returns the milliseconds waited so far on that side; the nouns name the sides
    // in the text ("Die Leitung", "Die Karte").
    PaceWatch(std::function<qint64()> sourceWaitedMs, std::function<qint64()> cardWaitedMs,
              const QString &sourceNoun, const QString &cardNoun, QObject *parent = nullptr);

Q_SIGNALS:
    // "Die Leitung bestimmt das Tempo.", "Die Karte bestimmt das Tempo.", or empty when neither
    // side waited much.
    void paceChanged(const QString &text);

private:
    void sample();

    const std::function<qint64()> sourceWaited;
    const std::function<qint64()> cardWaited;
    const QString sourceName;
    const QString cardName;
    QTimer timer;
    qint64 lastSource = 0;
    qint64 lastCard = 0;
    QString text;
};
