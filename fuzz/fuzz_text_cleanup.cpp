// Cleans arbitrary text as the screen reading does an element's text, with an arbitrary limit.
#include "tools/AccessibilityTree.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

using namespace selvina::tools;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const int limit = data[0] | (data[1] & 0x3) << 8;
    // Raw UTF-16, lone surrogates included, as an application may hand them over.
    QString text(qsizetype((size - 2) / 2), Qt::Uninitialized);
    std::memcpy(text.data(), data + 2, std::size_t(text.size()) * 2);
    const QString clean = compacted(text, limit);
    const qsizetype body = clean.endsWith(QStringLiteral("…")) && clean.size() > limit ? clean.size() - 1 : clean.size();
    if (body > limit || clean.contains(QChar(0xFFFC)) || clean.contains(QChar(0xFEFF)) || clean.contains(QStringLiteral("  "))
        || clean.startsWith(QLatin1Char(' ')))
        __builtin_trap();
    // A cut never leaves half of a pair behind.
    if (body < clean.size() && body > 0 && clean.at(body - 1).isHighSurrogate())
        __builtin_trap();
    return 0;
}
