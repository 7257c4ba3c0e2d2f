// vorlatt-dbdump: prints what a Paradox table holds, for users with old data files and for our
// tests. Opens the table read-only with a shared lock, so it never changes a file; a table that a
// program holds for exclusive use is read without a lock, as it stands at that moment.

#include "log/engine/EngineError.h"
#include "log/engine/Session.h"
#include "log/engine/Table.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kUsage[] =
    "usage: vorlatt-dbdump [--schema] [--index] FILE\n"
    "       vorlatt-dbdump --help | --version\n"
    "  FILE        a Paradox table (.DB)\n"
    "  (default)   print the field names, then every record, one per line, tab-separated\n"
    "  --schema    print each field's name, type and size instead of the records\n"
    "  --index     also check the table's primary index (.PX beside FILE) and print it\n"
    "A table that cannot be read gives the reason on standard error and exit status 1.\n"
    "A table another program has open (a running window) is read as it stands, with a note\n"
    "on standard error.\n";

class Output
{
public:
    ~Output() { flush(); }
    Output &operator<<(const std::string &text)
    {
        m_buffer += text;
        if (m_buffer.size() > (1 << 16))
            flush();
        return *this;
    }
    void flush()
    {
        std::fwrite(m_buffer.data(), 1, m_buffer.size(), stdout);
        m_buffer.clear();
    }

private:
    std::string m_buffer;
};

void printRecords(const table::Table &t, Output &out)
{
    const auto &fields = t.fields();
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i)
        line += (i ? "\t" : "") + fields[i].name;
    out << line + "\n";
    for (std::int64_t row = 0; row < t.recordCount(); ++row) {
        line.clear();
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (i)
                line += '\t';
            // A memo's text lives in a .MB file the engine does not read; say what stands there.
            if (table::isBlobType(fields[i].type))
                line += "(" + std::string(table::fieldTypeName(fields[i].type)) + ")";
            else
                line += t.text(row, static_cast<int>(i));
        }
        out << line + "\n";
    }
}

void printSchema(const table::Table &t, Output &out)
{
    for (const table::FieldDef &f : t.fields())
        out << f.name + "\t" + std::string(table::fieldTypeName(f.type)) + "\t" +
                   std::to_string(f.size) + "\n";
}

void printIndex(const table::Table &t, const table::IndexReport &report, Output &out)
{
    if (!t.header().keyed) {
        out << "primary index: none\n";
        return;
    }
    std::string keys;
    for (std::size_t i = 0; i < report.keyFields.size(); ++i)
        keys += (i ? ", " : "") + report.keyFields[i];
    out << "primary index: " + keys + "; " + std::to_string(report.levels) +
               " level(s), root block " + std::to_string(report.rootBlock) + ", " +
               std::to_string(report.blockCount) + " block(s) of " +
               std::to_string(report.blockSize) + " bytes, " +
               std::to_string(report.entries.size()) + " entries; checked\n";
    out << "level\tblock\tkey\tpoints to\trecords\n";
    for (const table::IndexEntry &e : report.entries)
        out << std::to_string(e.level) + "\t" + std::to_string(e.block) + "\t" + e.key + "\t" +
                   std::to_string(e.child) + "\t" + std::to_string(e.count) + "\n";
}

} // namespace

int main(int argc, char **argv)
{
    bool schema = false;
    bool index = false;
    const char *file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--schema") == 0) {
            schema = true;
        } else if (std::strcmp(argv[i], "--index") == 0) {
            index = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("vorlatt-dbdump " VORLATT_VERSION);
            return 0;
        } else if (argv[i][0] == '-' || file) {
            std::fputs(kUsage, stderr);
            return 2;
        } else {
            file = argv[i];
        }
    }
    if (!file) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    Output out;
    try {
        table::Session session("dbdump");
        table::Table t(session);
        t.setTableName(file);
        t.setTableType(table::TableType::Paradox);
        t.setReadOnly(true);
        try {
            t.open();
        } catch (const table::TableInUse &) {
            // Held for exclusive use, as a running window holds the table it logs into. The
            // dump only reads, so it reads the file without any lock, which leaves that program
            // undisturbed; the records are those the file holds now, not the ones that
            // program keeps unsaved in memory.
            t.openSnapshot();
            std::fprintf(stderr,
                         "vorlatt-dbdump: %s is in use by another program (a running window, for "
                         "one); this is the table as its file stands at this moment\n",
                         file);
        }
        // Check the index before printing anything, so that a damaged index gives no output.
        table::IndexReport report;
        if (index && t.header().keyed)
            report = t.checkPrimaryIndex();
        if (schema)
            printSchema(t, out);
        else
            printRecords(t, out);
        if (index)
            printIndex(t, report, out);
    } catch (const table::EngineError &e) {
        out.flush();
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    out.flush();
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
