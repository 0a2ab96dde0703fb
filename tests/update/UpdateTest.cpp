// The update path end to end against a loopback feed: a key made here signs the releases.
#include "LoopbackHttp.h"
#include "ManualClock.h"
#include "TestSupport.h"
#include "platform/fake/MemoryStores.h"
#include "platform/linux/dbus/DesktopSessionBus.h"
#include "update/UpdateController.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sodium.h>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>

using namespace selvina;
using namespace selvina::update;
using namespace selvina::testing;
using namespace Qt::StringLiterals;

namespace {

struct SigningKey {
    QByteArray id = QByteArray(8, '\0');
    QByteArray publicKey = QByteArray(crypto_sign_PUBLICKEYBYTES, '\0');
    QByteArray secretKey = QByteArray(crypto_sign_SECRETKEYBYTES, '\0');
    SigningKey()
    {
        EXPECT_GE(sodium_init(), 0);
        randombytes_buf(id.data(), 8);
        crypto_sign_keypair(reinterpret_cast<unsigned char*>(publicKey.data()), reinterpret_cast<unsigned char*>(secretKey.data()));
    }
    QByteArray publicLine() const { return ("Ed" + id + publicKey).toBase64(); }
    QByteArray sign(const QByteArray& message) const
    {
        QByteArray out(crypto_sign_BYTES, '\0');
        crypto_sign_detached(reinterpret_cast<unsigned char*>(out.data()), nullptr, reinterpret_cast<const unsigned char*>(message.constData()),
                             quint64(message.size()), reinterpret_cast<const unsigned char*>(secretKey.constData()));
        return out;
    }
    // A minisign signature file; prehashed ("ED") as minisign writes by default.
    QByteArray signatureFile(const QByteArray& data, const QByteArray& comment, bool prehashed = true) const
    {
        QByteArray message = data;
        if (prehashed) {
            message.resize(crypto_generichash_BYTES_MAX);
            crypto_generichash(reinterpret_cast<unsigned char*>(message.data()), message.size(),
                               reinterpret_cast<const unsigned char*>(data.constData()), quint64(data.size()), nullptr, 0);
        }
        const QByteArray signature = sign(message);
        return "untrusted comment: signature from the test key\n" + (QByteArray(prehashed ? "ED" : "Ed") + id + signature).toBase64()
               + "\ntrusted comment: " + comment + "\n" + sign(signature + comment).toBase64() + "\n";
    }
};

bool eventually(const std::function<bool()>& done) { return waitFor(done, std::chrono::seconds(60)); }

constexpr const char* kComment = "version:0.2.0 build:2";

class UpdateTest : public ::testing::Test {
public:
    void SetUp() override
    {
        root = dir.filePath(QStringLiteral("lib"));
        writeExecutable(root + QStringLiteral("/1/bin/selvina-voice"), "#!/bin/sh\nexit 0\n");
        QFile::link(QStringLiteral("1"), root + QStringLiteral("/current"));
        QFile::copy(QStringLiteral(SELVINA_SOURCE_DIR "/packaging/selvina-voice-launch"), root + QStringLiteral("/launch"));
        preferences.values.insert(UpdateController::kOstatniaWersja, QStringLiteral("1"));
        server.answer = LoopbackHttp::reply(404, "text/plain", {});
    }
    void serve(const QByteArray& path, const QByteArray& body)
    {
        server.routes[path] = LoopbackHttp::reply(200, "application/octet-stream", body);
    }

    // A release archive as scripts/package makes it: one top folder with bin/ and share/.
    QByteArray archive(const QString& build, const QByteArray& filler = {})
    {
        const QString top = dir.filePath(QStringLiteral("make-") + build + QStringLiteral("/selvina-voice"));
        writeExecutable(top + QStringLiteral("/bin/selvina-voice"), "#!/bin/sh\ntouch \"$(dirname \"$0\")/../.started\"\n");
        writeFile(top + QStringLiteral("/share/filler"), filler);
        const QString out = top + QStringLiteral(".tar.gz");
        EXPECT_EQ(QProcess::execute(u"tar"_s, {u"-czf"_s, out, u"-C"_s, QFileInfo(top).path(), u"selvina-voice"_s}), 0);
        return readFile(out);
    }

    // The feed of one release, its archive served beside it; `size` is the size announced, when given.
    QByteArray offer(const QByteArray& tarball, const QByteArray& signature, qint64 size = -1, const QString& build = u"2"_s,
                     const QString& version = u"0.2.0"_s)
    {
        const QString path = u"/selvina-voice-"_s + build + u".tar.gz"_s;
        serve(path.toUtf8(), tarball);
        return QJsonDocument(QJsonObject{{"version", version}, {"build", build}, {"url", server.url(path).toString()},
                                         {"size", size < 0 ? qint64(tarball.size()) : size}, {"signature", QString::fromUtf8(signature)}}).toJson();
    }
    void publish(const QString& build)
    {
        const QByteArray tarball = archive(build);
        serve("/feed", offer(tarball, key.signatureFile(tarball, "version:0.2.0 build:" + build.toUtf8()), -1, build));
    }

    void startController(InstallLocation::Kind kind = InstallLocation::Kind::userLocal)
    {
        UpdateServices services{.clock = &clock, .preferences = &preferences, .current = {u"0.1.0"_s, u"1"_s},
                                .feed = server.url(u"/feed"_s), .key = key.publicLine(), .location = {kind, root, root + u"/1"_s},
                                .releaseInstance = [this] { ++released; if (instance) instance->release(); },
                                .reclaimInstance = [this] { if (instance) instance->claim(); }, .quit = [this] { ++quits; }};
        controller = std::make_unique<UpdateController>(
            std::move(services), [this] { return !conversationOpen; }, [this](const QString& text) { spoken.append(text); });
        controller->start();
        Updater* updater = controller->updater();
        ASSERT_NE(updater, nullptr);
        auto ready = std::move(updater->onReady);
        updater->onReady = [this, ready](Updater::InstallAction action) { ++readies; ready(std::move(action)); };
        auto error = std::move(updater->onError);
        updater->onError = [this, error](const UpdateError& e) { errors.append(e.kind()); error(e); };
    }
    void check()
    {
        const int before = readies + int(errors.size());
        clock.advance(UpdateController::kFirstCheck); // the first look, then every interval
        ASSERT_TRUE(eventually([&] { return readies + int(errors.size()) > before; }));
    }
    QString currentBuild() const { return QFile::symLinkTarget(root + QStringLiteral("/current")).section(QLatin1Char('/'), -1); }

    QTemporaryDir dir;
    QString root;
    LoopbackHttp server;
    SigningKey key;
    ManualClock clock;
    platform::fake::MemoryPreferences preferences;
    std::unique_ptr<UpdateController> controller;
    QStringList spoken;
    QList<UpdateError::Kind> errors;
    int readies = 0, released = 0, quits = 0;
    bool conversationOpen = false;
    platform::InstanceLock* instance = nullptr; // the session's single-instance name, when a case holds it
};

TEST_F(UpdateTest, ReadyDuringAConversationWaitsForItsEndThenSwitchesAndHandsOver)
{
    qputenv("SELVINA_HANDOVER_STEPS", "0");
    conversationOpen = true;
    startController();
    publish(QStringLiteral("2"));
    check();
    EXPECT_TRUE(spoken.isEmpty());
    EXPECT_TRUE(preferences.values.value(UpdateController::kTrwaAktualizacja).toBool());
    // A second, newer release before the quiet moment: only the latest one is installed.
    publish(QStringLiteral("3"));
    clock.advance(UpdateController::kCheckInterval);
    ASSERT_TRUE(eventually([&] { return readies == 2; }));
    EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/2")));
    controller->instalujJesliCicho();
    EXPECT_TRUE(spoken.isEmpty());
    conversationOpen = false;
    controller->instalujJesliCicho();
    EXPECT_EQ(spoken, QStringList{QStringLiteral("Aktualizuję się. Wrócę za chwilę.")});
    clock.advance(std::chrono::milliseconds(2999));
    EXPECT_EQ(currentBuild(), QStringLiteral("1"));
    clock.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(currentBuild(), QStringLiteral("3"));
    EXPECT_EQ(QFile::symLinkTarget(root + QStringLiteral("/previous")).section(QLatin1Char('/'), -1), QStringLiteral("1"));
    EXPECT_EQ(released, 1);
    EXPECT_EQ(quits, 1);
    // The launcher starts the new build, which leaves its mark; the old build goes, after its link.
    ASSERT_TRUE(eventually([&] { return !QFileInfo::exists(root + QStringLiteral("/1")); }));
    EXPECT_TRUE(QFileInfo::exists(root + QStringLiteral("/3/.started")));
    EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/previous")));
}

// The name is given up for the new build; when its launcher cannot be started, this build goes on
// and holds the name again, so that the next start hands over to it instead of running beside it.
TEST_F(UpdateTest, ALauncherThatCannotStartLeavesTheNameWithTheRunningBuild)
{
    const QString name = QStringLiteral("pl.korlund.selvinavoice.test%1").arg(QCoreApplication::applicationPid());
    platform::DBusInstanceLock running(name);
    const auto nextStart = [&] {
        const QString connection = QStringLiteral("next-start");
        platform::InstanceLock::Claim claim{};
        {
            platform::DBusInstanceLock next(name, QDBusConnection::connectToBus(QDBusConnection::SessionBus, connection));
            claim = next.claim();
        }
        QDBusConnection::disconnectFromBus(connection); // and with it a name it may have got
        return claim;
    };
    ASSERT_EQ(running.claim(), platform::InstanceLock::Claim::owned);
    instance = &running;
    QFile::remove(root + QStringLiteral("/launch"));
    startController();
    publish(QStringLiteral("2"));
    check();
    controller->instalujJesliCicho();
    clock.advance(std::chrono::milliseconds(3000));
    EXPECT_EQ(released, 1);
    EXPECT_EQ(quits, 0);
    EXPECT_EQ(currentBuild(), QStringLiteral("1"));
    EXPECT_EQ(spoken.last(), QStringLiteral("Nie udało mi się zaktualizować. Pracuję dalej na obecnej wersji."));
    EXPECT_EQ(nextStart(), platform::InstanceLock::Claim::heldByAnother);
    running.release();
}

// The package manager replaces the program of a running assistant, in a build without any feed: it
// restarts into the new one at the first quiet moment, saying so. /usr/local is the administrator's.
TEST_F(UpdateTest, AProgramReplacedByThePackageManagerRestartsIntoTheNewOneBetweenConversations)
{
    EXPECT_EQ(InstallLocation::of(u"/usr/bin"_s).kind, InstallLocation::Kind::packageManaged);
    EXPECT_EQ(InstallLocation::of(u"/usr/local/bin"_s).kind, InstallLocation::Kind::elsewhere);

    const QString program = dir.filePath(u"usr/bin/selvina-voice"_s);
    QDir().mkpath(QFileInfo(program).path());
    ASSERT_TRUE(QFile::copy(u"/bin/sleep"_s, program));
    QProcess running; // stands in for the assistant: its program is the one replaced
    running.start(program, {u"600"_s});
    ASSERT_TRUE(running.waitForStarted());
    UpdateServices services{.clock = &clock, .preferences = &preferences, .current = {u"0.1.0"_s, u"1"_s}, .feed = std::nullopt,
                            .location = {InstallLocation::Kind::packageManaged, dir.filePath(u"usr"_s), dir.filePath(u"usr"_s)},
                            .releaseInstance = [this] { ++released; }, .quit = [&] { ++quits; running.terminate(); },
                            .program = {.programLink = u"/proc/%1/exe"_s.arg(running.processId()), .processId = running.processId()}};
    conversationOpen = true;
    controller = std::make_unique<UpdateController>(
        std::move(services), [this] { return !conversationOpen; }, [this](const QString& text) { spoken.append(text); });
    controller->start();
    EXPECT_EQ(controller->updater(), nullptr);
    clock.advance(UpdateController::kProgramCheckInterval);
    EXPECT_FALSE(preferences.values.value(UpdateController::kTrwaAktualizacja).toBool()); // nothing replaced yet

    // As the package manager installs a file: the new one beside it, renamed over the old.
    writeExecutable(program + u".dpkg-new"_s, "#!/bin/sh\ntouch \"$(dirname \"$0\")/restarted\"\n");
    ASSERT_EQ(::rename(QFile::encodeName(program + u".dpkg-new"_s).constData(), QFile::encodeName(program).constData()), 0);
    clock.advance(UpdateController::kProgramCheckInterval);
    EXPECT_TRUE(preferences.values.value(UpdateController::kTrwaAktualizacja).toBool());
    EXPECT_TRUE(spoken.isEmpty()); // a conversation is open
    conversationOpen = false;
    controller->instalujJesliCicho();
    EXPECT_EQ(spoken, QStringList{u"Aktualizuję się. Wrócę za chwilę."_s});
    clock.advance(std::chrono::milliseconds(3000));
    EXPECT_EQ(released, 1);
    EXPECT_EQ(quits, 1);
    ASSERT_TRUE(eventually([&] { return QFileInfo::exists(dir.filePath(u"usr/bin/restarted"_s)); }));
}

struct BadRelease {
    const char* name;
    UpdateError::Kind error;
    std::function<QByteArray(UpdateTest&, const QByteArray& tarball)> feed;
    bool fullDisk = false; // stood in for by a 64 KB file size limit: writes past it fail with EFBIG
};

class BadReleaseTest : public UpdateTest, public ::testing::WithParamInterface<int> {};

const SigningKey& otherKey()
{
    static const SigningKey key;
    return key;
}

const std::vector<BadRelease>& badReleases()
{
    using K = UpdateError::Kind;
    static const std::vector<BadRelease> cases{
        {"feed not JSON", K::feedUnreadable, [](auto&, auto&) { return QByteArray("<html>oops</html>"); }},
        {"larger than announced", K::tooLarge, [](auto& t, auto& a) { return t.offer(a, t.key.signatureFile(a, kComment), a.size() / 2); }},
        {"truncated", K::truncated, [](auto& t, auto& a) {
             const QByteArray feed = t.offer(a, t.key.signatureFile(a, kComment));
             t.server.routes["/selvina-voice-2.tar.gz"].chop(a.size() / 2); // the whole length still announced
             return feed;
         }},
        {"wrong signature", K::badSignature, [](auto& t, auto& a) { return t.offer(a, t.key.signatureFile(a + "x", kComment)); }},
        {"legacy signature of other bytes", K::badSignature,
         [](auto& t, auto& a) { return t.offer(a, t.key.signatureFile(a + "x", kComment, false)); }},
        {"another key", K::badSignature, [](auto& t, auto& a) { return t.offer(a, otherKey().signatureFile(a, kComment)); }},
        {"another key under our key id", K::badSignature, [](auto& t, auto& a) {
             SigningKey forged = otherKey();
             forged.id = t.key.id;
             return t.offer(a, forged.signatureFile(a, kComment));
         }},
        {"comment for another version", K::versionMismatch,
         [](auto& t, auto& a) { return t.offer(a, t.key.signatureFile(a, "version:0.1.9 build:2")); }},
        {"full disk", K::writeFailed, [](auto& t, auto& a) { return t.offer(a, t.key.signatureFile(a, kComment)); }, true},
    };
    return cases;
}

TEST_P(BadReleaseTest, LeavesTheRunningBuildAndSaysNothing)
{
    const BadRelease& bad = badReleases()[std::size_t(GetParam())];
    SCOPED_TRACE(bad.name);
    startController();
    QByteArray noise(bad.fullDisk ? 256 * 1024 : 0, '\0'); // that the archive cannot shrink below the limit
    randombytes_buf(noise.data(), std::size_t(noise.size()));
    serve("/feed", bad.feed(*this, archive(QStringLiteral("2"), noise)));
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit limited{bad.fullDisk ? rlim_t(64 * 1024) : saved.rlim_cur, saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limited);
    check();
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(errors, QList<UpdateError::Kind>{bad.error});
    EXPECT_EQ(readies, 0);
    EXPECT_EQ(currentBuild(), QStringLiteral("1"));
    EXPECT_EQ(QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              (QStringList{QStringLiteral("1"), QStringLiteral("current"), QStringLiteral("launch")}));
    EXPECT_TRUE(spoken.isEmpty());
}
INSTANTIATE_TEST_SUITE_P(Update, BadReleaseTest, ::testing::Range(0, int(badReleases().size())));

TEST_F(UpdateTest, AnOlderOrEqualReleaseIsNoUpdate)
{
    startController();
    for (const char* version : {"0.1.0", "0.0.9"}) {
        const QByteArray tarball = archive(QStringLiteral("1"));
        serve("/feed", offer(tarball, key.signatureFile(tarball, "version:0.1.0 build:1"), -1, u"1"_s, QString::fromLatin1(version)));
        controller->updater()->check();
        settle(std::chrono::seconds(1));
    }
    EXPECT_EQ(readies, 0);
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_EQ(currentBuild(), QStringLiteral("1"));
}

TEST_F(UpdateTest, AnInstallThatCannotBeWrittenOrIsThePackageManagersSaysSoOnce)
{
    for (auto [kind, error] : {std::pair{InstallLocation::Kind::elsewhere, UpdateError::folderNotWritable()},
                               std::pair{InstallLocation::Kind::packageManaged, UpdateError::packageManaged()}}) {
        spoken.clear();
        errors.clear();
        startController(kind);
        publish(QStringLiteral("2"));
        check();
        controller->updater()->check();
        settle(std::chrono::seconds(1));
        EXPECT_EQ(spoken, QStringList{error.description()});
        EXPECT_EQ(currentBuild(), QStringLiteral("1"));
        EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/2")));
    }
}

TEST_F(UpdateTest, TheStartAfterAnUpdateSaysSoAndOtherStartsAreSilent)
{
    struct Case {
        const char* name;
        QVariant previous;
        bool flag;
        QStringList spoken;
    } cases[] = {
        {"handed over", QStringLiteral("1"), true, {QStringLiteral("Zaktualizowałam się do wersji 0.2.0, budowa 2.")}},
        {"manual reinstall", QStringLiteral("1"), false, {}},
        {"install failed before the restart", QStringLiteral("2"), true, {}},
        {"first start", QVariant(), true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::fake::MemoryPreferences store;
        if (c.previous.isValid())
            store.setValue(UpdateController::kOstatniaWersja, c.previous);
        store.setValue(UpdateController::kTrwaAktualizacja, c.flag);
        QStringList said;
        UpdateServices services{.clock = &clock, .preferences = &store, .current = {u"0.2.0"_s, u"2"_s}, .feed = std::nullopt};
        UpdateController(std::move(services), [] { return true; }, [&](const QString& t) { said.append(t); }).start();
        EXPECT_EQ(said, c.spoken);
        EXPECT_EQ(store.value(UpdateController::kOstatniaWersja).toString(), QStringLiteral("2"));
        EXPECT_FALSE(store.value(UpdateController::kTrwaAktualizacja).toBool());
    }
}

TEST_F(UpdateTest, ALauncherWhoseNewBuildDiesAtStartGoesBackToTheOldOne)
{
    writeExecutable(root + QStringLiteral("/1/bin/selvina-voice"), "#!/bin/sh\necho \"$SELVINA_UPDATE_FAILED\" > \"$(dirname \"$0\")/../../old-ran\"\n");
    writeExecutable(root + QStringLiteral("/2/bin/selvina-voice"), "#!/bin/sh\nexit 3\n");
    QFile::remove(root + QStringLiteral("/current"));
    QFile::link(QStringLiteral("2"), root + QStringLiteral("/current"));
    QFile::link(QStringLiteral("1"), root + QStringLiteral("/previous"));
    QProcess launcher;
    launcher.start(QStringLiteral("/bin/sh"), {root + QStringLiteral("/launch")});
    ASSERT_TRUE(eventually([&] { return launcher.state() == QProcess::NotRunning; }));
    EXPECT_EQ(currentBuild(), QStringLiteral("1"));
    EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/previous")));
    EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/2")));
    EXPECT_EQ(readFile(root + QStringLiteral("/old-ran")).trimmed(), QByteArray("2"));
    EXPECT_EQ(readFile(root + QStringLiteral("/rejected-build")).trimmed(), QByteArray("2"));
}

} // namespace
