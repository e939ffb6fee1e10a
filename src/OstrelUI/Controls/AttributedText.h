// Text with character formats over ranges: the kit's attributed string.
#pragma once

#include <QList>
#include <QString>
#include <QTextFormat>
#include <QTextLayout>

namespace ostrelui {

/// Text with character formats over ranges (an attributed string).
struct AttributedText {
    QString text;
    QList<QTextLayout::FormatRange> formats;
};

/// A character-format property (a number of points) that caps the height of
/// the lines its text is on, as a paragraph's maximum line height does; the
/// smallest cap in the text counts for all of it.
inline constexpr int kMaximumLineHeightProperty = QTextFormat::UserProperty + 1;

}  // namespace ostrelui
