#pragma once

#include "log/engine/FieldDef.h"

#include <vector>

// The fields of the reading log's table: those the log fills and the grid, report and text
// export read. "Not" leads: as an autoincrement field it gives saved copies the unique key their
// primary index is built on. The widths hold the meter's texts: "AC"/"DC", "-6.000"-like values,
// two-character unit texts and "AUTO"/"MANU".
inline std::vector<table::FieldDef> logTableFields()
{
    using table::FieldType;
    return {
        {"Not", FieldType::AutoIncrement, 4}, {"No", FieldType::Long, 4},
        {"Time", FieldType::Time, 4},         {"DC/AC", FieldType::Alpha, 2},
        {"Value", FieldType::Alpha, 8},       {"Nval", FieldType::Number, 8},
        {"Unit", FieldType::Alpha, 2},        {"AUTO", FieldType::Alpha, 4},
    };
}
