#include "mqtt/SpoolPump.h"

#include <QtTest>

#include <QProcess>
#include <QTemporaryDir>

// What goes out of a real spool on disk and when its readings count as delivered: the sender is
// the test's, which names the message ids and gives the acknowledgements in the order a broker
// may give them.
class TestSpoolPump : public QObject
{
    Q_OBJECT

    struct Sent
    {
        qint64 no;
        int mid;
    };

    QTemporaryDir m_dir;
    QStringList m_reports;
    std::vector<Sent> m_sent;
    int m_nextMid = 1;

    QString folder() const { return m_dir.filePath(QStringLiteral("meter")); }
    static QByteArray line(qint64 no) { return "{\"no\":" + QByteArray::number(no) + "}"; }

    std::unique_ptr<SpoolPump> opened(qint64 maxBytes = 64 * 1024 * 1024)
    {
        auto pump = std::make_unique<SpoolPump>([this](const QString &s) { m_reports << s; });
        const QString error = pump->open(folder(), maxBytes, QStringLiteral("meter"));
        if (!error.isEmpty())
            qWarning("%s", qPrintable(error));
        return error.isEmpty() ? std::move(pump) : nullptr;
    }
    SpoolPump::Send sender()
    {
        return [this](const QByteArray &l, int *mid) {
            qint64 no = 0;
            if (!MqttSpool::readingNumber(l, &no))
                return false;
            *mid = m_nextMid++;
            m_sent.push_back({no, *mid});
            return true;
        };
    }
    int midOf(qint64 no) const
    {
        for (const Sent &s : m_sent)
            if (s.no == no)
                return s.mid;
        return -1;
    }

private slots:
    void init()
    {
        m_reports.clear();
        m_sent.clear();
        m_nextMid = 1;
        QDir(folder()).removeRecursively();
    }

    // Acknowledgements may come out of order: the spool's acknowledged mark moves only past a
    // run of readings acknowledged from the first, so a run ending now sends exactly the others
    // again, and none that the broker has.
    void markMovesOnlyPastTheAcknowledgedRun_data()
    {
        QTest::addColumn<QList<int>>("acked"); // reading numbers, in the order acknowledged
        QTest::addColumn<qint64>("left");      // readings the next run finds
        QTest::addColumn<qint64>("firstLeft"); // the first of them it sends

        QTest::newRow("in order") << QList<int>{1, 2, 3} << qint64(2) << qint64(4);
        QTest::newRow("a gap holds the rest") << QList<int>{2, 3, 5} << qint64(5) << qint64(1);
        QTest::newRow("the gap filled late") << QList<int>{2, 3, 1} << qint64(2) << qint64(4);
        QTest::newRow("all") << QList<int>{5, 4, 3, 2, 1} << qint64(0) << qint64(-1);
    }
    void markMovesOnlyPastTheAcknowledgedRun()
    {
        QFETCH(QList<int>, acked);
        QFETCH(qint64, left);
        QFETCH(qint64, firstLeft);
        {
            auto pump = opened();
            QVERIFY(pump);
            for (qint64 no = 1; no <= 5; ++no)
                QCOMPARE(pump->take(line(no), no), SpoolPump::Taken::Spooled);
            pump->pump(sender());
            QCOMPARE(m_sent.size(), size_t(5));
            for (int no : acked)
                QVERIFY(pump->acknowledged(midOf(no)));
            QCOMPARE(pump->idle(), left == 0);
            QCOMPARE(pump->pendingLines(), left);
            pump->finish(QStringLiteral("meter"));
        }
        m_sent.clear();
        auto next = opened();
        QVERIFY(next);
        QCOMPARE(next->pendingLines(), left);
        next->pump(sender());
        QCOMPARE(qint64(m_sent.size()), left);
        if (left > 0)
            QCOMPARE(m_sent.front().no, firstLeft);
    }

    // No more than kInFlight readings wait for their acknowledgement; each one acknowledged
    // lets one more out. An id that is none of the readings' (the status, a discovery config)
    // moves nothing.
    void windowHoldsTheRestInTheSpool()
    {
        auto pump = opened();
        QVERIFY(pump);
        const int total = SpoolPump::kInFlight + 20;
        for (qint64 no = 1; no <= total; ++no)
            pump->take(line(no), no);
        pump->pump(sender());
        QCOMPARE(int(m_sent.size()), SpoolPump::kInFlight);
        QVERIFY(!pump->acknowledged(10000));
        pump->pump(sender());
        QCOMPARE(int(m_sent.size()), SpoolPump::kInFlight);
        QVERIFY(pump->acknowledged(midOf(1)));
        pump->pump(sender());
        QCOMPARE(int(m_sent.size()), SpoolPump::kInFlight + 1);
        QCOMPARE(m_sent.back().no, qint64(SpoolPump::kInFlight + 1));
        QCOMPARE(pump->pendingLines(), qint64(total - 1));
    }

    // A connection that drops sends again from the first reading not acknowledged, in order,
    // also those acknowledged out of order after it (the broker has not said it kept them in a
    // way the spool can mark); a sender that fails stops the pump with the reading kept.
    void dropSendsAgainFromTheFirstNotAcknowledged()
    {
        auto pump = opened();
        QVERIFY(pump);
        for (qint64 no = 1; no <= 6; ++no)
            pump->take(line(no), no);
        pump->pump(sender());
        QVERIFY(pump->acknowledged(midOf(1)));
        QVERIFY(pump->acknowledged(midOf(2)));
        QVERIFY(pump->acknowledged(midOf(4)));
        pump->rewind();
        QVERIFY(pump->idle());
        m_sent.clear();
        int allowed = 2;
        pump->pump([&](const QByteArray &l, int *mid) {
            return allowed-- > 0 && sender()(l, mid);
        });
        QCOMPARE(m_sent.size(), size_t(2));
        QCOMPARE(m_sent[0].no, qint64(3));
        QCOMPARE(m_sent[1].no, qint64(4));
        m_sent.clear();
        pump->rewind();
        pump->pump(sender());
        QCOMPARE(m_sent.size(), size_t(4));
        QCOMPARE(m_sent.front().no, qint64(3));
        QCOMPARE(m_sent.back().no, qint64(6));
    }

    // A spool that cannot be appended to: with another output keeping every reading the run goes
    // on (the reading is to be sent from memory, and the status changes); as the only output it
    // breaks, once, through `broken`, and every later reading is counted as kept nowhere.
    void unwritableSpool_data()
    {
        QTest::addColumn<bool>("keptElsewhere");
        QTest::newRow("another output") << true;
        QTest::newRow("the only output") << false;
    }
    void unwritableSpool()
    {
        QFETCH(bool, keptElsewhere);
        // A disk that fills up under the spool: a small tmpfs of the test's own.
        QVERIFY(QDir().mkpath(folder()));
        QProcess mount;
        mount.start(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"),
                                              QStringLiteral("-o"), QStringLiteral("size=64k"),
                                              QStringLiteral("tmpfs"), folder()});
        if (!mount.waitForFinished(30000) || mount.exitStatus() != QProcess::NormalExit ||
            mount.exitCode() != 0)
            QSKIP("cannot mount a small tmpfs here (needs the right to mount, as root in CI)");
        const auto unmount = qScopeGuard(
            [&] { QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), folder()}); });
        auto pump = opened(1024 * 1024);
        QVERIFY(pump);
        pump->setKeptElsewhere(keptElsewhere);
        QStringList broken;
        int changed = 0;
        pump->broken = [&](const QString &why) { broken << why; };
        pump->changed = [&] { ++changed; };
        SpoolPump::Taken taken = SpoolPump::Taken::Spooled;
        qint64 no = 1;
        for (; no < 100000 && taken == SpoolPump::Taken::Spooled; ++no) {
            taken = pump->take("{\"no\":" + QByteArray::number(no) + ",\"pad\":\"" +
                                   QByteArray(400, 'x') + "\"}",
                               no);
            // What the system keeps in memory reaches the disk, or fails to, at a sync.
            if (taken == SpoolPump::Taken::Spooled && no % 16 == 0)
                pump->sync();
        }
        QVERIFY2(taken != SpoolPump::Taken::Spooled, "a 64 KiB disk took every reading");
        if (keptElsewhere) {
            QVERIFY(pump->unwritable());
            QCOMPARE(changed, 1);
            QVERIFY(broken.isEmpty());
            QVERIFY(pump->take(line(no), no) != SpoolPump::Taken::NotKept);
        } else {
            QCOMPARE(pump->take(line(no), no), SpoolPump::Taken::NotKept);
            QCOMPARE(broken.size(), 1);
            QVERIFY2(broken.front().startsWith(QStringLiteral("cannot keep the MQTT spool")),
                     qPrintable(broken.front()));
            QVERIFY(pump->notKept() >= 1);
            QVERIFY(pump->isBroken());
        }
        pump.reset();
    }
};

QTEST_GUILESS_MAIN(TestSpoolPump)
#include "TestSpoolPump.moc"
