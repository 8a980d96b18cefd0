#include "ptyfeeder.h"
#include "report.h"
#include "traffic.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <cmath>
#include <cstdio>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

// The benchmark's verdicts: what counts as lost or altered, how rates, gaps and percentiles
// are read from what it noted, and that its feeder delivers every byte through a real
// pseudo-terminal.
class BenchTrafficTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void damagedChars_data();
    void damagedChars();
    void barcodesAreDistinctLines();
    void rateBetween_data();
    void rateBetween();
    void longestGap_data();
    void longestGap();
    void delays_data();
    void delays();
    void percentile_data();
    void percentile();
    void onlyIntegrityFailsTheRun();
    void jsonLinePerFigure();
    void feederDeliversEveryByte_data();
    void feederDeliversEveryByte();
};

void BenchTrafficTest::damagedChars_data()
{
    QTest::addColumn<QString>("got");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<qint64>("damaged");

    const QString sent = QStringLiteral("4006381333931\r\n5901234123457\r\n");
    QString altered = sent;
    altered[20] = u'X';
    QTest::addRow("identical") << sent << sent << qint64(0);
    QTest::addRow("one lost in the middle") << QString(sent).remove(5, 1) << sent << qint64(1);
    QTest::addRow("one altered") << altered << sent << qint64(1);
    QTest::addRow("last lost") << sent.chopped(1) << sent << qint64(1);
    QTest::addRow("one extra") << sent + u'7' << sent << qint64(1);
    QTest::addRow("nothing arrived") << QString() << sent << qint64(sent.size());
    QTest::addRow("two swapped") << QStringLiteral("4006381333913\r\n") << sent.left(15)
                                 << qint64(2);
    QTest::addRow("a line twice") << sent + sent.left(15) << sent << qint64(15);
}

void BenchTrafficTest::damagedChars()
{
    QFETCH(QString, got);
    QFETCH(QString, expected);
    QFETCH(qint64, damaged);
    QCOMPARE(Traffic::damagedChars(got, expected), damaged);
}

void BenchTrafficTest::barcodesAreDistinctLines()
{
    const QByteArray sent = Traffic::barcodes(1000, 7);
    QCOMPARE(sent.size(), 14 * 1000);
    QSet<QByteArray> seen;
    for (qsizetype at = 0; at < sent.size(); at += 14) {
        const QByteArray line = sent.mid(at, 14);
        QVERIFY2(line.endsWith('\r'), line.constData());
        for (const char c : line.chopped(1))
            QVERIFY(c >= '0' && c <= '9');
        seen.insert(line);
    }
    QCOMPARE(seen.size(), 1000);
    QCOMPARE(Traffic::historyOf("12\r34\r"), QStringLiteral("12\r\n34\r\n"));
}

void BenchTrafficTest::rateBetween_data()
{
    QTest::addColumn<qint64>("from");
    QTest::addColumn<qint64>("to");
    QTest::addColumn<double>("rate");

    // Changes at 10 ms (1,000 characters), 20 ms (3,000) and 30 ms (4,000).
    QTest::addRow("between changes") << qint64(1000) << qint64(4000) << 150'000.0;
    QTest::addRow("counts from the change that reached it")
        << qint64(500) << qint64(3000) << 200'000.0;
    QTest::addRow("same change") << qint64(3500) << qint64(4000) << qQNaN();
    QTest::addRow("never reached") << qint64(1000) << qint64(5000) << qQNaN();
}

void BenchTrafficTest::rateBetween()
{
    QFETCH(qint64, from);
    QFETCH(qint64, to);
    QFETCH(double, rate);
    const std::vector<Progress> progress{
        {10'000'000, 1000}, {20'000'000, 3000}, {30'000'000, 4000}};
    const double got = Traffic::rateBetween(progress, from, to);
    if (std::isnan(rate))
        QVERIFY(std::isnan(got));
    else
        QCOMPARE(got, rate);
    QCOMPARE(Traffic::reachedNs(progress, 2999), 20'000'000);
    QCOMPARE(Traffic::reachedNs(progress, 4001), 0);
}

void BenchTrafficTest::longestGap_data()
{
    QTest::addColumn<std::vector<qint64>>("events");
    QTest::addColumn<double>("gapMs");

    QTest::addRow("no events: the whole span") << std::vector<qint64>{} << 100.0;
    QTest::addRow("between events") << std::vector<qint64>{10, 20, 60, 90} << 40.0;
    QTest::addRow("to the end") << std::vector<qint64>{10, 20, 30} << 70.0;
    QTest::addRow("from the start") << std::vector<qint64>{45, 60, 80} << 45.0;
    QTest::addRow("events outside ignored") << std::vector<qint64>{-50, 30, 60, 90, 300} << 30.0;
}

void BenchTrafficTest::longestGap()
{
    QFETCH(std::vector<qint64>, events);
    QFETCH(double, gapMs);
    for (qint64 &at : events)
        at *= 1'000'000;
    QCOMPARE(Traffic::longestGapMs(events, 0, 100'000'000), gapMs);
}

void BenchTrafficTest::delays_data()
{
    QTest::addColumn<std::vector<qint64>>("writes");
    QTest::addColumn<std::vector<qint64>>("paints");
    QTest::addColumn<std::vector<double>>("delaysMs");

    QTest::addRow("each to the next paint")
        << std::vector<qint64>{0, 15, 30} << std::vector<qint64>{10, 40}
        << std::vector<double>{10, 25, 10};
    QTest::addRow("paints before a write do not count")
        << std::vector<qint64>{20} << std::vector<qint64>{5, 19, 50} << std::vector<double>{30};
    QTest::addRow("no paint after the last write")
        << std::vector<qint64>{0, 60} << std::vector<qint64>{40} << std::vector<double>{40};
}

void BenchTrafficTest::delays()
{
    QFETCH(std::vector<qint64>, writes);
    QFETCH(std::vector<qint64>, paints);
    QFETCH(std::vector<double>, delaysMs);
    for (qint64 &at : writes)
        at *= 1'000'000;
    for (qint64 &at : paints)
        at *= 1'000'000;
    QCOMPARE(Traffic::delaysMs(writes, paints), delaysMs);
}

void BenchTrafficTest::percentile_data()
{
    QTest::addColumn<double>("fraction");
    QTest::addColumn<double>("value");

    QTest::addRow("median") << 0.5 << 50.0;
    QTest::addRow("p99") << 0.99 << 99.0;
    QTest::addRow("max") << 1.0 << 100.0;
    QTest::addRow("min") << 0.0 << 1.0;
}

void BenchTrafficTest::percentile()
{
    QFETCH(double, fraction);
    QFETCH(double, value);
    std::vector<double> values;
    for (int v = 100; v >= 1; --v)
        values.push_back(v);
    QCOMPARE(Traffic::percentile(values, fraction), value);
    std::vector<double> none;
    QVERIFY(std::isnan(Traffic::percentile(none, fraction)));
}

void BenchTrafficTest::onlyIntegrityFailsTheRun()
{
    Report report(QStringLiteral("offscreen"), QStringLiteral("quick"));
    report.add(QStringLiteral("rate"), QStringLiteral("rate"), 10, QStringLiteral("/s"),
               Report::Bound::AtLeast, 100);
    report.addIntegrity(QStringLiteral("lost"), QStringLiteral("lost"), 0);
    QVERIFY(!report.integrityFailed()); // a missed target is reported, not failed
    report.addIntegrity(QStringLiteral("lost2"), QStringLiteral("lost"), 1);
    QVERIFY(report.integrityFailed());
}

void BenchTrafficTest::jsonLinePerFigure()
{
    Report report(QStringLiteral("offscreen"), QStringLiteral("full"));
    Report::Figure &cpu = report.add(QStringLiteral("pace.cpu"), QStringLiteral("CPU"), 0.4,
                                     QStringLiteral("s"), Report::Bound::AtMost, 0.5, 2);
    cpu.parts = {{QStringLiteral("lowest"), 0.3}, {QStringLiteral("highest"), 0.6}};
    report.add(QStringLiteral("flood.rate"), QStringLiteral("rate"), qQNaN(), QStringLiteral("/s"),
               Report::Bound::AtLeast, 100);
    std::FILE *out = std::tmpfile();
    report.print(out);
    std::rewind(out);
    QFile file;
    QVERIFY(file.open(out, QIODevice::ReadOnly));
    QList<QJsonObject> lines;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith('{'))
            lines << QJsonDocument::fromJson(line).object();
    }
    file.close();
    std::fclose(out);
    QCOMPARE(lines.size(), 3);
    const auto field = [&lines](int line, const char *name) {
        return lines[line].value(QLatin1String(name));
    };
    QCOMPARE(field(0, "figure").toString(), QStringLiteral("run"));
    QCOMPARE(field(0, "mode").toString(), QStringLiteral("full"));
    QCOMPARE(field(1, "figure").toString(), QStringLiteral("pace.cpu"));
    QCOMPARE(field(1, "value").toDouble(), 0.4);
    QCOMPARE(field(1, "unit").toString(), QStringLiteral("s"));
    QCOMPARE(field(1, "target").toString(), QStringLiteral("<= 0.50"));
    QCOMPARE(field(1, "met").toBool(), true);
    QCOMPARE(field(1, "platform").toString(), QStringLiteral("offscreen"));
    QCOMPARE(field(1, "highest").toDouble(), 0.6);
    // A figure that could not be measured is null, and meets no target.
    QVERIFY(field(2, "value").isNull());
    QCOMPARE(field(2, "met").toBool(), false);
}

void BenchTrafficTest::feederDeliversEveryByte_data()
{
    QTest::addColumn<bool>("paced");
    QTest::addRow("flood") << false;
    QTest::addRow("paced") << true;
}

void BenchTrafficTest::feederDeliversEveryByte()
{
    QFETCH(bool, paced);
    PtyFeeder feeder;
    QVERIFY2(feeder.isValid(), qPrintable(feeder.errorString()));
    const int slave = ::open(QFile::encodeName(feeder.slavePath()).constData(),
                             O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(slave >= 0);
    // Far more than a terminal's input holds: the flood must wait for the reader, not drop.
    const QByteArray sent = paced ? Traffic::barcodes(3) : Traffic::barcodes(20'000);
    feeder.start(sent, paced ? std::chrono::milliseconds(1) : std::chrono::milliseconds(0));
    QByteArray got;
    char buffer[4096];
    for (int idle = 0; got.size() < sent.size() && idle < 100;) {
        pollfd readable{slave, POLLIN, 0};
        if (::poll(&readable, 1, 100) <= 0) {
            ++idle;
            continue;
        }
        const ssize_t n = ::read(slave, buffer, sizeof buffer);
        if (n > 0)
            got.append(buffer, n);
    }
    feeder.wait();
    ::close(slave);
    QCOMPARE(got.size(), sent.size());
    QVERIFY(got == sent);
    if (paced) {
        const std::vector<qint64> &times = feeder.pacedWriteTimes();
        QCOMPARE(qsizetype(times.size()), sent.size());
        // One write per byte, one after the other; how far apart depends on the machine's load.
        for (size_t i = 1; i < times.size(); ++i)
            QVERIFY(times[i] > times[i - 1]);
    }
}

QTEST_GUILESS_MAIN(BenchTrafficTest)
#include "tst_benchtraffic.moc"
