#include "benchrig.h"
#include "report.h"
#include "traffic.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

// The benchmark's verdicts: what counts as lost or altered, that only that fails a run, the
// JSON lines scripts collect, and that its feeder delivers every byte through a real
// pseudo-terminal.
class BenchTrafficTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void damagedChars();
    void reportFailsOnlyOnDamage();
    void feederDeliversEveryByte_data();
    void feederDeliversEveryByte();
};

void BenchTrafficTest::damagedChars()
{
    const QString sent = u"4006381333931\r\n5901234123457\r\n"_s;
    QString altered = sent;
    altered[20] = u'X';
    QCOMPARE(Traffic::damagedChars(sent, sent), 0);
    QCOMPARE(Traffic::damagedChars(QString(sent).remove(5, 1), sent), 1); // lost in the middle
    QCOMPARE(Traffic::damagedChars(altered, sent), 1);
    QCOMPARE(Traffic::damagedChars(sent.chopped(1), sent), 1);       // the last lost
    QCOMPARE(Traffic::damagedChars(QString(), sent), sent.size());   // nothing arrived
    QCOMPARE(Traffic::damagedChars(sent + sent.left(15), sent), 15); // a line twice
}

void BenchTrafficTest::reportFailsOnlyOnDamage()
{
    Report report(u"offscreen"_s, u"quick"_s);
    report.add(u"pace.cpu"_s, u"CPU"_s, 0.4, u"s"_s, Report::AtMost, 0.5, 2).parts
        = {{u"highest"_s, 0.6}};
    report.add(u"flood.rate"_s, u"rate"_s, qQNaN(), u"/s"_s, Report::AtLeast, 100);
    report.addIntegrity(u"pace"_s, 0, 0);
    QVERIFY(!report.integrityFailed()); // a missed target is reported, not failed
    report.addIntegrity(u"flood"_s, 1);
    QVERIFY(report.integrityFailed());

    QList<QJsonObject> lines;
    for (const QByteArray &line : report.text().split('\n')) {
        if (line.startsWith('{'))
            lines << QJsonDocument::fromJson(line).object();
    }
    QCOMPARE(lines.size(), 6); // the run, then each figure
    QCOMPARE(lines[0].value("mode"_L1).toString(), u"quick"_s);
    QCOMPARE(lines[1], (QJsonObject{{u"figure"_s, u"pace.cpu"_s},
                                    {u"value"_s, 0.4},
                                    {u"unit"_s, u"s"_s},
                                    {u"platform"_s, u"offscreen"_s},
                                    {u"target"_s, u"<= 0.50"_s},
                                    {u"met"_s, true},
                                    {u"highest"_s, 0.6}}));
    // A figure that could not be measured is null, and meets no target.
    QVERIFY(lines[2].value("value"_L1).isNull());
    QCOMPARE(lines[2].value("met"_L1).toBool(), false);
    QCOMPARE(lines[5].value("figure"_L1).toString(), u"flood.lost_or_altered"_s);
    QCOMPARE(lines[5].value("met"_L1).toBool(), false);
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
    feeder.start(sent, std::chrono::milliseconds(paced ? 1 : 0));
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
    feeder.stop();
    ::close(slave);
    QCOMPARE(got, sent);
    // One write per byte when paced: the line pace's delays are timed from each.
    QCOMPARE(qsizetype(feeder.pacedWriteTimes().size()), paced ? sent.size() : 0);
}

QTEST_GUILESS_MAIN(BenchTrafficTest)
#include "tst_benchtraffic.moc"
