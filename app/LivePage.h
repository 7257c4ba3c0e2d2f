#pragma once

#include "web/HttpOptions.h"
#include "web/LiveFeed.h"

#include <QString>

#include <memory>

class HttpService;
class QWidget;

// The window's live page (--http): the meter as the window shows it, served to browsers and
// Prometheus whether or not the log takes the readings. Its feed is an output of the window's
// meter run, which gives it every decoded reading (numbered from 1 for the window's run), the
// link's state and the log's records; the window tells it only the health of its log and
// journal, once a second (setOutputs()).
class LivePage
{
public:
    // `meterId` names the meter on the page and in the metrics; "" names it after this machine
    // and the port read.
    explicit LivePage(const HttpOptions &options, const QString &meterId = {});
    ~LivePage();
    LivePage(const LivePage &) = delete;
    LivePage &operator=(const LivePage &) = delete;

    // Starts serving. Returns "" or why not (the port is in use, ...); the window runs without
    // the page then.
    QString start();
    // The port bound, once started.
    int port() const;
    // The page's address, as a browser on this machine reaches it.
    QString url() const;

    // "" for an output that is well; `logStopped` says why the log takes no readings though it
    // is well (its record limit), "" while it takes them.
    void setOutputs(const QString &logError, const QString &logStopped,
                    const QString &journalError);

    // Starts the page for `window` when asked for; a page that cannot start is said on standard
    // error and in a box over the window, which runs on without it. Null without --http or
    // when it could not start.
    static std::unique_ptr<LivePage> startFor(const HttpOptions &options, const QString &meterId,
                                              QWidget *window);

    LiveFeed &feed() { return m_feed; }
    const LiveFeed &feed() const { return m_feed; }

private:
    HttpOptions m_options;
    LiveFeed m_feed;
    std::unique_ptr<HttpService> m_service;
    QList<OutputHealth> m_outputs;
};
