#include "SimScript.h"
#include "protocol/DecodedFrame.h"
#include "protocol/SerialFrameAssembler.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using namespace protocol;

namespace {

const QString kSimulator = QStringLiteral(VORLATT_SIM);

// What the replica would show for a decoded frame, in one line.
QString shown(const DecodedFrame &f)
{
    return QStringList{f.reading.ValueText, f.reading.UnitText, f.reading.AcDcText,
                       f.reading.RangeText, QString::number(f.annunciators.toInt())}
        .join(u' ');
}

QString scriptFrameShown(qint64 index)
{
    const QByteArray bytes = SimScript::state(index).toFrame();
    return shown(*DecodedFrame::decode(bytes.left(13), 6000));
}

// Reads until the simulator has ended and the line has stayed quiet for a moment, or until
// a deadline that only a hung simulator reaches.
QByteArray readAll(int fd, QProcess &sim)
{
    QByteArray received;
    QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired()) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 200);
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            received.append(buffer, n);
            continue;
        }
        sim.waitForFinished(0);
        if (sim.state() == QProcess::NotRunning && (ready == 0 || n == 0 || errno == EIO))
            break;
    }
    return received;
}

QString firstLine(QProcess &sim)
{
    while (!sim.canReadLine() && sim.waitForReadyRead(10000)) {
    }
    return QString::fromLocal8Bit(sim.readLine()).trimmed();
}

} // namespace

class TestMeterSimulator : public QObject
{
    Q_OBJECT

private slots:
    void scriptTourCoversTheMeter();
    void framesSentDecodeInOrder_data();
    void framesSentDecodeInOrder();
    void keepsGoingWithoutAReaderAndStopsOnSignal();
    void badCommandLinesAreRefused_data();
    void badCommandLinesAreRefused();
    void commandLineForms_data();
    void commandLineForms();
};

void TestMeterSimulator::scriptTourCoversTheMeter()
{
    QSet<QString> units, acDc, ranges;
    Annunciators seen;
    bool positiveOverload = false, negativeOverload = false;
    int valueChanges = 0;
    QString previous;
    for (int i = 0; i < SimScript::cycleLength(); ++i) {
        const QByteArray bytes = SimScript::state(i).toFrame();
        QCOMPARE(bytes.size(), 14);
        QCOMPARE(bytes.indexOf('\r'), 12); // a carriage return earlier would cut the frame
        const auto f = DecodedFrame::decode(bytes.left(13), 6000);
        QVERIFY(f);
        QVERIFY2(f->ok(), qPrintable(f->error));
        units << f->reading.UnitText;
        acDc << f->reading.AcDcText;
        ranges << f->reading.RangeText;
        seen |= f->annunciators;
        positiveOverload |= f->overload && f->sign.isEmpty();
        negativeOverload |= f->overload && f->sign == u"-";
        valueChanges += f->reading.ValueText != previous;
        previous = f->reading.ValueText;
    }
    for (const char *unit : {"V", "mV", "A", "*", "k*", "M*", "Hz", "%", "#", "?", "nF", "uF"})
        QVERIFY2(units.contains(QString::fromLatin1(unit)), unit);
    QCOMPARE(acDc, (QSet<QString>{"AC", "DC", ""}));
    QCOMPARE(ranges, (QSet<QString>{"AUTO", "MANU"}));
    QVERIFY(seen.testFlags(Annunciator::Hold | Annunciator::Relative));
    QVERIFY(positiveOverload);
    QVERIFY(negativeOverload);
    // A viewer sees live readings: the value moves within the scenes, not only between them.
    QVERIFY(valueChanges > 10 * SimScript::sceneCount());
}

void TestMeterSimulator::framesSentDecodeInOrder_data()
{
    QTest::addColumn<bool>("ownPseudoTerminal");
    QTest::newRow("own pseudo-terminal") << true;
    QTest::newRow("given device") << false;
}

void TestMeterSimulator::framesSentDecodeInOrder()
{
    QFETCH(bool, ownPseudoTerminal);
    // Few enough frames that the simulator never needs to drop one, however late we read.
    const int count = 120;

    int readFd = -1, deviceFd = -1;
    QStringList args{"--count", QString::number(count), "--rate", "400"};
    if (!ownPseudoTerminal) {
        QVERIFY(::openpty(&readFd, &deviceFd, nullptr, nullptr, nullptr) == 0);
        args << "--device" << QString::fromLocal8Bit(ttyname(deviceFd));
        fcntl(readFd, F_SETFL, fcntl(readFd, F_GETFL) | O_NONBLOCK);
    }
    QProcess sim;
    sim.start(kSimulator, args);
    QVERIFY2(sim.waitForStarted(), qPrintable(sim.errorString()));
    const QString path = firstLine(sim);
    QVERIFY(path.startsWith(u"/dev/"));
    if (ownPseudoTerminal) {
        readFd = ::open(path.toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        QVERIFY(readFd >= 0);
    }
    const QByteArray received = readAll(readFd, sim);
    ::close(readFd);
    if (deviceFd >= 0)
        ::close(deviceFd);
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QCOMPARE(received.size(), count * 14);

    // The way the program receives: in batches, whatever their size.
    SerialFrameAssembler assembler;
    QStringList got;
    for (qsizetype i = 0; i < received.size(); i += 37) {
        for (const CompletedFrame &frame : assembler.receive(QByteArrayView(received).sliced(
                 i, std::min<qsizetype>(37, received.size() - i)))) {
            if (!frame.decode)
                continue;
            const auto f = DecodedFrame::decode(frame.bytes, 6000);
            QVERIFY(f && f->ok());
            got << shown(*f);
        }
    }
    // The first frame after connecting is always lost to alignment; all others arrive.
    QStringList expected;
    for (int i = 1; i < count; ++i)
        expected << scriptFrameShown(i);
    QCOMPARE(got, expected);
}

void TestMeterSimulator::keepsGoingWithoutAReaderAndStopsOnSignal()
{
    // Nobody reads: far more frames than the line can hold. The simulator must neither block
    // on the full line nor give up.
    QProcess unread;
    unread.start(kSimulator, {"--count", "600", "--rate", "2000"});
    QVERIFY(unread.waitForFinished(60000));
    QCOMPARE(unread.exitCode(), 0);

    QProcess sim;
    sim.start(kSimulator, QStringList{});
    QVERIFY(firstLine(sim).startsWith(u"/dev/"));
    sim.terminate();
    QVERIFY(sim.waitForFinished(60000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
}

// A wrong command line ends with status 2 before any line is opened, naming the fault in one
// line and then pointing to --help.
void TestMeterSimulator::badCommandLinesAreRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("fault");

    QTest::newRow("unknown option") << QStringList{"--fast"} << "unknown option '--fast'";
    QTest::newRow("unknown short option") << QStringList{"-hx"} << "unknown option '-x'";
    QTest::newRow("a word that is no option")
        << QStringList{"--count", "5", "ttyS0"} << "unexpected argument 'ttyS0'";
    QTest::newRow("missing value")
        << QStringList{"--count", "5", "--rate"} << "--rate needs a value";
    QTest::newRow("value for a switch")
        << QStringList{"--verbose=yes"} << "--verbose takes no value";
    QTest::newRow("rate not a number")
        << QStringList{"--rate", "x"}
        << "--rate takes a number of frames a second from 1 to 10000, not 'x'";
    QTest::newRow("rate 0") << QStringList{"--rate=0"}
                            << "--rate takes a number of frames a second from 1 to 10000, not '0'";
    QTest::newRow("rate too high")
        << QStringList{"--rate", "10001"}
        << "--rate takes a number of frames a second from 1 to 10000, not '10001'";
    QTest::newRow("count negative")
        << QStringList{"--count", "-1"}
        << "--count takes a whole number of frames from 0 to 1000000000000000, not '-1'";
    QTest::newRow("count not whole")
        << QStringList{"--count", "2.5"}
        << "--count takes a whole number of frames from 0 to 1000000000000000, not '2.5'";
    QTest::newRow("pause without comma")
        << QStringList{"--pause", "5"}
        << "--pause takes AT,FOR: seconds from the start, then seconds from 0 to 86400, not '5'";
    QTest::newRow("pause before the start")
        << QStringList{"--pause", "-1,2"}
        << "--pause takes AT,FOR: seconds from the start, then seconds from 0 to 86400, not "
           "'-1,2'";
    QTest::newRow("unplug longer than a day")
        << QStringList{"--unplug", "1,86401"}
        << "--unplug takes AT,FOR: seconds from the start, then seconds from 0 to 86400, not "
           "'1,86401'";
    QTest::newRow("device and usb") << QStringList{"--device", "/dev/null", "--usb"}
                                    << "give either --device or --usb, not both";
    // The cable has no link to keep; a --link given with it was removed at the end unmade.
    QTest::newRow("link with usb")
        << QStringList{"--usb", "--link", "LINK"}
        << "--link, --pause and --unplug are for the serial line, not --usb";
    QTest::newRow("empty device") << QStringList{"--device="} << "--device needs a path";
    QTest::newRow("empty link") << QStringList{"--link", ""} << "--link needs a path";
    QTest::newRow("first fault named") << QStringList{"--rate", "x", "--count", "-1"}
                                       << "--rate takes a number of frames a second from 1 to "
                                          "10000, not 'x'";
}

void TestMeterSimulator::badCommandLinesAreRefused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, fault);
    // A file where the link would go: a refused run leaves it alone.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString kept = dir.filePath(QStringLiteral("kept"));
    QFile file(kept);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("notes") == 5);
    file.close();
    arguments.replaceInStrings(QStringLiteral("LINK"), kept);

    QProcess sim;
    sim.start(kSimulator, arguments);
    QVERIFY(sim.waitForFinished(60000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 2);
    QCOMPARE(sim.readAllStandardOutput(), QByteArray()); // no line was opened
    const QStringList err = QString::fromLocal8Bit(sim.readAllStandardError()).split(u'\n');
    QCOMPARE(err.value(0), QStringLiteral("vorlatt-sim: ") + fault);
    QCOMPARE(err.value(1), QStringLiteral("Try 'vorlatt-sim --help'."));
    QVERIFY(QFileInfo(kept).isFile());
}

// The forms of a good command line: values inline or apart, an option given twice,
// "--" ending the options.
void TestMeterSimulator::commandLineForms_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("inline values") << QStringList{"--count=3", "--rate=500"};
    QTest::newRow("an option given twice")
        << QStringList{"--rate", "1", "--count", "3", "--rate", "500"};
    QTest::newRow("end of options") << QStringList{"--count", "3", "--rate", "500", "--"};
}

void TestMeterSimulator::commandLineForms()
{
    QFETCH(QStringList, arguments);
    QProcess sim;
    sim.start(kSimulator, arguments);
    QVERIFY(firstLine(sim).startsWith(u"/dev/"));
    QVERIFY(sim.waitForFinished(60000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestMeterSimulator)
#include "TestMeterSimulator.moc"
