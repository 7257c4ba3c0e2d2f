#include "Logger.h"

#include "mqtt/MqttPublisher.h"
#include "log/RecoveryJournal.h"
#include "log/engine/ReplacingFile.h"
#include "protocol/DecodedFrame.h"
#include "protocol/ModelProfile.h"
#include "web/HttpService.h"

#include <QDateTime>
#include <QFile>

#include <limits>

Logger::Logger(const LoggerOptions &options, std::FILE *out, std::FILE *err, QObject *parent,
               std::unique_ptr<HidBackend> hidBackend, Clock clock)
    : QObject(parent), m_options(options), m_out(out), m_err(err),
      m_clock(clock ? std::move(clock) : Clock(&ReadingRecorder::systemClock))
{
    m_settings.RepeatSet = options.repeat;
    m_settings.RecordSI = options.sampling;
    m_settings.RecordSITime = options.interval;
    // As the window starts its log: numbering from 1, the countdown at 0 so the first reading
    // is taken at once. Without a limit, the largest one that keeps the count within 32 bits.
    m_rules.NextRecordNo = 1;
    m_rules.setLimit(options.limit >= 0 ? options.limit : std::numeric_limits<qint32>::max() - 1);

    // The meter model's profile, as the window resolves it, gives the line speed and routines.
    const ModelProfile profile = resolveProfile(ProfileSwitches());
    if (const auto routine = serialRoutineOf(profile.receiveRoutine))
        m_run.stream().setSerialRoutine(*routine);
    if (const auto routine = hidRoutineOf(profile.usbReportRoutine))
        m_run.stream().setHidRoutine(*routine);
    if (options.source == LoggerOptions::Source::Usb) {
        auto usb =
            std::make_unique<UsbSource>(std::move(hidBackend), quint32(profile.usbCableSpeed));
        connect(&usb->cable(), &UsbCableLink::devicesChanged, this, &Logger::usbChanged);
        m_source = std::move(usb);
    } else {
        m_source = std::make_unique<SerialSource>(options, profile.serialSpeed);
    }
    m_run.setLink(&m_source->link());
    m_run.setFrameHandler([this](const protocol::StreamFrame &frame) {
        if (!m_finished)
            takeFrame(frame);
    });
    connect(&m_run, &MeterRun::bytesCame, this, &Logger::bytesArrived);
    connect(&m_run, &MeterRun::linkLost, this, [this](const QString &reason) {
        if (!m_finished && m_runTime.isValid() && !m_lost)
            linkLost(reason);
    });

    m_second.setInterval(1000);
    connect(&m_second, &QTimer::timeout, this, &Logger::tick);
    m_checkpoint.setInterval(int(std::min<qint64>(options.checkpointMs, 86400000)));
    // The table is written on its own schedule, not at every flush.
    connect(&m_checkpoint, &QTimer::timeout, this, [this] {
        if (const QString error = m_db->checkpoint(); !error.isEmpty())
            outputFailed(error);
    });
    m_duration.setSingleShot(true);
    connect(&m_duration, &QTimer::timeout, this, &Logger::armDuration);
}

Logger::~Logger()
{
    closeSource();
}

void Logger::closeSource()
{
    m_source->close();
}

void Logger::report(const QString &message)
{
    std::fprintf(m_err, "vorlatt-log: %s %s\n", qPrintable(logrecord::isoStamp(m_clock())),
                 message.toLocal8Bit().constData());
    std::fflush(m_err);
}

int Logger::start()
{
    // The source first: a run that cannot read leaves no output file behind.
    if (const QString error = openSource(); !error.isEmpty()) {
        std::fprintf(m_err, "vorlatt-log: %s\n", qPrintable(error));
        return kCannotOpen;
    }
    // --http: a port that cannot be had ends the run before anything is written.
    if (m_options.http.enabled()) {
        m_feed.setMeterId(m_options.meterId);
        m_http = std::make_unique<HttpService>(m_feed, m_options.http);
        if (const QString error = m_http->start(); !error.isEmpty()) {
            std::fprintf(m_err, "vorlatt-log: %s\n", qPrintable(error));
            m_http.reset();
            closeSource();
            return kCannotOpen;
        }
    }
    // --mqtt: a refused login or certificate ends the run before any file is written.
    if (m_options.mqtt.enabled()) {
        m_mqtt = std::make_unique<MqttPublisher>(m_options.mqtt,
                                                 [this](const QString &m) { report(m); });
        // A spool that cannot be written ends the run only when nothing else keeps the readings.
        m_mqtt->setKeptElsewhere(!m_options.output.isEmpty() || !m_options.quiet);
        if (const QString error = m_mqtt->start(); !error.isEmpty()) {
            std::fprintf(m_err, "vorlatt-log: %s\n", qPrintable(error));
            m_http.reset();
            closeSource();
            return kCannotOpen;
        }
    }
    if (!m_options.output.isEmpty()) {
        // Left by a killed run: beside this output, and wherever the notes of killed saves say.
        const std::string notes =
            QFile::encodeName(RecoveryJournal::defaultFolder() + QStringLiteral("/saves"))
                .toStdString();
        table::setSaveNotesFolder(notes);
        table::tidyNotedTemporaries(notes);
        table::tidyStaleTemporaries(m_options.output.toStdString());
        QString error;
        if (m_options.format == LogFormat::Db) {
            m_db = std::make_unique<DbOutput>();
            const DbOutput::Opened opened = m_db->open(m_options.output);
            if (opened.wrongFile) {
                std::fprintf(m_err, "vorlatt-log: %s\n", qPrintable(opened.error));
                closeSource();
                return kWrongOutput;
            }
            error = opened.error;
            if (error.isEmpty() && opened.kept > 0) {
                // As a text output is appended to; the table's own key goes on by itself.
                if (opened.lastNo >= std::numeric_limits<qint32>::max() - 1) {
                    std::fprintf(m_err,
                                 "vorlatt-log: %s: its last record is numbered %d, the "
                                 "highest number there is\n",
                                 qPrintable(m_db->path()), opened.lastNo);
                    closeSource();
                    return kWrongOutput;
                }
                m_rules.NextRecordNo = std::max(opened.lastNo, 0) + 1;
                report(QStringLiteral("appending to %1 after its %2 record%3; numbering goes on "
                                      "at %4")
                           .arg(m_db->path())
                           .arg(opened.kept)
                           .arg(opened.kept == 1 ? "" : "s")
                           .arg(m_rules.NextRecordNo));
            }
        } else {
            bool repaired = false, foreign = false;
            error = m_text.open(m_options.output, logrecord::header(m_options.format), &repaired,
                                &foreign);
            if (foreign) {
                std::fprintf(m_err, "vorlatt-log: %s\n", qPrintable(error));
                closeSource();
                return kWrongOutput;
            }
            if (repaired)
                report(QStringLiteral("%1 ended in half a line, left by an earlier run; that "
                                      "line was dropped")
                           .arg(m_options.output));
            // Numbers in one file stay unique: the numbering goes on after an earlier run's.
            if (const std::optional<qint32> last =
                    logrecord::numberOf(m_options.format, m_text.lastLine());
                error.isEmpty() && last) {
                if (*last >= std::numeric_limits<qint32>::max() - 1) {
                    std::fprintf(m_err,
                                 "vorlatt-log: %s: its last record is numbered %d, the "
                                 "highest number there is\n",
                                 qPrintable(m_options.output), *last);
                    closeSource();
                    return kWrongOutput;
                }
                m_rules.NextRecordNo = *last + 1;
                report(QStringLiteral("appending to %1; numbering goes on at %2")
                           .arg(m_options.output)
                           .arg(m_rules.NextRecordNo));
            }
        }
        if (!error.isEmpty()) {
            std::fprintf(m_err, "vorlatt-log: %s\n", qPrintable(cannotWrite(error)));
            closeSource();
            return kCannotOpen;
        }
    }
    if (!m_options.quiet)
        m_recorder.addOutput(&m_stdout);
    if (m_db)
        m_recorder.addOutput(m_db.get());
    else if (m_text.isOpen())
        m_recorder.addOutput(&m_textOutput);
    if (m_mqtt)
        m_recorder.addOutput(m_mqtt.get());
    m_run.setLogRecorder(&m_recorder);
    if (m_http)
        m_run.addReadingOutput(&m_feed);
    // Found while readings go out in the background (the broker's spool), told by the output
    // itself: the run ends, once this call is over.
    m_recorder.setFailureHandler([this](RecordOutput *, const QString &) {
        QMetaObject::invokeMethod(
            this, [this] { finish(kCannotOpen); }, Qt::QueuedConnection);
    });
    report(QStringLiteral("reading %1").arg(m_source->label()));
    if (m_http) {
        updateFeed();
        if (const QString warning = httpoptions::openWarning(m_options.http); !warning.isEmpty())
            report(warning);
        report(QStringLiteral("live page on %1").arg(m_http->url()));
    }
    m_sinceBytes.start();
    m_second.start();
    if (m_db)
        m_checkpoint.start();
    m_runTime.start();
    if (m_options.durationMs > 0)
        armDuration();
    return -1;
}

void Logger::armDuration()
{
    // A timer runs at most 24 days; a longer run is rearmed for what is left.
    const qint64 left = m_options.durationMs - m_runTime.elapsed();
    if (left <= 0)
        finish(kDone);
    else
        m_duration.start(int(std::min<qint64>(left, std::numeric_limits<int>::max())));
}

QString Logger::openSource()
{
    const QString error = m_source->open();
    if (error.isEmpty()) {
        if (m_started)
            m_run.reopenedAfterLoss();
        else
            m_run.opened(m_source->label(), m_source->name());
        m_started = true;
        m_firstFrame = true;
    }
    return error;
}

void Logger::bytesArrived()
{
    m_sinceBytes.restart();
    if (m_lost) {
        m_lost = false;
        report(QStringLiteral("link back on %1; numbering goes on at %2")
                   .arg(m_source->label())
                   .arg(m_rules.NextRecordNo));
    }
}

void Logger::takeFrame(const protocol::StreamFrame &frame)
{
    const std::optional<protocol::DecodedFrame> &decoded = frame.decoded;
    const bool first = m_firstFrame;
    m_firstFrame = false;
    if (!decoded || !decoded->ok()) {
        // The port is usually opened in the middle of a frame: its tail is no garbage.
        if (!first && m_garbage++ == 0)
            m_garbageSince = m_clock();
        return;
    }
    take(decoded->reading,
         logrecord::fullUnit(decoded->reading, decoded->has(protocol::Annunciator::Kilo),
                             decoded->has(protocol::Annunciator::Mega)));
}

void Logger::usbChanged()
{
    // Called for any device coming or going, after linkLost when the cable went: a cable that
    // comes back is read again at once.
    if (m_finished || !m_runTime.isValid())
        return;
    if (m_lost)
        reopen();
}

void Logger::take(const protocol::MeterReading &reading, const QString &fullUnit)
{
    // A full table is written whole and closed before the next record goes anywhere: the run
    // goes on in the next file, whose first record is the next number.
    if (m_db && m_db->full() && !nextTable(m_rules.NextRecordNo))
        return;
    const ReadingRecorder::Outcome outcome = m_recorder.offer(reading, m_settings, fullUnit);
    if (outcome.recorded)
        ++m_written;
    if (!outcome.failures.empty()) {
        outputsFailed(outcome.failures);
        return;
    }
    if (m_rules.NextRecordNo == std::numeric_limits<qint32>::max()) {
        // Numbers go on from an existing table's, so even a run within its limit can get here.
        report(QStringLiteral("record numbers used up"));
        finish(kDone);
    } else if (m_options.count > 0 && m_written >= m_options.count) {
        finish(kDone);
    } else if (m_rules.limitReached()) {
        report(QStringLiteral("record limit reached"));
        finish(kDone);
    }
}

// A table holds at most DbOutput::mostRecords(): the full one is written whole and closed, and
// the run goes on in NAME-2.db, NAME-3.db, ... (an existing one is appended to, as at the start;
// one that is full too, or no table of this layout, is passed over with a word why).
bool Logger::nextTable(qint32 firstNo)
{
    if (const QString error = m_db->checkpoint(); !error.isEmpty()) {
        outputFailed(error);
        return false;
    }
    RecordOutput *const fullOutput = m_db.get();
    const QString full = m_db->path();
    const qint64 inFull = m_db->records();
    m_earlierTables += m_db->recordsInFile();
    const QString given = m_options.output;
    const QString stem = given.left(given.size() - 3);
    const QString extension = given.right(3);
    for (int n = m_tableNumber + 1; n < m_tableNumber + 1000; ++n) {
        const QString next = QStringLiteral("%1-%2%3").arg(stem).arg(n).arg(extension);
        table::tidyStaleTemporaries(next.toStdString());
        auto db = std::make_unique<DbOutput>();
        const DbOutput::Opened opened = db->open(next);
        if (opened.error.isEmpty() && db->full()) {
            report(QStringLiteral("%1 is full too; trying the next name").arg(db->path()));
            continue;
        }
        if (opened.wrongFile) {
            report(QStringLiteral("%1; trying the next name").arg(opened.error));
            continue;
        }
        m_tableNumber = n;
        m_recorder.replaceOutput(fullOutput, db.get());
        m_db.reset();
        if (!opened.error.isEmpty()) {
            m_recorder.replaceOutput(db.get(), nullptr);
            // The records so far are in the full tables; this one could not be started.
            m_options.output = next;
            outputFailed(opened.error);
            return false;
        }
        m_db = std::move(db);
        report(QStringLiteral("%1 is full (%2 records, as many as a Paradox table holds); "
                              "going on in %3 from record %4%5")
                   .arg(full)
                   .arg(inFull)
                   .arg(m_db->path())
                   .arg(firstNo)
                   .arg(opened.kept > 0 ? QStringLiteral(", after its %1 records").arg(opened.kept)
                                        : QString()));
        return true;
    }
    outputFailed(QStringLiteral("no free name for the next table after %1").arg(full));
    return false;
}

bool Logger::flushOutputs()
{
    std::fflush(m_out); // also with --quiet: the reports share the terminal
    const std::vector<ReadingRecorder::Failure> failures = m_recorder.flush();
    if (failures.empty())
        return true;
    outputsFailed(failures);
    return false;
}

void Logger::outputsFailed(const std::vector<ReadingRecorder::Failure> &failures)
{
    for (const ReadingRecorder::Failure &f : failures) {
        if (f.output == m_db.get() && !m_finished) {
            // The table in memory keeps the records before it, and is written at the end.
            report(QStringLiteral("cannot add a record to the table: %1").arg(f.error));
            finish(kCannotOpen);
        } else {
            outputFailed(f.error);
        }
    }
}

void Logger::outputFailed(const QString &error)
{
    if (!m_outputFailed)
        report(cannotWrite(error));
    m_outputFailed = true;
    finish(kCannotOpen);
}

QString Logger::cannotWrite(const QString &error) const
{
    // The file's errors name it first; it is named once.
    const QString named = m_options.output + QStringLiteral(": ");
    return QStringLiteral("cannot write %1: %2")
        .arg(m_options.output, error.startsWith(named) ? error.mid(named.size()) : error);
}

qint64 Logger::recordsKept() const
{
    if (m_db)
        return m_earlierTables + m_db->recordsInFile();
    if (!m_options.output.isEmpty())
        return m_text.recordsInFile();
    // With --quiet, the MQTT spool may be the only place a reading is kept.
    if (m_options.quiet && m_mqtt)
        return m_written - m_mqtt->notKept();
    return m_written;
}

void Logger::tick()
{
    m_rules.TrecordTimer(m_settings.RecordSI);
    if (!flushOutputs())
        return;
    if (m_http)
        updateFeed();
    reportGarbage();
    if (!m_lost && m_sinceBytes.elapsed() >= kSilenceMs)
        linkLost();
    else if (m_lost)
        reopen();
}

void Logger::reportGarbage(bool atEnd)
{
    if (m_garbage == 0 || (!atEnd && m_sinceGarbageReport.isValid() &&
                           m_sinceGarbageReport.elapsed() < kGarbageReportMs))
        return;
    report(
        QStringLiteral("%1 garbled frame%2 skipped since %3")
            .arg(m_garbage)
            .arg(m_garbage == 1 ? "" : "s")
            .arg(logrecord::localTime(m_garbageSince).time().toString(QStringLiteral("HH:mm:ss"))));
    m_garbage = 0;
    m_sinceGarbageReport.start();
}

void Logger::updateFeed()
{
    QList<OutputHealth> outputs;
    if (!m_options.quiet)
        outputs.append({QStringLiteral("standard output"), true, {}});
    if (!m_options.output.isEmpty()) {
        const QString name = m_db ? m_db->path() : m_options.output;
        outputs.append({name, !m_outputFailed,
                        m_outputFailed ? QStringLiteral("cannot be written") : QString()});
    }
    if (m_mqtt) {
        const QString status = m_mqtt->status();
        outputs.append({QStringLiteral("MQTT %1").arg(m_options.mqtt.url), status != u"spool-full",
                        status});
        m_feed.setMqtt(true, m_mqtt->spoolBytes(), m_mqtt->unacknowledged());
    }
    m_feed.setOutputs(outputs);
}

void Logger::linkLost(const QString &reason)
{
    const QString gone = reason.isEmpty() ? m_source->goneReason() : reason;
    const QString why =
        gone.isEmpty() ? QStringLiteral("no data for %1 s").arg(kSilenceMs / 1000) : gone;
    report(QStringLiteral("link lost on %1: %2").arg(m_source->label(), why));
    // A meter that merely stopped sending is "no data since ..." on the page, as in the
    // window; the run counts it as a link loss all the same.
    if (gone.isEmpty())
        m_run.silent(true);
    else
        m_run.lost(gone);
    if (m_options.exitOnLoss) {
        finish(kLinkLost);
        return;
    }
    // A cable still plugged in goes on being read: a meter switched off and on again just
    // resumes sending.
    if (m_source->reopensWhenSilent())
        m_source->close();
    m_lost = true;
    m_waitReported = false;
}

void Logger::reopen()
{
    if (m_source->isOpen()) {
        // Open but silent: the meter is off, or this is a stale node of a device that went away.
        // Start over, so that a device that comes back under the same name is opened afresh.
        if (m_source->reopensWhenSilent() && m_sinceBytes.elapsed() >= kSilenceMs)
            m_source->close();
        return;
    }
    if (openSource().isEmpty()) {
        m_sinceBytes.restart();
        return;
    }
    if (!m_waitReported) {
        report(QStringLiteral("waiting for %1 to come back (%2)")
                   .arg(m_source->waitingFor(), m_source->waitReason()));
        m_waitReported = true;
    }
}

void Logger::finish(int status)
{
    if (m_finished)
        return;
    m_finished = true;
    m_second.stop();
    m_checkpoint.stop();
    m_duration.stop();
    closeSource();
    if (m_mqtt)
        m_mqtt->close(); // says what it left in the spool first
    // The page's clients are let go, and the port is free, before the outputs are closed.
    if (m_http)
        m_http->stop();
    reportGarbage(true);
    std::fflush(m_out);
    // After a failed write the output has said why once and takes nothing more: the file, and
    // the table, which is written a last time unless writing it failed before.
    for (const ReadingRecorder::Failure &f : m_recorder.finish())
        if (!m_outputFailed)
            outputFailed(f.error); // finishes nothing more: m_finished is set
    if (m_outputFailed)
        status = kCannotOpen;
    // Only what is in the file counts: records read but lost with a failed write are said apart.
    const qint64 kept = recordsKept();
    QString logged = QStringLiteral("%1 record%2 logged").arg(kept).arg(kept == 1 ? "" : "s");
    if (m_written > kept)
        logged += QStringLiteral("; %1 more read could not be written").arg(m_written - kept);
    if (const QString note = m_db ? m_db->layoutNote() : QString(); !note.isEmpty())
        logged += QStringLiteral("; ") + note;
    report(logged);
    emit finished(status);
}
