#pragma once

#include <QString>

// How the user tries again once the cause is gone: the window's user connects again, the
// logger's user starts the logger again.
enum class PortRetry
{
    Connect,
    RestartLogger,
};

// What the user is told when a COM port does not open: the port, the device it maps to, the
// system's reason and, where it helps, what to do about it.
QString portOpenFailureMessage(int port, const QString &device, const QString &reason,
                               int errorNumber, PortRetry retry = PortRetry::Connect);
