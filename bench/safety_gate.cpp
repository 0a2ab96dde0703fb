// Cost of the safety gate per tool call: authorize + record, with the assessment switched off and
// on (on: the call is a reversible write, so every call also appends one audit line to a file).
#include "platform/fake/MemoryStores.h"
#include "safety/VoiceSafetyGate.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

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

} // namespace
