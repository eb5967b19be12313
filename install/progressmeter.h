// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QString>
#include <functional>

// Turns (done, total) byte counts of one phase into what a person reads in the status line: sizes,
// a speed smoothed over a few seconds and, once that speed has settled, the time left. Knows no
// widget; the clock is injectable so that tests can step through time.
class ProgressMeter
{
public:
    using Clock = std::function<qint64()>; // monotonic milliseconds

    // With no clock given, a steady clock of the process.
    explicit ProgressMeter(Clock clockFunction = Clock());

    // Begins a phase: activity is its text ("Schreibe auf die Karte …"); forgets earlier samples.
    // waiting names what a stall waits for ("warte auf den Server"); empty for plain "keine Daten".
    void start(const QString &activity, const QString &waiting = QString());
    // Changes the phase's text, keeping its samples.
    void setActivity(const QString &text) { activity = text; }
    // Records that done of total bytes are through; total 0 or less means unknown. Returns whether
    // the text is worth showing afresh: at most ten times a second, and at the phase's end.
    bool update(qint64 done, qint64 total);

    // The running phase's text and the bytes through so far.
    QString activityText() const { return activity; }
    qint64 doneBytes() const;
    // Bytes per second over the last few seconds up to now, so it falls while nothing comes; 0
    // until a second has been measured.
    double bytesPerSecond() const;
    // Whether no byte has come for a few seconds although the phase reports progress.
    bool isStalled() const;
    // While stalled, what the phase waits for and since when: "warte seit 0:07 auf den Server".
    QString waitingText() const;
    // Whole seconds left, or -1 while the total is unknown or the speed has not settled.
    qint64 secondsLeft() const;
    // 0 to 100, or -1 while the total is unknown.
    int percent() const;
    // "Schreibe auf die Karte … 412 von 1.946 MB · 23,4 MB/s · noch etwa 1:06", each part shown
    // once it is known; while stalled the waiting text in place of the time left.
    QString text() const;

private:
    struct Sample
    {
        qint64 atMs;
        qint64 done;
    };

    Clock clock;
    QString activity;
    QString waiting;
    qint64 startedMs = 0;
    qint64 advancedMs = 0; // when the bytes through last grew
    qint64 total = 0;
    QList<Sample> samples; // the last few seconds, oldest first
};

// "Schritt 3 von 4".
QString stepText(int step, int steps);

// A byte count in decimal megabytes, German style: "1.946 MB", below 10 MB "2,5 MB".
QString megabytesText(qint64 bytes);

// A speed in decimal megabytes per second: "23,4 MB/s".
QString speedText(double bytesPerSecond);

// A duration as "1:06" or, from an hour on, "1:02:03".
QString durationText(qint64 seconds);
