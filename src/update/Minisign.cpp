#include "update/Minisign.h"

#include <QFile>

#include <sodium.h>

namespace selvina::update {

namespace {

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

QList<QByteArray> contentLines(const QByteArray& text)
{
    QList<QByteArray> lines;
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (!line.trimmed().isEmpty())
            lines.append(line);
    }
    return lines;
}

std::optional<QByteArray> strictBase64(const QByteArray& line, qsizetype size)
{
    auto decoded = QByteArray::fromBase64Encoding(line.trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size)
        return std::nullopt;
    return decoded.decoded;
}

bool verifyDetached(const QByteArray& signature, const QByteArray& message, const QByteArray& publicKey)
{
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.constData()),
                                       reinterpret_cast<const unsigned char*>(message.constData()),
                                       static_cast<unsigned long long>(message.size()),
                                       reinterpret_cast<const unsigned char*>(publicKey.constData()))
           == 0;
}

} // namespace

std::optional<MinisignKey> MinisignKey::parse(const QByteArray& text)
{
    const QList<QByteArray> lines = contentLines(text);
    if (lines.isEmpty())
        return std::nullopt;
    const auto raw = strictBase64(lines.last(), 42);
    if (!raw || !raw->startsWith("Ed"))
        return std::nullopt;
    return MinisignKey{raw->mid(2, 8), raw->mid(10, 32)};
}

Result<MinisignSignature, UpdateError> MinisignSignature::parse(const QByteArray& text)
{
    static const QByteArray kTrusted("trusted comment: ");
    const QList<QByteArray> lines = contentLines(text);
    if (lines.size() != 4 || !lines[0].startsWith("untrusted comment:") || !lines[2].startsWith(kTrusted))
        return UpdateError::badSignature(QStringLiteral("plik podpisu ma zły układ"));
    const auto head = strictBase64(lines[1], 74);
    const auto global = strictBase64(lines[3], 64);
    if (!head || !global)
        return UpdateError::badSignature(QStringLiteral("plik podpisu ma zły układ"));
    MinisignSignature out;
    if (head->startsWith("ED"))
        out.algorithm = Algorithm::prehashed;
    else if (head->startsWith("Ed"))
        out.algorithm = Algorithm::pure;
    else
        return UpdateError::badSignature(QStringLiteral("nieznany algorytm podpisu"));
    out.keyId = head->mid(2, 8);
    out.signature = head->mid(10, 64);
    out.trustedComment = lines[2].mid(kTrusted.size());
    out.globalSignature = *global;
    return out;
}

Result<QByteArray, UpdateError> verifyFile(const QString& path, const MinisignSignature& signature, const MinisignKey& key)
{
    if (!sodiumReady())
        return UpdateError::badSignature(QStringLiteral("biblioteka kryptograficzna nie ruszyła"));
    if (signature.keyId != key.keyId)
        return UpdateError::badSignature(QStringLiteral("podpisano innym kluczem"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return UpdateError::writeFailed(file.errorString());
    QByteArray signedMessage;
    if (signature.algorithm == MinisignSignature::Algorithm::prehashed) {
        crypto_generichash_state state;
        crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
        QByteArray chunk(1 << 16, Qt::Uninitialized);
        for (qint64 n; (n = file.read(chunk.data(), chunk.size())) > 0;)
            crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(chunk.constData()), std::size_t(n));
        signedMessage.resize(crypto_generichash_BYTES_MAX);
        crypto_generichash_final(&state, reinterpret_cast<unsigned char*>(signedMessage.data()), crypto_generichash_BYTES_MAX);
    } else {
        signedMessage = file.readAll();
    }
    if (file.error() != QFileDevice::NoError)
        return UpdateError::writeFailed(file.errorString());
    if (!verifyDetached(signature.signature, signedMessage, key.publicKey))
        return UpdateError::badSignature(QStringLiteral("archiwum nie zgadza się z podpisem"));
    if (!verifyDetached(signature.globalSignature, signature.signature + signature.trustedComment, key.publicKey))
        return UpdateError::badSignature(QStringLiteral("podpisany komentarz został zmieniony"));
    return signature.trustedComment;
}

} // namespace selvina::update
