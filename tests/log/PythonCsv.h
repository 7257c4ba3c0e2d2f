#pragma once

#include <QJsonDocument>
#include <QProcess>
#include <QStringList>
#include <QVariant>

// Python's csv module reads a CSV file, as a reader independent of ours; its rows come back as
// JSON. Empty when the file is not strict RFC 4180 CSV in UTF-8 (or Python is missing).
inline QList<QStringList> readCsvWithPython(const QString &path)
{
    QProcess python;
    python.start(QStringLiteral("python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import csv, json, sys\n"
                                 "with open(sys.argv[1], newline='', encoding='utf-8') as f:\n"
                                 "    print(json.dumps(list(csv.reader(f, strict=True))))\n"),
                  path});
    if (!python.waitForFinished(60000) || python.exitCode() != 0)
        return {};
    QList<QStringList> rows;
    for (const QVariant &row :
         QJsonDocument::fromJson(python.readAllStandardOutput()).toVariant().toList())
        rows << row.toStringList();
    return rows;
}
