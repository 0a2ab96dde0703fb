// Reads arbitrary bytes as the update feed and as the signed comment that names a release.
#include "update/UpdateFeed.h"

#include <cstddef>
#include <cstdint>

using namespace selvina::update;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    if (const auto parsed = UpdateOffer::parse(bytes)) {
        const UpdateOffer* offer = &parsed.value();
        // An offer is only ever an archive on an allowed address, of a known size, with a signature.
        if (!isAllowedAddress(offer->archive) || offer->size <= 0 || offer->signature.isEmpty()
            || offer->release.version.isEmpty() || offer->release.build.isEmpty())
            __builtin_trap();
        (void)offer->release.isNewerThan(BuildIdentity{QStringLiteral("1.2.3"), QStringLiteral("40")});
        (void)trustedCommentNames(bytes, offer->release);
    }
    (void)trustedCommentNames(bytes, BuildIdentity{QStringLiteral("1.2"), QStringLiteral("7")});
    return 0;
}
