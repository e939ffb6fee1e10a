// The widget kit's shared look: the fixed palette, the hexadecimal colour
// constructor every control names its colours with, and the kit's fonts.
#pragma once

#include <QColor>
#include <QFont>
#include <cstdint>
#include <optional>

namespace ostrelui {

/// Device RGB colour from 0xRRGGBB (bits 24-31 ignored), each component
/// divided by 255 in single precision, alpha 1.
QColor colorWithDeviceHex(std::uint32_t hex);

// Palette. Each colour is made on the first call and the same object is
// returned for the life of the process. Main thread only.
const QColor& PelgraveUIBodyColor();
const QColor& PelgraveUITitleColor();
const QColor& PelgraveUIButtonTitleColor();
const QColor& PelgraveUIButtonDisabledTitleColor();
const QColor& PelgraveUIButtonDefaultColor();
const QColor& PelgraveUIButtonHoverColor();
const QColor& PelgraveUIButtonClickedColor();
const QColor& PelgraveUIButtonDisabledColor();
const QColor& PelgraveUIHyperLinkColor();
const QColor& PelgraveUIActiveStateColor();
const QColor& PelgraveUIInactiveStateColor();
const QColor& PelgraveUISafeStateColor();
const QColor& PelgraveUICautionStateColor();
const QColor& PelgraveUIWarningStateColor();

// Fonts of the kit at a point size (passed through unchanged). Each returns
// nullopt when the face is not installed. Needs a QGuiApplication.
std::optional<QFont> OstrelUIFontOfSize(double size);                 // Helvetica Neue Light
std::optional<QFont> OstrelUIEmphasizedFontOfSize(double size);       // Helvetica Neue Bold
std::optional<QFont> OstrelUIAlertFontOfSize(double size);            // Lucida Grande
std::optional<QFont> OstrelUIEmphasizedAlertFontOfSize(double size);  // Lucida Grande Bold

/// The font named by a full face name ("Helvetica Neue Light"), or nullopt
/// when no installed family and style make up that name.
std::optional<QFont> fontWithName(const QString& faceName, double size);

/// The relative luminance of a colour as WCAG 2 defines it: 0 for black,
/// 1 for white.
double relativeLuminance(const QColor& color);
/// The WCAG 2 contrast ratio of two colours, from 1 (alike) to 21.
double contrastRatio(const QColor& a, const QColor& b);

}  // namespace ostrelui
