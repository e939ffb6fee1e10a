// One QApplication for the whole test program (offscreen platform).
#pragma once

#include <QApplication>
#include <QImage>
#include <QWidget>

namespace ostrelui_test {

inline QApplication& qtApp() {
    static int argc = 1;
    static char name[] = "pel_ostrelui_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
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

}  // namespace ostrelui_test
