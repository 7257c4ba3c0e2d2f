// Writes the reading log's table: the fields the log fills and the grid, report and text export
// read, with no records.

#include "log/engine/EngineError.h"
#include "log/engine/Session.h"
#include "log/engine/Table.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: vorlatt-tarvodb FILE\n");
        return 2;
    }
    using table::FieldType;
    // "Not" leads: as an autoincrement field it gives saved copies the unique key their primary
    // index is built on. The widths hold the meter's texts: "AC"/"DC", "-6.000"-like values,
    // two-character unit texts and "AUTO"/"MANU".
    const std::vector<table::FieldDef> fields = {
        {"Not", FieldType::AutoIncrement, 4}, {"No", FieldType::Long, 4},
        {"Time", FieldType::Time, 4},         {"DC/AC", FieldType::Alpha, 2},
        {"Value", FieldType::Alpha, 8},       {"Nval", FieldType::Number, 8},
        {"Unit", FieldType::Alpha, 2},        {"AUTO", FieldType::Alpha, 4},
    };
    try {
        table::Session session("tarvodb");
        table::Table log(session);
        log.setTableName(argv[1]);
        log.setTableType(table::TableType::Paradox);
        log.createTable(fields);
    } catch (const table::EngineError &e) {
        std::fprintf(stderr, "vorlatt-tarvodb: %s\n", e.what());
        return 1;
    }
    return 0;
}
