#pragma once

#include <QString>
#include <QStringList>

// The program's command line: --help, --version, and --com1 .. --com4 DEVICE naming the device
// of a COM port for this run (the twin of the VORLATT_COMn variables).
struct CommandLine
{
    bool run = true;    // false: print `output` and end with `exitCode` instead of starting
    int exitCode = 0;   // 0 for --help and --version, 2 for a wrong command line
    QString output;     // what to print (on standard error when exitCode is not 0)
    QStringList ports;  // "" or the device for COM1 .. COM4, from --comN

    static CommandLine parse(const QStringList &arguments);
    // Makes the --comN devices the ones COMn opens.
    void applyPorts() const;
};
