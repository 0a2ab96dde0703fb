// UpdateError: why an update could not be found, fetched, checked or installed.
// Thread: any (plain value type).
#pragma once

#include <QString>

namespace selvina::update {

class UpdateError {
public:
    enum class Kind {
        feedUnreadable,     // the feed could not be fetched or is not the expected JSON
        downloadFailed,     // the archive could not be fetched
        tooLarge,           // the archive grew past the announced size
        truncated,          // the archive ended before the announced size
        writeFailed,        // the archive or its contents could not be written (a full disk)
        badSignature,       // malformed, by another key, or not matching the archive
        versionMismatch,    // the signed comment names another version than the feed
        unpackFailed,       // the archive could not be unpacked into a runnable build
        switchFailed,       // the new build could not be made current or started
        folderNotWritable,  // the install folder cannot be written (code 1003)
        packageManaged,     // installed by the package manager, which updates it (code 1005)
    };

    static UpdateError feedUnreadable(const QString& detail) { return {Kind::feedUnreadable, detail}; }
    static UpdateError downloadFailed(const QString& detail) { return {Kind::downloadFailed, detail}; }
    static UpdateError tooLarge() { return {Kind::tooLarge, {}}; }
    static UpdateError truncated() { return {Kind::truncated, {}}; }
    static UpdateError writeFailed(const QString& detail) { return {Kind::writeFailed, detail}; }
    static UpdateError badSignature(const QString& detail) { return {Kind::badSignature, detail}; }
    static UpdateError versionMismatch() { return {Kind::versionMismatch, {}}; }
    static UpdateError unpackFailed(const QString& detail) { return {Kind::unpackFailed, detail}; }
    static UpdateError switchFailed(const QString& detail) { return {Kind::switchFailed, detail}; }
    static UpdateError folderNotWritable() { return {Kind::folderNotWritable, {}}; }
    static UpdateError packageManaged() { return {Kind::packageManaged, {}}; }

    Kind kind() const { return m_kind; }
    // 1003 and 1005 as the policy knows them; the others count from 2001 in the order above.
    int code() const;
    QString description() const;

    bool operator==(const UpdateError&) const = default;

private:
    UpdateError(Kind kind, QString detail) : m_kind(kind), m_detail(std::move(detail)) {}

    Kind m_kind;
    QString m_detail;
};

} // namespace selvina::update
