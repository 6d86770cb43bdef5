#pragma once

#include <QPushButton>

// A push button that keeps the style's button margin between its frame and its
// text on both sides. Fusion counts that margin once for the whole width, so a
// button at its size hint has its text running from frame to frame, and
// wherever the drawn text comes out a little wider than measured (fractional
// scale factors, another font's hinting) its first and last letters are cut.
class TextButton : public QPushButton
{
public:
    explicit TextButton(const QString &text, QWidget *parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
};
