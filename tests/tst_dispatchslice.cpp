#include "commcontrol.h"
#include "fakedevice.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <algorithm>

// A flood is handed out in slices of about 4 ms: between them the event loop runs timers and
// repaints, however many characters wait and however long each handler takes.
class DispatchSliceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void floodYieldsToEventLoop_data();
    void floodYieldsToEventLoop();
};

void DispatchSliceTest::floodYieldsToEventLoop_data()
{
    QTest::addColumn<int>("handlerUs");
    QTest::addColumn<int>("maxPerTurn"); // 0: no bound, the handlers' own cost is too small

    // A turn of the loop may see two slices; a slice may overrun by the handlers between two
    // reads of the clock (8).
    QTest::addRow("instant handler") << 0 << 0;
    QTest::addRow("20 us handler") << 20 << 2 * (4000 / 20 + 8);
    QTest::addRow("1 ms handler") << 1000 << 2 * (4 + 8);
}

void DispatchSliceTest::floodYieldsToEventLoop()
{
    QFETCH(int, handlerUs);
    QFETCH(int, maxPerTurn);
    auto fake = std::make_unique<FakeDevice>();
    FakeDevice *device = fake.get();
    CommControl control(
        std::move(fake), [] { return QStringList{QStringLiteral("/fake/a")}; },
        CommControl::Settings{.charsPerRead = 1, .bufferSize = 1 << 20});
    QVERIFY(control.setPortOpen(true).ok());

    // Some 200 ms of handlers.
    QByteArray flood;
    for (int i = 0; i < (handlerUs ? 200'000 / handlerUs : 200'000); ++i)
        flood.append(char('0' + i % 10));
    QString received;
    QObject context;
    connect(&control, &CommControl::OnComm, &context, [&] {
        received += control.Input().chars;
        QElapsedTimer busy;
        busy.start();
        while (busy.nsecsElapsed() < handlerUs * 1000) {
        }
    });
    // A zero timer fires once a turn of the event loop: it notes how far the flood got.
    std::vector<qsizetype> atTurn{0};
    QTimer turn;
    turn.setInterval(0);
    connect(&turn, &QTimer::timeout, &context, [&] { atTurn.push_back(received.size()); });
    turn.start();
    device->feed(flood);
    QTRY_VERIFY_WITH_TIMEOUT(control.isIdle(), 60'000);
    turn.stop();
    atTurn.push_back(received.size());

    QCOMPARE(received, QString::fromLatin1(flood));
    const auto midFlood = std::count_if(atTurn.begin(), atTurn.end(),
                                        [&](qsizetype n) { return n > 0 && n < flood.size(); });
    QVERIFY2(midFlood > 0, "the event loop never ran while the flood was handed out");
    qsizetype mostPerTurn = 0;
    for (size_t i = 1; i < atTurn.size(); ++i)
        mostPerTurn = std::max(mostPerTurn, atTurn[i] - atTurn[i - 1]);
    if (maxPerTurn > 0)
        QVERIFY2(mostPerTurn <= maxPerTurn, qPrintable(QString::number(mostPerTurn)));
}

QTEST_GUILESS_MAIN(DispatchSliceTest)
#include "tst_dispatchslice.moc"
