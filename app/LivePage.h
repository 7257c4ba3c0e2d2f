#pragma once

#include "log/LogRules.h"
#include "log/ReadingRecorder.h"
#include "web/HttpOptions.h"
#include "web/LiveFeed.h"

#include <QString>

#include <memory>

class HttpService;
class QWidget;

// The window's live page (--http): the meter as the window shows it, served to browsers and
// Prometheus whether or not the log takes the readings. Its own recorder takes every reading
// the display shows (no limit, no interval, repeats kept), numbered from 1 for the window's run;
// the log's rules and numbering are not touched.
//
// The window calls it where it already knows each fact (all on the window's thread):
//   reading()          each reading the display shows, with the unit as the display shows it
//   frameSeen()        each frame that came, decoded or not; frameRejected() for a garbled one
//   linkSilent()       the watchdog darkened the link picture
//   linkUp()/linkDown() a port or the cable was opened / closed; linkLost() it went away itself
//   setOutputs()       the log's and the journal's health, once a second
class LivePage
{
public:
    explicit LivePage(const HttpOptions &options);
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

    void reading(const protocol::MeterReading &reading, const QString &fullUnit)
    {
        m_recorder.offer(reading, m_settings, fullUnit);
    }
    void frameSeen(qint64 msUtc) { m_feed.frameSeen(msUtc); }
    void frameRejected() { m_feed.framesRejected(1); }
    void linkSilent(qint64 lastFrameMsUtc) { m_feed.linkSilent(lastFrameMsUtc); }
    // `port`: the device read ("/dev/ttyUSB0") or "USB cable".
    void linkUp(const QString &port);
    // The user closed the link: no port, and nothing more is coming.
    void linkDown();
    void linkLost(const QString &reason) { m_feed.linkLost(reason); }
    // "" for an output that is well; `logStopped` says why the log takes no readings though it
    // is well (its record limit), "" while it takes them.
    void setOutputs(const QString &logError, const QString &logStopped,
                    const QString &journalError);

    // The meter's id: this machine's name, as safe in a topic or a label as the logger's.
    static QString meterId();
    // Starts the page for `window` when asked for; a page that cannot start is said on standard
    // error and in a box over the window, which runs on without it. Null without --http or
    // when it could not start.
    static std::unique_ptr<LivePage> startFor(const HttpOptions &options, QWidget *window);

    const LiveFeed &feed() const { return m_feed; }

private:
    HttpOptions m_options;
    LogRules m_rules;
    LogSettings m_settings; // Repeat on, no interval
    LiveFeed m_feed;
    ReadingRecorder m_recorder{m_rules};
    std::unique_ptr<HttpService> m_service;
    QList<OutputHealth> m_outputs;
};
