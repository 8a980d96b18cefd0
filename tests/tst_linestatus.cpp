#include "commevents.h"
#include "linestatus.h"

#include <QTest>

namespace {

LineCounters counters(quint32 frame, quint32 parity, quint32 overrun, quint32 bufOverrun)
{
    LineCounters c;
    c.frame = frame;
    c.parity = parity;
    c.overrun = overrun;
    c.bufOverrun = bufOverrun;
    return c;
}

} // namespace

// What the driver's line counters and modem lines become: overrun events, the kind of a
// garbled character, and one event per modem line change.
class TestLineStatus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void overrunEvents_data();
    void overrunEvents();
    void garbledCharKind_data();
    void garbledCharKind();
    void modemLineEvents_data();
    void modemLineEvents();
    void driverCatchingUpAfterOpen_data();
    void driverCatchingUpAfterOpen();
};

void TestLineStatus::overrunEvents_data()
{
    QTest::addColumn<LineCounters>("before");
    QTest::addColumn<LineCounters>("after");
    QTest::addColumn<bool>("overrun");
    QTest::addRow("nothing") << counters(3, 3, 3, 3) << counters(3, 3, 3, 3) << false;
    QTest::addRow("framing error only") << counters(0, 0, 0, 0) << counters(2, 0, 0, 0) << false;
    QTest::addRow("overrun") << counters(0, 0, 5, 0) << counters(0, 0, 7, 0) << true;
    QTest::addRow("buffer overrun") << counters(0, 0, 0, 0) << counters(0, 0, 0, 1) << true;
    QTest::addRow("both, one event") << counters(0, 0, 0, 0) << counters(0, 0, 1, 1) << true;
    QTest::addRow("counter wrapped")
        << counters(0, 0, 0xFFFFFFFF, 0) << counters(0, 0, 0, 0) << true;
}

void TestLineStatus::overrunEvents()
{
    QFETCH(LineCounters, before);
    QFETCH(LineCounters, after);
    QFETCH(bool, overrun);
    LineStatus status;
    QVERIFY(status.updateCounters(before).isEmpty()); // the first snapshot is the start
    QCOMPARE(status.updateCounters(after),
             overrun ? QList<qint16>{comEventOverrun} : QList<qint16>{});
    QVERIFY(status.updateCounters(after).isEmpty());
}

void TestLineStatus::garbledCharKind_data()
{
    QTest::addColumn<LineCounters>("counted");
    QTest::addColumn<QList<qint16>>("events");
    QTest::addRow("no counters") << counters(0, 0, 0, 0)
                                 << QList<qint16>{comEventFrame, comEventFrame};
    QTest::addRow("parity counted")
        << counters(0, 1, 0, 0) << QList<qint16>{comEventRxParity, comEventFrame};
    QTest::addRow("framing counted")
        << counters(1, 0, 0, 0) << QList<qint16>{comEventFrame, comEventFrame};
    QTest::addRow("one of each") << counters(1, 1, 0, 0)
                                 << QList<qint16>{comEventFrame, comEventRxParity, comEventFrame};
    QTest::addRow("parity twice") << counters(
        0, 2, 0, 0) << QList<qint16>{comEventRxParity, comEventRxParity, comEventFrame};
}

void TestLineStatus::garbledCharKind()
{
    QFETCH(LineCounters, counted);
    QFETCH(QList<qint16>, events);
    LineStatus status;
    status.updateCounters({});
    status.updateCounters(counted);
    QList<qint16> seen;
    for (qsizetype i = 0; i < events.size(); ++i)
        seen.append(status.garbledCharEvent());
    QCOMPARE(seen, events);
}

void TestLineStatus::modemLineEvents_data()
{
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("after");
    QTest::addColumn<LineCounters>("counted");
    QTest::addColumn<QList<qint16>>("events");
    const LineCounters none;
    LineCounters ctsPulse;
    ctsPulse.cts = 2;
    LineCounters rang;
    rang.rng = 1;
    QTest::addRow("no change") << int(LineCts | LineCd) << int(LineCts | LineCd) << none
                               << QList<qint16>{};
    QTest::addRow("CTS rises") << 0 << int(LineCts) << none << QList<qint16>{comEvCTS};
    QTest::addRow("DSR falls") << int(LineDsr) << 0 << none << QList<qint16>{comEvDSR};
    QTest::addRow("CD changes") << 0 << int(LineCd) << none << QList<qint16>{comEvCD};
    QTest::addRow("all change") << int(LineCts | LineDsr) << int(LineCd) << none
                                << QList<qint16>{comEvCTS, comEvDSR, comEvCD};
    QTest::addRow("RI rises") << 0 << int(LineRi) << none << QList<qint16>{comEvRing};
    QTest::addRow("RI falls") << int(LineRi) << 0 << none << QList<qint16>{};
    QTest::addRow("CTS pulse between polls") << 0 << 0 << ctsPulse << QList<qint16>{comEvCTS};
    QTest::addRow("ring counted") << 0 << 0 << rang << QList<qint16>{comEvRing};
    QTest::addRow("ring counted while RI rises")
        << 0 << int(LineRi) << rang << QList<qint16>{comEvRing};
}

void TestLineStatus::modemLineEvents()
{
    QFETCH(int, before);
    QFETCH(int, after);
    QFETCH(LineCounters, counted);
    QFETCH(QList<qint16>, events);
    LineStatus status;
    status.updateCounters({});
    QVERIFY(status.updateModemLines(quint8(after ^ LineCts)).isEmpty()); // the start
    status.updateModemLines(quint8(before));
    status.updateCounters(counted);
    QCOMPARE(status.updateModemLines(quint8(after)), events);
    QVERIFY(status.updateModemLines(quint8(after)).isEmpty());
}

LineCounters modemCounts(quint32 cts, quint32 dsr, quint32 dcd, quint32 rng)
{
    LineCounters c;
    c.cts = cts;
    c.dsr = dsr;
    c.dcd = dcd;
    c.rng = rng;
    return c;
}

// A driver that starts from all lines low counts its first status from the device as a change
// of every line that is high, though the lines read the same before and after: no event. Any
// count beyond that, or a line that reads differently, is a real change.
void TestLineStatus::driverCatchingUpAfterOpen_data()
{
    QTest::addColumn<int>("atOpen");
    QTest::addColumn<LineCounters>("counted");
    QTest::addColumn<int>("after");
    QTest::addColumn<QList<qint16>>("events");
    const int ctsDsrCd = LineCts | LineDsr | LineCd;
    QTest::addRow("first status, lines as at open")
        << ctsDsrCd << modemCounts(1, 1, 1, 0) << ctsDsrCd << QList<qint16>{};
    QTest::addRow("RI high at open")
        << int(LineRi) << modemCounts(0, 0, 0, 1) << int(LineRi) << QList<qint16>{};
    QTest::addRow("pulse within the first status")
        << ctsDsrCd << modemCounts(3, 1, 1, 0) << ctsDsrCd << QList<qint16>{comEvCTS};
    QTest::addRow("CD dropped at the first status")
        << ctsDsrCd << modemCounts(1, 1, 2, 0) << int(LineCts | LineDsr) << QList<qint16>{comEvCD};
    QTest::addRow("low at open, counted")
        << 0 << modemCounts(2, 0, 0, 0) << 0 << QList<qint16>{comEvCTS};
}

void TestLineStatus::driverCatchingUpAfterOpen()
{
    QFETCH(int, atOpen);
    QFETCH(LineCounters, counted);
    QFETCH(int, after);
    QFETCH(QList<qint16>, events);
    LineStatus status;
    status.updateCounters({});
    QVERIFY(status.updateModemLines(quint8(atOpen)).isEmpty());
    status.updateCounters(counted);
    QCOMPARE(status.updateModemLines(quint8(after)), events);
    // From then on every count is a change: a pulse too short for two looks still shows.
    LineCounters pulse = counted;
    pulse.cts += 2;
    status.updateCounters(pulse);
    QCOMPARE(status.updateModemLines(quint8(after)), QList<qint16>{comEvCTS});
}

QTEST_GUILESS_MAIN(TestLineStatus)
#include "tst_linestatus.moc"
