#include "app/SessionDump.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace selvina::app {

QByteArray sessionDump(const voice::SpeechSettings& settings, settings::KeySource keySource)
{
    const auto config = voice::RealtimeSessionConfig::fromSettings(QStringLiteral("(instrukcja pominięta)"), {}, settings);
    // QJsonObject keeps its keys sorted, so the indented form is already in key order.
    QByteArray out = QJsonDocument(config.toJson().toQt().toObject()).toJson(QJsonDocument::Indented);
    out += QStringLiteral("klucz OpenAI: %1\n").arg(describe(keySource)).toUtf8();
    return out;
}

} // namespace selvina::app
