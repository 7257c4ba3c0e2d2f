// Times the table engine on the reading log's work at scale: appending a million readings as the
// log does, saving them as a Paradox copy with its primary index, and reopening and walking the
// copy as the text export does. The save is set against writing as many bytes in one go.
//
//   bench_table [RECORDS]      (default 1000000)
//
// The last line is machine-read:
//   table: append_ns=.. save_db_ms=.. reopen_walk_ms=.. bytes_per_record=.. raw_write_ms=..

#include "log/LogTableLayout.h"
#include "log/engine/BatchMove.h"
#include "log/engine/EngineError.h"
#include "log/engine/Session.h"
#include "log/engine/Table.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Resident memory of this process, in bytes.
double residentBytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtod(line.c_str() + 6, nullptr) * 1024.0;
    }
    return 0;
}

double rawWriteMs(const std::string &path, std::size_t bytes)
{
    std::vector<char> buffer(bytes, '\x5a');
    const auto start = Clock::now();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0 ||
        ::write(fd, buffer.data(), buffer.size()) != static_cast<ssize_t>(buffer.size()) ||
        ::fsync(fd) != 0) {
        std::perror("raw write");
        std::exit(1);
    }
    ::close(fd);
    const double ms = msSince(start);
    std::filesystem::remove(path);
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    const long records = argc > 1 ? std::atol(argv[1]) : 1000000;
    char dirTemplate[] = "/tmp/bench_table.XXXXXX";
    if (!::mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirTemplate;
    using L = LogTableLayout;
    const std::vector<table::FieldDef> logFields = L::fields();

    try {
        table::Session session("s1");
        table::Table log(session);
        log.setTableName(dir + "/Tarvodb.DB");
        log.createTable(logFields);
        log.setTableType(table::TableType::Paradox);
        log.setExclusive(true);
        log.setCachedUpdates(true);
        log.open();

        const std::string values[] = {"-1.234", "0.000", "5.678", "OL"};
        const double before = residentBytes();
        auto start = Clock::now();
        for (long i = 0; i < records; ++i) {
            log.append();
            log.setText(L::kValue, values[i % 4]);
            log.setFloat(L::kNumeric, static_cast<float>(i % 6000));
            log.setTime(L::kTime, table::TimeOfDay{static_cast<int>(i / 3600 % 24),
                                                   static_cast<int>(i / 60 % 60),
                                                   static_cast<int>(i % 60), 0});
            log.setInteger(L::kNo, static_cast<std::int32_t>(i + 1));
            log.setText(L::kAcDc, "DC");
            log.setText(L::kUnit, "mV");
            log.setText(L::kRange, "AUTO");
            log.post();
        }
        const double appendMs = msSince(start);
        const double bytesPerRecord = (residentBytes() - before) / static_cast<double>(records);
        std::printf("append: %ld records in %.1f ms, %.0f ns each\n", records, appendMs,
                    appendMs * 1e6 / records);
        std::printf("memory: %.1f bytes per record (records of %d bytes)\n", bytesPerRecord,
                    log.header().recordSize);

        // The save command: copy to a new .DB, reopen it for exclusive use, add the primary index.
        table::Table dest(session);
        dest.setTableName(dir + "/saved.db");
        start = Clock::now();
        table::BatchMove copy;
        copy.setSource(&log);
        copy.setDestination(&dest);
        copy.setMode(table::BatchMode::Copy);
        copy.execute();
        dest.close();
        dest.setExclusive(true);
        dest.open();
        dest.addPrimaryIndex({L::kKey});
        dest.close();
        const double saveMs = msSince(start);
        const auto dbBytes = std::filesystem::file_size(dir + "/saved.db");
        const auto pxBytes = std::filesystem::file_size(dir + "/saved.px");
        std::printf("save: .DB of %.1f MB and .PX of %.1f MB in %.1f ms\n", dbBytes / 1e6,
                    pxBytes / 1e6, saveMs);

        // Opening the copy as the log opens an old data file, then the text export's walk.
        start = Clock::now();
        table::Table reopened(session);
        reopened.setTableName(dir + "/SAVED.DB");
        reopened.setTableType(table::TableType::Paradox);
        reopened.setExclusive(true);
        reopened.setCachedUpdates(true);
        reopened.open();
        std::size_t textBytes = 0;
        for (reopened.first(); !reopened.eof(); reopened.next()) {
            for (const char *field : L::kColumnNames)
                textBytes += reopened.text(field).size();
        }
        const double walkMs = msSince(start);
        std::printf("reopen and walk: %lld records, %zu bytes of text in %.1f ms\n",
                    static_cast<long long>(reopened.recordCount()), textBytes, walkMs);
        reopened.close();

        const double rawMs = rawWriteMs(dir + "/raw.bin", dbBytes + pxBytes);
        std::printf("raw write: %.1f MB in one go in %.1f ms\n", (dbBytes + pxBytes) / 1e6, rawMs);
        std::printf("table: append_ns=%.0f save_db_ms=%.1f reopen_walk_ms=%.1f "
                    "bytes_per_record=%.1f raw_write_ms=%.1f\n",
                    appendMs * 1e6 / records, saveMs, walkMs, bytesPerRecord, rawMs);
    } catch (const table::EngineError &e) {
        std::fprintf(stderr, "bench_table: %s\n", e.what());
        std::filesystem::remove_all(dir);
        return 1;
    }
    std::filesystem::remove_all(dir);
    return 0;
}
