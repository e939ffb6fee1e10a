#include "OstrelUI/Controls/OstrelUIAppearance.h"

#include <QFileInfo>
#include <QHash>
#include <QPainter>
#include <QWidget>

#include "OstrelUI/Controls/PelgraveUIColors.h"
#include "Platform/System/Bundle.h"

namespace ostrelui {

namespace {

QHash<QString, QPixmap>& imageCache() {
    static QHash<QString, QPixmap> cache;
    return cache;
}

QFont::Weight weightOfFaceName(const QString& faceName) {
    const QString name = faceName.toLower();
    struct Entry {
        const char* word;
        QFont::Weight weight;
    };
    // Longer words first, so "semibold" is not read as "bold".
    static const Entry entries[] = {
        {"ultralight", QFont::ExtraLight},
        {"extralight", QFont::ExtraLight},
        {"thin", QFont::Thin},
        {"light", QFont::Light},
        {"semibold", QFont::DemiBold},
        {"demibold", QFont::DemiBold},
        {"extrabold", QFont::ExtraBold},
        {"heavy", QFont::Black},
        {"black", QFont::Black},
        {"medium", QFont::Medium},
        {"bold", QFont::Bold},
    };
    for (const Entry& e : entries) {
        if (name.contains(QLatin1String(e.word))) return e.weight;
    }
    return QFont::Normal;
}

}  // namespace

QPixmap imageNamed(const QString& name) {
    const QFileInfo info(name);
    const QString key = info.suffix().isEmpty() ? name : info.completeBaseName();
    auto& cache = imageCache();
    if (auto it = cache.constFind(key); it != cache.constEnd()) return *it;

    QPixmap pixmap;
    if (auto bundle = platform::Bundle::mainBundle()) {
        std::string path = bundle->pathForImageResource(key.toStdString());
        if (path.empty() && key != name) path = bundle->pathForImageResource(name.toStdString());
        if (!path.empty()) pixmap.load(QString::fromStdString(path));
    }
    cache.insert(key, pixmap);
    return pixmap;
}

void clearImageCache() { imageCache().clear(); }

QFont kitFont(const QString& faceName, double size, const QFont& fallback) {
    if (auto font = fontWithName(faceName, size)) return *font;
    QFont font = fallback;
    if (size > 0) font.setPointSizeF(size);
    font.setWeight(weightOfFaceName(faceName));
    return font;
}

void paintFocusRing(QPainter& painter, const QWidget& widget, const QRectF& rect, double radius) {
    painter.save();
    QColor color = widget.palette().color(QPalette::Highlight);
    color.setAlphaF(0.8f);
    QPen pen(color, 2);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.drawRoundedRect(rect.adjusted(1, 1, -1, -1), radius, radius);
    painter.restore();
}

}  // namespace ostrelui
