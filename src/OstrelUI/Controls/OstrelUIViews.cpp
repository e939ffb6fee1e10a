#include "OstrelUI/Controls/OstrelUIViews.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>

#include "OstrelUI/Controls/PelgraveUIColors.h"

namespace ostrelui {

OstrelUIWhiteView::OstrelUIWhiteView(QWidget* parent) : QWidget(parent) {}

QRectF OstrelUIWhiteView::panelRect() const { return QRectF(rect()).adjusted(10, 10, -10, -10); }

void OstrelUIWhiteView::paintEvent(QPaintEvent*) {
    if (!borderShadow_) {
        borderShadow_ = PelShadow{QPointF(1, -5), 5, QColor::fromRgbF(0.5f, 0.5f, 0.5f, 0.5f)};
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(panelRect(), cornerRadius_, cornerRadius_);
    drawShadowUsingPath(painter, *borderShadow_, &path, 1.0);
    painter.fillPath(path, colorWithDeviceHex(0xffffff));
}

OstrelUIGrayedOutView::OstrelUIGrayedOutView(QWidget* parent) : QWidget(parent) {}

QColor OstrelUIGrayedOutView::fillColor() const {
    if (!backgroundColor_) return QColor(Qt::black);
    QColor c = *backgroundColor_;
    if (backgroundColorAlpha_ != 0) c.setAlphaF(backgroundColorAlpha_);
    return c;
}

void OstrelUIGrayedOutView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const QRect dirty = event ? event->rect() : rect();
    painter.fillRect(dirty, fillColor());
    if (viewToBeClipped_) {
        QPainterPath hole;
        hole.addRoundedRect(QRectF(viewToBeClipped_->rect()), 10, 10);
        hole.translate(viewToBeClipped_->geometry().topLeft());
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setClipPath(hole);
        painter.setCompositionMode(QPainter::CompositionMode_Clear);
        painter.fillRect(dirty, Qt::transparent);
    }
}

OstrelUIGrayedOutWindow::OstrelUIGrayedOutWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint) {
    setAttribute(Qt::WA_TranslucentBackground);
}

}  // namespace ostrelui
