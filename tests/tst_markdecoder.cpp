#include "commevents.h"
#include "linestatus.h"
#include "markdecoder.h"

#include <QTest>

namespace {

// Writes what the decoder passes on as tokens: data bytes in hex, "BRK" and "ERR" for marks.
struct TokenOutput : MarkDecoder::Output
{
    void data(const char *bytes, qsizetype size) override
    {
        for (qsizetype i = 0; i < size; ++i)
            tokens.append(QByteArray(1, bytes[i]).toHex());
        dataBytes += size;
    }
    void mark(MarkDecoder::Mark mark) override
    {
        tokens.append(mark == MarkDecoder::Mark::Break ? "BRK" : "ERR");
    }

    QByteArrayList tokens;
    qsizetype dataBytes = 0;
};

QByteArray fromHex(const char *hex)
{
    return QByteArray::fromHex(hex);
}

// Feeds `input` in the given pieces, each decode allowed at most `room` data bytes; what a
// call leaves unconsumed is offered again first, as the device does.
QByteArray decodeInPieces(const QByteArray &input, const QList<qsizetype> &cuts, qsizetype room,
                          bool *inMark)
{
    MarkDecoder decoder;
    TokenOutput out;
    QByteArray pending;
    qsizetype from = 0;
    QList<qsizetype> ends = cuts;
    ends.append(input.size());
    for (const qsizetype end : ends) {
        pending += input.mid(from, end - from);
        from = end;
        while (!pending.isEmpty()) {
            const qsizetype before = out.dataBytes;
            const qsizetype used = decoder.decode(pending.constData(), pending.size(), out, room);
            if (out.dataBytes - before > room)
                return "room exceeded";
            pending.remove(0, used);
            if (used == 0 && out.dataBytes == before)
                return "no progress";
        }
    }
    *inMark = decoder.inMark();
    return out.tokens.join(' ');
}

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

class TestMarkDecoder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decodes_data();
    void decodes();
    void overrunEvents_data();
    void overrunEvents();
    void garbledCharKind_data();
    void garbledCharKind();
    void modemLineEvents_data();
    void modemLineEvents();
};

void TestMarkDecoder::decodes_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("inMark");
    QTest::addRow("plain") << fromHex("41 00 42") << QByteArray("41 00 42") << false;
    QTest::addRow("doubled 0xFF") << fromHex("41 ff ff 42") << QByteArray("41 ff 42") << false;
    QTest::addRow("break") << fromHex("41 ff 00 00 42") << QByteArray("41 BRK 42") << false;
    QTest::addRow("garbled character")
        << fromHex("41 ff 00 43") << QByteArray("41 ERR 43") << false;
    QTest::addRow("garbled 0xFF") << fromHex("ff 00 ff 41") << QByteArray("ERR ff 41") << false;
    QTest::addRow("breaks in a row")
        << fromHex("ff 00 00 ff 00 00") << QByteArray("BRK BRK") << false;
    QTest::addRow("doubled 0xFF then break")
        << fromHex("ff ff ff 00 00") << QByteArray("ff BRK") << false;
    QTest::addRow("mark then doubled 0xFF")
        << fromHex("ff 00 41 ff ff") << QByteArray("ERR 41 ff") << false;
    QTest::addRow("stray 0xFF") << fromHex("ff 41 ff ff") << QByteArray("ff 41 ff") << false;
    QTest::addRow("stray 0xFF before a mark")
        << fromHex("ff ff 00 00") << QByteArray("ff 00 00") << false;
    QTest::addRow("cut after 0xFF") << fromHex("41 ff") << QByteArray("41") << true;
    QTest::addRow("cut after 0xFF 0x00") << fromHex("41 ff 00") << QByteArray("41") << true;
}

// The result must not depend on how reads cut the stream nor on the room the sink has.
void TestMarkDecoder::decodes()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QFETCH(bool, inMark);
    for (qsizetype cut = 0; cut <= input.size(); ++cut) {
        for (const qsizetype room : {qsizetype(1), qsizetype(2), input.size()}) {
            bool endsInMark = false;
            QCOMPARE(decodeInPieces(input, {cut}, room, &endsInMark), expected);
            QCOMPARE(endsInMark, inMark);
        }
    }
    QList<qsizetype> everyByte;
    for (qsizetype i = 1; i < input.size(); ++i)
        everyByte.append(i);
    bool endsInMark = false;
    QCOMPARE(decodeInPieces(input, everyByte, 1, &endsInMark), expected);
}

void TestMarkDecoder::overrunEvents_data()
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

void TestMarkDecoder::overrunEvents()
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

void TestMarkDecoder::garbledCharKind_data()
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

void TestMarkDecoder::garbledCharKind()
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

void TestMarkDecoder::modemLineEvents_data()
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

void TestMarkDecoder::modemLineEvents()
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

QTEST_GUILESS_MAIN(TestMarkDecoder)
#include "tst_markdecoder.moc"
