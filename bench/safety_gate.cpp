// Cost of the safety gate per tool call: authorize + record, with the assessment switched off and
// on (on: the call is a reversible write, so every call also appends one audit line to a file);
// and the assessment alone on argument shapes that make it read more: escapes and nested JSON, a
// long text, many strings.
#include "platform/fake/MemoryStores.h"
#include "safety/VoiceSafetyGate.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <array>

using namespace selvina;
using namespace selvina::safety;

namespace {

QCoro::Task<> oneCall(VoiceSafetyGate& gate, ToolDefinition tool, QString args)
{
    const bool allowed = co_await gate.authorize(tool, args);
    co_await gate.record(tool, args, allowed ? QStringLiteral("gotowe") : QStringLiteral("odmowa"));
}

void authorizeAndRecord(benchmark::State& state)
{
    QTemporaryDir dir;
    platform::fake::MemorySystemLog systemLog;
    VoiceSafetyGate::Options options;
    options.mode = state.range(0) ? NativeConfirmation::on : NativeConfirmation::off;
    auto allowlist = std::make_shared<HostAllowlist>(dir.filePath(QStringLiteral("allowlist.json")));
    VoiceSafetyGate gate(std::make_shared<SilentConfirmation>(), allowlist,
                         std::make_shared<AuditLog>(dir.filePath(QStringLiteral("audit.log"))), systemLog, options);
    const ToolDefinition tool{QStringLiteral("control_ui"), {}, {}, ActionClass::reversibleWrite};
    const QString args = QStringLiteral(R"({"action":"press","element":"e12","text":"Zapisz dokument > archiwum"})");
    for (auto _ : state) {
        bool done = false;
        auto task = oneCall(gate, tool, args);
        auto continuation = task.then([&done] { done = true; });
        while (!done)
            QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    state.SetLabel(state.range(0) ? "assessment on, audited" : "assessment off");
}
BENCHMARK(authorizeAndRecord)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->Repetitions(9)->ReportAggregatesOnly(true);

QString argumentsOfShape(int shape)
{
    switch (shape) {
    case 0:
        return QStringLiteral(R"({"action":"press","element":"e12","text":"Zapisz dokument > archiwum"})");
    case 1:
        return QStringLiteral(R"({"command":"cd \/tmp\nls -la \u003e lista","args":"{\"cmd\":\"echo \\u0041\"}"})");
    case 2: { // 64 KiB of typed text with a line break every 80 characters
        QString text;
        while (text.size() < 64 * 1024)
            text += QStringLiteral("Ala ma kota, a kot ma Alę; tekst do wpisania w polu formularza numer czterdzieści.\n");
        return QString::fromUtf8(QJsonDocument(QJsonObject{{"action", "type"}, {"text", text}}).toJson(QJsonDocument::Compact));
    }
    default: { // 2000 short strings
        QJsonArray items;
        for (int i = 0; i < 2000; ++i)
            items.append(QStringLiteral("pozycja %1").arg(i));
        return QString::fromUtf8(QJsonDocument(QJsonObject{{"items", items}}).toJson(QJsonDocument::Compact));
    }
    }
}

void assessArguments(benchmark::State& state)
{
    const HostAllowlist allowlist(AllowlistDocument{{}, {QStringLiteral("systemctl restart")}, {QStringLiteral("rm -rf /")}}, {});
    const ToolDefinition tool{QStringLiteral("control_ui"), {}, {}, ActionClass::reversibleWrite};
    const QString args = argumentsOfShape(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(assess(tool, args, allowlist, NativeConfirmation::on));
    state.SetLabel(std::array{"typical", "escapes and nested JSON", "64 KiB text", "2000 strings"}[state.range(0)]);
    state.SetBytesProcessed(state.iterations() * args.size() * 2);
}
BENCHMARK(assessArguments)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

} // namespace
