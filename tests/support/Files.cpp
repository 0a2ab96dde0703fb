#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace selvina::testing {

QString writeFile(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(contents);
    return path;
}

QString writeExecutable(const QString& path, const QByteArray& contents)
{
    QFile::setPermissions(writeFile(path, contents), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace selvina::testing
