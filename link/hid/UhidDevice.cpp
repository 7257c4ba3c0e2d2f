#include "UhidDevice.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

struct UhidDevice::Impl
{
    int fd = -1;
    int stopFd = -1;
    std::thread service;
    mutable std::mutex mutex;
    QList<QByteArray> features;
    QByteArray lastFeature;

    bool send(const uhid_event &ev)
    {
        const ssize_t n = ::write(fd, &ev, sizeof(ev));
        return n == ssize_t(sizeof(ev));
    }

    void serve()
    {
        for (;;) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return;
            if (fds[1].revents & POLLIN)
                return;
            if (!(fds[0].revents & POLLIN))
                continue;
            uhid_event ev = {};
            if (::read(fd, &ev, sizeof(ev)) <= 0)
                continue;
            uhid_event reply = {};
            if (ev.type == UHID_SET_REPORT) {
                const QByteArray data(reinterpret_cast<const char *>(ev.u.set_report.data),
                                      std::min<int>(ev.u.set_report.size, UHID_DATA_MAX));
                {
                    std::lock_guard lock(mutex);
                    features.append(data);
                    lastFeature = data;
                }
                reply.type = UHID_SET_REPORT_REPLY;
                reply.u.set_report_reply.id = ev.u.set_report.id;
                reply.u.set_report_reply.err = 0;
                send(reply);
            } else if (ev.type == UHID_GET_REPORT) {
                reply.type = UHID_GET_REPORT_REPLY;
                reply.u.get_report_reply.id = ev.u.get_report.id;
                std::lock_guard lock(mutex);
                reply.u.get_report_reply.size = quint16(lastFeature.size());
                std::memcpy(reply.u.get_report_reply.data, lastFeature.constData(),
                            size_t(lastFeature.size()));
                send(reply);
            }
        }
    }
};

UhidDevice::UhidDevice() : d(std::make_unique<Impl>()) {}

UhidDevice::~UhidDevice()
{
    destroy();
}

bool UhidDevice::created() const
{
    return d->fd >= 0;
}

bool UhidDevice::create(const Identity &identity, QString *error)
{
    destroy();
    d->fd = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (d->fd < 0) {
        *error = QStringLiteral("cannot open /dev/uhid: %1")
                     .arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    uhid_event ev = {};
    ev.type = UHID_CREATE2;
    auto copy = [](char *to, size_t size, const QString &text) {
        const QByteArray bytes = text.toUtf8().left(int(size) - 1);
        std::memcpy(to, bytes.constData(), size_t(bytes.size()));
    };
    copy(reinterpret_cast<char *>(ev.u.create2.name), sizeof(ev.u.create2.name), identity.name);
    copy(reinterpret_cast<char *>(ev.u.create2.phys), sizeof(ev.u.create2.phys),
         QStringLiteral("vorlatt-uhid/input0"));
    copy(reinterpret_cast<char *>(ev.u.create2.uniq), sizeof(ev.u.create2.uniq), identity.uniq);
    const QByteArray rd = identity.descriptor.left(HID_MAX_DESCRIPTOR_SIZE);
    ev.u.create2.rd_size = quint16(rd.size());
    std::memcpy(ev.u.create2.rd_data, rd.constData(), size_t(rd.size()));
    ev.u.create2.bus = 0x03; // USB
    ev.u.create2.vendor = identity.vendor;
    ev.u.create2.product = identity.product;
    ev.u.create2.version = identity.version;
    if (!d->send(ev)) {
        *error = QStringLiteral("cannot create the device: %1")
                     .arg(QString::fromLocal8Bit(strerror(errno)));
        ::close(d->fd);
        d->fd = -1;
        return false;
    }
    d->stopFd = eventfd(0, EFD_CLOEXEC);
    d->service = std::thread([impl = d.get()] { impl->serve(); });
    return true;
}

bool UhidDevice::input(const QByteArray &report)
{
    if (d->fd < 0)
        return false;
    uhid_event ev = {};
    ev.type = UHID_INPUT2;
    const QByteArray data = report.left(UHID_DATA_MAX);
    ev.u.input2.size = quint16(data.size());
    std::memcpy(ev.u.input2.data, data.constData(), size_t(data.size()));
    return d->send(ev);
}

void UhidDevice::destroy()
{
    if (d->fd < 0)
        return;
    eventfd_write(d->stopFd, 1);
    d->service.join();
    uhid_event ev = {};
    ev.type = UHID_DESTROY;
    d->send(ev);
    ::close(d->fd);
    ::close(d->stopFd);
    d->fd = -1;
    d->stopFd = -1;
}

QList<QByteArray> UhidDevice::featureReports() const
{
    std::lock_guard lock(d->mutex);
    return d->features;
}
