// Cutting text to a number of characters as a reader perceives them (grapheme clusters), so a
// cut never splits an emoji, a surrogate pair or a letter from its accent.
// Thread: any.
#pragma once

#include <QString>
#include <QTextBoundaryFinder>

namespace selvina {

// The first `limit` characters of text; the text itself when it is not longer.
inline QString leadingCharacters(const QString& text, qsizetype limit)
{
    if (text.size() <= limit)
        return text; // never more characters than UTF-16 units
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (count < limit && graphemes.toNextBoundary() >= 0)
        ++count;
    const qsizetype end = graphemes.position();
    if (count < limit || end < 0 || end >= text.size())
        return text;
    return text.left(end);
}

} // namespace selvina
