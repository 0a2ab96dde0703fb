// UpdateController: the policy around the updater. An update that is ready waits until no
// conversation is open, is announced by voice and installed; the next start says it was updated.
// Thread: main thread.
#pragma once

#include "core/Clock.h"
#include "platform/Preferences.h"
#include "update/InstallLocation.h"
#include "update/ReplacedProgram.h"
#include "update/UpdateFeed.h"
#include "update/Updater.h"

#include <QObject>

#include <functional>
#include <memory>
#include <optional>

namespace selvina::update {

struct UpdateServices {
    Clock* clock = nullptr;                         // required
    platform::Preferences* preferences = nullptr;   // required
    BuildIdentity current = currentBuild();
    std::optional<QUrl> feed = feedAddress();
    QByteArray key = releaseKey();
    InstallLocation location{};
    std::function<void()> releaseInstance{};
    std::function<void()> reclaimInstance{};
    std::function<void()> quit{};
    QString failedBuild{}; // set by the launcher when the build it tried did not start
    ReplacedProgram::Options program{}; // its instance and quit calls are the ones above
};

class UpdateController : public QObject {
    Q_OBJECT
public:
    static const QString kTrwaAktualizacja; // "pl.korlund.selvinavoice.trwaAktualizacja"
    static const QString kOstatniaWersja;   // "pl.korlund.selvinavoice.ostatniaWersja"
    static constexpr std::chrono::milliseconds kFirstCheck{60'000};
    static constexpr std::chrono::milliseconds kCheckInterval{6 * 3600'000};
    // A package-managed program is looked at this often for a replacement on disk (one readlink).
    static constexpr std::chrono::milliseconds kProgramCheckInterval{60'000};

    UpdateController(UpdateServices services, std::function<bool()> czyWolnoTeraz, std::function<void(const QString&)> powiedz,
                     QObject* parent = nullptr);
    ~UpdateController() override;

    void start();
    void instalujJesliCicho();
    void odroczLubWykonaj(Updater::InstallAction block);
    void opiszBlad(const UpdateError& error);

    // None until start() has found a feed and a key.
    Updater* updater() const { return m_updater.get(); }

private:
    void zglosAktualizacjeJesliByla();
    void scheduleCheck(std::chrono::milliseconds after);
    void scheduleProgramCheck();
    void lookAtProgram();

    UpdateServices m_services;
    std::function<bool()> m_czyWolnoTeraz;
    std::function<void(const QString&)> m_powiedz;
    std::unique_ptr<Updater> m_updater;
    Updater::InstallAction m_oczekujacaInstalacja;
    std::unique_ptr<ScheduledCall> m_install;
    std::unique_ptr<ScheduledCall> m_nextCheck;
    std::unique_ptr<ReplacedProgram> m_program; // package-managed installs only
    std::unique_ptr<ScheduledCall> m_programCheck;
    bool m_obiecalismyRestart = false;
};

} // namespace selvina::update
