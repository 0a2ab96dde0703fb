// Diagnostics: the start-up report (SELVINA_DIAGNOSTICS=1) — the prerequisites, the build, the
// keys, the tools, and whether a realtime session can really be set up.
// Thread: main thread.
#pragma once

#include "settings/Configuration.h"
#include "core/Clock.h"
#include "core/Result.h"
#include "core/ToolDefinition.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

namespace selvina::voice {
class VoiceEngine;
}

namespace selvina::diagnostics {

class PermissionAudit;

// Why the realtime session could not be set up.
class DiagnosticsError {
public:
    enum class Kind { connectFailed, serverError, disconnected, timedOut };

    static DiagnosticsError connectFailed(QString engineText) { return {Kind::connectFailed, std::move(engineText)}; }
    static DiagnosticsError serverError(QString text) { return {Kind::serverError, std::move(text)}; }
    // None: the connection ended without a reason.
    static DiagnosticsError disconnected(std::optional<QString> reason)
    {
        return {Kind::disconnected, reason.value_or(QString())};
    }
    static DiagnosticsError timedOut() { return {Kind::timedOut, {}}; }

    Kind kind() const { return m_kind; }
    QString description() const;
    bool operator==(const DiagnosticsError&) const = default;

private:
    DiagnosticsError(Kind kind, QString detail) : m_kind(kind), m_detail(std::move(detail)) {}
    Kind m_kind;
    QString m_detail;
};

class Diagnostics {
public:
    static constexpr std::chrono::seconds kConnectionLimit{15};

    struct Result {
        QStringList lines;
        bool verdict = true; // false once a check has failed
        void pass(const QString& text) { lines.append(QStringLiteral("OK   ") + text); }
        void fail(const QString& text)
        {
            lines.append(QStringLiteral("BŁĄD ") + text);
            verdict = false;
        }
        void note(const QString& text) { lines.append(QStringLiteral("     ") + text); }
    };

    struct Inputs {
        PermissionAudit* audit = nullptr;
        settings::ConfigurationSources sources;
        // The tools that work without a live conversation, for the configuration the report loaded
        // (loaded once: a keyring that does not answer costs its wait only once).
        std::function<QList<ToolDefinition>(const settings::Configuration&)> tools;
        QString instructions;          // the conversation's instructions
        QString buildInfo;             // the "build-info" resource file
        bool buildTree = false;        // the program runs from a build tree, not an installation
        QString logDirectory;
        Clock* clock = nullptr;        // required: the session's clock and the 15 s limit
    };

    static QCoro::Task<Result> run(Inputs inputs);
    // Connects the engine and waits for the service to confirm the session, at most `limit`.
    static QCoro::Task<Status<DiagnosticsError>> connect(voice::VoiceEngine& engine, QList<ToolDefinition> tools,
                                                         QString instructions, Clock& clock,
                                                         std::chrono::milliseconds limit = kConnectionLimit);
};

} // namespace selvina::diagnostics
