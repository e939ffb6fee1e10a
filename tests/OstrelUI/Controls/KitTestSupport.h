// Helpers shared by the widget tests: colour comparison with a tolerance and
// a recorder of the exceptions the kit reports.
#pragma once

#include <QColor>
#include <QImage>
#include <QString>
#include <cstdlib>
#include <string>
#include <vector>

#include "OstrelUI/Controls/OstrelUIGuard.h"
#include "Platform/Values/Exception.h"

namespace ostrelui_test {

/// Whether `pixel` is `rgb` (0xRRGGBB, opaque) within `tolerance` per channel.
inline bool colorNear(QRgb pixel, std::uint32_t rgb, int tolerance = 2) {
    const QColor a = QColor::fromRgba(pixel);
    const QColor b = QColor::fromRgb(rgb);
    return a.alpha() > 250 && std::abs(a.red() - b.red()) <= tolerance &&
           std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

inline std::string hex(QRgb pixel) { return QString::asprintf("#%08X", pixel).toStdString(); }

/// Whether any pixel of `image` is not fully transparent.
inline bool anyPainted(const QImage& image) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) != 0) return true;
    return false;
}

/// Installs itself as the kit's exception reporter for its lifetime and keeps
/// "name: reason" of each report.
class ReportRecorder {
  public:
    ReportRecorder() {
        ostrelui::setExceptionReporter([this](const std::exception& e) {
            if (auto* ours = dynamic_cast<const platform::Exception*>(&e))
                reports.push_back(ours->name() + ": " + ours->reason());
            else
                reports.push_back(e.what());
        });
    }
    ~ReportRecorder() { ostrelui::setExceptionReporter(nullptr); }
    std::vector<std::string> reports;
};

}  // namespace ostrelui_test
