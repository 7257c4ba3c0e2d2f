#pragma once

#include "HttpOptions.h"

#include <QString>

#include <memory>

class LiveFeed;

// Serves a LiveFeed over HTTP, read-only: the live page and its files, /events (Server-Sent
// Events), /api/readings, /api/status and /metrics. The server (cpp-httplib) listens on a thread
// of its own, has its connections wait for their requests on another, and answers on worker
// threads started as requests need them, so neither a slow client nor a busy page ever holds up
// the thread that records the readings, idle connections never hold a worker, and an idle server
// holds none. An open event stream sleeps until the feed has news for it, a keep-alive is due or
// its client goes.
//
// Safety: fixed routes only (no path from a request ever names a file), GET and HEAD only, no
// request body (nor a request whose end is framed two ways), bounded request lines, header lines,
// header count and head, a time limit for a request to arrive whole, connections waiting for
// their requests without holding a thread (the oldest let go when too many wait), a bounded
// number of event streams, a client that stops reading dropped, a token compared in constant time
// where one is set, no cross-origin access unless allowed.
class HttpService
{
public:
    // The limits. Each says why it is there.
    // Event streams open at once: a lab wall of browsers and dashboards on one meter; each holds a
    // worker thread while it is open.
    static constexpr int kMaxEventStreams = 64;
    // Requests served at once: every event stream, and a few for the other routes. A worker is
    // a thread, started when a request finds none free and ended after a while with nothing to
    // do: only a connection whose request head has come whole gets one.
    static constexpr int kWorkers = kMaxEventStreams + 8;
    // Requests whole and waiting for a worker; more are answered 503 at once. Only real work
    // (whole requests, open streams) fills the workers and this queue.
    static constexpr int kMaxQueued = 24;
    // Connections waiting for a request's head (new ones, ones between requests, heads on their
    // way): each costs a descriptor and a buffer of its head, no thread. Over this bound the
    // oldest of them is closed to make room, so a flood of connections that send nothing, or a
    // byte now and then, cannot keep out a client that sends its request at once; the bound
    // itself keeps what such a flood takes, in descriptors and in memory (kMaxHeadBytes each).
    static constexpr int kMaxWaiting = 256;
    // Accepted and not yet taken in by the waiting room's thread, which takes them at once
    // unless the machine is too busy to run it; at this many, no more are accepted until it has.
    static constexpr int kMaxArriving = 64;
    // Connections the server holds at most. With an eventfd for each open event stream and the
    // few of its own, well under a desktop's usual limit of 1024 descriptors, so that the
    // recorder keeps one for its port and its file whatever a flood does.
    static constexpr int kMaxConnections = kMaxWaiting + kMaxArriving + kWorkers + kMaxQueued;
    static constexpr int kMaxLineBytes = 8192;  // the request line, and each header line
    static constexpr int kMaxHeaders = 64;
    static constexpr int kMaxHeadBytes = 65536; // a head in all (a browser's is 1 or 2 KiB)
    // For a head to arrive whole from its first byte (408 after), and for a connection's first
    // byte (closed after, without an answer).
    static constexpr int kReadTimeoutMs = 5000;
    // For the first byte, while more than half of kMaxWaiting connections wait: idle ones are
    // let go before they have to be pushed out (a browser sends its request at once).
    static constexpr int kIdleWhenCrowdedMs = 1000;
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
