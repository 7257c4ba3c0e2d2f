#include "protocol/HidFrameAssembler.h"
#include "protocol/SerialFrameAssembler.h"

#include <QtTest>

using namespace protocol;

namespace {

QByteArray bytes(const char *hex)
{
    return QByteArray::fromHex(hex);
}

// Frames as the meter sends them: sign ... carriage return, line feed.
const QByteArray kFrameA = bytes("2B 31 32 33 34 20 32 30 00 40 80 00 0D 0A");
const QByteArray kFrameB = bytes("2D 30 30 35 36 20 34 28 00 00 40 00 0D 0A");
const QByteArray kFrameC = bytes("2B 30 31 30 30 20 31 20 00 20 20 00 0D 0A");

QString hexOf(const QByteArray &b)
{
    return QString::fromLatin1(b.toHex().toUpper());
}

// The way a completed frame is written in the tables: its bytes in hex (or, for the routines
// that keep only the low digits, those digits), marked when it is decoded.
QString described(const CompletedFrame &f, bool digits = false)
{
    return (digits ? QString::fromLatin1(f.bytes) : hexOf(f.bytes)) +
           (f.decode ? QStringLiteral(" decode") : QString());
}
QString decoded(const QByteArray &b)
{
    return hexOf(b) + QStringLiteral(" decode");
}

QByteArrayList splitAt(const QByteArray &stream, const QList<int> &cuts)
{
    QByteArrayList batches;
    int from = 0;
    for (int cut : cuts) {
        batches << stream.mid(from, cut - from);
        from = cut;
    }
    batches << stream.mid(from);
    return batches;
}

QByteArrayList chunks(const QByteArray &stream, int size)
{
    QByteArrayList batches;
    for (int i = 0; i < stream.size(); i += size)
        batches << stream.mid(i, size);
    return batches;
}

QByteArray report(const char *hex)
{
    return bytes(hex);
}

} // namespace

class TestFrameAssembly : public QObject
{
    Q_OBJECT

private slots:
    void serialFramesAreCutAtCarriageReturn_data();
    void serialFramesAreCutAtCarriageReturn();
    void indexedFramesEndAtTheEByte_data();
    void indexedFramesEndAtTheEByte();
    void hidBurstsBecomeFrames_data();
    void hidBurstsBecomeFrames();
    void endlessHidBurstKeepsItsStart();
};

void TestFrameAssembly::serialFramesAreCutAtCarriageReturn_data()
{
    QTest::addColumn<QByteArrayList>("batches");
    QTest::addColumn<QStringList>("frames");

    // The first accumulation after connecting lacks the byte before the sign: 13 bytes, of which
    // the 12 after the first become FrameHex, and the test fails. From then on each accumulation
    // is the previous line feed and the next 13 bytes.
    const QByteArray stream = kFrameA + kFrameB + kFrameC;
    const QString firstShort = hexOf(kFrameA.mid(1, 12));
    const QStringList normal{firstShort, decoded(kFrameB.left(13)), decoded(kFrameC.left(13))};

    QTest::newRow("two frames in one batch") << QByteArrayList{stream} << normal;
    QTest::newRow("frames split across batches")
        << splitAt(stream, {3, 14, 20, 26, 27, 28}) << normal;
    QTest::newRow("one byte per batch") << chunks(stream, 1) << normal;

    QByteArray fifteen = kFrameA + "\x55" + kFrameB + kFrameC;
    QTest::newRow("15 bytes up to the carriage return")
        << QByteArrayList{fifteen}
        << QStringList{firstShort, hexOf("\x55" + kFrameB.left(12)), decoded(kFrameC.left(13))};

    QByteArray cut = kFrameB;
    cut[9] = '\x0D'; // a status byte that reads as a carriage return
    QTest::newRow("carriage return inside a frame")
        << QByteArrayList{kFrameA + cut + kFrameC}
        << QStringList{firstShort, hexOf(cut.left(10)), hexOf(cut.mid(11, 2)),
                       decoded(kFrameC.left(13))};

    QByteArray noSign = kFrameB;
    noSign[0] = '\x30';
    QTest::newRow("14 bytes without a sign")
        << QByteArrayList{kFrameA + noSign + kFrameC}
        << QStringList{firstShort, hexOf(noSign.left(13)), decoded(kFrameC.left(13))};

    // Noise at the wrong speed: no carriage return for a long time. The accumulator stays
    // bounded and the first frames after the noise are found as usual.
    const QByteArray noise(10000, '\x55');
    QTest::newRow("long noise, then frames")
        << chunks(noise + kFrameB + kFrameC, 2048)
        << QStringList{hexOf(noise.left(13)), decoded(kFrameC.left(13))};
}

void TestFrameAssembly::serialFramesAreCutAtCarriageReturn()
{
    QFETCH(QByteArrayList, batches);
    QFETCH(QStringList, frames);

    SerialFrameAssembler assembler;
    QStringList got;
    for (const QByteArray &batch : batches) {
        for (const CompletedFrame &f : assembler.receive(batch))
            got << described(f);
        QVERIFY(assembler.accumulatedBytes() <= SerialFrameAssembler::kMaxAccumulatedBytes);
    }
    QCOMPARE(got, frames);
    QCOMPARE(assembler.accumulator(), hexOf(kFrameC.mid(13))); // the line feed opens the next
}

void TestFrameAssembly::indexedFramesEndAtTheEByte_data()
{
    QTest::addColumn<QByteArrayList>("batches");
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<QString>("accumulator");

    QTest::newRow("frame ends at the E byte")
        << QByteArrayList{bytes("13 24 E7")} << QStringList{"347"} << QString();
    QTest::newRow("frames across batches")
        << QByteArrayList{bytes("13"), bytes("24 E7 15"), bytes("EA 3C")}
        << QStringList{"347", "5A"} << QStringLiteral("C");
    QTest::newRow("no end byte keeps only the latest digits")
        << chunks(QByteArray(5000, '\x13') + bytes("24"), 2048) << QStringList{}
        << QString(SerialFrameAssembler::kMaxAccumulatedBytes - 1, u'3') + u'4';
}

void TestFrameAssembly::indexedFramesEndAtTheEByte()
{
    QFETCH(QByteArrayList, batches);
    QFETCH(QStringList, frames);
    QFETCH(QString, accumulator);

    SerialFrameAssembler assembler(SerialRoutine::IndexedFrameData);
    QStringList got;
    for (const QByteArray &batch : batches) {
        for (const CompletedFrame &f : assembler.receive(batch))
            got << described(f, true); // indexed frames are never decoded: no " decode" mark
    }
    QCOMPARE(got, frames);
    QCOMPARE(assembler.accumulator(), accumulator);
}

void TestFrameAssembly::hidBurstsBecomeFrames_data()
{
    QTest::addColumn<int>("routine");
    QTest::addColumn<QByteArrayList>("reports"); // report identifier, then the data bytes
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<QStringList>("usbTexts");
    QTest::addColumn<QStringList>("history");
    QTest::addColumn<int>("idleReports");

    const int reading = int(HidRoutine::HidReadingFrameData);
    const QString frameB = hexOf(kFrameB);

    QTest::newRow("frame in two reports, ended by count 0xF0")
        << reading
        << QByteArrayList{report("00 07 2D 30 30 35 36 20 34"),
                          report("00 07 28 00 00 40 00 0D 0A"), report("00 F0 00 00")}
        << QStringList{frameB + " decode"} << QStringList{frameB.mid(1)}
        << QStringList{"R 00  07 2D 30 30 35 36 20 34 ", "R 00  07 28 00 00 40 00 0D 0A "} << 1;

    QTest::newRow("count high bits ignored; 0xFA and 0xFF are idle")
        << reading
        << QByteArrayList{report("05 37 2D 30 30 35 36 20 34"),
                          report("05 37 28 00 00 40 00 0D 0A"),
                          report("05 FA 11 22 33 44 55 66 77 88 99 AA"), report("05 FF")}
        << QStringList{frameB + " decode"} << QStringList{frameB.mid(1)}
        << QStringList{"R 05  37 2D 30 30 35 36 20 34 ", "R 05  37 28 00 00 40 00 0D 0A "} << 2;

    QTest::newRow("report without data ends a burst, uncounted")
        << reading
        << QByteArrayList{report("00 07 2D 30 30 35 36 20 34"),
                          report("00 07 28 00 00 40 00 0D 0A"), report("00"), report("00")}
        << QStringList{frameB + " decode"} << QStringList{frameB.mid(1)}
        << QStringList{"R 00  07 2D 30 30 35 36 20 34 ", "R 00  07 28 00 00 40 00 0D 0A "} << 0;

    QTest::newRow("count 9 with 8 data bytes takes the 8")
        << reading
        << QByteArrayList{report("00 09 2D 30 30 35 36 20 34 28"),
                          report("00 06 00 00 40 00 0D 0A"), report("00 00")}
        << QStringList{frameB + " decode"} << QStringList{frameB.mid(1)}
        << QStringList{"R 00  09 2D 30 30 35 36 20 34 28 ", "R 00  06 00 00 40 00 0D 0A "} << 1;

    QTest::newRow("13-byte burst with sign and carriage return is accepted")
        << reading
        << QByteArrayList{report("00 07 2D 30 30 35 36 20 34"), report("00 06 28 00 00 40 00 0D"),
                          report("00 F0")}
        << QStringList{hexOf(kFrameB.left(13)) + " decode"} << QStringList{frameB.mid(1, 25)}
        << QStringList{"R 00  07 2D 30 30 35 36 20 34 ", "R 00  06 28 00 00 40 00 0D "} << 1;

    QTest::newRow("burst without the carriage return at byte 13 is not decoded")
        << reading
        << QByteArrayList{report("00 07 0A 2D 30 30 35 36 20"),
                          report("00 07 34 28 00 00 40 00 0D"), report("00 F0")}
        << QStringList{"0A" + frameB.left(26)} << QStringList{"A" + frameB.left(26)}
        << QStringList{"R 00  07 0A 2D 30 30 35 36 20 ", "R 00  07 34 28 00 00 40 00 0D "} << 1;

    QTest::newRow("idle reports without a burst do nothing but count")
        << reading << QByteArrayList{report("00 F0"), report("00 00 11"), report("00 FF")}
        << QStringList{} << QStringList{} << QStringList{} << 3;

    QTest::newRow("indexed: low digits of the first 14 bytes")
        << int(HidRoutine::HidIndexedFrameData)
        << QByteArrayList{report("00 08 E1 D2 C3 B4 A5 96 87 78"),
                          report("00 08 69 5A 4B 3C 2D 1E 0F 00"), report("00 F0")}
        << QStringList{"123456789ABCDE"} << QStringList{"123456789ABCDE"}
        << QStringList{"R 00  08 E1 D2 C3 B4 A5 96 87 78 ", "R 00  08 69 5A 4B 3C 2D 1E 0F 00 "}
        << 1;

    QTest::newRow("rotated: the eleventh digit first")
        << int(HidRoutine::HidRotatedNibbleData)
        << QByteArrayList{report("00 06 31 32 33 34 35 36"), report("00 06 37 38 39 3A 3B 3C"),
                          report("00 F0")}
        << QStringList{"B123456789A"} << QStringList{"B123456789A"}
        << QStringList{"R 00  06 31 32 33 34 35 36 ", "R 00  06 37 38 39 3A 3B 3C "} << 1;
}

void TestFrameAssembly::hidBurstsBecomeFrames()
{
    QFETCH(int, routine);
    QFETCH(QByteArrayList, reports);
    QFETCH(QStringList, frames);
    QFETCH(QStringList, usbTexts);
    QFETCH(QStringList, history);
    QFETCH(int, idleReports);

    HidFrameAssembler assembler(static_cast<HidRoutine>(routine));
    QStringList gotFrames, gotTexts, gotHistory;
    for (const QByteArray &r : reports) {
        const HidReportOutcome outcome =
            assembler.report(static_cast<quint8>(r.at(0)), QByteArrayView(r).sliced(1));
        if (outcome.frame)
            gotFrames << described(*outcome.frame,
                                   static_cast<HidRoutine>(routine) != HidRoutine::HidReadingFrameData);
        if (outcome.usbText)
            gotTexts << *outcome.usbText;
        if (!outcome.historyLine.isEmpty())
            gotHistory << outcome.historyLine;
    }
    QCOMPARE(gotFrames, frames);
    QCOMPARE(gotTexts, usbTexts);
    QCOMPARE(gotHistory, history);
    QCOMPARE(assembler.usbIdleReports(), idleReports);
    QVERIFY(!assembler.hidDataSeen());
    QVERIFY(assembler.hidFrameAccumulator().isEmpty());
}

void TestFrameAssembly::endlessHidBurstKeepsItsStart()
{
    // A cable that never reports idle: the burst must not grow without end, and what is kept
    // is its start, where the frame is.
    HidFrameAssembler assembler;
    const QByteArray frames = kFrameB.repeated(700);
    for (int i = 0; i < frames.size(); i += 9) {
        const QByteArray serial = frames.mid(i, 9);
        const QByteArray data = char(serial.size()) + serial;
        assembler.report(0, data);
        QVERIFY(assembler.hidFrameAccumulator().size() <= 2 * HidFrameAssembler::kMaxBurstBytes);
    }
    const HidReportOutcome end = assembler.report(0, bytes("F0"));
    QVERIFY(end.frame);
    QVERIFY(end.frame->decode);
    QVERIFY(hexOf(end.frame->bytes).startsWith(hexOf(kFrameB)));
}

QTEST_GUILESS_MAIN(TestFrameAssembly)
#include "TestFrameAssembly.moc"
