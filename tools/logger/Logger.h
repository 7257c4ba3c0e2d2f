#pragma once

#include "log/DbOutput.h"
#include "LoggerOptions.h"
#include "log/TextOutputs.h"
#include "MeterSource.h"
#include "log/RecordFile.h"
#include "link/hid/HidBackend.h"
#include "log/LogRecord.h"
#include "log/LogRules.h"
#include "log/ReadingRecorder.h"
#include "link/run/MeterRun.h"
#include "protocol/ReadingStream.h"
#include "web/LiveFeed.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>

class HttpService;
class MqttPublisher;

// One unattended run: reads the meter through the serial driver or its USB cable, cuts and
// decodes its frames as the window does, and hands each reading to a ReadingRecorder, which lets
// the log rules pick the readings and gives each picked one to the outputs at once: standard
// output, the output file or table, the broker. A failing output is told here, and ends the run.
// Nothing of a reading stays in memory after it is written, except in the db output. A silent or
// vanished device is reported and reopened until it answers again.
class Logger : public QObject
{
    Q_OBJECT

public:
    // Exit statuses.
    static constexpr int kDone = 0;
    static constexpr int kCannotOpen = 1;
    // As for a wrong command line: the output named is no file this run may write (a db
    // output that is not a table name, a regular file or a table, a table of another layout,
    // or a text output that is no log of its format). Nothing was written.
    static constexpr int kWrongOutput = 2;
    static constexpr int kLinkLost = 3;
    // The meter sends 17 frames a second: this long without a byte means the link is gone.
    static constexpr int kSilenceMs = 3000;
    // Garbled frames are summed up at most this often.
    static constexpr qint64 kGarbageReportMs = 60000;

    // Milliseconds since the epoch (UTC), for record times and report stamps.
    using Clock = ReadingRecorder::Clock;

    // `hidBackend` replaces the system's HID devices for --usb (tests hold them in memory);
    // `clock` the system's clock.
    Logger(const LoggerOptions &options, std::FILE *out, std::FILE *err, QObject *parent = nullptr,
           std::unique_ptr<HidBackend> hidBackend = nullptr, Clock clock = {});
    ~Logger() override;

    // Opens the source, then the outputs. Returns kCannotOpen or kWrongOutput when either fails
    // (the reason is on standard error) and -1 when the run has started.
    int start();
    // Ends the run: outputs flushed and closed, the table written. Emits finished() once, with
    // `status`, or kCannotOpen if the outputs could not be completed.
    void finish(int status);

signals:
    void finished(int status);

private:
    void bytesArrived();
    void takeFrame(const protocol::StreamFrame &frame);
    void usbChanged();
    // Opens the source and starts a fresh frame; the message when it cannot.
    QString openSource();
    void take(const protocol::MeterReading &reading, const QString &fullUnit);
    void tick();
    // The link is lost: `reason` as the link gave it, else the source's or the silence.
    void linkLost(const QString &reason = {});
    void reopen();
    void armDuration();
    void closeSource();
    // At most once a minute, and whatever is left at the end.
    void reportGarbage(bool atEnd = false);
    bool flushOutputs();
    // Tells what the failures of the outputs mean: each ends the run.
    void outputsFailed(const std::vector<ReadingRecorder::Failure> &failures);
    // The db output is full: written whole and closed, the run goes on in the next table, whose
    // first record is numbered `firstNo`. False when the run ended instead.
    bool nextTable(qint32 firstNo);
    // Tells that the output could not be written and ends the run.
    void outputFailed(const QString &error);
    // "cannot write OUTPUT: <why>", the output named once.
    QString cannotWrite(const QString &error) const;
    // Records of this run that are in the output file, or written to standard output without one.
    qint64 recordsKept() const;
    void report(const QString &message);
    // --http: the outputs' health and the broker's spool, for the live page.
    void updateFeed();

    LoggerOptions m_options;
    std::FILE *m_out = nullptr;
    std::FILE *m_err = nullptr;

    Clock m_clock;
    std::unique_ptr<MeterSource> m_source;
    // The source's bytes into frames and readings, as in the window; the link's state for the
    // outputs.
    MeterRun m_run{m_clock};
    LogRules m_rules;
    LogSettings m_settings;

    RecordFile m_text;
    std::unique_ptr<DbOutput> m_db;
    qint64 m_earlierTables = 0; // this run's records in db outputs that were full
    int m_tableNumber = 1;      // NAME.db is the first, then NAME-2.db, ...
    qint64 m_written = 0;
    bool m_outputFailed = false;           // told once; the output takes nothing more
    std::unique_ptr<MqttPublisher> m_mqtt; // with --mqtt
    StreamOutput m_stdout{m_out};
    TextFileOutput m_textOutput{m_text, m_options.format};
    // With --http: what the live page shows, served by m_http.
    LiveFeed m_feed{LiveFeed::kDefaultCapacity, m_clock};
    std::unique_ptr<HttpService> m_http;
    // Standard output (without --quiet), then the file or the table, then the broker. The live
    // page is an output of the run: it shows every reading, whatever the rules take.
    ReadingRecorder m_recorder{m_rules, m_clock};

    QTimer m_second;
    QTimer m_checkpoint;
    QTimer m_duration;
    QElapsedTimer m_runTime;
    QElapsedTimer m_sinceBytes;
    bool m_lost = false;
    bool m_firstFrame = true; // the first frame since the port was opened
    bool m_started = false;   // the source was opened once: later opens are reopens
    bool m_waitReported = false;
    qint64 m_garbage = 0; // garbled frames not reported yet
    qint64 m_garbageSince = 0;
    QElapsedTimer m_sinceGarbageReport;
    bool m_finished = false;
};
