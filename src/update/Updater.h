// Updater: reads the feed, fetches the newer release into the install folder, checks its minisign
// signature, unpacks it beside the running build and hands back the action that installs it. An
// install owned by the package manager is left to it (ReplacedProgram restarts into its upgrades).
// Thread: main thread; the signature is checked on the updater's worker, tar runs as a child.
#pragma once

#include "core/SerialWorker.h"
#include "update/InstallLocation.h"
#include "update/Minisign.h"
#include "update/UpdateFeed.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QPointer>

#include <functional>
#include <memory>

class QNetworkReply;

namespace selvina::update {

struct UpdaterOptions {
    QUrl feed;
    MinisignKey key;
    BuildIdentity current;
    InstallLocation location;
    std::function<void()> releaseInstance; // the session's single-instance name, before the new build starts
    std::function<void()> reclaimInstance; // takes it back when the new build could not be started
    std::function<void()> quit;            // ends this process once the new build is on its way
};

class Updater : public QObject {
    Q_OBJECT
public:
    using InstallAction = std::function<void()>;

    explicit Updater(UpdaterOptions options, QObject* parent = nullptr);
    ~Updater() override;

    // One look at the feed. Ignored while an earlier look is still under way.
    void check();

    std::function<void(InstallAction)> onReady;
    std::function<void(const UpdateError&)> onError;

private:
    void onFeed(QNetworkReply* reply);
    void download(const UpdateOffer& offer);
    void onArchiveData();
    void onArchiveFinished();
    void verify();
    void unpack();
    void fail(const UpdateError& error);
    void finishWith(const QString& build);
    InstallAction installAction(const QString& build);

    UpdaterOptions m_options;
    QNetworkAccessManager m_network;
    SerialWorker m_worker{QStringLiteral("selvina-update")};
    bool m_busy = false;
    bool m_toldLocation = false;
    std::optional<UpdateOffer> m_offer;
    QPointer<QNetworkReply> m_reply;
    std::unique_ptr<QFile> m_archive;
    qint64 m_received = 0;
    bool m_failed = false;
    QString m_staged; // the unpacked build waiting for its install action
};

} // namespace selvina::update
