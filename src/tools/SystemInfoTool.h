// SystemInfoTool ("system_info"): answers about the machine's state (battery, disk, network,
// memory, uptime, volume, date) with the trimmed output of one fixed system command per question.
// Thread: main thread; the child process is awaited asynchronously, nothing blocks.
#pragma once

#include "tools/SelvinaTool.h"

#include <QStringList>

#include <array>
#include <chrono>
#include <optional>

namespace selvina::tools {

class SystemInfoTool final : public SelvinaTool {
public:
    enum class Query { battery, storage, network, memory, uptime, volume, datetime };
    static constexpr std::array kQueries{Query::battery, Query::storage, Query::network, Query::memory,
                                         Query::uptime,  Query::volume,  Query::datetime};

    struct Command {
        QString executable; // absolute path
        QStringList arguments;
    };

    struct Options {
        // A command that does not end in this time is killed and the call fails.
        std::chrono::milliseconds timeout{10'000};
        // Replaces the command of one query (tests of hung or missing commands).
        std::optional<std::pair<Query, Command>> override;
    };

    SystemInfoTool() = default;
    explicit SystemInfoTool(Options options) : m_options(std::move(options)) {}

    static QString rawValue(Query q);
    static std::optional<Query> queryFromRaw(const QString& raw);
    static Command command(Query q);

    ToolDefinition definition() const override;
    QCoro::Task<ToolOutcome> execute(QString argumentsJSON) override;

    // Starts the program with pipes for all three streams and returns its trimmed standard output.
    static QCoro::Task<ToolOutcome> run(Command command, std::chrono::milliseconds timeout);

private:
    Options m_options;
};

} // namespace selvina::tools
