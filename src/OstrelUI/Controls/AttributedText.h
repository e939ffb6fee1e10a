// Text with character formats over ranges: the kit's attributed string.
#pragma once

#include <QList>
#include <QString>
#include <QTextLayout>

namespace ostrelui {

/// Text with character formats over ranges (an attributed string).
struct AttributedText {
    QString text;
    QList<QTextLayout::FormatRange> formats;
};

}  // namespace ostrelui
