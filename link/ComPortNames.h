#pragma once

#include <QString>
#include <QStringList>

// Linux has no COM1..COM4, so the driver's port numbers map to devices here, in this order:
//   1. the device named by the environment variable VORLATT_COMn, when it is set and not empty;
//   2. otherwise the n-th serial port the system lists, in natural order of its path
//      (/dev/ttyACM0, /dev/ttyS0, /dev/ttyUSB2, /dev/ttyUSB10);
//   3. otherwise /dev/ttyS<n-1>.
// n runs from 1 to 4; any other n gives an empty name, which no port opens.
QString comPortDevice(int n);

// The same mapping over a given list of system ports, which need not be sorted.
QString comPortDevice(int n, const QStringList &systemPorts);

// Device paths of the serial ports the system lists.
QStringList systemSerialPorts();

// "COM1 (/dev/ttyUSB0)": a COM port as the title, the journal and the logger name it.
QString comPortLabel(int n, const QString &device);
