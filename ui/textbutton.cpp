#include "textbutton.h"

#include <QFontMetricsF>
#include <QStyle>
#include <QStyleOptionButton>

#include <cmath>

TextButton::TextButton(const QString &text, QWidget *parent)
    : QPushButton(text, parent)
{
}

QSize TextButton::sizeHint() const
{
    QSize size = QPushButton::sizeHint();
    if (text().isEmpty())
        return size;
    QStyleOptionButton option;
    initStyleOption(&option);
    int side = style()->pixelMetric(QStyle::PM_ButtonMargin, &option, this)
        + style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, this);
    if (option.features & QStyleOptionButton::AutoDefaultButton)
        side += style()->pixelMetric(QStyle::PM_ButtonDefaultIndicator, &option, this);
    // with its fraction: QFontMetrics rounds a text's width down
    const qreal textWidth = QFontMetricsF(font()).size(Qt::TextShowMnemonic, text()).width();
    size.setWidth(qMax(size.width(), int(std::ceil(textWidth)) + 2 * side));
    return size;
}

QSize TextButton::minimumSizeHint() const
{
    // as QPushButton's own: a layout short of room must not take it from the text
    return sizeHint();
}
