// Reads arbitrary bytes as a minisign public key and as a signature file.
#include "update/Minisign.h"

#include <cstddef>
#include <cstdint>

using namespace selvina::update;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    if (const auto key = MinisignKey::parse(bytes); key && (key->keyId.size() != 8 || key->publicKey.size() != 32))
        __builtin_trap();
    if (const auto parsed = MinisignSignature::parse(bytes)) {
        const MinisignSignature* signature = &parsed.value();
        if (signature->keyId.size() != 8 || signature->signature.size() != 64 || signature->globalSignature.size() != 64)
            __builtin_trap();
    }
    return 0;
}
