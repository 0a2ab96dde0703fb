// The main of every benchmark program: Google Benchmark inside a Qt application, so that
// benchmarks can drive sockets, timers and coroutines through the event loop.
#include <QCoreApplication>

#include <benchmark/benchmark.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
