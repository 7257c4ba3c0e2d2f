#include "StateFolders.h"

#include <QDir>
#include <QFileInfo>

namespace statefolders {

QString state()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/vorlatt");
}

QString runtime()
{
    const QString base = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!base.isEmpty() && QDir::isAbsolutePath(base) && QFileInfo(base).isDir())
        return base + QStringLiteral("/vorlatt");
    return state();
}

} // namespace statefolders
