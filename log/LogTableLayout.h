#pragma once

#include "log/engine/FieldDef.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class QString;
class QTime;
namespace protocol {
struct MeterReading;
}
namespace table {
class Table;
}

// The record layout of the reading log: the fields of its table and the six columns that the
// grid, the report, the text export and the logger's text formats show. Every reader and writer
// of a log record takes its names from here, so a column cannot be spelt two ways. The field list
// needs no Qt, so the build-time tool that writes the shipped table includes it alone.
struct LogTableLayout
{
    // The autoincrement key that saved copies get their primary index over.
    static constexpr const char *kKey = "Not";
    static constexpr const char *kNo = "No";
    static constexpr const char *kTime = "Time";
    static constexpr const char *kAcDc = "DC/AC";
    static constexpr const char *kValue = "Value";
    // The reading in display counts; stored, not shown.
    static constexpr const char *kNumeric = "Nval";
    static constexpr const char *kUnit = "Unit";
    static constexpr const char *kRange = "AUTO";
    // Added after the designed fields in a saved table, so that readers of the designed layout
    // find it unchanged: the local date and time of the reading, and the unit as the display
    // showed it ("kHz" where "Unit" holds "Hz", which is all its two characters allow).
    static constexpr const char *kDateTime = "DateTime";
    static constexpr const char *kFullUnit = "FullUnit";

    // The shown columns in the order they are shown; each column's title is its field's name.
    static constexpr int kColumns = 6;
    static constexpr std::array<const char *, kColumns> kColumnNames = {kNo,    kTime, kAcDc,
                                                                        kValue, kUnit, kRange};

    // The fields of the log's table. The key leads: as an autoincrement field it gives saved
    // copies the unique key their primary index is built on. The widths hold the meter's texts:
    // "AC"/"DC", "-6.000"-like values, two-character unit texts and "AUTO"/"MANU".
    static std::vector<table::FieldDef> fields()
    {
        using table::FieldType;
        return {
            {kKey, FieldType::AutoIncrement, 4}, {kNo, FieldType::Long, 4},
            {kTime, FieldType::Time, 4},         {kAcDc, FieldType::Alpha, 2},
            {kValue, FieldType::Alpha, 8},       {kNumeric, FieldType::Number, 8},
            {kUnit, FieldType::Alpha, 2},        {kRange, FieldType::Alpha, 4},
        };
    }

    // The fields of a table the window saves: the log's fields, then the date and time and the
    // full unit. A table without the added fields (the shipped one, older copies) still opens.
    static std::vector<table::FieldDef> savedFields()
    {
        std::vector<table::FieldDef> all = fields();
        all.push_back({kDateTime, table::FieldType::Timestamp, 8});
        all.push_back({kFullUnit, table::FieldType::Alpha, 8});
        return all;
    }

    // Fills the record `log` is appending with one reading, numbered `no` and stamped with the
    // time of day `time` to the second. Throws table::EngineError for a field the table lacks;
    // the record is left for the caller to post or cancel.
    static void fillRecord(table::Table &log, const protocol::MeterReading &reading,
                           std::int32_t no, const QTime &time);
    // Appends one record to `log`: fillRecord(), then `more` for the fields a table has beyond
    // the log's (a saved copy's date and time), then the post. Returns the engine's message, or
    // "" once the record is posted; a record that failed is cancelled, so that no half-filled
    // record is posted by the next move or append.
    static QString appendRecord(table::Table &log, const protocol::MeterReading &reading,
                                std::int32_t no, const QTime &time,
                                const std::function<void(table::Table &)> &more = {});
    // The "No" of the last record of `log`: nothing when it holds none, has no such field or the
    // field holds no number.
    static std::optional<std::int64_t> lastNumber(const table::Table &log);
};
