#pragma once

#include <QString>

// What the user is told when a COM port does not open: the port, the device it maps to, the
// system's reason and, where it helps, what to do about it.
QString portOpenFailureMessage(int port, const QString &device, const QString &reason,
                               int errorNumber);
