#include "ReadingRecorder.h"

#include <algorithm>

#include <QDateTime>

QString ReadingRecorder::Outcome::errorOf(const RecordOutput *output) const
{
    for (const Failure &f : failures)
        if (f.output == output)
            return f.error;
    return {};
}

qint64 ReadingRecorder::systemClock()
{
    return QDateTime::currentMSecsSinceEpoch();
}

ReadingRecorder::ReadingRecorder(LogRules &rules, Clock clock)
    : m_rules(rules), m_clock(clock ? std::move(clock) : Clock(&ReadingRecorder::systemClock))
{
}

ReadingRecorder::~ReadingRecorder()
{
    // The outputs may outlive this recorder: they must not call into it afterwards.
    if (m_failureHandler)
        for (RecordOutput *output : m_outputs)
            output->setFailureHandler({});
}

void ReadingRecorder::addOutput(RecordOutput *output)
{
    m_outputs.push_back(output);
    if (m_failureHandler)
        output->setFailureHandler(
            [this, output](const QString &why) { m_failureHandler(output, why); });
}

void ReadingRecorder::replaceOutput(RecordOutput *old, RecordOutput *now)
{
    const auto found = std::find(m_outputs.begin(), m_outputs.end(), old);
    if (found == m_outputs.end())
        return;
    if (now)
        *found = now;
    else
        m_outputs.erase(found);
}

void ReadingRecorder::setFailureHandler(
    std::function<void(RecordOutput *, const QString &)> handler)
{
    m_failureHandler = std::move(handler);
    for (RecordOutput *output : m_outputs) {
        if (m_failureHandler)
            output->setFailureHandler(
                [this, output](const QString &why) { m_failureHandler(output, why); });
        else
            output->setFailureHandler({});
    }
}

void ReadingRecorder::report(std::vector<Failure> &failures, RecordOutput *output,
                             const QString &error)
{
    if (error.isEmpty())
        return;
    failures.push_back({output, error});
}

ReadingRecorder::Outcome ReadingRecorder::offer(const protocol::MeterReading &reading,
                                                const LogSettings &settings,
                                                const QString &fullUnit)
{
    Outcome outcome;
    const LogRules::Admission admitted = m_rules.admit(reading, settings);
    if (!admitted.take) {
        outcome.ruleError = admitted.error;
        return outcome;
    }
    LogRecord record;
    record.no = m_rules.NextRecordNo;
    record.when = m_clock();
    record.reading = reading;
    // The full unit is kept only where it says more than the unit text.
    if (fullUnit != reading.UnitText)
        record.fullUnit = fullUnit;
    // The number is the record's once it is made, whichever output keeps it.
    m_rules.numbered();
    outcome.recorded = true;
    for (RecordOutput *output : m_outputs)
        report(outcome.failures, output, output->take(record));
    if (m_recordListener)
        m_recordListener(record);
    return outcome;
}

std::vector<ReadingRecorder::Failure> ReadingRecorder::flush()
{
    std::vector<Failure> failures;
    for (RecordOutput *output : m_outputs)
        report(failures, output, output->flush());
    return failures;
}

std::vector<ReadingRecorder::Failure> ReadingRecorder::finish()
{
    std::vector<Failure> failures;
    for (RecordOutput *output : m_outputs)
        report(failures, output, output->finish());
    return failures;
}
