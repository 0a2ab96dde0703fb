// Feeds arbitrary sidecar output, cut at an arbitrary point, through the line framing and the
// line decoder, and sends what was decoded back out as messages.
#include "agent/SidecarProtocol.h"

#include <cstddef>
#include <cstdint>

using namespace selvina::agent;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t cut = data[0] % size;
    const QByteArrayView bytes(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));
    LineBuffer buffer(4096); // a small limit, so that long lines take the dropping path too
    QStringList lines = buffer.consume(bytes.first(qsizetype(cut > 0 ? cut - 1 : 0)));
    lines += buffer.consume(bytes.sliced(qsizetype(cut > 0 ? cut - 1 : 0)));
    for (const QString& line : lines) {
        (void)mentionsTerminalType(line);
        const auto decoded = IncomingLine::decode(line);
        if (!decoded)
            continue;
        // Each decoded string goes out once: the message kinds share one encoder, and an
        // input holds many lines, so repeating the identifier in more messages tests nothing new.
        (void)encodeLine(message::run(decoded->id.value_or(QString()), decoded->text.value_or(decoded->type)));
        if (decoded->error)
            (void)encodeLine(message::cancel(*decoded->error));
    }
    return 0;
}
