// Minisign signatures: the public key and signature file formats, checked with libsodium.
// A signature file has four lines: an untrusted comment, base64 of the algorithm ("Ed": Ed25519 over
// the file; "ED": Ed25519 over its BLAKE2b-512 hash), the key id and the signature, a trusted
// comment, and base64 of a second signature over the first signature and the trusted comment.
// Thread: any; verifyFile reads the whole file and belongs on a worker.
#pragma once

#include "core/Result.h"
#include "update/UpdateError.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace selvina::update {

struct MinisignKey {
    QByteArray keyId;     // 8 bytes
    QByteArray publicKey; // 32 bytes

    // The public key's base64 line, alone or with the file's comment line above it.
    static std::optional<MinisignKey> parse(const QByteArray& text);
};

struct MinisignSignature {
    enum class Algorithm { pure, prehashed };
    Algorithm algorithm = Algorithm::prehashed;
    QByteArray keyId;          // 8 bytes
    QByteArray signature;      // 64 bytes
    QByteArray trustedComment; // after "trusted comment: "
    QByteArray globalSignature; // 64 bytes

    static Result<MinisignSignature, UpdateError> parse(const QByteArray& text);
};

// The file's signature and the trusted comment's, both by `key`; on success the trusted comment.
Result<QByteArray, UpdateError> verifyFile(const QString& path, const MinisignSignature& signature, const MinisignKey& key);

} // namespace selvina::update
