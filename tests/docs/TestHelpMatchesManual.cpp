#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

namespace {

// An option (-h, --rate) or a signal (SIGUSR1) where a term starts: at the start or after a
// blank, a comma, a bracket or a bar.
const QRegularExpression kName(QStringLiteral(R"((?:^|[\s,\[|(])(--?[A-Za-z][A-Za-z0-9-]*|SIG[A-Z0-9]+))"));

QStringList namesIn(const QString &term)
{
    QStringList names;
    for (auto it = kName.globalMatch(term); it.hasNext();)
        names << it.next().captured(1);
    return names;
}

// The names a --help text lists: on each indented line that starts with an option or a signal,
// the term before the gap of two or more blanks that leads to its description.
QStringList helpNames(const QString &help)
{
    QStringList names;
    static const QRegularExpression gap(QStringLiteral(" {2,}"));
    for (const QString &line : help.split(u'\n')) {
        if (!line.startsWith(u' '))
            continue;
        const QString text = line.trimmed();
        if (!text.startsWith(u'-') && !text.startsWith(QStringLiteral("SIG")))
            continue;
        names << namesIn(text.section(gap, 0, 0));
    }
    names.removeDuplicates();
    names.sort();
    return names;
}

// The names a manual page lists: the tag lines (the line after .TP) of its OPTIONS and SIGNALS
// sections, with the font escapes taken out.
QStringList manualNames(const QString &page)
{
    QStringList names;
    bool listed = false;
    bool tagNext = false;
    static const QRegularExpression font(QStringLiteral(R"(\\f[BIRP])"));
    static const QRegularExpression macro(QStringLiteral(R"(^\.(B|I|BR|IR|RB|RI|BI|IB)\s+)"));
    for (const QString &raw : page.split(u'\n')) {
        if (raw.startsWith(QStringLiteral(".SH"))) {
            const QString section = raw.mid(3).trimmed().remove(u'"');
            listed = section == u"OPTIONS" || section == u"SIGNALS";
            tagNext = false;
            continue;
        }
        if (!listed)
            continue;
        if (raw.startsWith(QStringLiteral(".TP"))) {
            tagNext = true;
            continue;
        }
        if (!tagNext)
            continue;
        tagNext = false;
        QString tag = raw;
        tag.remove(macro).remove(font).replace(QStringLiteral("\\-"), QStringLiteral("-"));
        tag.remove(u'"');
        names << namesIn(tag);
    }
    names.removeDuplicates();
    names.sort();
    return names;
}

} // namespace

class TestHelpMatchesManual : public QObject
{
    Q_OBJECT
private slots:
    void parsers_data();
    void parsers();
    void sameOptions_data();
    void sameOptions();
};

// The two readers themselves, on the shapes the pages and help texts use.
void TestHelpMatchesManual::parsers_data()
{
    QTest::addColumn<bool>("manual");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("help: option with value and description")
        << false << "usage: x [--a N]\n  --rate N         frames per second, see --count\n"
        << QStringList{"--rate"};
    QTest::newRow("help: Qt's short and long forms")
        << false << "Options:\n  -h, --help        Displays help.\n  --com1 <DEVICE>  Open --x\n"
        << QStringList{"--com1", "--help", "-h"};
    QTest::newRow("help: signals, unindented lines skipped")
        << false << "Signals:\n  SIGINT, SIGTERM  stop\n--not-listed\n  prose with --quiet\n"
        << QStringList{"SIGINT", "SIGTERM"};
    QTest::newRow("help: term without description")
        << false << "  --help, --version\n" << QStringList{"--help", "--version"};
    QTest::newRow("manual: tags of OPTIONS and SIGNALS only")
        << true
        << ".SH SYNOPSIS\n.B x\n[\\fB\\-\\-nope\\fR]\n.SH OPTIONS\n.TP\n\\fB\\-\\-rate\\fR \\fIN\\fR\n"
           "Frames, unlike \\fB\\-\\-body\\fR.\n.TP\n.B \\-\\-quiet\nQuiet.\n.SH SIGNALS\n.TP\n"
           ".BR SIGINT \", \" SIGTERM\nStop.\n.SH EXIT STATUS\n.TP\n\\fB\\-\\-late\\fR\n"
        << QStringList{"--quiet", "--rate", "SIGINT", "SIGTERM"};
    QTest::newRow("manual: short and long in one tag")
        << true << ".SH OPTIONS\n.TP\n\\fB\\-h\\fR, \\fB\\-\\-help\\fR\nHelp.\n"
        << QStringList{"--help", "-h"};
}

void TestHelpMatchesManual::parsers()
{
    QFETCH(bool, manual);
    QFETCH(QString, text);
    QFETCH(QStringList, names);
    QCOMPARE(manual ? manualNames(text) : helpNames(text), names);
}

void TestHelpMatchesManual::sameOptions_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("page");

    QTest::newRow("vorlatt") << VORLATT_PROGRAM << VORLATT_MAN_DIR "/vorlatt.1";
    QTest::newRow("vorlatt-sim") << VORLATT_SIM_PROGRAM << VORLATT_MAN_DIR "/vorlatt-sim.1";
    QTest::newRow("vorlatt-log") << VORLATT_LOG_PROGRAM << VORLATT_MAN_DIR "/vorlatt-log.1";
}

void TestHelpMatchesManual::sameOptions()
{
    QFETCH(QString, program);
    QFETCH(QString, page);

    QProcess process;
    process.start(program, {QStringLiteral("--help")});
    QVERIFY2(process.waitForFinished(60000), qPrintable(process.errorString()));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    const QStringList help = helpNames(QString::fromUtf8(process.readAllStandardOutput()));

    QFile file(page);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(page));
    const QStringList manual = manualNames(QString::fromUtf8(file.readAll()));

    QVERIFY(help.size() >= 3); // the reader found the options at all
    const QSet<QString> inHelp(help.cbegin(), help.cend());
    const QSet<QString> inManual(manual.cbegin(), manual.cend());
    QStringList onlyHelp = (inHelp - inManual).values();
    QStringList onlyManual = (inManual - inHelp).values();
    onlyHelp.sort();
    onlyManual.sort();
    QVERIFY2(onlyHelp.isEmpty() && onlyManual.isEmpty(),
             qPrintable(QStringLiteral("only in --help: %1; only in the manual page: %2")
                            .arg(onlyHelp.join(u' '), onlyManual.join(u' '))));
}

QTEST_GUILESS_MAIN(TestHelpMatchesManual)
#include "TestHelpMatchesManual.moc"
