// Compatibility with an independent Paradox implementation, Debian's pxlib: it reads the tables
// and primary indexes we write, and we read the tables and indexes it writes, with the same
// fields and values.

#include "log/engine/BatchMove.h"
#include "log/engine/Cp1252.h"
#include "log/engine/EngineError.h"
#include "log/engine/FieldCodec.h"
#include "log/engine/Session.h"
#include "log/engine/Table.h"

#include <QtTest>

#include <cstdlib>
#include <cstring>

extern "C" {
#include <paradox.h>
}

using table::FieldDef;
using table::FieldType;

namespace {

// The day number of a date, as date fields store it, from Qt's Julian day.
constexpr qint64 kJulianDayOfDayZero = 1721425;

const std::vector<FieldDef> kLogFields = {
    {"Not", FieldType::AutoIncrement, 4}, {"No", FieldType::Long, 4},
    {"Time", FieldType::Time, 4},         {"DC/AC", FieldType::Alpha, 2},
    {"Value", FieldType::Alpha, 8},       {"Nval", FieldType::Number, 8},
    {"Unit", FieldType::Alpha, 2},        {"AUTO", FieldType::Alpha, 4},
};

// Every type the engine writes. The leading autoincrement field keys the indexed variant.
const std::vector<FieldDef> kAllTypes = {
    {"Auto", FieldType::AutoIncrement, 4}, {"Alpha", FieldType::Alpha, 20},
    {"Date", FieldType::Date, 4},          {"Short", FieldType::Short, 2},
    {"Long", FieldType::Long, 4},          {"Money", FieldType::Currency, 8},
    {"Number", FieldType::Number, 8},      {"Flag", FieldType::Logical, 1},
    {"Time", FieldType::Time, 4},          {"Stamp", FieldType::Timestamp, 8},
    {"Exact", FieldType::Bcd, 2},          {"Raw", FieldType::Bytes, 4},
};

// Typed values of record `row`, as pxlib hands them out; an invalid QVariant is a blank value.
QVariant sampleValue(const FieldDef &f, int row)
{
    const qint64 day = table::dayNumber(2000, 1, 1) + (row * 37) % 40000 - 20000;
    const bool blank = row % 10 == 9; // short and number fields stay blank in these records
    const QByteArray name = QByteArray::fromStdString(f.name);
    if (name == "Not" || name == "Auto" || name == "No")
        return qint64(row + 1);
    if (name == "Time")
        return qint64((row * 1234567LL) % 86400000);
    if (name == "DC/AC")
        return QByteArray(row % 2 ? "AC" : "DC");
    if (name == "Value")
        return QByteArray::number(row % 12000 - 6000);
    if (name == "Nval")
        return double(row % 12000 - 6000);
    if (name == "Unit")
        return QByteArray("m*");
    if (name == "AUTO")
        return QByteArray(row % 4 ? "AUTO" : "MANU");
    if (name == "Alpha")
        return "r" + QByteArray::number(row) + " \xb5"; // the micro sign of code page 1252
    if (name == "Date")
        return day;
    if (name == "Short")
        return blank ? QVariant() : qint64((row % 2 ? -1 : 1) * (row * 97 % 32767));
    if (name == "Long")
        return qint64(row * 104729LL - 50000000);
    if (name == "Money")
        return row * 0.25 - 1000;
    if (name == "Number")
        return blank ? QVariant() : -row * 1.5e9 + 0.125;
    if (name == "Flag")
        return qint64(row % 3 == 0);
    if (name == "Stamp")
        return double(day) * 86400000 + (row * 7919 % 86400) * 1000.0;
    if (name == "Exact")
        return QByteArray(row % 2 ? "-" : "") + QByteArray::number(row * 13) + "." +
               QByteArray::number(row % 100).rightJustified(2, '0');
    if (name == "Raw")
        return QByteArray::fromHex("de") + char(row & 0xff) + QByteArray::fromHex("0102");
    return QVariant();
}

QString timeText(qint64 ms)
{
    return QTime::fromMSecsSinceStartOfDay(int(ms)).toString(ms % 1000 ? "HH:mm:ss.zzz"
                                                                       : "HH:mm:ss");
}

// The engine's default text for a sample value.
QString sampleText(const FieldDef &f, int row)
{
    const QVariant v = sampleValue(f, row);
    if (!v.isValid())
        return QString();
    switch (f.type) {
    case FieldType::Alpha:
        return QString::fromStdString(table::cp1252ToUtf8(v.toByteArray().toStdString()));
    case FieldType::Date:
        return QDate::fromJulianDay(v.toLongLong() + kJulianDayOfDayZero).toString("yyyy-MM-dd");
    case FieldType::Time:
        return timeText(v.toLongLong());
    case FieldType::Timestamp: {
        const auto ms = qint64(v.toDouble());
        return QDate::fromJulianDay(ms / 86400000 + kJulianDayOfDayZero).toString("yyyy-MM-dd") +
               " " + timeText(ms % 86400000);
    }
    case FieldType::Currency:
        return QString::number(v.toDouble(), 'f', 2);
    case FieldType::Number:
        return QString::number(v.toDouble(), 'g', 15);
    case FieldType::Logical:
        return v.toLongLong() ? "True" : "False";
    case FieldType::Bytes:
        return QString::fromLatin1(v.toByteArray().toHex().toUpper());
    case FieldType::Bcd:
        return QString::fromLatin1(v.toByteArray());
    default:
        return QString::number(v.toLongLong());
    }
}

// Appends record `row` through the engine's setters, each with the kind of value a caller has.
void appendSample(table::Table &t, const std::vector<FieldDef> &fields, int row)
{
    t.append();
    for (const FieldDef &f : fields) {
        const QVariant v = sampleValue(f, row);
        if (!v.isValid() || f.type == FieldType::AutoIncrement)
            continue;
        switch (f.type) {
        case FieldType::Long:
            t.setInteger(f.name, qint32(v.toLongLong()));
            break;
        case FieldType::Number:
        case FieldType::Currency:
            t.setFloat(f.name, v.toDouble());
            break;
        case FieldType::Time: {
            const QTime time = QTime::fromMSecsSinceStartOfDay(int(v.toLongLong()));
            t.setTime(f.name,
                      table::TimeOfDay{time.hour(), time.minute(), time.second(), time.msec()});
            break;
        }
        default:
            t.setText(f.name, sampleText(f, row).toStdString());
        }
    }
    t.post();
}

struct PxMessages
{
    QStringList errors;
    QStringList warnings;
};

void onPxMessage(pxdoc_t *, int type, const char *msg, void *data)
{
    auto *m = static_cast<PxMessages *>(data);
    (type == PX_Warning ? m->warnings : m->errors) << QString::fromUtf8(msg);
}

// A pxlib document; pxlib frees the field list it was given, so that is made with malloc.
class PxDoc
{
public:
    PxDoc() : doc(PX_new3(onPxMessage, nullptr, nullptr, nullptr, &messages)) {}
    ~PxDoc()
    {
        PX_close(doc);
        PX_delete(doc);
    }
    PxMessages messages;
    pxdoc_t *doc = nullptr;
};

QVariant pxValue(pxdoc_t *doc, const pxfield_t *f, char *data)
{
    switch (f->px_ftype) {
    case pxfAlpha: {
        char *value = nullptr;
        if (PX_get_data_alpha(doc, data, f->px_flen, &value) <= 0)
            return QVariant();
        const QByteArray bytes(value);
        std::free(value);
        return bytes;
    }
    case pxfShort: {
        short v = 0;
        return PX_get_data_short(doc, data, 2, &v) > 0 ? QVariant(qint64(v)) : QVariant();
    }
    case pxfLong:
    case pxfAutoInc:
    case pxfDate:
    case pxfTime: {
        long v = 0;
        return PX_get_data_long(doc, data, 4, &v) > 0 ? QVariant(qint64(v)) : QVariant();
    }
    case pxfNumber:
    case pxfCurrency:
    case pxfTimestamp: {
        double v = 0;
        return PX_get_data_double(doc, data, 8, &v) > 0 ? QVariant(v) : QVariant();
    }
    case pxfLogical: {
        char v = 0;
        return PX_get_data_byte(doc, data, 1, &v) > 0 ? QVariant(qint64(v)) : QVariant();
    }
    case pxfBCD: {
        char *value = nullptr;
        if (PX_get_data_bcd(doc, reinterpret_cast<unsigned char *>(data), f->px_fdc, &value) <= 0)
            return QVariant();
        const QByteArray text(value);
        std::free(value);
        return text;
    }
    case pxfBytes: {
        // Some pxlib versions copy into the buffer handed in, others return a new one.
        QByteArray bytes(f->px_flen, '\0');
        char *value = bytes.data();
        if (PX_get_data_bytes(doc, data, f->px_flen, &value) <= 0)
            return QVariant();
        if (value != bytes.data()) {
            bytes = QByteArray(value, f->px_flen);
            std::free(value);
        }
        return bytes;
    }
    default:
        return QStringLiteral("unexpected type %1").arg(int(f->px_ftype));
    }
}

void putPxValue(pxdoc_t *doc, const FieldDef &f, const QVariant &v, char *data)
{
    const int len = v.isValid() ? table::storedSize(f) : 0; // pxlib stores a blank for length 0
    switch (f.type) {
    case FieldType::Alpha: {
        QByteArray text = v.toByteArray();
        PX_put_data_alpha(doc, data, f.size, text.data());
        break;
    }
    case FieldType::Short:
        PX_put_data_short(doc, data, len, short(v.toLongLong()));
        break;
    case FieldType::Number:
    case FieldType::Currency:
    case FieldType::Timestamp:
        PX_put_data_double(doc, data, len, v.toDouble());
        break;
    case FieldType::Logical:
        PX_put_data_byte(doc, data, len, char(v.toLongLong()));
        break;
    case FieldType::Bcd: {
        QByteArray text = v.toByteArray();
        PX_put_data_bcd(doc, data, f.size, text.data());
        break;
    }
    case FieldType::Bytes: {
        QByteArray bytes = v.toByteArray();
        PX_put_data_bytes(doc, data, f.size, bytes.data());
        break;
    }
    default:
        PX_put_data_long(doc, data, len, int(v.toLongLong()));
    }
}

// Writes a table with pxlib, keyed on its first field when `keyed`, with a .PX made by pxlib.
void writeWithPxlib(const QString &path, const std::vector<FieldDef> &fields, int count, bool keyed)
{
    PxDoc db;
    auto *pxFields = static_cast<pxfield_t *>(std::calloc(fields.size(), sizeof(pxfield_t)));
    int recordSize = 0;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        pxFields[i].px_fname = strdup(fields[i].name.c_str());
        pxFields[i].px_ftype = char(fields[i].type);
        pxFields[i].px_flen = table::storedSize(fields[i]);
        pxFields[i].px_fdc = fields[i].type == FieldType::Bcd ? fields[i].size : 0;
        recordSize += table::storedSize(fields[i]);
    }
    QCOMPARE(PX_create_file(db.doc, pxFields, int(fields.size()),
                            QFile::encodeName(path).constData(),
                            keyed ? pxfFileTypIndexDB : pxfFileTypNonIndexDB),
             0);
    if (keyed)
        QCOMPARE(PX_set_value(db.doc, "numprimkeys", 1), 0);
    QByteArray record(recordSize, '\0');
    for (int row = 0; row < count; ++row) {
        char *p = record.data();
        for (const FieldDef &f : fields) {
            putPxValue(db.doc, f, sampleValue(f, row), p);
            p += table::storedSize(f);
        }
        QVERIFY(PX_put_record(db.doc, record.data()) > 0);
    }
    if (keyed) {
        PxDoc index;
        auto *keyField = static_cast<pxfield_t *>(std::calloc(1, sizeof(pxfield_t)));
        *keyField = pxFields[0];
        keyField->px_fname = strdup(pxFields[0].px_fname);
        QString indexPath = path;
        indexPath.replace(".db", ".px");
        QCOMPARE(PX_create_file(index.doc, keyField, 1, QFile::encodeName(indexPath).constData(),
                                pxfFileTypPrimIndex),
                 0);
        QCOMPARE(PX_write_primary_index(db.doc, index.doc), 0);
        QCOMPARE(index.messages.errors, QStringList());
    }
    QCOMPARE(db.messages.errors, QStringList());
}

} // namespace

class TestPxlibCompat : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { PX_boot(); }
    void ourTablesReadThroughPxlib_data();
    void ourTablesReadThroughPxlib();
    void pxlibTablesReadThroughOurEngine_data();
    void pxlibTablesReadThroughOurEngine();
    void shippedLogTableReadsThroughPxlib();

private:
    QTemporaryDir m_dir;
    table::Session m_session{"s1"};
    QString path(const QString &name) const { return m_dir.filePath(name); }
};

void TestPxlibCompat::ourTablesReadThroughPxlib_data()
{
    QTest::addColumn<bool>("allTypes");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("blockSize");
    QTest::addColumn<bool>("keyed");
    for (const bool keyed : {false, true}) {
        const char *suffix = keyed ? ", with primary index" : "";
        QTest::addRow("empty%s", suffix) << false << 0 << 4096 << keyed;
        QTest::addRow("one record%s", suffix) << false << 1 << 4096 << keyed;
        // 28 records to a block of 1k: 358 data blocks, and a primary index of two levels.
        QTest::addRow("10000 records in many blocks%s", suffix) << false << 10000 << 1024 << keyed;
        QTest::addRow("every writable type%s", suffix) << true << 300 << 1024 << keyed;
    }
}

void TestPxlibCompat::ourTablesReadThroughPxlib()
{
    QFETCH(bool, allTypes);
    QFETCH(int, count);
    QFETCH(int, blockSize);
    QFETCH(bool, keyed);
    const std::vector<FieldDef> &fields = allTypes ? kAllTypes : kLogFields;

    // The program's way: records gathered in a table with cached updates, copied to the file,
    // then the copy indexed.
    table::Table source(m_session);
    source.setTableName(path("source.db").toStdString());
    source.createTable(fields);
    source.setCachedUpdates(true);
    source.open();
    for (int row = 0; row < count; ++row)
        appendSample(source, fields, row);
    table::Table dest(m_session);
    dest.setTableName(path("ours.db").toStdString());
    dest.setBlockSize(blockSize);
    table::BatchMove copy;
    copy.setSource(&source);
    copy.setDestination(&dest);
    copy.execute();
    if (keyed) {
        dest.setExclusive(true);
        dest.open();
        dest.addPrimaryIndex({fields[0].name});
        dest.close();
    }

    PxDoc db;
    QCOMPARE(PX_open_file(db.doc, QFile::encodeName(path("ours.db")).constData()), 0);
    PxDoc index;
    if (keyed) {
        QCOMPARE(PX_open_file(index.doc, QFile::encodeName(path("ours.px")).constData()), 0);
        QCOMPARE(PX_read_primary_index(index.doc), 0);
        QCOMPARE(PX_add_primary_index(db.doc, index.doc), 0);
    }
    QCOMPARE(PX_get_num_fields(db.doc), int(fields.size()));
    QCOMPARE(PX_get_num_records(db.doc), count);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const pxfield_t *f = PX_get_field(db.doc, int(i));
        QCOMPARE(QByteArray(f->px_fname), QByteArray::fromStdString(fields[i].name));
        QCOMPARE(int(f->px_ftype), int(fields[i].type));
        QCOMPARE(f->px_flen, table::storedSize(fields[i]));
        if (fields[i].type == FieldType::Bcd)
            QCOMPARE(f->px_fdc, fields[i].size);
    }
    QByteArray record(PX_get_recordsize(db.doc), '\0');
    for (int row = 0; row < count; ++row) {
        QVERIFY(PX_get_record(db.doc, row, record.data()));
        char *p = record.data();
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const pxfield_t *f = PX_get_field(db.doc, int(i));
            const QVariant got = pxValue(db.doc, f, p);
            const QVariant want = sampleValue(fields[i], row);
            if (got != want)
                QFAIL(qPrintable(QStringLiteral("record %1, field %2: pxlib reads %3, we wrote %4")
                                     .arg(row)
                                     .arg(f->px_fname, got.toString(), want.toString())));
            p += f->px_flen;
        }
    }
    QCOMPARE(db.messages.errors + index.messages.errors, QStringList());
    QCOMPARE(db.messages.warnings + index.messages.warnings, QStringList());
    PX_delete(index.doc); // the table document refers to the index: close the table first
    index.doc = PX_new();
}

void TestPxlibCompat::pxlibTablesReadThroughOurEngine_data()
{
    QTest::addColumn<bool>("allTypes");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("keyed");
    QTest::addColumn<int>("levels");
    QTest::newRow("every type pxlib writes") << true << 500 << false << 0;
    QTest::newRow("log fields, many blocks") << false << 5000 << false << 0;
    // pxlib takes blocks of 3k for these records: 85 to a block, and 255 index entries to a block.
    QTest::newRow("with pxlib's primary index") << false << 5000 << true << 1;
    QTest::newRow("with pxlib's two-level index") << false << 30000 << true << 2;
}

void TestPxlibCompat::pxlibTablesReadThroughOurEngine()
{
    QFETCH(bool, allTypes);
    QFETCH(int, count);
    QFETCH(bool, keyed);
    QFETCH(int, levels);
    const std::vector<FieldDef> &fields = allTypes ? kAllTypes : kLogFields;
    writeWithPxlib(path("theirs.db"), fields, count, keyed);
    if (QTest::currentTestFailed())
        return;

    table::Table t(m_session);
    t.setTableName(path("theirs.db").toStdString());
    t.setReadOnly(true);
    t.open();
    QCOMPARE(t.recordCount(), count);
    QCOMPARE(t.fields().size(), fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        QCOMPARE(t.fields()[i].name, fields[i].name);
        QCOMPARE(t.fields()[i].type, fields[i].type);
        QCOMPARE(t.fields()[i].size, fields[i].size);
    }
    for (int row = 0; row < count; ++row) {
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const QString got = QString::fromStdString(t.text(row, int(i)));
            const QString want = sampleText(fields[i], row);
            if (got != want)
                QFAIL(qPrintable(
                    QStringLiteral("record %1, field %2: we read \"%3\", pxlib wrote \"%4\"")
                        .arg(row)
                        .arg(QString::fromStdString(fields[i].name), got, want)));
        }
    }
    QCOMPARE(t.header().keyed, keyed);
    if (keyed)
        QCOMPARE(t.checkPrimaryIndex().levels, levels);
}

void TestPxlibCompat::shippedLogTableReadsThroughPxlib()
{
    PxDoc db;
    QCOMPARE(PX_open_file(db.doc, VORLATT_TARVODB), 0);
    QCOMPARE(PX_get_num_records(db.doc), 0);
    QCOMPARE(PX_get_num_fields(db.doc), int(kLogFields.size()));
    for (std::size_t i = 0; i < kLogFields.size(); ++i) {
        const pxfield_t *f = PX_get_field(db.doc, int(i));
        QCOMPARE(QByteArray(f->px_fname), QByteArray::fromStdString(kLogFields[i].name));
        QCOMPARE(int(f->px_ftype), int(kLogFields[i].type));
        QCOMPARE(f->px_flen, kLogFields[i].size);
    }
    QCOMPARE(db.messages.errors, QStringList());
}

QTEST_GUILESS_MAIN(TestPxlibCompat)
#include "TestPxlibCompat.moc"
