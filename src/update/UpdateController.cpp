#include "update/UpdateController.h"

#include "core/SidecarLog.h"

namespace selvina::update {

const QString UpdateController::kTrwaAktualizacja = QStringLiteral("pl.korlund.selvinavoice.trwaAktualizacja");
const QString UpdateController::kOstatniaWersja = QStringLiteral("pl.korlund.selvinavoice.ostatniaWersja");

UpdateController::UpdateController(UpdateServices services, std::function<bool()> czyWolnoTeraz,
                                   std::function<void(const QString&)> powiedz, QObject* parent)
    : QObject(parent), m_services(std::move(services)), m_czyWolnoTeraz(std::move(czyWolnoTeraz)), m_powiedz(std::move(powiedz))
{
}

UpdateController::~UpdateController() = default;

void UpdateController::start()
{
    zglosAktualizacjeJesliByla();
    m_services.location.markStarted();
    if (!m_services.failedBuild.isEmpty()) {
        logLine(QStringLiteral("[aktualizacja] budowa %1 nie uruchomiła się — wróciłam do poprzedniej").arg(m_services.failedBuild));
        m_powiedz(QStringLiteral("Nie udało mi się zaktualizować. Pracuję dalej na obecnej wersji."));
    }
    if (m_services.location.kind == InstallLocation::Kind::packageManaged) {
        ReplacedProgram::Options program = m_services.program;
        program.releaseInstance = m_services.releaseInstance;
        program.reclaimInstance = m_services.reclaimInstance;
        program.quit = m_services.quit;
        m_program = std::make_unique<ReplacedProgram>(std::move(program));
        scheduleProgramCheck();
    }
    if (!m_services.feed) {
        logLine(QStringLiteral("[aktualizacja] brak SUFeedURL — warstwa aktualizacji nie startuje"));
        return;
    }
    const auto key = MinisignKey::parse(m_services.key);
    if (!key) {
        logLine(QStringLiteral("[aktualizacja] BŁĄD startu: brak klucza publicznego wydań w tej budowie"));
        return;
    }
    QPointer<UpdateController> self(this);
    m_updater = std::make_unique<Updater>(UpdaterOptions{*m_services.feed, *key, m_services.current, m_services.location,
                                                         m_services.releaseInstance, m_services.reclaimInstance,
                                                         m_services.quit});
    m_updater->onReady = [self](Updater::InstallAction block) {
        if (self)
            self->odroczLubWykonaj(std::move(block));
    };
    m_updater->onError = [self](const UpdateError& error) {
        if (self)
            self->opiszBlad(error);
    };
    logLine(QStringLiteral("[aktualizacja] nasłuch aktualizacji ruszył (budowa ") + m_services.current.build + QStringLiteral(")"));
    scheduleCheck(kFirstCheck);
}

void UpdateController::scheduleCheck(std::chrono::milliseconds after)
{
    m_nextCheck = m_services.clock->after(after, [this] {
        m_updater->check();
        scheduleCheck(kCheckInterval);
    });
}

void UpdateController::scheduleProgramCheck()
{
    m_programCheck = m_services.clock->after(kProgramCheckInterval, [this] { lookAtProgram(); });
}

// The package manager upgraded the program under us: the old one would go on against the new
// resources until logout. It restarts at the next quiet moment, as an update does.
void UpdateController::lookAtProgram()
{
    const std::optional<QString> program = m_program->replacement();
    if (!program) {
        scheduleProgramCheck();
        return;
    }
    // Not looked at again this run: a restart that failed has been said, and is not tried each minute.
    logLine(QStringLiteral("[aktualizacja] menedżer pakietów podmienił program — uruchomię nową wersję w chwili ciszy"));
    QPointer<UpdateController> self(this);
    odroczLubWykonaj(m_program->restartInto(*program, [self](const UpdateError& error) {
        if (self)
            self->opiszBlad(error);
    }));
}

void UpdateController::zglosAktualizacjeJesliByla()
{
    platform::Preferences& store = *m_services.preferences;
    const QVariant previous = store.value(kOstatniaWersja);
    const QString current = m_services.current.build;
    store.setValue(kOstatniaWersja, current);
    const bool trwala = store.value(kTrwaAktualizacja).toBool();
    store.setValue(kTrwaAktualizacja, false);
    if (!previous.isValid() || previous.toString() == current || !trwala)
        return;
    logLine(QStringLiteral("[aktualizacja] wersja ") + previous.toString() + QStringLiteral(" → ") + current);
    m_powiedz(QStringLiteral("Zaktualizowałam się do wersji ") + m_services.current.version + QStringLiteral(", budowa ")
              + current + QStringLiteral("."));
}

void UpdateController::odroczLubWykonaj(Updater::InstallAction block)
{
    m_oczekujacaInstalacja = std::move(block);
    // The store writes through at once.
    m_services.preferences->setValue(kTrwaAktualizacja, true);
    instalujJesliCicho();
}

void UpdateController::instalujJesliCicho()
{
    if (!m_oczekujacaInstalacja)
        return;
    if (!m_czyWolnoTeraz())
        return;
    Updater::InstallAction block = std::exchange(m_oczekujacaInstalacja, nullptr);
    logLine(QStringLiteral("[aktualizacja] cisza w sesji — instaluję i restartuję"));
    m_obiecalismyRestart = true;
    m_powiedz(QStringLiteral("Aktualizuję się. Wrócę za chwilę."));
    m_install = m_services.clock->after(std::chrono::milliseconds(3000), std::move(block));
}

void UpdateController::opiszBlad(const UpdateError& error)
{
    switch (error.kind()) {
    case UpdateError::Kind::folderNotWritable:
    case UpdateError::Kind::packageManaged:
        m_powiedz(error.description());
        break;
    default:
        if (std::exchange(m_obiecalismyRestart, false)) {
            // The restart did not happen: the next start must not claim an update.
            m_services.preferences->setValue(kTrwaAktualizacja, false);
            m_powiedz(QStringLiteral("Nie udało mi się zaktualizować. Pracuję dalej na obecnej wersji."));
        }
        break;
    }
    logLine(QStringLiteral("[aktualizacja] błąd ") + QString::number(error.code()) + QStringLiteral(": ") + error.description());
}

} // namespace selvina::update
