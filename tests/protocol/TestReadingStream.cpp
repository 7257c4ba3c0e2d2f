#include "protocol/DisplayState.h"
#include "protocol/ReadingStream.h"

#include <QtTest>

using namespace protocol;
using A = Annunciator;

namespace {

DisplayState state(const char *digits, Annunciators flags, bool overload = false)
{
    DisplayState s;
    s.digits = digits;
    s.annunciators = flags;
    s.overload = overload;
    return s;
}

// A reading as the tables write it: value, unit, and the CountFull in force when it arrived.
QString described(const StreamFrame &f)
{
    if (!f.decoded)
        return QStringLiteral("cut");
    if (!f.decoded->ok())
        return f.decoded->error;
    return QStringLiteral("%1 %2 %3")
        .arg(f.decoded->reading.ValueText, f.decoded->reading.UnitText)
        .arg(f.rangeBefore.CountFull);
}

// The meter's frames as the cable carries them: each frame's bytes in reports of up to 7, then
// an idle report that ends the burst.
QByteArrayList asReports(const QByteArray &frame)
{
    QByteArrayList reports;
    for (qsizetype i = 0; i < frame.size(); i += 7) {
        const QByteArray part = frame.mid(i, 7);
        reports << char(part.size()) + part;
    }
    reports << QByteArray("\xF0", 1);
    return reports;
}

} // namespace

// The same display states sent through the serial port and through the cable give the same
// readings, each measured against the range the frame before it left in force.
class TestReadingStream : public QObject
{
    Q_OBJECT
private slots:
    void serialAndUsbGiveTheSameReadings();
    void garbledFrameKeepsTheRange();
};

void TestReadingStream::serialAndUsbGiveTheSameReadings()
{
    const QList<DisplayState> states = {state("1234", A::Volt), state("0500", A::Hertz),
                                        state("0000", A::Hertz, true), state("0250", A::Celsius),
                                        state("0000", A::Volt, true)};
    const QStringList expected = {"cut", "1234 V 6000", "0500 Hz 6000", "0L Hz 1000",
                                  "0250 # 1000", "0L V 1000"};

    ReadingStream serial;
    serial.setCountRange(*CountRange::fromCode(QStringLiteral("6")));
    // The port opens at the end of a frame: its carriage return gives a cut frame, its line feed
    // starts the first whole one.
    QByteArray line = "\r\n";
    for (const DisplayState &s : states)
        line += s.toFrame();
    QStringList got;
    // One batch, so each frame is decoded only once the one before it has been handled.
    serial.receiveBytes(line, [&](const StreamFrame &f) {
        got << described(f);
        if (f.decoded && f.decoded->ok())
            QCOMPARE(serial.countRange(), f.decoded->countRange);
    });
    QCOMPARE(got, expected);
    QCOMPARE(serial.countRange().CountFull, 6000); // the volts' range, after the last frame

    ReadingStream usb;
    usb.setCountRange(*CountRange::fromCode(QStringLiteral("6")));
    QStringList gotUsb{"cut"}; // a cable's bursts start with the frame: nothing is cut
    for (const DisplayState &s : states) {
        for (const QByteArray &report : asReports(s.toFrame())) {
            const ReadingStream::ReportView view = usb.receiveReport(0, report);
            if (view.frame)
                gotUsb << described(*view.frame);
        }
    }
    QCOMPARE(gotUsb, expected);
    QCOMPARE(usb.usbIdleReports(), 1);
}

void TestReadingStream::garbledFrameKeepsTheRange()
{
    ReadingStream stream;
    stream.setCountRange(*CountRange::fromCode(QStringLiteral("6")));
    QByteArray garbled = state("1:34", A::Hertz).toFrame(); // ':' reads as the digit A
    QByteArray line = state("0100", A::Percent).toFrame() + state("0100", A::Percent).toFrame() + garbled +
                      state("0000", A::Volt, true).toFrame();
    QStringList got;
    stream.receiveBytes(line, [&](const StreamFrame &f) { got << described(f); });
    QCOMPARE(got, (QStringList{"cut", "0100 % 6000", "'1A34' is not a valid integer value",
                               "0L V 100"}));
    QCOMPARE(stream.countRange().CountFull, 6000);
}

QTEST_GUILESS_MAIN(TestReadingStream)
#include "TestReadingStream.moc"
