#include "report.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QRegularExpression>
#include <QThread>

#include <cmath>
#include <limits>

#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

QString formatted(double value, int decimals)
{
    if (!std::isfinite(value))
        return QStringLiteral("n/a");
    // Group thousands so large rates read at a glance.
    return QLocale(QLocale::English).toString(value, 'f', decimals);
}

QString boundText(const Report::Figure &figure)
{
    switch (figure.bound) {
    case Report::Bound::AtLeast:
        return QStringLiteral(">= ") + formatted(figure.limit, figure.decimals);
    case Report::Bound::AtMost:
        return QStringLiteral("<= ") + formatted(figure.limit, figure.decimals);
    case Report::Bound::None:
        break;
    }
    return {};
}

QByteArray local(const QString &text)
{
    return text.toLocal8Bit();
}

} // namespace

bool Report::Figure::met() const
{
    if (!std::isfinite(value))
        return false;
    switch (bound) {
    case Bound::AtLeast:
        return value >= limit;
    case Bound::AtMost:
        return value <= limit;
    case Bound::None:
        break;
    }
    return true;
}

Report::Figure &Report::add(const QString &key, const QString &label, double value,
                            const QString &unit, int decimals)
{
    return addTarget(key, label, value, unit, Bound::None, 0, decimals);
}

Report::Figure &Report::addTarget(const QString &key, const QString &label, double value,
                                  const QString &unit, Bound bound, double limit, int decimals)
{
    m_figures.append({m_section, key, label, value, unit, bound, limit, decimals, false});
    m_rows.append({m_section, int(m_figures.size() - 1), {}});
    return m_figures.last();
}

Report::Figure &Report::addIntegrity(const QString &key, const QString &label, qint64 count)
{
    Figure &figure = addTarget(key, label, double(count), QString(), Bound::AtMost, 0);
    figure.integrity = true;
    return figure;
}

void Report::setSecondColumn(const QString &platform, const QHash<QString, double> &values)
{
    m_secondPlatform = platform;
    m_second = values;
}

QHash<QString, double> Report::readJson(const QString &path, const QString &platform)
{
    QHash<QString, double> values;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return values;
    while (!file.atEnd()) {
        const QJsonObject line = QJsonDocument::fromJson(file.readLine()).object();
        if (line.value(QStringLiteral("platform")).toString() != platform)
            continue;
        const QJsonValue value = line.value(QStringLiteral("value"));
        values.insert(line.value(QStringLiteral("figure")).toString(),
                      value.isDouble() ? value.toDouble()
                                       : std::numeric_limits<double>::quiet_NaN());
    }
    return values;
}

void Report::note(const QString &text)
{
    m_rows.append({m_section, -1, text});
}

bool Report::integrityFailed() const
{
    for (Figure figure : m_figures) {
        if (!figure.integrity)
            continue;
        if (!figure.met())
            return true;
        figure.value = m_second.value(figure.key, 0);
        if (!figure.met())
            return true;
    }
    return false;
}

void Report::printTable(std::FILE *out, const QString &header) const
{
    std::fprintf(out, "%s\n", local(header).constData());
    const bool second = !m_secondPlatform.isEmpty();
    if (second)
        std::fprintf(out, "\n  %-52s %18s %18s\n", "", local(m_platform).constData(),
                     local(m_secondPlatform).constData());
    QString section;
    for (const Row &row : m_rows) {
        if (row.section != section) {
            section = row.section;
            std::fprintf(out, "\n%s\n", local(section).constData());
        }
        if (row.figure < 0) {
            std::fprintf(out, "    (%s)\n", local(row.note).constData());
            continue;
        }
        const Figure &f = m_figures.at(row.figure);
        const auto shown = [&f](double value) {
            return local((formatted(value, f.decimals) + u' ' + f.unit).trimmed());
        };
        const QString verdict = f.hasTarget()
                                    ? (f.met() ? QStringLiteral("met") : QStringLiteral("MISSED"))
                                    : QString();
        std::fprintf(out, "  %-52s %18s", local(f.label).constData(), shown(f.value).constData());
        if (second)
            std::fprintf(out, " %18s",
                         m_second.contains(f.key) ? shown(m_second.value(f.key)).constData() : "-");
        std::fprintf(out, "  %-14s %s\n", local(boundText(f)).constData(),
                     local(verdict).constData());
    }
    std::fprintf(out, "\n");
}

void Report::printJson(std::FILE *out, QJsonObject run) const
{
    run.insert(QStringLiteral("figure"), QStringLiteral("run"));
    run.insert(QStringLiteral("cpu"), cpuModel());
    run.insert(QStringLiteral("cores"), coreCount());
    run.insert(QStringLiteral("qt"), QString::fromLatin1(qVersion()));
    run.insert(QStringLiteral("platform"), m_platform);
    if (!m_secondPlatform.isEmpty())
        run.insert(QStringLiteral("second_platform"), m_secondPlatform);
    std::fprintf(out, "%s\n", QJsonDocument(run).toJson(QJsonDocument::Compact).constData());
    const auto print = [out](Figure f, const QString &platform) {
        QJsonObject line{
            {QStringLiteral("figure"), f.key},
            {QStringLiteral("value"), std::isfinite(f.value) ? QJsonValue(f.value) : QJsonValue()},
            {QStringLiteral("unit"), f.unit},
            {QStringLiteral("platform"), platform},
        };
        if (f.hasTarget()) {
            line.insert(QStringLiteral("target"), boundText(f));
            line.insert(QStringLiteral("met"), f.met());
        }
        std::fprintf(out, "%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
    };
    for (const Figure &f : m_figures)
        print(f, m_platform);
    for (Figure f : m_figures) {
        if (!m_second.contains(f.key))
            continue;
        f.value = m_second.value(f.key);
        print(f, m_secondPlatform);
    }
}

QString cpuModel()
{
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    if (!cpuinfo.open(QIODevice::ReadOnly | QIODevice::Text))
        return QStringLiteral("unknown");
    static const QRegularExpression modelLine(QStringLiteral("^model name\\s*:\\s*(.*)$"),
                                              QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = modelLine.match(QString::fromLatin1(cpuinfo.readAll()));
    return match.hasMatch() ? match.captured(1).trimmed() : QStringLiteral("unknown");
}

int coreCount()
{
    return QThread::idealThreadCount();
}

QString machineSummary()
{
    utsname system{};
    ::uname(&system);
    return QStringLiteral("Machine: %1, %2 cores; Linux %3; Qt %4 (built against %5)")
        .arg(cpuModel())
        .arg(coreCount())
        .arg(QString::fromLatin1(system.release), QString::fromLatin1(qVersion()),
             QStringLiteral(QT_VERSION_STR));
}

QString loadAverage()
{
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    if (!loadavg.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    const QList<QByteArray> fields = loadavg.readAll().split(' ');
    return fields.size() < 3 ? QStringLiteral("unknown")
                             : QString::fromLatin1(fields.mid(0, 3).join(' '));
}

qint64 currentRssKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    if (fields.size() < 2)
        return -1;
    return fields.at(1).toLongLong() * ::sysconf(_SC_PAGESIZE) / 1024;
}

qint64 peakRssKiB()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}
