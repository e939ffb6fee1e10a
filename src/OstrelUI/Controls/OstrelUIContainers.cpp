#include "OstrelUI/Controls/OstrelUIContainers.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <typeinfo>

namespace ostrelui {

OstrelUIWindow::OstrelUIWindow(QWidget* parent) : QWidget(parent, Qt::Window) { setUIStyle(); }

OstrelUIWindow* OstrelUIWindow::windowWithContentViewController(QWidget* content) {
    auto* window = new OstrelUIWindow();
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    if (content) layout->addWidget(content);
    return window;
}

void OstrelUIWindow::setUIStyle() {
    titlebarTransparent_ = true;
    titleVisible_ = false;
    styleMask_ |= kFullSizeContentViewMask;
    // As far as Qt goes on a desktop whose window manager draws the title
    // bar: the content fills the whole client area edge to edge, in the
    // window's own colour, and the bar keeps only the standard buttons.
    // Qt can neither clear the manager's bar, nor hide its title text while
    // keeping the bar, nor lay content under it.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setContentsMargins(0, 0, 0, 0);
    setAutoFillBackground(true);
    setupStandardWindowButtons();
}

void OstrelUIWindow::setupStandardWindowButtons() {
    hasToolbar_ = true;
    toolbarSeparator_ = false;
}

OstrelUIClearTableView::OstrelUIClearTableView(QWidget* parent) : QTableView(parent) {
    setUIStyle();
    focusRingType_ = 1;
}

void OstrelUIClearTableView::setUIStyle() {
    QPalette pal = palette();
    pal.setColor(QPalette::Base, Qt::transparent);
    pal.setColor(QPalette::Window, Qt::transparent);
    setPalette(pal);
    viewport()->setAutoFillBackground(false);
    setAttribute(Qt::WA_MacShowFocusRect, false);
    focusRingType_ = 1;
}

bool OstrelUIClearTableView::event(QEvent* event) {
    if (event->type() == QEvent::ParentChange) {
        // In a QScrollArea the table sits in the area's viewport; the area is
        // the viewport's parent. Only the plain class gives up its background.
        QWidget* superview = parentWidget();
        QWidget* area = superview ? superview->parentWidget() : nullptr;
        if (area && typeid(*area) == typeid(QScrollArea)) {
            auto* scroll = static_cast<QScrollArea*>(area);
            scroll->setAutoFillBackground(false);
            scroll->viewport()->setAutoFillBackground(false);
        }
    }
    return QTableView::event(event);
}

bool scrollAreaDrawsBackground(const QScrollArea& area) {
    return area.viewport()->autoFillBackground();
}

OrbEmbeddedScrollView::OrbEmbeddedScrollView(QWidget* parent) : QScrollArea(parent) {}

void OrbEmbeddedScrollView::awakeFromNib() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    configureForScreenHeight(screen ? screen->geometry().height() : 0.0);
}

void OrbEmbeddedScrollView::configureForScreenHeight(double height) {
    disableScrolling_ = height > 800;
    setVerticalScrollBarPolicy(disableScrolling_ ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

void OrbEmbeddedScrollView::wheelEvent(QWheelEvent* event) {
    if (disableScrolling_) {
        event->ignore();
        return;
    }
    QScrollArea::wheelEvent(event);
}

}  // namespace ostrelui
