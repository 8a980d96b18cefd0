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

} // namespace

class TestMarkDecoder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decodes_data();
    void decodes();
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

QTEST_GUILESS_MAIN(TestMarkDecoder)
#include "tst_markdecoder.moc"
