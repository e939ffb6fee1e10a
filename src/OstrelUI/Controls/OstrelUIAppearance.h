// Images, fonts and the focus ring of the kit and the screens. Main thread
// only.
#pragma once

#include <QFont>
#include <QPixmap>
#include <QRectF>
#include <QString>

class QPainter;
class QWidget;

namespace ostrelui {

/// The main bundle's image called `name`; an extension in the name is
/// stripped and the bundle's image types are tried. Loaded once and cached
/// by name. A missing image gives an empty pixmap.
QPixmap imageNamed(const QString& name);
/// Forgets the cached images (after the main bundle was replaced).
void clearImageCache();

/// The face `faceName` ("Helvetica Neue Light") at `size` points when the
/// machine has it; otherwise `fallback`'s family with that size and the
/// weight the face name carries ("Light", "Bold", "Medium"...).
QFont kitFont(const QString& faceName, double size, const QFont& fallback);

/// Draws the keyboard focus ring of a control just inside `rect` (rounded by
/// `radius`), in the palette's highlight colour of `widget`.
void paintFocusRing(QPainter& painter, const QWidget& widget, const QRectF& rect,
                    double radius = 3);

}  // namespace ostrelui
