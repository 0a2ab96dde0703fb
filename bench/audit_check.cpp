// The whole prerequisite check on this machine's session, every probe included (goal: under 3 s).
#include "diagnostics/LinuxPrerequisites.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <benchmark/benchmark.h>

#include <optional>

namespace {

void BM_AuditCheck(benchmark::State& state)
{
    using namespace selvina::diagnostics;
    LinuxAuditOptions options;
    for (auto _ : state) {
        PermissionAudit audit(linuxPrerequisites(options), options.environment);
        std::optional<std::vector<Permission>> result;
        QEventLoop loop;
        auto done = audit.check().then([&](std::vector<Permission> p) {
            result = std::move(p);
            loop.quit();
        });
        if (!result)
            loop.exec();
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_AuditCheck)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
