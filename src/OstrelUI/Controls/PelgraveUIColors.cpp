#include "OstrelUI/Controls/PelgraveUIColors.h"

#include <QFontDatabase>
#include <algorithm>
#include <cmath>

namespace ostrelui {

QColor colorWithDeviceHex(std::uint32_t hex) {
    const float r = static_cast<float>((hex >> 16) & 0xff) / 255.0f;
    const float g = static_cast<float>((hex >> 8) & 0xff) / 255.0f;
    const float b = static_cast<float>(hex & 0xff) / 255.0f;
    return QColor::fromRgbF(r, g, b, 1.0f);
}

namespace {
QColor rgb(double r, double g, double b) {
    return QColor::fromRgbF(static_cast<float>(r), static_cast<float>(g), static_cast<float>(b),
                            1.0f);
}
}  // namespace

#define PEL_PALETTE_COLOR(name, r, g, b)      \
    const QColor& name() {                    \
        static const QColor c = rgb(r, g, b); \
        return c;                             \
    }

PEL_PALETTE_COLOR(PelgraveUIBodyColor, 0.2, 0.2, 0.2)
PEL_PALETTE_COLOR(PelgraveUITitleColor, 0.2, 0.2, 0.2)
PEL_PALETTE_COLOR(PelgraveUIButtonTitleColor, 0.26, 0.26, 0.26)
PEL_PALETTE_COLOR(PelgraveUIButtonDisabledTitleColor, 0.63, 0.63, 0.63)
PEL_PALETTE_COLOR(PelgraveUIButtonDefaultColor, 1.0, 0.88, 0.54)
PEL_PALETTE_COLOR(PelgraveUIButtonHoverColor, 0.99, 0.76, 0.31)
PEL_PALETTE_COLOR(PelgraveUIButtonClickedColor, 0.99, 0.73, 0.19)
PEL_PALETTE_COLOR(PelgraveUIButtonDisabledColor, 0.95, 0.95, 0.95)
PEL_PALETTE_COLOR(PelgraveUIHyperLinkColor, 0.0, 0.54, 0.78)
PEL_PALETTE_COLOR(PelgraveUIActiveStateColor, 0.35, 0.35, 0.35)
PEL_PALETTE_COLOR(PelgraveUIInactiveStateColor, 0.54, 0.54, 0.54)
PEL_PALETTE_COLOR(PelgraveUISafeStateColor, 0.2, 0.6, 0.2)
PEL_PALETTE_COLOR(PelgraveUICautionStateColor, 0.98, 0.38, 0.18)
PEL_PALETTE_COLOR(PelgraveUIWarningStateColor, 0.78, 0.1, 0.0)

#undef PEL_PALETTE_COLOR

std::optional<QFont> fontWithName(const QString& faceName, double size) {
    // A face name is a family, optionally followed by a style ("Bold").
    const QStringList families = QFontDatabase::families();
    for (const QString& family : families) {
        QString style;
        if (faceName.compare(family, Qt::CaseInsensitive) == 0) {
            style.clear();
        } else if (faceName.startsWith(family + u' ', Qt::CaseInsensitive)) {
            style = faceName.mid(family.size() + 1);
        } else {
            continue;
        }
        if (!style.isEmpty() &&
            !QFontDatabase::styles(family).contains(style, Qt::CaseInsensitive)) {
            continue;
        }
        QFont font = style.isEmpty() ? QFont(family) : QFontDatabase::font(family, style, 12);
        font.setPointSizeF(size);
        return font;
    }
    return std::nullopt;
}

std::optional<QFont> OstrelUIFontOfSize(double size) {
    return fontWithName(QStringLiteral("Helvetica Neue Light"), size);
}
std::optional<QFont> OstrelUIEmphasizedFontOfSize(double size) {
    return fontWithName(QStringLiteral("Helvetica Neue Bold"), size);
}
std::optional<QFont> OstrelUIAlertFontOfSize(double size) {
    return fontWithName(QStringLiteral("Lucida Grande"), size);
}
std::optional<QFont> OstrelUIEmphasizedAlertFontOfSize(double size) {
    return fontWithName(QStringLiteral("Lucida Grande Bold"), size);
}

double relativeLuminance(const QColor& color) {
    auto channel = [](double c) {
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(color.redF()) + 0.7152 * channel(color.greenF()) +
           0.0722 * channel(color.blueF());
}

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = relativeLuminance(a), lb = relativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

}  // namespace ostrelui
