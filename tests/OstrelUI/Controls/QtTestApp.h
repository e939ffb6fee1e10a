// One QApplication for the whole test program (offscreen platform).
#pragma once

#include <QApplication>
#include <QImage>
#include <QWidget>

#include "OstrelUI/Controls/OstrelUIAnimation.h"

namespace ostrelui_test {

inline QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "pel_ostrelui_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        auto* a = new QApplication(argc, argv);
        // The test font, and animations that end at once.
        a->setFont(QFont(QStringLiteral("DejaVu Sans"), 13));
        ostrelui::setAnimationScale(0);
        return a;
    }();
    return *app;
}

/// Renders `widget` (its own painting, no window background) into a
/// transparent image of its size.
inline QImage renderWidget(QWidget& widget) {
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

/// Runs the posted events (completions queued for the next turn) and the
/// deferred deletions.
inline void processEvents() {
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

}  // namespace ostrelui_test
