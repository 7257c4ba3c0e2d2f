#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

// The log opens its table "Tarvodb" from the current folder for exclusive use: a benchmark works
// on a private copy of the shipped table in `folder`, made the current folder. False (with a
// message) if that cannot be set up.
inline bool usePrivateLogTable(const QTemporaryDir &folder)
{
    if (!QFile::copy(QStringLiteral(VORLATT_TARVODB), folder.filePath(QStringLiteral("Tarvodb.DB"))) ||
        !QDir::setCurrent(folder.path())) {
        std::fprintf(stderr, "cannot set up the log table in %s\n", qPrintable(folder.path()));
        return false;
    }
    return true;
}
