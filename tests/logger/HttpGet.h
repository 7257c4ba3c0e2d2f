#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// One GET to a server on 127.0.0.1 over a plain socket, as any HTTP client sends it, read to the
// end of the answer (the request asks the server to close). No HTTP library of our own: a test
// that used the program's server library as its client too would share its faults.
struct HttpAnswer
{
    int status = 0; // 0: no answer (refused, closed early, timed out)
    QByteArray headers;
    QByteArray body;
};

inline HttpAnswer httpGet(int port, const QByteArray &target,
                          const QList<QPair<QByteArray, QByteArray>> &headers = {},
                          int timeoutMs = 10000)
{
    HttpAnswer answer;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return answer;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(quint16(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QByteArray request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                         QByteArray::number(port) + "\r\nConnection: close\r\n";
    for (const auto &[name, value] : headers)
        request += name + ": " + value + "\r\n";
    request += "\r\n";
    QByteArray raw;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size()) {
        char buffer[16384];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0)
                break;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            raw.append(buffer, n);
        }
    }
    ::close(fd);
    const qsizetype end = raw.indexOf("\r\n\r\n");
    if (!raw.startsWith("HTTP/1.") || end < 0)
        return answer;
    answer.status = raw.mid(9, 3).toInt();
    answer.headers = raw.left(end);
    QByteArray body = raw.mid(end + 4);
    if (answer.headers.toLower().contains("transfer-encoding: chunked")) {
        QByteArray joined;
        qsizetype at = 0;
        for (;;) {
            const qsizetype lineEnd = body.indexOf("\r\n", at);
            if (lineEnd < 0)
                break;
            bool ok = false;
            const qsizetype size = body.mid(at, lineEnd - at).split(';').first().toLongLong(&ok, 16);
            if (!ok || size == 0)
                break;
            joined += body.mid(lineEnd + 2, size);
            at = lineEnd + 2 + size + 2;
        }
        body = joined;
    }
    answer.body = body;
    return answer;
}
