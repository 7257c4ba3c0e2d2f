#pragma once

#include "log/LogRecord.h"
#include "log/LogRules.h"
#include "log/RecordOutput.h"

#include <QString>

#include <functional>
#include <vector>

// The path of a decoded reading into the log: the rules decide whether it is taken (record
// limit, sampling interval, Repeat key); a taken reading becomes one LogRecord, numbered and
// stamped once, which every output gets in the order the outputs were added. An output that fails
// is reported and the others still get the record; what a failure means is the owner's choice.
//
// The window records into its log table and the recovery journal, the headless logger into its
// text, table and broker outputs; both decide through the same rules and make the same record.
class ReadingRecorder
{
public:
    // Milliseconds since the epoch, UTC: the stamp of a record is taken once, without any
    // conversion to local time, which the outputs do only where they write a text.
    using Clock = std::function<qint64()>;

    struct Failure
    {
        RecordOutput *output = nullptr;
        QString error;
    };

    struct Outcome
    {
        // The rules took the reading: a record was made and handed to every output.
        bool recorded = false;
        // The interval text is not a whole number; nothing was recorded.
        QString ruleError;
        // The outputs that could not keep the record, in their order.
        std::vector<Failure> failures;

        // The failure of `output`, or "" when it kept the record.
        QString errorOf(const RecordOutput *output) const;
    };

    // `rules` decide and number; they belong to the caller, who may change them between readings.
    explicit ReadingRecorder(LogRules &rules, Clock clock = {});
    ~ReadingRecorder();
    ReadingRecorder(const ReadingRecorder &) = delete;
    ReadingRecorder &operator=(const ReadingRecorder &) = delete;

    // Outputs get records in the order they were added; they are not owned.
    void addOutput(RecordOutput *output);
    const std::vector<RecordOutput *> &outputs() const { return m_outputs; }
    // Puts `now` in the place of `old` (an output that rolled over to another file), or takes
    // `old` out when `now` is null.
    void replaceOutput(RecordOutput *old, RecordOutput *now);

    // A failure an output finds later on its own, outside the calls here (which return theirs),
    // goes to `handler`.
    void setFailureHandler(std::function<void(RecordOutput *, const QString &)> handler);
    // Who hears of each record made, after every output got it.
    void setRecordListener(std::function<void(const LogRecord &)> listener)
    {
        m_recordListener = std::move(listener);
    }

    // Offers one decoded reading. `fullUnit` is the unit as the display shows it, with the prefix
    // of hertz (see logrecord::fullUnit); empty when the unit text is all of it.
    Outcome offer(const protocol::MeterReading &reading, const LogSettings &settings,
                  const QString &fullUnit = {});
    // The periodic flush of every output; the failures.
    std::vector<Failure> flush();
    // Finishes every output (the end of a run); the failures.
    std::vector<Failure> finish();

    static qint64 systemClock();

private:
    void report(std::vector<Failure> &failures, RecordOutput *output, const QString &error);

    LogRules &m_rules;
    Clock m_clock;
    std::vector<RecordOutput *> m_outputs;
    std::function<void(RecordOutput *, const QString &)> m_failureHandler;
    std::function<void(const LogRecord &)> m_recordListener;
};
