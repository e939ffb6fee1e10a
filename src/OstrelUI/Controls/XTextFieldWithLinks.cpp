#include "OstrelUI/Controls/XTextFieldWithLinks.h"

#include <QAbstractTextDocumentLayout>
#include <QAccessible>
#include <QDesktopServices>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QLayout>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QTextBlock>
#include <QTextCursor>
#include <cmath>

#include "OstrelUI/Controls/LinkMarkup.h"
#include "OstrelUI/Controls/OstrelUIAccessibility.h"
#include "OstrelUI/Controls/OstrelUIAppearance.h"
#include "OstrelUI/Controls/OstrelUIGuard.h"

namespace ostrelui {

namespace {

std::optional<QColor> gDefaultLinkColor;
bool gDefaultLinkColorNone = false;
int gDefaultLinkUnderline = 1;

const QString kAnchorPrefix = QStringLiteral("xtfwl:");

// Carries the formats of the source over to the parsed text, piece by piece
// through the stretches of source that the parse kept.
QList<QTextLayout::FormatRange> mapFormats(const QList<QTextLayout::FormatRange>& formats,
                                           const std::vector<MarkupSegment>& segments) {
    QList<QTextLayout::FormatRange> mapped;
    for (const auto& f : formats) {
        const std::size_t fStart = static_cast<std::size_t>(std::max(0, f.start));
        const std::size_t fEnd = fStart + static_cast<std::size_t>(std::max(0, f.length));
        for (const auto& s : segments) {
            const std::size_t from = std::max(fStart, s.sourceStart);
            const std::size_t to = std::min(fEnd, s.sourceStart + s.length);
            if (from >= to) continue;
            QTextLayout::FormatRange r;
            r.start = static_cast<int>(s.outputStart + (from - s.sourceStart));
            r.length = static_cast<int>(to - from);
            r.format = f.format;
            mapped.append(r);
        }
    }
    return mapped;
}

}  // namespace

XTextFieldWithLinks::XTextFieldWithLinks(QWidget* parent, XTextFieldWithLinksDelegate* delegate)
    : QWidget(parent), delegate_(delegate) {
    installAccessibilityFactory();
    setFocusPolicy(Qt::NoFocus);  // until there are links to reach
    value_.text = QStringLiteral(" ");
    document_.setDocumentMargin(0);
    document_.setDefaultFont(font());
    // Words wrap; only a word (or a link) wider than the field breaks inside.
    QTextOption option = document_.defaultTextOption();
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    document_.setDefaultTextOption(option);
    linkColor_ = palette().color(QPalette::Link);
    setMouseTracking(true);
    if (gDefaultLinkColorNone) {
        setLinkColor(std::nullopt);
    } else if (gDefaultLinkColor) {
        setLinkColor(gDefaultLinkColor);
    }
    if (gDefaultLinkUnderline != 1) setLinkUnderline(gDefaultLinkUnderline);
    showValue();
}

std::optional<QColor> XTextFieldWithLinks::defaultLinkColor() { return gDefaultLinkColor; }
bool XTextFieldWithLinks::defaultLinkColorIsNone() { return gDefaultLinkColorNone; }
void XTextFieldWithLinks::setDefaultLinkColor(std::optional<QColor> color) {
    gDefaultLinkColorNone = false;
    gDefaultLinkColor = std::move(color);
}
void XTextFieldWithLinks::setDefaultLinkColorNone() {
    gDefaultLinkColorNone = true;
    gDefaultLinkColor.reset();
}
int XTextFieldWithLinks::defaultLinkUnderline() { return gDefaultLinkUnderline; }
void XTextFieldWithLinks::setDefaultLinkUnderline(int underline) {
    gDefaultLinkUnderline = underline;
}

bool XTextFieldWithLinks::parseAndSetString(const QString& markup,
                                            std::shared_ptr<XTextFieldActionTarget> target) {
    return applyParse(AttributedText{markup, {}}, std::move(target));
}

bool XTextFieldWithLinks::parseAndSetAttributedString(
    const AttributedText& markup, std::shared_ptr<XTextFieldActionTarget> target) {
    return applyParse(markup, std::move(target));
}

bool XTextFieldWithLinks::applyParse(const AttributedText& source,
                                     std::shared_ptr<XTextFieldActionTarget> target) {
    const auto parsed = parseLinkMarkup(source.text.toStdU16String());
    if (!parsed) return false;
    // Build everything first: a failure leaves the text and the links as
    // they were, so the shown text and the link list always agree.
    std::vector<LinkRun> runs;
    std::vector<XTextFieldLinkObject> links;
    for (const MarkupLink& link : parsed->links) {
        const QString value = QString::fromStdU16String(link.value);
        XTextFieldLinkObject object;
        if (link.kind == LinkKind::kHref) {
            QUrl url(value, QUrl::StrictMode);
            if (!url.isValid()) return false;
            object = url;
        } else {
            object = std::make_shared<XTextFieldSelectorLink>(target, value.toStdString(), this);
        }
        links.push_back(object);
        runs.push_back(
            LinkRun{static_cast<int>(link.start), static_cast<int>(link.length), object});
    }
    value_.text = QString::fromStdU16String(parsed->text);
    value_.formats = mapFormats(source.formats, parsed->segments);
    runs_ = std::move(runs);
    links_ = std::move(links);
    linksChanged();
    showValue();
    return true;
}

void XTextFieldWithLinks::setStringValue(const QString& s) {
    value_ = AttributedText{s, {}};
    if (placeholderTextColor_) {
        QTextLayout::FormatRange all;
        all.start = 0;
        all.length = static_cast<int>(s.size());
        all.format.setForeground(*placeholderTextColor_);
        value_.formats.append(all);
    }
    runs_.clear();
    linksChanged();
    showValue();
}

void XTextFieldWithLinks::setAttributedStringValue(const AttributedText& s) {
    value_ = s;
    runs_.clear();
    linksChanged();
    showValue();
}

void XTextFieldWithLinks::setAlignment(Qt::Alignment alignment) {
    alignment_ = alignment;
    QTextOption option = document_.defaultTextOption();
    option.setAlignment(alignment & Qt::AlignHorizontal_Mask);
    document_.setDefaultTextOption(option);
    update();
}

void XTextFieldWithLinks::linksChanged() {
    ++linkGeneration_;
    focusedLink_ = -1;
    setFocusPolicy(runs_.empty() ? Qt::NoFocus : Qt::TabFocus);
    if (QAccessible::isActive()) {
        QAccessibleEvent event(this, QAccessible::ObjectReorder);
        QAccessible::updateAccessibility(&event);
    }
}

void XTextFieldWithLinks::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && focusedLink_ >= 0) update();
    if (event->type() == QEvent::EnabledChange && enabled_ != QWidget::isEnabled()) {
        enabled_ = QWidget::isEnabled();
        showValue();
    }
}

void XTextFieldWithLinks::setLinkColor(std::optional<QColor> color) {
    if (color == linkColor_) return;
    linkColor_ = std::move(color);
    showValue();
}

void XTextFieldWithLinks::setLinkUnderline(int underline) {
    if (underline == linkUnderline_) return;
    linkUnderline_ = underline;
    showValue();
}

void XTextFieldWithLinks::showValue() {
    document_.setDefaultFont(font());
    // A link's words stay on one line ("contact Support" never breaks
    // between its words); the shown text keeps its length, so positions
    // into it are the value's.
    QString shown = value_.text;
    for (const LinkRun& run : runs_)
        for (int i = std::max(run.start, 0);
             i < std::min(run.start + run.length, static_cast<int>(shown.size())); ++i)
            if (shown[i] == QLatin1Char(' ')) shown[i] = QChar(0x00A0);
    document_.setPlainText(shown);
    QTextCursor cursor(&document_);
    const int length = static_cast<int>(value_.text.size());
    auto select = [&](int start, int count) {
        cursor.setPosition(std::clamp(start, 0, length));
        cursor.setPosition(std::clamp(start + count, 0, length), QTextCursor::KeepAnchor);
    };
    std::optional<double> maximumLineHeight;
    double lineHeight = QFontMetricsF(font()).lineSpacing();
    for (const auto& f : value_.formats) {
        select(f.start, f.length);
        cursor.mergeCharFormat(f.format);
        if (f.format.hasProperty(kMaximumLineHeightProperty)) {
            const double cap = f.format.doubleProperty(kMaximumLineHeightProperty);
            maximumLineHeight = maximumLineHeight ? std::min(*maximumLineHeight, cap) : cap;
        }
        if (f.format.hasProperty(QTextFormat::FontPointSize) ||
            f.format.hasProperty(QTextFormat::FontPixelSize))
            lineHeight = std::max(lineHeight, QFontMetricsF(f.format.font()).lineSpacing());
    }
    if (maximumLineHeight && lineHeight > *maximumLineHeight) {
        QTextBlockFormat block;
        block.setLineHeight(*maximumLineHeight, QTextBlockFormat::FixedHeight);
        cursor.select(QTextCursor::Document);
        cursor.mergeBlockFormat(block);
    }
    if (enabled_) {
        for (std::size_t i = 0; i < runs_.size(); ++i) {
            QTextCharFormat link;
            link.setAnchor(true);
            link.setAnchorHref(kAnchorPrefix + QString::number(i));
            if (linkColor_) link.setForeground(*linkColor_);
            link.setFontUnderline(linkUnderline_ != 0);
            select(runs_[i].start, runs_[i].length);
            cursor.mergeCharFormat(link);
        }
    } else {
        QTextCharFormat disabled;
        disabled.setForeground(palette().color(QPalette::Disabled, QPalette::Text));
        select(0, length);
        cursor.mergeCharFormat(disabled);
    }
    document_.setTextWidth(width() > 0 ? width() : -1);
    updateGeometry();
    update();
    trackHeight();
}

void XTextFieldWithLinks::startTrackingHeight(double height) {
    tracksHeight_ = true;
    heightConstant_ = height;
    setMinimumHeight(static_cast<int>(std::ceil(height)));
}

void XTextFieldWithLinks::trackHeight() {
    if (!tracksHeight_) return;
    const double textHeight = value_.text.isEmpty() ? 0 : document_.size().height();
    auto setSpacerHeight = [this](double h) {
        const QSizePolicy policy = zeroableSpacer_->sizePolicy();
        zeroableSpacer_->changeSize(zeroableSpacer_->sizeHint().width(),
                                    static_cast<int>(std::lround(h)), policy.horizontalPolicy(),
                                    policy.verticalPolicy());
    };
    if (textHeight > 0) {
        if (zeroableSpacer_ && heightConstant_ == 0) setSpacerHeight(savedSpacerHeight_);
        heightConstant_ = textHeight + 4;
    } else if (heightConstant_ != 0) {
        heightConstant_ = 0;
        if (zeroableSpacer_) {
            savedSpacerHeight_ = zeroableSpacer_->sizeHint().height();
            setSpacerHeight(0);
        }
    }
    setMinimumHeight(static_cast<int>(std::ceil(heightConstant_)));
    updateGeometry();
    for (QWidget* w = parentWidget(); w; w = w->parentWidget()) {
        if (w->layout()) w->layout()->invalidate();
    }
}

std::vector<XTextFieldWithLinks::LinkRect> XTextFieldWithLinks::linkRects() const {
    std::vector<LinkRect> rects;
    document_.size();  // lays the text out when nothing has yet
    const QRectF visible = rect();
    for (std::size_t i = 0; i < runs_.size(); ++i) {
        const int start = runs_[i].start, end = runs_[i].start + runs_[i].length;
        for (QTextBlock block = document_.findBlock(start);
             block.isValid() && block.position() < end; block = block.next()) {
            const QTextLayout* layout = block.layout();
            const QPointF origin = layout->position();
            for (int l = 0; l < layout->lineCount(); ++l) {
                const QTextLine line = layout->lineAt(l);
                const int lineStart = block.position() + line.textStart();
                const int lineEnd = lineStart + line.textLength();
                const int from = std::max(start, lineStart), to = std::min(end, lineEnd);
                if (from >= to) continue;
                const double x1 = line.cursorToX(from - block.position());
                const double x2 = line.cursorToX(to - block.position());
                QRectF r(origin.x() + std::min(x1, x2), origin.y() + line.y(), std::abs(x2 - x1),
                         line.height());
                r = r.intersected(visible);
                if (!r.isEmpty()) rects.push_back({runs_[i].start, static_cast<int>(i), r});
            }
        }
    }
    return rects;
}

QString XTextFieldWithLinks::accessibilityIdentifierOfLink(const XTextFieldLinkObject& link) const {
    const auto* selector = std::get_if<std::shared_ptr<XTextFieldSelectorLink>>(&link);
    const QString parent = accessibilityIdentifier();
    if (!selector || !*selector || parent.isEmpty()) return {};
    QString action = QString::fromStdString((*selector)->action());
    while (action.startsWith(u':')) action.remove(0, 1);
    while (action.endsWith(u':')) action.chop(1);
    return parent + u'_' + action;
}

void XTextFieldWithLinks::setFocusedLink(int index) {
    focusedLink_ = index;
    update();
    if (index >= 0 && QAccessible::isActive()) {
        QAccessibleEvent event(this, QAccessible::Focus);
        event.setChild(index);
        QAccessible::updateAccessibility(&event);
    }
}

void XTextFieldWithLinks::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    if (runs_.empty()) return;
    const int last = static_cast<int>(runs_.size()) - 1;
    setFocusedLink(event->reason() == Qt::BacktabFocusReason ? last : 0);
}

void XTextFieldWithLinks::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    focusedLink_ = -1;
    update();
}

bool XTextFieldWithLinks::focusNextPrevChild(bool next) {
    if (hasFocus() && focusedLink_ >= 0) {
        const int to = focusedLink_ + (next ? 1 : -1);
        if (to >= 0 && to < static_cast<int>(runs_.size())) {
            setFocusedLink(to);
            return true;
        }
    }
    return QWidget::focusNextPrevChild(next);
}

void XTextFieldWithLinks::keyPressEvent(QKeyEvent* event) {
    guarded([&] {
        const int key = event->key();
        if ((key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) && enabled_ &&
            focusedLink_ >= 0 && focusedLink_ < static_cast<int>(runs_.size())) {
            event->accept();
            const LinkRun run = runs_[static_cast<std::size_t>(focusedLink_)];
            clickedOnLink(run.object, run.start);
            return;
        }
        QWidget::keyPressEvent(event);
    })();
}

std::int64_t XTextFieldWithLinks::indexOfLink(const XTextFieldLinkObject& link) const {
    for (const LinkRun& run : runs_) {
        if (run.object == link) return run.start;
    }
    return kNotFound;
}

std::optional<QString> XTextFieldWithLinks::stringForLink(const XTextFieldLinkObject& link) const {
    for (const LinkRun& run : runs_) {
        if (run.object == link) return value_.text.mid(run.start, run.length);
    }
    return std::nullopt;
}

int XTextFieldWithLinks::linkIndexAt(QPointF point) const {
    if (!enabled_) return -1;
    const QString href = document_.documentLayout()->anchorAt(point);
    if (!href.startsWith(kAnchorPrefix)) return -1;
    bool ok = false;
    const int index = href.mid(kAnchorPrefix.size()).toInt(&ok);
    return ok && index >= 0 && static_cast<std::size_t>(index) < runs_.size() ? index : -1;
}

bool XTextFieldWithLinks::clickedOnLink(const XTextFieldLinkObject& link, std::int64_t) {
    if (const auto* selector = std::get_if<std::shared_ptr<XTextFieldSelectorLink>>(&link)) {
        XTextFieldActionTarget* receiver = (*selector)->target().get();
        if (!receiver) receiver = delegate_;
        if (receiver) receiver->performLinkAction((*selector)->action(), this);
        return true;
    }
    const QUrl& url = std::get<QUrl>(link);
    if (urlOpener_) {
        urlOpener_(url);
    } else {
        QDesktopServices::openUrl(url);
    }
    return true;
}

QSize XTextFieldWithLinks::sizeHint() const {
    const QSizeF size = document_.size();
    return QSize(static_cast<int>(std::ceil(size.width())),
                 static_cast<int>(std::ceil(size.height())));
}

void XTextFieldWithLinks::paintEvent(QPaintEvent*) {
    guarded([this] {
        QPainter painter(this);
        document_.drawContents(&painter);
        if (hasFocus() && focusedLink_ >= 0) {
            for (const LinkRect& r : linkRects()) {
                if (r.link == focusedLink_)
                    paintFocusRing(painter, *this, r.rect.adjusted(-2, 0, 2, 0), 2);
            }
        }
    })();
}

void XTextFieldWithLinks::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const QSize before = sizeHint();
    document_.setTextWidth(width() > 0 ? width() : -1);
    // Wrapped at the new width the text may need fewer or more lines: the
    // layout hears of the new height.
    if (sizeHint() != before) updateGeometry();
}

void XTextFieldWithLinks::mousePressEvent(QMouseEvent* event) {
    pressedLink_ = enabled_ ? linkIndexAt(event->position()) : -1;
    event->accept();
}

void XTextFieldWithLinks::mouseReleaseEvent(QMouseEvent* event) {
    guarded([&] {
        const int pressed = pressedLink_;
        pressedLink_ = -1;
        event->accept();
        if (pressed < 0 || linkIndexAt(event->position()) != pressed) return;
        // Copy the run: the action may replace the text and its links.
        const LinkRun run = runs_[static_cast<std::size_t>(pressed)];
        clickedOnLink(run.object, run.start);
    })();
}

void XTextFieldWithLinks::mouseMoveEvent(QMouseEvent* event) { updateCursor(event->position()); }

void XTextFieldWithLinks::updateCursor(QPointF point) {
    const int index = linkIndexAt(point);
    if (index < 0) {
        unsetCursor();
        return;
    }
    const LinkRun& run = runs_[static_cast<std::size_t>(index)];
    if (delegate_ &&
        (delegate_->implementedMethods() & XTextFieldWithLinksDelegate::kCursorForLink)) {
        if (auto cursor = delegate_->cursorForLink(run.object, run.start, this)) {
            setCursor(*cursor);
            return;
        }
    }
    setCursor(Qt::PointingHandCursor);
}

XTextFieldWithLinks* XTextFieldWithLinks_ph::nibInstantiate() {
    QWidget* parent = parentWidget();
    auto* real = new XTextFieldWithLinks(parent);
    realView_ = real;
    real->setGeometry(geometry().adjusted(0, 1, 0, -1));
    real->setAlignment(alignment());
    real->setFont(font());
    QPalette palette = real->palette();
    palette.setColor(QPalette::WindowText, this->palette().color(QPalette::WindowText));
    palette.setColor(QPalette::Text, this->palette().color(QPalette::WindowText));
    palette.setColor(QPalette::Window, this->palette().color(QPalette::Window));
    real->setPalette(palette);
    real->setAutoFillBackground(autoFillBackground());
    real->setEnabled(isEnabled());
    real->setTag(tag_);
    // The sizes the form fixes stay fixed.
    real->setSizePolicy(sizePolicy());
    real->setMinimumSize(minimumSize());
    real->setMaximumSize(maximumSize());
    const bool widthFixed =
        maximumWidth() < QWIDGETSIZE_MAX || sizePolicy().horizontalPolicy() == QSizePolicy::Fixed;
    const bool heightFixed =
        maximumHeight() < QWIDGETSIZE_MAX || sizePolicy().verticalPolicy() == QSizePolicy::Fixed;

    // Its place: in the layout that holds the placeholder, else the same
    // geometry just above it.
    QLayout* layout = parent ? parent->layout() : nullptr;
    QSpacerItem* spacer = zeroableSpacer_;
    if (layout) {
        if (!spacer) {
            // A fixed-height spacer right after the placeholder in its box layout.
            std::function<QSpacerItem*(QLayout*)> find = [&](QLayout* l) -> QSpacerItem* {
                for (int i = 0; i < l->count(); ++i) {
                    QLayoutItem* item = l->itemAt(i);
                    if (item->widget() == this) {
                        QLayoutItem* next = i + 1 < l->count() ? l->itemAt(i + 1) : nullptr;
                        QSpacerItem* s = next ? next->spacerItem() : nullptr;
                        return s && s->sizePolicy().verticalPolicy() == QSizePolicy::Fixed
                                   ? s
                                   : nullptr;
                    }
                    if (QLayout* sub = item->layout()) {
                        if (QSpacerItem* s = find(sub)) return s;
                    }
                }
                return nullptr;
            };
            spacer = find(layout);
        }
        delete layout->replaceWidget(this, real);
    }
    real->stackUnder(this);
    real->setHidden(isHidden());

    // The real view wakes up.
    real->setPlaceholderTextColor(this->palette().color(QPalette::WindowText));
    real->setZeroableSpacer(spacer);
    const QSize frame = real->size();
    if (!widthFixed) real->setMinimumWidth(std::max(real->minimumWidth(), frame.width()));
    if (!heightFixed) real->startTrackingHeight(std::max(real->minimumHeight(), frame.height()));
    real->parseAndSetString(text());

    hide();
    setParent(nullptr);
    deleteLater();
    return real;
}

}  // namespace ostrelui
