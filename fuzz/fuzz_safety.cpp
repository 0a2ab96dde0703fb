// Runs arbitrary bytes through the gate's text rules: the allowlist decoder, the assessment of an
// arguments text (with the switch on and a populated allowlist) and the sentence for speech.
#include "safety/RiskAssessment.h"

#include <cstddef>
#include <cstdint>

using namespace selvina;
using namespace selvina::safety;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    (void)AllowlistDocument::decode(bytes);

    static const HostAllowlist allowlist(
        AllowlistDocument{{{QStringLiteral("10.0.0.5"), std::nullopt}}, {QStringLiteral("systemctl restart")},
                          {QStringLiteral("rm -rf /")}},
        QString());
    const QString text = QString::fromUtf8(bytes);
    // The tool's own class only decides the answer when no rule fires, so one assessment a run
    // suffices; the length picks the class, and both occur.
    const ActionClass declared = size % 2 ? ActionClass::read : ActionClass::reversibleWrite;
    const ToolDefinition tool{QStringLiteral("ssh_tool"), {}, {}, declared};
    const RiskAssessment a = assess(tool, text, allowlist, NativeConfirmation::on);
    if (a.effectiveClass != declared && a.effectiveClass != ActionClass::irreversible)
        __builtin_trap();
    if (a.blockedPattern && a.effectiveClass != ActionClass::irreversible)
        __builtin_trap();
    // Without a command the sentence is the arguments read for speech, so that reading is covered too.
    (void)canonicalIntent(text, a.detectedHost, a.detectedCommand);
    if (a.detectedCommand)
        (void)formatArgumentsForSpeech(text);
    return 0;
}
