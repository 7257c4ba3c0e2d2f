#pragma once

#include "log/LogRecord.h"
#include "mqtt/MqttOptions.h"
#include "tools/commandline/CommandLine.h"
#include "web/HttpOptions.h"

#include <QString>
#include <QStringList>

// The command line of vorlatt-log as a plain struct.
struct LoggerOptions
{
    enum class Source
    {
        None,
        Port, // a serial device by path
        Com,  // COM1..COM4 through the window's mapping
        Usb,
    };
    Source source = Source::None;
    QString device;
    int com = 0;

    // The log rules, as the window's log controls set them.
    bool repeat = true;
    bool sampling = false;
    QString interval = QStringLiteral("0");
    qint32 limit = -1; // -1: none

    qint64 count = -1;      // stop after this many records; -1: no count
    qint64 durationMs = -1; // stop after this long; -1: until stopped

    QString output;
    LogFormat format = LogFormat::Tsv;
    qint64 checkpointMs = 60000;
    bool exitOnLoss = false;
    bool quiet = false;

    MqttOptions mqtt;
    HttpOptions http;
    // The meter's name on the live page: --mqtt-id, else the one MQTT makes by default.
    QString meterId;
};

using ParsedCommandLine = commandline::CommandLine<LoggerOptions>;

// `arguments` without the program name.
ParsedCommandLine parseLoggerCommandLine(const QStringList &arguments);
QString loggerHelp();
