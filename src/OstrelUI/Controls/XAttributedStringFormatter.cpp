#include "OstrelUI/Controls/XAttributedStringFormatter.h"

#include <cmath>

namespace ostrelui {

namespace {

void addRange(AttributedText& out, int start, int length, const QTextCharFormat& format) {
    if (length <= 0) return;
    QTextLayout::FormatRange range;
    range.start = start;
    range.length = length;
    range.format = format;
    out.formats.append(range);
}

}  // namespace

void XAttributedStringFormatter::setFormatSpecifierTextColor(const QColor& color) {
    QTextCharFormat merged;
    merged.setForeground(color);
    merged.merge(attributes_);  // what is set already wins
    attributes_ = merged;
}

void XAttributedStringFormatter::setFormatSpecifierTextFont(const QFont& font) {
    QTextCharFormat merged;
    merged.setFont(font, QTextCharFormat::FontPropertiesSpecifiedOnly);
    merged.merge(attributes_);
    attributes_ = merged;
}

AttributedText XAttributedStringFormatter::attributedStringForObjectValue(
    const QVariant& value, const QTextCharFormat& defaults) const {
    AttributedText out;
    const int at = formatSpecifier_.indexOf(QLatin1String("%@"));
    if (at < 0) {
        out.text = formatSpecifier_;
        addRange(out, 0, static_cast<int>(out.text.size()), defaults);
        return out;
    }
    const QString inserted = value.toString();
    const int valueLength = static_cast<int>(inserted.size());
    const int afterLength = static_cast<int>(formatSpecifier_.size()) - at - 2;
    out.text = formatSpecifier_.left(at) + inserted + formatSpecifier_.mid(at + 2);
    addRange(out, 0, at, defaults);
    addRange(out, at, valueLength, attributes_);
    addRange(out, at + valueLength, afterLength, defaults);
    return out;
}

bool XAttributedStringFormatter::getObjectValue(QVariant*, const QString&, QString*) const {
    return false;
}

std::optional<AttributedText> AttributedStringWithString(const QString& string, double spacing) {
    if (string.isNull()) return std::nullopt;
    AttributedText out;
    out.text = string;
    QTextCharFormat format;
    format.setFontLetterSpacingType(QFont::AbsoluteSpacing);
    format.setFontLetterSpacing(spacing);
    QTextLayout::FormatRange range;
    range.start = 0;
    range.length = static_cast<int>(string.size());
    range.format = format;
    out.formats.append(range);
    return out;
}

QSize OstrelUITextField::sizeHint() const {
    if (!wordWrap()) return QLabel::sizeHint();
    const float h = static_cast<float>(heightForWidth(width()));
    return QSize(width(), static_cast<int>(std::ceil(h)));
}

}  // namespace ostrelui
