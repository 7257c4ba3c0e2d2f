#pragma once

#include <QDir>
#include <QProcess>
#include <QString>
#include <QStringList>

// The shipped schema of a reading, checked by Python's jsonschema (Draft 2020-12), a validator
// independent of ours, against every line of a file: one JSON object per line.
struct SchemaCheck
{
    qsizetype valid = 0; // lines that pass
    QStringList faults;  // "line N: why", one per failing line; or why nothing could be checked
};

inline QString readingSchemaPath()
{
    return QDir(QStringLiteral(VORLATT_SOURCE_DIR))
        .filePath(QStringLiteral("docs/reading.schema.json"));
}

inline SchemaCheck checkAgainstReadingSchema(const QString &linesPath)
{
    QProcess python;
    python.start(
        QStringLiteral("python3"),
        {QStringLiteral("-c"),
         QStringLiteral("import json, sys\n"
                        "from jsonschema import Draft202012Validator\n"
                        "with open(sys.argv[1], encoding='utf-8') as f:\n"
                        "    schema = json.load(f)\n"
                        "Draft202012Validator.check_schema(schema)\n"
                        "validator = Draft202012Validator(schema)\n"
                        "valid = 0\n"
                        "with open(sys.argv[2], encoding='utf-8', newline='') as f:\n"
                        "    for number, line in enumerate(f, 1):\n"
                        "        try:\n"
                        "            reading = json.loads(line)\n"
                        "        except ValueError as e:\n"
                        "            print(f'line {number}: not JSON: {e}')\n"
                        "            continue\n"
                        "        errors = [e.message for e in validator.iter_errors(reading)]\n"
                        "        if errors:\n"
                        "            print(f'line {number}: {errors[0]}')\n"
                        "        else:\n"
                        "            valid += 1\n"
                        "print(f'valid {valid}')\n"),
         readingSchemaPath(), linesPath});
    SchemaCheck check;
    if (!python.waitForFinished(120000) || python.exitStatus() != QProcess::NormalExit ||
        python.exitCode() != 0) {
        check.faults << QStringLiteral("python3 with jsonschema did not run: ") +
                            QString::fromUtf8(python.readAllStandardError());
        return check;
    }
    for (const QString &line :
         QString::fromUtf8(python.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts)) {
        if (line.startsWith(u"valid "))
            check.valid = line.mid(6).toLongLong();
        else
            check.faults << line;
    }
    return check;
}
