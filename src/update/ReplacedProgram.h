// ReplacedProgram: notices that the package manager has put a new program in place of the running
// one (the kernel then shows the running file as "<path> (deleted)") and hands back the action that
// restarts into it. Works whatever the update feed, also in builds that have none.
// Thread: main thread.
#pragma once

#include "update/UpdateError.h"

#include <QString>

#include <functional>
#include <optional>

namespace selvina::update {

class ReplacedProgram {
public:
    struct Options {
        QString programLink = QStringLiteral("/proc/self/exe"); // where the running program's file is seen
        qint64 processId = 0;                                   // the process that must end first; 0: this one
        std::function<void()> releaseInstance;
        std::function<void()> reclaimInstance;
        std::function<void()> quit;
    };
    using RestartAction = std::function<void()>;

    explicit ReplacedProgram(Options options) : m_options(std::move(options)) {}

    // The program now on disk, when it differs from the one running and can be started.
    std::optional<QString> replacement() const;
    // Gives the name up, starts `program` once this process has gone, and quits; when it cannot be
    // started, takes the name back and reports why to `onError`.
    RestartAction restartInto(const QString& program, std::function<void(const UpdateError&)> onError) const;

private:
    Options m_options;
};

} // namespace selvina::update
