#pragma once

#include "protocol/MeterReading.h"

#include <QString>

// What the log's controls hold when a reading is offered: the Repeat box, the sampling-interval
// box and the interval's text. The window reads them from its controls at each call.
struct LogSettings
{
    bool RepeatSet = true;
    bool RecordSI = false;
    QString RecordSITime = QStringLiteral("10");
};

// The rules by which a reading gets into the log, with no table behind them: the record limit,
// the sampling interval with its countdown, the Repeat key and the numbering. The window's
// reading log and the headless logger both decide through this class, so a reading is taken or
// dropped the same way whatever stores it.
//
// Use: admit() a reading; when it says take, store the record numbered NextRecordNo, then
// numbered(). TrecordTimer() once a second; RecordSITimeChange() when the interval text changes.
class LogRules
{
public:
    struct Admission
    {
        bool take = false;
        QString error; // the interval text is not a whole number; nothing is taken
    };

    // Steps limit, interval, Repeat key, key, countdown reload and count, in this order; a step
    // that stops leaves what the earlier ones changed changed.
    Admission admit(const protocol::MeterReading &reading, const LogSettings &settings);
    // The record numbered NextRecordNo has been stored.
    void numbered() { ++NextRecordNo; }

    // One tick of the sampling timer.
    void TrecordTimer(bool recordSI);
    // The interval text changed: restarts the countdown from it. Returns the conversion error,
    // or "" (the countdown keeps its value on error).
    QString RecordSITimeChange(const QString &text);

    // Sets RecordLimit; RecordCount is left alone, so a lower limit stops logging at once.
    void setLimit(qint32 limit) { RecordLimit = limit; }
    // True once no reading can be taken until the limit is raised or the count reset.
    bool limitReached() const { return RecordCount > RecordLimit; }

    // The interval text as a whole number: "", "-" and "+" count as 0. False if it is none.
    static bool intervalSeconds(const QString &text, qint32 &seconds);
    // The toolkit's message for a text that is not a whole number.
    static QString notAnInteger(const QString &text);

    // A limit of L lets L + 1 readings in: the test is "count greater than limit".
    qint32 RecordLimit = 0;
    qint32 RecordCount = 0;
    qint32 NextRecordNo = 0;
    qint32 SampleCountdown = 0;
    QString LastLoggedText;
};
