#include "LogRules.h"

#include "protocol/IntegerText.h"

LogRules::Admission LogRules::admit(const protocol::MeterReading &reading,
                                    const LogSettings &settings)
{
    if (limitReached())
        return {};
    if (settings.RecordSI && SampleCountdown != 0)
        return {};
    const QString key = reading.ValueText + reading.AcDcText + reading.UnitText + reading.RangeText;
    if (!settings.RepeatSet && key == LastLoggedText)
        return {};
    LastLoggedText = key;
    qint32 seconds = 0;
    if (!intervalSeconds(settings.RecordSITime, seconds))
        return {false, notAnInteger(settings.RecordSITime)};
    SampleCountdown = seconds;
    ++RecordCount;
    return {true, {}};
}

void LogRules::TrecordTimer(bool recordSI)
{
    if (recordSI && SampleCountdown > 0)
        --SampleCountdown;
}

QString LogRules::RecordSITimeChange(const QString &text)
{
    qint32 seconds = 0;
    if (!intervalSeconds(text, seconds))
        return notAnInteger(text);
    SampleCountdown = seconds;
    return {};
}

bool LogRules::intervalSeconds(const QString &text, qint32 &seconds)
{
    if (text.isEmpty() || text == u"-" || text == u"+") {
        seconds = 0;
        return true;
    }
    const std::optional<int> value = protocol::IntegerText::parse(text);
    if (value)
        seconds = *value;
    return value.has_value();
}

QString LogRules::notAnInteger(const QString &text)
{
    return protocol::IntegerText::conversionError(text);
}
