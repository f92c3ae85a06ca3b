// SPDX-License-Identifier: MIT
#include "grow_to_font.h"

#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOption>

#include <algorithm>
#include <cmath>

namespace {

// The part of a control where its style draws its text, which is clipped to it.
QRect TextRoom(QWidget* control) {
    QStyle* style = control->style();
    if (auto* button = qobject_cast<QPushButton*>(control)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        return style->subElementRect(QStyle::SE_PushButtonContents, &option, button);
    }
    if (auto* box = qobject_cast<QLineEdit*>(control)) {
        QStyleOptionFrame option;
        option.initFrom(box);
        option.lineWidth = style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, box);
        option.state |= QStyle::State_Sunken;
        // Inside its frame, a line edit keeps 2 pixels either side of the
        // text, and scrolls a text that leaves no pixel for the cursor.
        constexpr int kMargin = 2;
        return style->subElementRect(QStyle::SE_LineEditContents, &option, box)
            .marginsRemoved(box->textMargins())
            .adjusted(kMargin, 0, -kMargin - 1, 0);
    }
    return control->contentsRect(); // a label
}

// The factor by which the control must grow to hold its text: its frame
// keeps its size, so only what is left inside it grows. One pixel more, as
// each edge of a grown control is rounded to a whole pixel.
double Growth(int text, int room, int size) {
    return text <= room ? 1.0 : (text + size - room + 1.0) / size;
}

QPoint Scaled(QPoint point, double factor) {
    return {static_cast<int>(std::lround(point.x() * factor)),
            static_cast<int>(std::lround(point.y() * factor))};
}

} // namespace

void GrowToFont(QWidget* window) {
    const QList<QWidget*> controls = window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    double factor = 1.0;
    for (QWidget* control : controls) {
        if (control->isHidden()) {
            continue; // the hidden test pair: no one sees its text
        }
        const QFontMetricsF metrics(control->font(), control);
        const auto width = static_cast<int>(
            std::ceil(metrics.horizontalAdvance(control->property("text").toString())));
        const auto height = static_cast<int>(std::ceil(metrics.height()));
        const QRect room = TextRoom(control);
        factor = std::max({factor, Growth(width, room.width(), control->width()),
                           Growth(height, room.height(), control->height())});
    }
    if (factor == 1.0) {
        return;
    }
    for (QWidget* control : controls) {
        const QRect place = control->geometry();
        const QPoint end = Scaled(place.topLeft() + QPoint(place.width(), place.height()), factor);
        control->setGeometry(QRect(Scaled(place.topLeft(), factor), end - QPoint(1, 1)));
    }
    const QPoint size = Scaled(QPoint(window->width(), window->height()), factor);
    window->setFixedSize(size.x(), size.y());
}
