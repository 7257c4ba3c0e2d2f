#include "UsbCableLine.h"

#include "link/hid/UsbCable.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

bool UsbCableLine::open()
{
    QString error;
    if (!m_device.create({QStringLiteral("USB to Serial"), QString()}, &error)) {
        std::fprintf(stderr, "vorlatt-sim: %s\n", qPrintable(error));
        return false;
    }
    return true;
}

bool UsbCableLine::send(const QByteArray &frame)
{
    for (const QByteArray &report : usbcable::cableReports(frame)) {
        if (!m_device.input(report)) {
            std::fprintf(stderr, "vorlatt-sim: sending a report failed: %s\n",
                         std::strerror(errno));
            return false;
        }
    }
    return true;
}

void UsbCableLine::reportFeatures()
{
    const QList<QByteArray> features = m_device.featureReports();
    for (qsizetype i = m_featuresSeen; i < features.size(); ++i)
        std::fprintf(stderr, "vorlatt-sim: line speed report %s\n",
                     features.at(i).toHex(' ').constData());
    m_featuresSeen = features.size();
}
