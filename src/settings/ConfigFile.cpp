#include "settings/ConfigFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace selvina::settings {

namespace {

QString shown(const QString& path)
{
    const QString home = QDir::homePath();
    return path.startsWith(home + QLatin1Char('/')) ? QStringLiteral("~") + path.mid(home.size()) : path;
}

ConfigWrite refused(const QString& path, const QString& why)
{
    return {false, {}, QStringLiteral("Nie udało się zapisać pliku %1: %2.").arg(shown(path), why)};
}

QString reasonOf(const QFileDevice& file, const QString& folder)
{
    if (file.error() == QFileDevice::ResourceError)
        return QStringLiteral("brak miejsca na dysku");
    if (!QFileInfo(folder).isWritable())
        return QStringLiteral("brak prawa zapisu do katalogu %1").arg(shown(folder));
    return file.errorString();
}

} // namespace

ConfigWrite writeConfigKey(const QString& path, const QString& key, const QJsonValue& value)
{
    const QString folder = QFileInfo(path).absolutePath();
    QJsonObject object;
    ConfigWrite result;
    QFile current(path);
    if (current.exists()) {
        if (!current.open(QIODevice::ReadOnly))
            return refused(path, QStringLiteral("nie da się go odczytać, więc go nie nadpisuję"));
        const QJsonDocument doc = QJsonDocument::fromJson(current.readAll());
        current.close();
        if (doc.isObject()) {
            object = doc.object();
        } else {
            // What the user wrote by hand stays, under a name of its own.
            const QString aside = path + QStringLiteral(".uszkodzony");
            QFile::remove(aside);
            if (!QFile::rename(path, aside))
                return refused(path, QStringLiteral("jest uszkodzony i nie udało się go odłożyć na bok"));
            result.movedAside = aside;
        }
    } else if (!QDir().mkpath(folder)) {
        return refused(path, QStringLiteral("nie można utworzyć katalogu %1").arg(shown(folder)));
    }
    if (value.isUndefined())
        object.remove(key);
    else
        object.insert(key, value);

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        ConfigWrite failed = refused(path, reasonOf(file, folder));
        failed.movedAside = result.movedAside;
        return failed;
    }
    // It may hold keys: nobody else reads it, from its first byte on.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Indented); // an object's keys come sorted
    if (file.write(text) != text.size() || !file.commit()) {
        ConfigWrite failed = refused(path, reasonOf(file, folder));
        failed.movedAside = result.movedAside;
        return failed;
    }
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    result.written = true;
    if (!result.movedAside.isEmpty())
        result.sentence = QStringLiteral("Plik %1 był uszkodzony: odłożyłam go jako %2 i zapisałam nowy.")
                              .arg(shown(path), shown(result.movedAside));
    return result;
}

} // namespace selvina::settings
