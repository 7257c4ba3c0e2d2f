#pragma once

#include "HttpOptions.h"

#include <QString>

#include <memory>

class LiveFeed;

// Serves a LiveFeed over HTTP, read-only: the live page and its files, /events (Server-Sent
// Events), /api/readings, /api/status and /metrics. The server (cpp-httplib) listens on a thread
// of its own and answers on a pool of worker threads, so neither a slow client nor a busy page
// ever holds up the thread that records the readings.
//
// Safety: fixed routes only (no path from a request ever names a file), GET and HEAD only, no
// request body, bounded request lines, header lines and header count, a time limit for a request
// to arrive whole, a bounded number of event streams, a client that stops reading dropped, a
// token compared in constant time where one is set, no cross-origin access unless allowed.
class HttpService
{
public:
    // The limits.
    // Event streams open at once: a lab wall of browsers and dashboards on one meter; each holds a
    // worker thread while it is open.
    static constexpr int kMaxEventStreams = 64;
    // Connections served at once (every event stream, and a few for the other routes), and those
    // held at most, the rest waiting for a worker; more are answered 503 at once.
    static constexpr int kWorkers = kMaxEventStreams + 8;
    static constexpr int kMaxConnections = kWorkers + 24;
    static constexpr int kMaxLineBytes = 8192;  // the request line, and each header line
    static constexpr int kMaxHeaders = 64;
    static constexpr int kReadTimeoutMs = 5000; // for a request to arrive whole
    static constexpr int kWriteTimeoutMs = 5000; // a client that takes no bytes this long is dropped
    static constexpr int kKeepaliveMs = 15000;   // a comment on a quiet event stream

    HttpService(LiveFeed &feed, const HttpOptions &options);
    ~HttpService();
    HttpService(const HttpService &) = delete;
    HttpService &operator=(const HttpService &) = delete;

    // Binds and starts serving. Returns "" or why it cannot (the port in use, an address that is
    // not this machine's).
    QString start();
    // Stops serving: open streams are ended, the threads joined. Also done by the destructor.
    void stop();
    bool isRunning() const;
    // The port bound (the one the system chose for port 0); -1 before start().
    int port() const;
    // The page's address as a browser on this machine reaches it.
    QString url() const;
    // Event streams open now.
    int eventStreams() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
