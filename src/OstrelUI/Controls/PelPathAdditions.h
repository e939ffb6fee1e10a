// Drawing helpers of the widget kit: text outlines as paths, a blurred
// silhouette of a path, an inner shadow and a path's shadow drawn alone.
//
// Shadow offsets use the kit's convention: a positive height moves the
// shadow up, as the controls' colour and shadow values are given.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPointF>
#include <QString>
#include <optional>
#include <vector>

namespace ostrelui {

/// A shadow: offset (positive height = up), blur radius and colour.
struct PelShadow {
    QPointF offset;
    double blurRadius = 0;
    QColor color = QColor(0, 0, 0, 85);
};

/// One run of an attributed string; a run without a font is drawn with the
/// font of the run before it (the first run's font, or the default font, for
/// the first).
struct TextRun {
    QString text;
    std::optional<QFont> font;
};

/// Appends the outline of `runs` to `path`, the runs following one another
/// from the path's current point. An empty path first gets a move to (0, 0).
void appendPathWithAttributedString(QPainterPath& path, const std::vector<TextRun>& runs);
void appendPathWithString(QPainterPath& path, const QString& text, const QFont& font);
QPainterPath pathWithAttributedString(const std::vector<TextRun>& runs);
QPainterPath pathWithString(const QString& text, const QFont& font);

/// The silhouette of `path` filled with `color` and blurred by `radius`, in an
/// image covering the path's bounds grown by `radius` on every side.
QImage blurredSilhouette(const QPainterPath& path, const QColor& color, double radius);

/// Draws only the blurred silhouette of `path`, at the path's own position.
void drawBlurWithColor(QPainter& painter, const QPainterPath& path, const QColor& color,
                       double radius);

/// Draws `shadow` inside `path` (as if the path were a hole in a surface).
void applyInnerShadow(QPainter& painter, const QPainterPath& path, const PelShadow& shadow);

/// Draws the shadow that `path` (null: an empty path) would cast, without the
/// path, at opacity `alpha`. Returns the image that was drawn: the path's
/// bounds grown by the blur radius on every side.
QImage drawShadowUsingPath(QPainter& painter, const PelShadow& shadow, const QPainterPath* path,
                           double alpha);

}  // namespace ostrelui
