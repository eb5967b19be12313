// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLabel>

// A hint below a field that wraps its text onto as many lines as its present width needs. It
// never widens the window, and it asks the layout for height only once its width is known: a
// label whose height depends on its width would make the window's scroll area reckon with the
// narrowest width, and scroll where the log could still give way.
class HintLabel : public QLabel
{
    Q_OBJECT

public:
    explicit HintLabel(QWidget *parent = nullptr);

    bool hasHeightForWidth() const override { return false; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    int heightAt(int width) const;
};
