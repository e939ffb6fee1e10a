#include "OstrelUI/Controls/XTextFieldWithLinks.h"

#include <QAbstractTextDocumentLayout>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QTextCursor>
#include <cmath>

#include "OstrelUI/Controls/LinkMarkup.h"

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
    value_.text = QStringLiteral(" ");
    document_.setDocumentMargin(0);
    document_.setDefaultFont(font());
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
    showValue();
    return true;
}

void XTextFieldWithLinks::setStringValue(const QString& s) {
    value_ = AttributedText{s, {}};
    runs_.clear();
    showValue();
}

void XTextFieldWithLinks::setAttributedStringValue(const AttributedText& s) {
    value_ = s;
    runs_.clear();
    showValue();
}

void XTextFieldWithLinks::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
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
    document_.setPlainText(value_.text);
    QTextCursor cursor(&document_);
    const int length = static_cast<int>(value_.text.size());
    auto select = [&](int start, int count) {
        cursor.setPosition(std::clamp(start, 0, length));
        cursor.setPosition(std::clamp(start + count, 0, length), QTextCursor::KeepAnchor);
    };
    for (const auto& f : value_.formats) {
        select(f.start, f.length);
        cursor.mergeCharFormat(f.format);
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
    QPainter painter(this);
    document_.drawContents(&painter);
}

void XTextFieldWithLinks::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    document_.setTextWidth(width() > 0 ? width() : -1);
}

void XTextFieldWithLinks::mousePressEvent(QMouseEvent* event) {
    pressedLink_ = enabled_ ? linkIndexAt(event->position()) : -1;
    event->accept();
}

void XTextFieldWithLinks::mouseReleaseEvent(QMouseEvent* event) {
    const int pressed = pressedLink_;
    pressedLink_ = -1;
    event->accept();
    if (pressed < 0 || linkIndexAt(event->position()) != pressed) return;
    // Copy the run: the action may replace the text and its links.
    const LinkRun run = runs_[static_cast<std::size_t>(pressed)];
    clickedOnLink(run.object, run.start);
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

}  // namespace ostrelui
