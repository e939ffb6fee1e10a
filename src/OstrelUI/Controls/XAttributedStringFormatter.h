// Three small text pieces: a formatter that puts a value into a fixed
// sentence and styles only the value, attributed text with a fixed letter
// spacing (the plug-ins' product titles), and a label whose natural height
// follows its wrapped text.
#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QString>
#include <QTextCharFormat>
#include <QVariant>
#include <optional>

#include "OstrelUI/Controls/AttributedText.h"

namespace ostrelui {

/// Puts a value in place of the first "%@" of formatSpecifier; the value
/// takes formatSpecifierAttributes, the rest of the sentence the default
/// attributes. It does not parse text back.
class XAttributedStringFormatter {
  public:
    const QString& formatSpecifier() const { return formatSpecifier_; }
    void setFormatSpecifier(QString s) { formatSpecifier_ = std::move(s); }
    const QTextCharFormat& formatSpecifierAttributes() const { return attributes_; }
    void setFormatSpecifierAttributes(QTextCharFormat f) { attributes_ = std::move(f); }

    /// Adds a text colour to the value's attributes unless they already
    /// have one.
    void setFormatSpecifierTextColor(const QColor& color);
    /// Adds a font to the value's attributes unless they already have one.
    void setFormatSpecifierTextFont(const QFont& font);

    /// The sentence with the value's text (QVariant::toString()) in place of
    /// its first "%@". A sentence without "%@" comes back unchanged, all in
    /// the default attributes.
    AttributedText attributedStringForObjectValue(const QVariant& value,
                                                  const QTextCharFormat& defaults) const;
    /// The value's text, unchanged.
    QString stringForObjectValue(const QVariant& value) const { return value.toString(); }
    /// Always false: text is not turned back into values.
    bool getObjectValue(QVariant* value, const QString& string, QString* error) const;

  private:
    QString formatSpecifier_;
    QTextCharFormat attributes_;
};

/// `string` with an absolute letter spacing of `spacing` points over all of
/// it (set even for 0); nullopt for a null string.
std::optional<AttributedText> AttributedStringWithString(const QString& string, double spacing);

/// A label whose natural height, when it wraps, is the height of all its
/// lines at its present width.
class OstrelUITextField : public QLabel {
  public:
    explicit OstrelUITextField(QWidget* parent = nullptr) : QLabel(parent) {}
    explicit OstrelUITextField(const QString& text, QWidget* parent = nullptr)
        : QLabel(text, parent) {}

    QSize sizeHint() const override;
};

}  // namespace ostrelui
