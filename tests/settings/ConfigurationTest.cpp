#include "settings/Configuration.h"

#include "TestSupport.h"
#include "core/SidecarLog.h"
#include "platform/fake/MemoryStores.h"
#include "platform/linux/secret/LibsecretStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <condition_variable>

#include <gtest/gtest.h>

using namespace selvina;
using namespace selvina::settings;

namespace {

class ConfigurationFixture : public ::testing::Test {
protected:
    ConfigurationSources sources() { return ConfigurationSources{dir.path(), &secrets, &prefs, env}; }
    void writeConfig(const QByteArray& json) { selvina::testing::writeFile(dir.filePath(QStringLiteral("config.json")), json); }
    QTemporaryDir dir;
    platform::fake::MemorySecretStore secrets;
    platform::fake::MemoryPreferences prefs;
    QProcessEnvironment env;
};

TEST_F(ConfigurationFixture, KeyPrecedenceTable)
{
    using enum KeySource;
    struct Row {
        const char* file;   // "openai_api_key" in config.json, or null
        const char* secret; // keyring item, or null
        const char* envKey; // OPENAI_API_KEY, or null (empty string: set but empty)
        ResolvedKey key;
    } rows[] = {
        {nullptr, nullptr, nullptr, {std::nullopt, none}},
        {"plik", nullptr, nullptr, {"plik", file}},
        {"plik", "pęk", nullptr, {"pęk", keyring}},
        {"plik", "pęk", "env", {"env", environment}},
        {nullptr, nullptr, "env", {"env", environment}},
        {"plik", "pęk", "", {"pęk", keyring}},
        {"plik", nullptr, "", {"plik", file}},
        // An empty key counts as none, for the conversation as for the dump.
        {"", nullptr, nullptr, {std::nullopt, none}},
    };
    for (const Row& r : rows) {
        writeConfig(r.file ? QByteArray(R"({"openai_api_key":")") + r.file + "\"}" : QByteArray("{}"));
        secrets.items.clear();
        if (r.secret)
            secrets.write(QString::fromUtf8(r.secret), QLatin1String(platform::kOpenAIAccount));
        env.clear();
        if (r.envKey)
            env.insert(QStringLiteral("OPENAI_API_KEY"), QString::fromUtf8(r.envKey));
        const std::string where = std::string(r.file ? r.file : "-") + "/" + (r.secret ? r.secret : "-") + "/" +
                                  (r.envKey ? r.envKey : "-");
        EXPECT_EQ(Configuration::load(sources()).openAIKey, r.key) << where;
        EXPECT_EQ(Configuration::resolveOpenAIKey(sources()), r.key) << where;
    }
    env.clear();
    env.insert(QStringLiteral("ANTHROPIC_API_KEY"), QStringLiteral("ant-env"));
    writeConfig(R"({"anthropic_api_key":"ant-file"})");
    EXPECT_EQ(Configuration::load(sources()).anthropicKey, (ResolvedKey{"ant-env", environment}));

    // The agents' process gets the keys saved in the keyring or the file, and keeps its own.
    secrets.items.clear();
    secrets.write(QStringLiteral("ant-pęk"), QLatin1String(platform::kAnthropicAccount));
    writeConfig(R"({"openai_api_key":"oa-plik","anthropic_api_key":"ant-plik"})");
    env.clear();
    QProcessEnvironment agents;
    Configuration::addAgentCredentials(sources(), agents);
    EXPECT_EQ(std::pair(agents.value("ANTHROPIC_API_KEY"), agents.value("OPENAI_API_KEY")),
              std::pair(QStringLiteral("ant-pęk"), QStringLiteral("oa-plik")));
    agents = QProcessEnvironment();
    agents.insert(QStringLiteral("ANTHROPIC_API_KEY"), QStringLiteral("własny"));
    Configuration::addAgentCredentials(sources(), agents);
    EXPECT_EQ(agents.value("ANTHROPIC_API_KEY"), QStringLiteral("własny"));
}

TEST_F(ConfigurationFixture, FileValuesTypesAndClamping)
{
    struct Row {
        QByteArray json;
        double opacity;
        QString model;
        std::optional<double> wakeThreshold = std::nullopt;
        std::optional<int> wakeWindows = std::nullopt;
    } rows[] = {
        {R"({})", 0.55, "gpt-realtime-2.1"},
        {R"({"overlay_opacity":-1})", 0.0, "gpt-realtime-2.1"},
        {R"({"overlay_opacity":7})", 1.0, "gpt-realtime-2.1"},
        {R"({"overlay_opacity":"0.3"})", 0.55, "gpt-realtime-2.1"},
        {R"({"overlay_opacity":0.3,"realtime_model":""})", 0.3, "gpt-realtime-2.1"},
        {R"({"realtime_model":"gpt-realtime-2"})", 0.55, "gpt-realtime-2"},
        {R"({"realtime_model":5,"openai_api_key":7})", 0.55, "gpt-realtime-2.1"},
        {R"([1,2,3])", 0.55, "gpt-realtime-2.1"},
        {R"({"overlay_opacity":)", 0.55, "gpt-realtime-2.1"},
        {R"({"wake_threshold":0.7,"wake_windows":3})", 0.55, "gpt-realtime-2.1", 0.7, 3},
        {R"({"wake_threshold":1,"wake_windows":2.5})", 0.55, "gpt-realtime-2.1"},
        {R"({"wake_threshold":"0.5","wake_windows":11})", 0.55, "gpt-realtime-2.1"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.json.toStdString());
        writeConfig(r.json);
        const Configuration c = Configuration::load(sources());
        const WakeTuning wake = WakeTuning::load(dir.path());
        EXPECT_DOUBLE_EQ(c.overlayOpacity, r.opacity);
        EXPECT_EQ(std::tuple(c.realtimeModel, c.openAIKey.value, c.anthropicKey.value, wake.threshold, wake.windows),
                  std::tuple(r.model, std::nullopt, std::nullopt, r.wakeThreshold, r.wakeWindows));
    }
    writeConfig(R"({"realtime_model":"z-pliku"})");
    prefs.setValue(QStringLiteral("speech.model"), QStringLiteral("z-preferencji"));
    EXPECT_EQ(Configuration::load(sources()).realtimeModel, "z-preferencji");
    prefs.setValue(QStringLiteral("speech.model"), QString());
    EXPECT_EQ(Configuration::load(sources()).realtimeModel, "z-pliku");
    // A folder in the file's place cannot be read, even by root.
    QFile::remove(dir.filePath(QStringLiteral("config.json")));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("config.json")));
    EXPECT_EQ(Configuration::load(sources()).realtimeModel, "gpt-realtime-2.1");
}

TEST_F(ConfigurationFixture, ServiceBaseAddress)
{
    EXPECT_EQ(Configuration::load(sources()).realtimeURL("gpt-realtime-2.1").toString(),
              "wss://api.openai.com/v1/realtime?model=gpt-realtime-2.1");
    writeConfig(R"({"openai_base_url":"http://127.0.0.1:8123/"})");
    Configuration c = Configuration::load(sources());
    EXPECT_EQ(c.realtimeURL("m").toString(), "ws://127.0.0.1:8123/v1/realtime?model=m");
    EXPECT_EQ(c.endpointURL("/v1/models").toString(), "http://127.0.0.1:8123/v1/models");

    env.insert(QStringLiteral("SELVINA_OPENAI_BASE_URL"), QStringLiteral("https://proxy.example.org/openai"));
    c = Configuration::load(sources());
    EXPECT_EQ(c.realtimeURL("m").toString(), "wss://proxy.example.org/openai/v1/realtime?model=m");
    EXPECT_EQ(c.endpointURL("/v1/audio/speech").toString(), "https://proxy.example.org/openai/v1/audio/speech");

    // Plain HTTP only to this machine; the refused ones fall back to the service's own address.
    for (const auto& [address, accepted] :
         {std::pair{"http://localhost:9", true}, {"ws://[::1]:9", true}, {"http://127.8.9.1", true},
          {"http://192.168.1.10:8080", false}, {"ws://example.org", false}, {"ftp://127.0.0.1", false},
          {"nonsense", false}, {"https://host/?q=1", false}, {"https://user:pw@host", false}}) {
        env.insert(QStringLiteral("SELVINA_OPENAI_BASE_URL"), QString::fromLatin1(address));
        EXPECT_EQ(Configuration::load(sources()).openAIBaseURL != Configuration::defaultBaseURL(), accepted) << address;
    }
    SidecarLog::shared().flush();
    EXPECT_TRUE(selvina::testing::readFile(SidecarLog::shared().filePath())
                    .contains("odrzucam adres usługi z SELVINA_OPENAI_BASE_URL (http://192.168.1.10:8080)"));
}

// A keyring that answers only while the test lets it (a locked one asking for its password does not),
// and notes whether the main thread ever asked it.
class GatedKeyring final : public platform::SecretStore {
public:
    std::optional<QString> read(const QString& account) override
    {
        std::unique_lock lock(m_mutex);
        askedOnMainThread = askedOnMainThread || QThread::currentThread() == QCoreApplication::instance()->thread();
        ++waiting;
        m_changed.wait_for(lock, std::chrono::seconds(10), [this] { return m_open; });
        --waiting;
        return m_items.read(account);
    }
    bool write(const QString& value, const QString& account) override
    {
        std::lock_guard lock(m_mutex);
        return m_items.write(value, account);
    }
    bool remove(const QString& account) override
    {
        std::lock_guard lock(m_mutex);
        return m_items.remove(account);
    }
    void setOpen(bool open)
    {
        std::lock_guard lock(m_mutex);
        m_open = open;
        m_changed.notify_all();
    }
    std::atomic<bool> askedOnMainThread{false};
    std::atomic<int> waiting{0}; // reads held up right now

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = true;
    platform::fake::MemorySecretStore m_items;
};

TEST_F(ConfigurationFixture, KeyringIsReadOffTheMainThreadAndAgainOnChange)
{
    GatedKeyring keyring;
    keyring.write(QStringLiteral("sk-first"), QLatin1String(platform::kOpenAIAccount));
    keyring.setOpen(false);
    CachedSecretStore cached(keyring);
    // Both keys are asked for at once, so a hung keyring holds the first read up for one time-out.
    EXPECT_TRUE(selvina::testing::waitFor([&] { return keyring.waiting == 2; }));
    const ConfigurationSources s{dir.path(), &cached, &prefs, env};
    const auto key = [&] { return Configuration::load(s).openAIKey; };
    // Asked while the first read still hangs, the configuration does not wait for it (a wait would
    // end with the key once the gate gives up).
    EXPECT_FALSE(key().value);
    keyring.setOpen(true);
    cached.ready().waitForFinished();
    EXPECT_EQ(key(), (ResolvedKey{"sk-first", KeySource::keyring}));

    // The key changes while the keyring hangs: the configuration answers at once from what it read.
    keyring.setOpen(false);
    keyring.write(QStringLiteral("sk-second"), QLatin1String(platform::kOpenAIAccount));
    QFuture<void> refreshed = cached.refresh(); // what the Secret Service's change signal does
    EXPECT_EQ(key().value, QStringLiteral("sk-first"));
    keyring.setOpen(true);
    refreshed.waitForFinished();
    EXPECT_EQ(key().value, QStringLiteral("sk-second"));

    // A change through the worker: the main thread goes on, and the copy follows once it is done.
    keyring.setOpen(false);
    QFuture<platform::SecretOutcome> stored = cached.storeLater(QStringLiteral("  sk-third\n"), QLatin1String(platform::kOpenAIAccount));
    EXPECT_EQ(key().value, QStringLiteral("sk-second"));
    keyring.setOpen(true);
    EXPECT_EQ(stored.result(), platform::SecretOutcome::done);
    EXPECT_EQ(key().value, QStringLiteral("sk-third"));
    EXPECT_TRUE(cached.remove(QLatin1String(platform::kOpenAIAccount))); // through the worker, the copy follows
    EXPECT_FALSE(key().value);
    EXPECT_FALSE(keyring.askedOnMainThread);
}

// With the real keyring of scripts/test: a key another program stores reaches the copy through the
// Secret Service's change signal, without anyone asking.
TEST(CachedKeyring, AKeyStoredByAnotherProgramArrivesOnItsOwn)
{
    if (qEnvironmentVariable("SELVINA_TEST_KEYRING") != QLatin1String("1"))
        GTEST_SKIP() << "no private keyring (scripts/test starts one)";
    const QString account = QLatin1String(platform::kOpenAIAccount);
    platform::LibsecretStore keyring;
    keyring.remove(account);
    CachedSecretStore cached(keyring);
    EXPECT_FALSE(cached.read(account));
    QProcess tool;
    tool.start(QStringLiteral("secret-tool"), {QStringLiteral("store"), QStringLiteral("--label=Selvina"),
                                               QStringLiteral("service"), QLatin1String(platform::kSecretService),
                                               QStringLiteral("account"), account});
    tool.write("sk-from-outside");
    tool.closeWriteChannel();
    ASSERT_TRUE(tool.waitForFinished(10000));
    EXPECT_TRUE(selvina::testing::waitFor([&] { return cached.read(account) == QStringLiteral("sk-from-outside"); },
                                          std::chrono::seconds(10)));
    keyring.remove(account);
}

} // namespace
