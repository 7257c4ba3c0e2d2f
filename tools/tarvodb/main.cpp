// Writes the reading log's table: the fields the log fills and the grid, report and text export
// read, with no records.

#include "log/LogTableLayout.h"
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
    const std::vector<table::FieldDef> fields = LogTableLayout::fields();
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
