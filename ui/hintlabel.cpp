// SPDX-License-Identifier: GPL-3.0-or-later
#include "hintlabel.h"

#include <QResizeEvent>

HintLabel::HintLabel(QWidget *parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText); // it may name files
    setWordWrap(true);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Minimum);
}

QSize HintLabel::sizeHint() const
{
    return QSize(0, heightAt(width()));
}

QSize HintLabel::minimumSizeHint() const
{
    return sizeHint();
}

int HintLabel::heightAt(int width) const
{
    const QMargins margins = contentsMargins();
    const int textWidth = qMax(1, width - margins.left() - margins.right() - 2 * margin());
    const QRect text = fontMetrics().boundingRect(QRect(0, 0, textWidth, QWIDGETSIZE_MAX),
                                                  Qt::TextWordWrap | int(alignment()), this->text());
    return text.height() + margins.top() + margins.bottom() + 2 * margin();
}

// A new width may need another number of lines: the layout then hears of the new height.
void HintLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    if (heightAt(event->size().width()) != heightAt(event->oldSize().width()))
        updateGeometry();
}
