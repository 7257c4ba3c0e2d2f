#include "PortOpenFailure.h"

#include <cerrno>

QString portOpenFailureMessage(int port, const QString &device, const QString &reason,
                               int errorNumber, PortRetry retry)
{
    QString text = QStringLiteral("COM%1 could not be opened (device %2).\n\n%3")
                       .arg(port)
                       .arg(device.isEmpty() ? QStringLiteral("none") : device, reason);
    switch (errorNumber) {
    case EACCES:
    case EPERM:
        text += QStringLiteral(
            "\n\nThis user needs access to the device, usually through membership in the "
            "\"dialout\" group (sudo usermod -aG dialout $USER, then log in again).");
        break;
    case EBUSY:
        text += retry == PortRetry::Connect
                    ? QStringLiteral(
                          "\n\nClose the other program that uses the port, then connect again.")
                    : QStringLiteral("\n\nClose the other program that uses the port, then start "
                                     "vorlatt-log again.");
        break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        text += QStringLiteral(
                    "\n\nCheck that the meter's cable is plugged in, or choose another port; "
                    "VORLATT_COM%1 names the device of COM%1.")
                    .arg(port);
        break;
    default:
        break;
    }
    return text;
}
