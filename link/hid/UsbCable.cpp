#include "UsbCable.h"

#include "THidDevice.h"

#include <algorithm>

namespace usbcable {

namespace {

QString hex(quint32 value, int width)
{
    return QStringLiteral("%1").arg(value, width, 16, QLatin1Char('0')).toUpper();
}

} // namespace

QString DeviceDescription(THidDevice *device)
{
    QString text = device->ProductName();
    if (text.isEmpty())
        text =
            QStringLiteral("Device VID=%1 PID=%2")
                .arg(hex(device->Attributes().VendorID, 4), hex(device->Attributes().ProductID, 4));
    const QString serial = device->SerialNumber();
    if (!serial.isEmpty())
        text += QStringLiteral(" (Serial=%1)").arg(serial);
    return text;
}

int pickCable(const QStringList &descriptions)
{
    return int(descriptions.lastIndexOf(kCableName));
}

QByteArray LineSpeedReport(quint32 baud)
{
    QByteArray report(10, '\0');
    for (int i = 0; i < 4; ++i)
        report[1 + i] = char((baud >> (8 * i)) & 0xFF);
    report[5] = 0x03;
    return report;
}

QString speedHistoryLine(const QByteArray &report)
{
    QString line;
    for (qsizetype i = 1; i < report.size(); ++i)
        line += hex(quint8(report.at(i)), 2) + u' ';
    return line;
}

QString readErrorLine(const QString &systemMessage, quint32 code)
{
    QString message = systemMessage;
    while (!message.isEmpty() && (message.back() == u' ' || message.back() == u'\r' ||
                                  message.back() == u'\n' || message.back() == u'.'))
        message.chop(1);
    return QStringLiteral("READ ERROR: %1 (%2)").arg(message, hex(code, 1));
}

QList<QByteArray> cableReports(const QByteArray &serialBytes, int reportSize)
{
    QList<QByteArray> reports;
    const int perReport = std::min(reportSize - 1, 9);
    for (qsizetype i = 0; i < serialBytes.size(); i += perReport) {
        const QByteArray piece = serialBytes.mid(i, perReport);
        QByteArray report(reportSize, '\0');
        report[0] = char(0xF0 | piece.size());
        std::copy(piece.begin(), piece.end(), report.begin() + 1);
        reports.append(report);
    }
    QByteArray idle(reportSize, '\0');
    idle[0] = char(0xF0);
    reports.append(idle);
    return reports;
}

QString noAccessMessage(const QString &devicePath)
{
    return QStringLiteral("The USB interface cable was found at %1, but this user has no access "
                          "to it. Install the udev rule 70-vorlatt-usb-cable.rules (see the "
                          "README), then unplug the cable and plug it in again.")
        .arg(devicePath);
}

} // namespace usbcable
