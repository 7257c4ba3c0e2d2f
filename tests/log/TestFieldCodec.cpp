// Stored form and default text of field values: what other Paradox readers see in our files and
// what the grid, the report and the text export show.

#include "log/engine/Cp1252.h"
#include "log/engine/EngineError.h"
#include "log/engine/FieldCodec.h"

#include <QtTest>

#include <algorithm>
#include <vector>

using table::FieldDef;
using table::FieldType;

Q_DECLARE_METATYPE(FieldType)

namespace {

QByteArray stored(const FieldDef &field, const std::string &text)
{
    QByteArray bytes(table::storedSize(field), '\0');
    table::storeText(field, text, reinterpret_cast<std::uint8_t *>(bytes.data()));
    return bytes;
}

QString textOf(const FieldDef &field, const QByteArray &bytes)
{
    return QString::fromStdString(
        table::fieldText(field, reinterpret_cast<const std::uint8_t *>(bytes.constData())));
}

} // namespace

class TestFieldCodec : public QObject
{
    Q_OBJECT
private slots:
    void storedBytes_data();
    void storedBytes();
    void defaultText_data();
    void defaultText();
    void storedKeysSortLikeTheirValues_data();
    void storedKeysSortLikeTheirValues();
    void badValuesAreRefusedWithTheFieldNamed_data();
    void badValuesAreRefusedWithTheFieldNamed();
    void typedValuesConvertToTheFieldType_data();
    void typedValuesConvertToTheFieldType();
    void refusedValueLeavesTheFieldAsItWas();
    void alphaTextUsesCodePage1252();
};

void TestFieldCodec::storedBytes_data()
{
    QTest::addColumn<FieldType>("type");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    // High byte first with the sign bit inverted, as the format's descriptions give them.
    QTest::newRow("short 1") << FieldType::Short << 2 << "1" << QByteArray::fromHex("8001");
    QTest::newRow("short 256") << FieldType::Short << 2 << "256" << QByteArray::fromHex("8100");
    QTest::newRow("short -1") << FieldType::Short << 2 << "-1" << QByteArray::fromHex("7fff");
    QTest::newRow("long -2") << FieldType::Long << 4 << "-2" << QByteArray::fromHex("7ffffffe");
    QTest::newRow("number 100.5") << FieldType::Number << 8 << "100.5"
                                  << QByteArray::fromHex("c059200000000000");
    QTest::newRow("number -1: all bits inverted")
        << FieldType::Number << 8 << "-1" << QByteArray::fromHex("400fffffffffffff");
    QTest::newRow("number 0 is not blank")
        << FieldType::Number << 8 << "0" << QByteArray::fromHex("8000000000000000");
    QTest::newRow("date 1996-05-04 is day 728783")
        << FieldType::Date << 4 << "1996-05-04" << QByteArray::fromHex("800b1ecf");
    QTest::newRow("time in milliseconds")
        << FieldType::Time << 4 << "12:34:56" << QByteArray::fromHex("82b32980");
    QTest::newRow("timestamp 0001-01-01 is day 1")
        << FieldType::Timestamp << 8 << "0001-01-01 00:00:00"
        << QByteArray::fromHex("c194997000000000");
    QTest::newRow("logical true") << FieldType::Logical << 1 << "True" << QByteArray::fromHex("81");
    QTest::newRow("logical false") << FieldType::Logical << 1 << "no" << QByteArray::fromHex("80");
    QTest::newRow("alpha padded with zeros")
        << FieldType::Alpha << 4 << "DC" << QByteArray::fromHex("44430000");
    QTest::newRow("empty text is blank")
        << FieldType::Long << 4 << "" << QByteArray::fromHex("00000000");
    QTest::newRow("BCD 12.5, two decimals")
        << FieldType::Bcd << 2 << "12.5"
        << QByteArray::fromHex("c200000000000000000000000000001250");
    QTest::newRow("BCD -1: digits inverted")
        << FieldType::Bcd << 0 << "-1" << QByteArray::fromHex("40fffffffffffffffffffffffffffffffe");
}

void TestFieldCodec::storedBytes()
{
    QFETCH(FieldType, type);
    QFETCH(int, size);
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    const FieldDef field{"F", type, size};
    QCOMPARE(stored(field, text.toStdString()).toHex(), bytes.toHex());
}

void TestFieldCodec::defaultText_data()
{
    QTest::addColumn<FieldType>("type");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("text");
    QTest::newRow("whole number") << FieldType::Long << 4 << "+007"
                                  << "7";
    QTest::newRow("long minimum above blank") << FieldType::Long << 4 << "-2147483647"
                                              << "-2147483647";
    QTest::newRow("number: display counts") << FieldType::Number << 8 << "-1234"
                                            << "-1234";
    QTest::newRow("number: 15 digits") << FieldType::Number << 8 << "0.1"
                                       << "0.1";
    QTest::newRow("number: exponent") << FieldType::Number << 8 << "1e20"
                                      << "1e+20";
    QTest::newRow("currency: two decimals") << FieldType::Currency << 8 << "-3.5"
                                            << "-3.50";
    QTest::newRow("time") << FieldType::Time << 4 << "9:05"
                          << "09:05:00";
    QTest::newRow("time with milliseconds") << FieldType::Time << 4 << "23:59:59.5"
                                            << "23:59:59.500";
    QTest::newRow("date, leap day") << FieldType::Date << 4 << "2024-02-29"
                                    << "2024-02-29";
    QTest::newRow("timestamp") << FieldType::Timestamp << 8 << "2001-09-09T01:46:40"
                               << "2001-09-09 01:46:40";
    QTest::newRow("logical") << FieldType::Logical << 1 << "T"
                             << "True";
    QTest::newRow("bytes") << FieldType::Bytes << 3 << "0aff"
                           << "0AFF00";
    QTest::newRow("bytes, widest")
        << FieldType::Bytes << 255 << QString("5a").repeated(255) << QString("5A").repeated(255);
    QTest::newRow("BCD keeps its decimals") << FieldType::Bcd << 2 << "-0012.3"
                                            << "-12.30";
    QTest::newRow("BCD rounds half away from zero") << FieldType::Bcd << 1 << "-2.25"
                                                    << "-2.3";
    QTest::newRow("BCD minus zero") << FieldType::Bcd << 2 << "-0.001"
                                    << "0.00";
    QTest::newRow("BCD 32 digits") << FieldType::Bcd << 0 << "99999999999999999999999999999999"
                                   << "99999999999999999999999999999999";
    QTest::newRow("blank") << FieldType::Date << 4 << " "
                           << "";
}

void TestFieldCodec::defaultText()
{
    QFETCH(FieldType, type);
    QFETCH(int, size);
    QFETCH(QString, input);
    QFETCH(QString, text);
    const FieldDef field{"F", type, size};
    QCOMPARE(textOf(field, stored(field, input.toStdString())), text);
}

void TestFieldCodec::storedKeysSortLikeTheirValues_data()
{
    QTest::addColumn<FieldType>("type");
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("ascending");
    QTest::newRow("short") << FieldType::Short << 2
                           << QStringList{"-32767", "-256", "-1", "0", "1", "255", "32767"};
    QTest::newRow("number") << FieldType::Number << 8
                            << QStringList{"-1e300", "-2.5", "-1", "-1e-300", "0",
                                           "1e-300", "0.5",  "1",  "1e300"};
    QTest::newRow("date") << FieldType::Date << 4
                          << QStringList{"0100-01-01", "1999-12-31", "2000-01-01"};
    QTest::newRow("BCD") << FieldType::Bcd << 2 << QStringList{"-10", "-9.99", "0", "0.01", "10"};
}

void TestFieldCodec::storedKeysSortLikeTheirValues()
{
    QFETCH(FieldType, type);
    QFETCH(int, size);
    QFETCH(QStringList, ascending);
    // The primary index orders records by comparing stored bytes, so their order must be the
    // order of the values.
    const FieldDef field{"F", type, size};
    std::vector<QByteArray> keys;
    for (const QString &value : ascending)
        keys.push_back(stored(field, value.toStdString()));
    QVERIFY(std::is_sorted(keys.begin(), keys.end()));
    QVERIFY(std::adjacent_find(keys.begin(), keys.end()) == keys.end());
}

void TestFieldCodec::badValuesAreRefusedWithTheFieldNamed_data()
{
    QTest::addColumn<FieldType>("type");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("message");
    QTest::newRow("not a number") << FieldType::Long << 4 << "12a"
                                  << "'12a' is not a valid whole number for field \"F\"";
    QTest::newRow("short too large") << FieldType::Short << 2 << "40000"
                                     << "40000 is out of range for field \"F\" (short)";
    // The most negative long is stored as all zeros: it would read back blank.
    QTest::newRow("long's blank pattern") << FieldType::Long << 4 << "-2147483648"
                                          << "out of range";
    QTest::newRow("no such day") << FieldType::Date << 4 << "2023-02-29"
                                 << "not a valid date";
    QTest::newRow("hour 24") << FieldType::Time << 4 << "24:00:00"
                             << "not a valid time of day";
    QTest::newRow("not finite") << FieldType::Number << 8 << "inf"
                                << "not a valid number";
    QTest::newRow("alpha too long")
        << FieldType::Alpha << 2 << "DCV"
        << "text \"DCV\" is too long for field \"F\" (at most 2 characters)";
    QTest::newRow("outside code page") << FieldType::Alpha << 8 << "\u03a9"
                                       << "code page 1252";
    QTest::newRow("invalid UTF-8")
        << FieldType::Alpha << 8 << QString::fromLatin1("\xff") << "code page 1252";
    QTest::newRow("autoincrement") << FieldType::AutoIncrement << 4 << "5"
                                   << "the table assigns them";
    QTest::newRow("BCD too many digits") << FieldType::Bcd << 2 << "1000000000000000000000000000000"
                                         << "out of range";
    QTest::newRow("memo") << FieldType::Memo << 11 << "x"
                          << "cannot take";
}

void TestFieldCodec::badValuesAreRefusedWithTheFieldNamed()
{
    QFETCH(FieldType, type);
    QFETCH(int, size);
    QFETCH(QString, text);
    QFETCH(QString, message);
    const FieldDef field{"F", type, size};
    std::string input = text.toStdString();
    if (text == QString::fromLatin1("\xff"))
        input = "\xff";
    try {
        stored(field, input);
        QFAIL("no error");
    } catch (const table::EngineError &e) {
        QVERIFY2(QString::fromUtf8(e.what()).contains(message), e.what());
    }
}

void TestFieldCodec::typedValuesConvertToTheFieldType_data()
{
    QTest::addColumn<FieldType>("type");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text"); // empty: refused
    QTest::newRow("integer into number")
        << FieldType::Number << 8 << "integer" << -1234.0 << "-1234";
    QTest::newRow("integer into alpha") << FieldType::Alpha << 8 << "integer" << 42.0 << "42";
    QTest::newRow("integer into BCD") << FieldType::Bcd << 1 << "integer" << -7.0 << "-7.0";
    QTest::newRow("integer into time") << FieldType::Time << 4 << "integer" << 1.0 << "";
    QTest::newRow("float into long rounds") << FieldType::Long << 4 << "float" << 2.5 << "3";
    QTest::newRow("float into short, too large")
        << FieldType::Short << 2 << "float" << 32767.5 << "";
    QTest::newRow("float into alpha") << FieldType::Alpha << 8 << "float" << -0.25 << "-0.25";
    QTest::newRow("float into BCD") << FieldType::Bcd << 2 << "float" << 0.125 << "0.12";
    QTest::newRow("float into date") << FieldType::Date << 4 << "float" << 1.0 << "";
    QTest::newRow("time into time") << FieldType::Time << 4 << "time" << 0.0 << "08:09:10";
    QTest::newRow("time into alpha") << FieldType::Alpha << 8 << "time" << 0.0 << "08:09:10";
    QTest::newRow("time into long") << FieldType::Long << 4 << "time" << 0.0 << "";
}

void TestFieldCodec::typedValuesConvertToTheFieldType()
{
    QFETCH(FieldType, type);
    QFETCH(int, size);
    QFETCH(QString, kind);
    QFETCH(double, value);
    QFETCH(QString, text);
    const FieldDef field{"F", type, size};
    QByteArray bytes(table::storedSize(field), '\0');
    auto *data = reinterpret_cast<std::uint8_t *>(bytes.data());
    try {
        if (kind == "integer")
            table::storeInteger(field, static_cast<std::int32_t>(value), data);
        else if (kind == "float")
            table::storeFloat(field, value, data);
        else
            table::storeTime(field, table::TimeOfDay{8, 9, 10, 0}, data);
        QVERIFY2(!text.isEmpty(), "accepted a value the field cannot take");
        QCOMPARE(textOf(field, bytes), text);
    } catch (const table::EngineError &e) {
        QVERIFY2(text.isEmpty(), e.what());
        QVERIFY(QString::fromUtf8(e.what()).contains("\"F\""));
    }
}

void TestFieldCodec::refusedValueLeavesTheFieldAsItWas()
{
    const FieldDef field{"Value", FieldType::Alpha, 4};
    QByteArray bytes = stored(field, "OL");
    QVERIFY_THROWS_EXCEPTION(
        table::EngineError,
        table::storeText(field, "12345", reinterpret_cast<std::uint8_t *>(bytes.data())));
    QCOMPARE(textOf(field, bytes), QString("OL"));
}

void TestFieldCodec::alphaTextUsesCodePage1252()
{
    const FieldDef field{"Unit", FieldType::Alpha, 4};
    const QByteArray bytes = stored(field, "\u00b5\u20ac\u00e4");
    QCOMPARE(bytes.toHex(), QByteArray("b580e400"));
    QCOMPARE(textOf(field, bytes), QString::fromUtf8("\u00b5\u20ac\u00e4"));
    // The unassigned bytes of the code page come back unchanged.
    std::string back;
    QVERIFY(table::utf8ToCp1252(table::cp1252ToUtf8("\x81\x9d"), back));
    QCOMPARE(QByteArray::fromStdString(back), QByteArray("\x81\x9d"));
}

QTEST_APPLESS_MAIN(TestFieldCodec)
#include "TestFieldCodec.moc"
