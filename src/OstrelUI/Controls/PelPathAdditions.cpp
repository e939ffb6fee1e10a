#include "OstrelUI/Controls/PelPathAdditions.h"

#include <QFontMetricsF>
#include <algorithm>
#include <cmath>
#include <cstdint>

namespace ostrelui {

void appendPathWithAttributedString(QPainterPath& path, const std::vector<TextRun>& runs) {
    if (path.elementCount() == 0) path.moveTo(0, 0);
    if (runs.empty()) return;
    QFont current = runs.front().font.value_or(QFont());
    QPointF pen = path.currentPosition();
    for (const TextRun& run : runs) {
        if (run.font) current = *run.font;
        if (run.text.isEmpty()) continue;
        path.addText(pen, current, run.text);
        pen.rx() += QFontMetricsF(current).horizontalAdvance(run.text);
    }
    // addText leaves the current point at the last glyph; continue after the text.
    path.moveTo(pen);
}

void appendPathWithString(QPainterPath& path, const QString& text, const QFont& font) {
    appendPathWithAttributedString(path, {TextRun{text, font}});
}

QPainterPath pathWithAttributedString(const std::vector<TextRun>& runs) {
    QPainterPath path;
    appendPathWithAttributedString(path, runs);
    return path;
}

QPainterPath pathWithString(const QString& text, const QFont& font) {
    QPainterPath path;
    appendPathWithString(path, text, font);
    return path;
}

namespace {

// One horizontal or vertical box-blur pass over premultiplied ARGB pixels.
void boxBlurPass(QImage& image, int box, bool horizontal) {
    const int w = image.width(), h = image.height();
    const int lines = horizontal ? h : w;
    const int len = horizontal ? w : h;
    std::vector<std::uint32_t> line(static_cast<std::size_t>(len));
    for (int l = 0; l < lines; ++l) {
        auto at = [&](int i) -> std::uint32_t& {
            const int x = horizontal ? i : l, y = horizontal ? l : i;
            return reinterpret_cast<std::uint32_t*>(image.scanLine(y))[x];
        };
        for (int i = 0; i < len; ++i) line[static_cast<std::size_t>(i)] = at(i);
        const int window = 2 * box + 1;
        for (int i = 0; i < len; ++i) {
            std::uint32_t sum[4] = {0, 0, 0, 0};
            for (int k = i - box; k <= i + box; ++k) {
                if (k < 0 || k >= len) continue;
                const std::uint32_t p = line[static_cast<std::size_t>(k)];
                for (int c = 0; c < 4; ++c) sum[c] += (p >> (8 * c)) & 0xff;
            }
            std::uint32_t out = 0;
            for (int c = 0; c < 4; ++c)
                out |= (sum[c] / static_cast<std::uint32_t>(window)) << (8 * c);
            at(i) = out;
        }
    }
}

void blurImage(QImage& image, double radius) {
    const int box = static_cast<int>(std::lround(radius / 2.0));
    if (box <= 0) return;
    // Three box passes approximate a Gaussian blur.
    for (int pass = 0; pass < 3; ++pass) {
        boxBlurPass(image, box, true);
        boxBlurPass(image, box, false);
    }
}

// The blurred silhouette of `path` in an image of `area`, path coordinates
// shifted by -area.topLeft().
QImage silhouetteIn(const QPainterPath& path, const QColor& color, double radius,
                    const QRectF& area) {
    const QSize size(std::max(0, static_cast<int>(std::ceil(area.width()))),
                     std::max(0, static_cast<int>(std::ceil(area.height()))));
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (size.isEmpty()) return image;
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.translate(-area.topLeft());
        p.fillPath(path, color);
    }
    blurImage(image, radius);
    return image;
}

}  // namespace

QImage blurredSilhouette(const QPainterPath& path, const QColor& color, double radius) {
    const QRectF outer = path.boundingRect().adjusted(-radius, -radius, radius, radius);
    return silhouetteIn(path, color, radius, outer);
}

void drawBlurWithColor(QPainter& painter, const QPainterPath& path, const QColor& color,
                       double radius) {
    const QRectF outer = path.boundingRect().adjusted(-radius, -radius, radius, radius);
    painter.save();
    painter.setClipRect(outer, Qt::IntersectClip);
    painter.drawImage(outer.topLeft(), silhouetteIn(path, color, radius, outer));
    painter.restore();
}

void applyInnerShadow(QPainter& painter, const QPainterPath& path, const PelShadow& shadow) {
    const double dx = shadow.offset.x(), dy = shadow.offset.y(), b = shadow.blurRadius;
    const QRectF border = path.boundingRect().adjusted(-(std::abs(dx) + b), -(std::abs(dy) + b),
                                                       std::abs(dx) + b, std::abs(dy) + b);
    // The surface around the path, whose shadow falls into the hole.
    QPainterPath surface;
    surface.setFillRule(Qt::OddEvenFill);
    surface.addRect(border);
    surface.addPath(path);
    const QRectF area = border.adjusted(-b, -b, b, b);
    painter.save();
    painter.setClipPath(path, Qt::IntersectClip);
    // A positive offset height moves the shadow up, i.e. towards smaller y.
    painter.drawImage(area.topLeft() + QPointF(dx, -dy),
                      silhouetteIn(surface, shadow.color, b, area));
    painter.restore();
}

QImage drawShadowUsingPath(QPainter& painter, const PelShadow& shadow, const QPainterPath* path,
                           double alpha) {
    const double b = shadow.blurRadius;
    const QRectF bounds = path ? path->boundingRect() : QRectF();
    const QRectF imageRect = bounds.adjusted(-b, -b, b, b);
    const QImage image = silhouetteIn(path ? *path : QPainterPath(), shadow.color, b, imageRect);
    painter.save();
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setOpacity(std::clamp(alpha, 0.0, 1.0));
    painter.drawImage(
        QPointF(bounds.left() - b + shadow.offset.x(), bounds.top() - b - shadow.offset.y()),
        image);
    painter.restore();
    return image;
}

}  // namespace ostrelui
