#include "update/Updater.h"

#include "core/SidecarLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFuture>
#include <QNetworkReply>
#include <QProcess>

namespace selvina::update {

namespace {

constexpr qint64 kFeedLimit = 1 << 20;

QString rejectedBuild(const InstallLocation& location)
{
    QFile file(QDir(location.root).filePath(QStringLiteral("rejected-build")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
}

} // namespace

Updater::Updater(UpdaterOptions options, QObject* parent) : QObject(parent), m_options(std::move(options))
{
    m_network.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

Updater::~Updater()
{
    if (m_reply)
        m_reply->abort();
}

void Updater::check()
{
    if (m_busy)
        return;
    m_busy = true;
    m_failed = false;
    QNetworkRequest request(m_options.feed);
    request.setTransferTimeout(60000);
    QNetworkReply* reply = m_network.get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onFeed(reply); });
}

void Updater::onFeed(QNetworkReply* reply)
{
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError)
        return fail(UpdateError::feedUnreadable(reply->errorString()));
    const QByteArray body = reply->read(kFeedLimit);
    auto offer = UpdateOffer::parse(body);
    if (!offer)
        return fail(offer.error());
    const BuildIdentity& release = offer.value().release;
    if (!release.isNewerThan(m_options.current)) {
        logLine(QStringLiteral("[aktualizacja] brak nowszej wersji (w kanale %1, budowa %2)").arg(release.version, release.build));
        m_busy = false;
        return;
    }
    if (release.build == rejectedBuild(m_options.location)) {
        logLine(QStringLiteral("[aktualizacja] budowa %1 nie uruchomiła się wcześniej — pomijam ją").arg(release.build));
        m_busy = false;
        return;
    }
    if (m_offer && m_staged == release.build) {
        m_busy = false; // already unpacked and waiting
        return;
    }
    logLine(QStringLiteral("[aktualizacja] jest wersja %1 (budowa %2)").arg(release.version, release.build));
    if (m_options.location.kind == InstallLocation::Kind::packageManaged)
        return fail(UpdateError::packageManaged());
    if (!m_options.location.isWritable())
        return fail(UpdateError::folderNotWritable());
    download(offer.value());
}

void Updater::download(const UpdateOffer& offer)
{
    m_offer = offer;
    m_received = 0;
    m_archive = std::make_unique<QFile>(QDir(m_options.location.root).filePath(QStringLiteral(".download-") + offer.release.build));
    // Unbuffered: a full disk shows at the write that hits it.
    if (!m_archive->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return fail(UpdateError::writeFailed(m_archive->errorString()));
    QNetworkRequest request(offer.archive);
    request.setTransferTimeout(120000);
    m_reply = m_network.get(request);
    connect(m_reply, &QNetworkReply::readyRead, this, &Updater::onArchiveData);
    connect(m_reply, &QNetworkReply::finished, this, &Updater::onArchiveFinished);
}

void Updater::onArchiveData()
{
    if (m_failed || !m_reply)
        return;
    const QByteArray data = m_reply->readAll();
    m_received += data.size();
    if (m_received > m_offer->size)
        return fail(UpdateError::tooLarge());
    if (m_archive->write(data) != data.size())
        return fail(UpdateError::writeFailed(m_archive->errorString()));
}

void Updater::onArchiveFinished()
{
    QNetworkReply* reply = m_reply;
    reply->deleteLater();
    if (m_failed)
        return;
    onArchiveData();
    if (m_failed)
        return;
    if (m_received < m_offer->size)
        return fail(m_received > 0 ? UpdateError::truncated() : UpdateError::downloadFailed(reply->errorString()));
    if (reply->error() != QNetworkReply::NoError)
        return fail(UpdateError::downloadFailed(reply->errorString()));
    if (!m_archive->flush())
        return fail(UpdateError::writeFailed(m_archive->errorString()));
    m_archive->close();
    verify();
}

void Updater::verify()
{
    auto signature = MinisignSignature::parse(m_offer->signature);
    if (!signature)
        return fail(signature.error());
    const QString path = m_archive->fileName();
    const MinisignKey key = m_options.key;
    const MinisignSignature parsed = signature.value();
    m_worker.run([path, parsed, key] { return verifyFile(path, parsed, key); })
        .then(this, [this](const Result<QByteArray, UpdateError>& verified) {
            if (!verified)
                return fail(verified.error());
            if (!trustedCommentNames(verified.value(), m_offer->release))
                return fail(UpdateError::versionMismatch());
            unpack();
        });
}

void Updater::unpack()
{
    const QDir root(m_options.location.root);
    const QString staging = root.filePath(QStringLiteral(".unpack-") + m_offer->release.build);
    QDir(staging).removeRecursively();
    if (!root.mkpath(staging))
        return fail(UpdateError::writeFailed(QStringLiteral("nie mogę utworzyć katalogu ") + staging));
    auto* tar = new QProcess(this);
    tar->setProcessChannelMode(QProcess::MergedChannels);
    connect(tar, &QProcess::finished, this, [this, tar, staging](int code, QProcess::ExitStatus status) {
        tar->deleteLater();
        const QByteArray said = tar->readAll().trimmed();
        const QString build = m_offer->release.build;
        if (status != QProcess::NormalExit || code != 0) {
            QDir(staging).removeRecursively();
            return fail(UpdateError::unpackFailed(QString::fromUtf8(said.left(300))));
        }
        if (!QFileInfo(staging + QStringLiteral("/bin/selvina-voice")).isExecutable()) {
            QDir(staging).removeRecursively();
            return fail(UpdateError::unpackFailed(QStringLiteral("w archiwum nie ma programu bin/selvina-voice")));
        }
        QDir root(m_options.location.root);
        QDir(root.filePath(build)).removeRecursively();
        if (!root.rename(staging, build)) {
            QDir(staging).removeRecursively();
            return fail(UpdateError::writeFailed(QStringLiteral("nie mogę przenieść rozpakowanej wersji")));
        }
        finishWith(build);
    });
    connect(tar, &QProcess::errorOccurred, this, [this, tar](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            tar->deleteLater();
            fail(UpdateError::unpackFailed(tar->errorString()));
        }
    });
    tar->start(QStringLiteral("tar"), {QStringLiteral("-xzf"), m_archive->fileName(), QStringLiteral("-C"), staging,
                                       QStringLiteral("--strip-components=1"), QStringLiteral("--no-same-owner")});
}

void Updater::finishWith(const QString& build)
{
    QFile::remove(m_archive->fileName());
    m_archive.reset();
    // An older release unpacked before and never installed gives way to this one.
    if (!m_staged.isEmpty() && m_staged != build)
        QDir(QDir(m_options.location.root).filePath(m_staged)).removeRecursively();
    m_staged = build;
    m_busy = false;
    logLine(QStringLiteral("[aktualizacja] budowa %1 rozpakowana i sprawdzona — czeka na chwilę ciszy").arg(build));
    if (onReady)
        onReady(installAction(build));
}

void Updater::fail(const UpdateError& error)
{
    m_failed = true;
    m_busy = false;
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
    if (m_archive) {
        m_archive->close();
        m_archive->remove();
        m_archive.reset();
    }
    const bool location = error.kind() == UpdateError::Kind::folderNotWritable || error.kind() == UpdateError::Kind::packageManaged;
    // The location is told once a run, not at every look at the feed.
    if (location && std::exchange(m_toldLocation, true))
        return;
    if (onError)
        onError(error);
}

Updater::InstallAction Updater::installAction(const QString& build)
{
    return [self = QPointer<Updater>(this), build] {
        if (!self)
            return;
        const InstallLocation& location = self->m_options.location;
        const auto switched = location.switchTo(build);
        if (!switched)
            return self->fail(switched.error());
        if (self->m_options.releaseInstance)
            self->m_options.releaseInstance();
        const QStringList arguments{QStringLiteral("--after-update"), QString::number(QCoreApplication::applicationPid())};
        if (!QProcess::startDetached(location.launcher(), arguments)) {
            replaceLink(QDir(location.root).filePath(QStringLiteral("current")), QDir(location.buildDirectory).dirName());
            QFile::remove(QDir(location.root).filePath(QStringLiteral("previous")));
            // This build goes on: without the name, the next start would run a second assistant.
            if (self->m_options.reclaimInstance)
                self->m_options.reclaimInstance();
            return self->fail(UpdateError::switchFailed(QStringLiteral("nie mogę uruchomić ") + location.launcher()));
        }
        logLine(QStringLiteral("[aktualizacja] przełączono na budowę %1 — kończę, nowa wersja startuje").arg(build));
        if (self->m_options.quit)
            self->m_options.quit();
    };
}

} // namespace selvina::update
