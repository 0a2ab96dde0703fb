// The update feed: one JSON document naming the newest release, and the build facts this program
// was made with (version, build number, feed address, release key).
//   {"version": "0.2.0", "build": "17", "url": "https://…/selvina-voice-0.2.0-17.tar.gz",
//    "size": 12345678, "signature": "<the archive's minisign signature file>"}
// The signature's trusted comment names the release as "version:0.2.0 build:17" (other words allowed).
// Thread: any.
#pragma once

#include "core/Result.h"
#include "update/UpdateError.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>

namespace selvina::update {

struct BuildIdentity {
    QString version; // readable, dotted numbers ("?" unknown)
    QString build;   // the build number ("0" unknown)

    // Later than `other`: a higher version, or the same version and a higher build number.
    bool isNewerThan(const BuildIdentity& other) const;
};

// What this program was built as.
BuildIdentity currentBuild();
// The feed's address fixed at build time; none when the build has none (updates are off).
std::optional<QUrl> feedAddress();
// The release key fixed at build time (a minisign public key line); empty when none.
QByteArray releaseKey();

// https, or http to a loopback host.
bool isAllowedAddress(const QUrl& url);

struct UpdateOffer {
    BuildIdentity release;
    QUrl archive;
    qint64 size = 0;
    QByteArray signature;

    static Result<UpdateOffer, UpdateError> parse(const QByteArray& document);
};

// Whether the signed comment names exactly this release.
bool trustedCommentNames(const QByteArray& comment, const BuildIdentity& release);

} // namespace selvina::update
