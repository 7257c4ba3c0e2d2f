#include "ComPortNames.h"

#include <QSerialPortInfo>

#include <algorithm>

namespace {

constexpr int kFirstPort = 1;
constexpr int kLastPort = 4;

// Compares digit runs by value, so /dev/ttyUSB2 comes before /dev/ttyUSB10 and COM numbers
// stay put when a tenth adapter is plugged in.
bool naturalLess(const QString &a, const QString &b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            qsizetype ei = i;
            qsizetype ej = j;
            while (ei < a.size() && a.at(ei).isDigit())
                ++ei;
            while (ej < b.size() && b.at(ej).isDigit())
                ++ej;
            // Compare without leading zeros: first by length, then digit by digit.
            qsizetype si = i;
            qsizetype sj = j;
            while (si + 1 < ei && a.at(si) == u'0')
                ++si;
            while (sj + 1 < ej && b.at(sj) == u'0')
                ++sj;
            if (ei - si != ej - sj)
                return ei - si < ej - sj;
            const int c = QStringView(a).mid(si, ei - si).compare(QStringView(b).mid(sj, ej - sj));
            if (c != 0)
                return c < 0;
            i = ei;
            j = ej;
            continue;
        }
        if (a.at(i) != b.at(j))
            return a.at(i) < b.at(j);
        ++i;
        ++j;
    }
    if (a.size() - i != b.size() - j)
        return a.size() - i < b.size() - j;
    return a < b; // equal by value, as with "ttyS01" and "ttyS1": keep the order total
}

QString deviceFromEnvironment(int n)
{
    return qEnvironmentVariable(QStringLiteral("VORLATT_COM%1").arg(n).toLatin1().constData());
}

} // namespace

QString comPortDevice(int n, const QStringList &systemPorts)
{
    if (n < kFirstPort || n > kLastPort)
        return {};
    const QString fromEnvironment = deviceFromEnvironment(n);
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    QStringList ports = systemPorts;
    std::sort(ports.begin(), ports.end(), naturalLess);
    if (n <= ports.size())
        return ports.at(n - 1);
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
}

QString comPortDevice(int n)
{
    if (n < kFirstPort || n > kLastPort)
        return {};
    // Listing the system's ports asks udev; skip it when the environment already decides.
    const QString fromEnvironment = deviceFromEnvironment(n);
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return comPortDevice(n, systemSerialPorts());
}

QStringList systemSerialPorts()
{
    QStringList ports;
    const auto infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : infos)
        ports << info.systemLocation();
    return ports;
}

QString comPortLabel(int n, const QString &device)
{
    return QStringLiteral("COM%1 (%2)").arg(n).arg(device);
}
