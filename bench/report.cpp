#include "report.h"

#include <QFile>
#include <QJsonDocument>
#include <QLocale>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>

#include <cmath>

#include <sys/resource.h>
#include <sys/utsname.h>

namespace {

QString formatted(double value, int decimals)
{
    if (!std::isfinite(value))
        return QStringLiteral("n/a");
    // Group thousands so large rates read at a glance.
    return QLocale(QLocale::English).toString(value, 'f', decimals);
}

QString targetText(const Report::Figure &figure)
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

} // namespace

bool Report::Figure::met() const
{
    switch (bound) {
    case Bound::AtLeast:
        return value >= limit;
    case Bound::AtMost:
        return value <= limit;
    case Bound::None:
        break;
    }
    return std::isfinite(value);
}

Report::Figure &Report::add(const QString &key, const QString &label, double value,
                            const QString &unit, Bound bound, double limit, int decimals)
{
    m_figures.append({m_section, key, label, value, unit, bound, limit, decimals, false, {}});
    return m_figures.last();
}

void Report::addIntegrity(const QString &key, const QString &label, qint64 count)
{
    add(key, label, double(count), QString(), Bound::AtMost, 0).integrity = true;
}

bool Report::integrityFailed() const
{
    return std::any_of(m_figures.begin(), m_figures.end(),
                       [](const Figure &f) { return f.integrity && !f.met(); });
}

void Report::printTable(std::FILE *out, const QString &header) const
{
    std::fprintf(out, "%s\n", local(header).constData());
    QString section;
    for (const Figure &f : m_figures) {
        if (f.section != section) {
            section = f.section;
            std::fprintf(out, "\n%s\n", local(section).constData());
        }
        const QString value = (formatted(f.value, f.decimals) + u' ' + f.unit).trimmed();
        const QString verdict = f.bound == Bound::None ? QString()
                                : f.met()              ? QStringLiteral("met")
                                                       : QStringLiteral("MISSED");
        QStringList parts;
        for (const auto &[name, part] : f.parts)
            parts << name + u' ' + formatted(part, f.decimals);
        std::fprintf(out, "  %-56s %18s  %-12s %-6s %s\n", local(f.label).constData(),
                     local(value).constData(), local(targetText(f)).constData(),
                     local(verdict).constData(),
                     parts.isEmpty() ? "" : local(u'(' + parts.join(u", ") + u')').constData());
    }
    std::fprintf(out, "\n");
}

void Report::printJson(std::FILE *out, QJsonObject run) const
{
    run.insert(QStringLiteral("figure"), QStringLiteral("run"));
    run.insert(QStringLiteral("cpu"), cpuModel());
    run.insert(QStringLiteral("cores"), QThread::idealThreadCount());
    run.insert(QStringLiteral("qt"), QString::fromLatin1(qVersion()));
    run.insert(QStringLiteral("platform"), m_platform);
    std::fprintf(out, "%s\n", QJsonDocument(run).toJson(QJsonDocument::Compact).constData());
    const auto number = [](double value) {
        return std::isfinite(value) ? QJsonValue(value) : QJsonValue();
    };
    for (const Figure &f : m_figures) {
        QJsonObject line{{QStringLiteral("figure"), f.key},
                         {QStringLiteral("value"), number(f.value)},
                         {QStringLiteral("unit"), f.unit},
                         {QStringLiteral("platform"), m_platform}};
        if (f.bound != Bound::None) {
            line.insert(QStringLiteral("target"), targetText(f));
            line.insert(QStringLiteral("met"), f.met());
        }
        for (const auto &[name, part] : f.parts)
            line.insert(name, number(part));
        std::fprintf(out, "%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
    }
}

QString machineSummary()
{
    utsname system{};
    ::uname(&system);
    return QStringLiteral("Machine: %1, %2 cores; Linux %3; Qt %4 (built against %5)")
        .arg(cpuModel())
        .arg(QThread::idealThreadCount())
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

qint64 peakRssKiB()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}
