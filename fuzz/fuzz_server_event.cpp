// Feeds arbitrary frames to the server-event decoder and to everything that reads a decoded event.
#include "voice/RealtimeProtocol.h"

#include <cstddef>
#include <cstdint>

using namespace selvina::voice;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray frame(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto event = RealtimeServerEvent::decode(frame);
    if (!event)
        return 0;
    (void)event->knownType();
    if (event->error) {
        (void)event->error->readableMessage();
        (void)event->error->isBenign();
    }
    if (event->response && event->response->statusDetails && event->response->statusDetails->error)
        (void)event->response->statusDetails->error->readableMessage();
    if (event->delta)
        (void)QByteArray::fromBase64Encoding(event->delta->toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    // Whatever came in must be able to go back out as a client event without crashing.
    (void)encode(client::FunctionCallOutput{event->callID.value_or(QString()), event->arguments.value_or(QString())});
    return 0;
}
