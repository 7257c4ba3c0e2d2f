#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class THidDevice;

// The texts and reports of the USB connection control, apart from its widgets.
namespace usbcable {

// The product string by which the cable is picked from the device list.
inline const QString kCableName = QStringLiteral("USB to Serial");

inline const QString kNotConnectedMessage =
    QStringLiteral("USB interface cable is not securely connected, please check and re-try.");
inline const QString kMeterNotReadyMessage = QStringLiteral(
    "USB interface cable is securely connected, please check if the meter is ready.");

// The history keeps this many of its newest lines: a long run adds one per report.
constexpr int kHistoryLines = 1000;

// Which of the listed devices, given by their descriptions (DeviceDescription), is the cable:
// the last one listed under the cable's name alone, so a device that also gives a serial number
// is not taken for it. -1 when there is none.
int pickCable(const QStringList &descriptions);

// "Device VID=%.4X PID=%.4X" unless the device has a product name, then " (Serial=...)" when it
// has a serial number. Asks the device for its names, so it needs the device's access.
QString DeviceDescription(THidDevice *device);

// The cable's 10-byte line-speed feature report: identifier 0, the speed as unsigned little-endian,
// then 0x03 and four zero bytes.
QByteArray LineSpeedReport(quint32 baud);

// The nine bytes after the identifier, each as two hex digits and a blank.
QString speedHistoryLine(const QByteArray &report);

// "READ ERROR: %s (%X)" with the message stripped of trailing blanks, line breaks and full stops.
QString readErrorLine(const QString &systemMessage, quint32 code);

// The cable's input reports for these serial bytes, as it sends them: reports of `reportSize`
// bytes, each a count byte (high bits set, low bits the number of serial bytes) and up to
// reportSize - 1 serial bytes, zero-filled; then one report without serial bytes, which ends the
// burst. No report identifier.
QList<QByteArray> cableReports(const QByteArray &serialBytes, int reportSize = 8);

// The message for a cable this user may not open.
QString noAccessMessage(const QString &devicePath);

} // namespace usbcable
