#pragma once

// Small tables built in memory for the engine's tests.

#include "log/engine/ByteSink.h"
#include "log/engine/FieldCodec.h"
#include "log/engine/FieldDef.h"
#include "log/engine/LittleEndian.h"
#include "log/engine/RecordStore.h"
#include "log/engine/TableFile.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <vector>

namespace fixtures {

// One record from the texts of its fields.
inline QByteArray record(const std::vector<table::FieldDef> &fields, const QStringList &texts)
{
    QByteArray bytes;
    for (int i = 0; i < int(fields.size()); ++i) {
        QByteArray value(table::storedSize(fields[size_t(i)]), '\0');
        auto *data = reinterpret_cast<std::uint8_t *>(value.data());
        // Tables number autoincrement fields themselves; a fixture stands for a file that has them.
        if (fields[size_t(i)].type == table::FieldType::AutoIncrement && !texts.value(i).isEmpty())
            table::putStoredInteger(data, 4, texts.value(i).toLongLong());
        else
            table::storeText(fields[size_t(i)], texts.value(i).toStdString(), data);
        bytes += value;
    }
    return bytes;
}

inline table::RecordStore store(const std::vector<table::FieldDef> &fields,
                                const QList<QStringList> &rows)
{
    int size = 0;
    for (const auto &f : fields)
        size += table::storedSize(f);
    table::RecordStore records(size);
    for (const QStringList &row : rows)
        records.append(reinterpret_cast<const std::uint8_t *>(record(fields, row).constData()));
    return records;
}

// A file as our writer makes it.
inline QByteArray written(const std::vector<table::FieldDef> &fields,
                          const table::RecordStore &records, int minBlockSize = 1024)
{
    table::MemorySink sink;
    std::vector<table::DataBlock> blocks;
    table::writeTable(sink, fields, records, table::WriteOptions{minBlockSize, 1, "T.DB"}, blocks);
    return QByteArray(reinterpret_cast<const char *>(sink.bytes.data()), int(sink.bytes.size()));
}

// A table file laid out by hand after the format descriptions, as other programs and older
// versions write them: `chain` holds the records of each block in chain order, `numbers` the
// block number each of them is stored under.
inline QByteArray handMade(int version, int blockSizeCode,
                           const std::vector<table::FieldDef> &fields,
                           const QList<QList<QByteArray>> &chain, const QList<int> &numbers)
{
    using table::putLe16;
    using table::putLe32;
    const int headerSize = 0x800;
    const int blockSize = blockSizeCode * 1024;
    int recordSize = 0;
    for (const auto &f : fields)
        recordSize += table::storedSize(f);
    int fileBlocks = 0;
    int records = 0;
    for (int i = 0; i < chain.size(); ++i) {
        fileBlocks = std::max(fileBlocks, numbers[i]);
        records += chain[i].size();
    }
    QByteArray file(headerSize + fileBlocks * blockSize, '\0');
    auto *h = reinterpret_cast<std::uint8_t *>(file.data());
    putLe16(h + 0x00, std::uint32_t(recordSize));
    putLe16(h + 0x02, headerSize);
    h[0x04] = 2;
    h[0x05] = std::uint8_t(blockSizeCode);
    putLe32(h + 0x06, std::uint32_t(records));
    putLe16(h + 0x0C, std::uint32_t(fileBlocks));
    putLe16(h + 0x0E, chain.isEmpty() ? 0u : std::uint32_t(numbers[0]));
    putLe16(h + 0x21, std::uint32_t(fields.size()));
    h[0x39] = std::uint8_t(version);
    if (version >= 5)
        putLe32(h + 0x25, 0xFF00FF00u);
    int at = version >= 5 ? 0x78 : 0x58;
    for (const auto &f : fields) {
        h[at++] = std::uint8_t(f.type);
        h[at++] = std::uint8_t(f.size);
    }
    at += 4 + 4 * int(fields.size()) + (version >= 12 ? 261 : 79);
    for (const auto &f : fields) {
        memcpy(h + at, f.name.data(), f.name.size());
        at += int(f.name.size()) + 1;
    }
    for (int i = 0; i < chain.size(); ++i) {
        auto *b = h + headerSize + (numbers[i] - 1) * blockSize;
        putLe16(b + 0, i + 1 < chain.size() ? std::uint32_t(numbers[i + 1]) : 0u);
        putLe16(b + 2, i > 0 ? std::uint32_t(numbers[i - 1]) : 0u);
        putLe16(b + 4, std::uint32_t((chain[i].size() - 1) * recordSize));
        int offset = 6;
        for (const QByteArray &r : chain[i]) {
            memcpy(b + offset, r.constData(), size_t(r.size()));
            offset += r.size();
        }
    }
    return file;
}

} // namespace fixtures
