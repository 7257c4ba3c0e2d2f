#pragma once

#include "web/HttpOptions.h"

#include <QString>
#include <QStringList>

// The program's command line: --help, --version, --com1 .. --com4 DEVICE naming the device
// of a COM port for this run (the twin of the VORLATT_COMn variables), and --http with its
// options for the live page, and --meter-id naming the meter there.
struct CommandLine
{
    bool run = true;    // false: print `output` and end with `exitCode` instead of starting
    int exitCode = 0;   // 0 for --help and --version, 2 for a wrong command line
    QString output;     // what to print (on standard error when exitCode is not 0)
    QStringList ports;  // "" or the device for COM1 .. COM4, from --comN
    HttpOptions http;   // the live page; not enabled() without --http
    QString meterId;    // --meter-id: the meter's name on the page; "" for the default
    QString warning;    // to print on standard error before the window starts (--http-open)

    static CommandLine parse(const QStringList &arguments);
    // Makes the --comN devices the ones COMn opens.
    void applyPorts() const;
};
