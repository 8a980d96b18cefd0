#include "report.h"

#include <QFile>
#include <QJsonDocument>
#include <QLocale>
#include <QThread>

#include <algorithm>
#include <cmath>

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
    if (figure.bound == Report::None)
        return {};
    return (figure.bound == Report::AtLeast ? QStringLiteral(">= ") : QStringLiteral("<= "))
           + formatted(figure.limit, figure.decimals);
}

// The first line of `path` that starts with `prefix`, without it.
QString lineOf(const char *path, const QByteArray &prefix)
{
    QFile file(QString::fromLatin1(path));
    // Files in /proc have no size: read to the end, not line by line.
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.startsWith(prefix))
                return QString::fromLatin1(line.mid(prefix.size()).trimmed());
        }
    }
    return QStringLiteral("unknown");
}

QString loadAverage()
{
    return lineOf("/proc/loadavg", {}).section(u' ', 0, 2);
}

} // namespace

bool Report::Figure::met() const
{
    if (bound == AtLeast)
        return value >= limit;
    if (bound == AtMost)
        return value <= limit;
    return std::isfinite(value);
}

Report::Report(const QString &platform, const QString &mode)
{
    utsname system{};
    ::uname(&system);
    m_run = {{QStringLiteral("figure"), QStringLiteral("run")},
             {QStringLiteral("mode"), mode},
             {QStringLiteral("platform"), platform},
             {QStringLiteral("cpu"), lineOf("/proc/cpuinfo", "model name\t: ")},
             {QStringLiteral("cores"), QThread::idealThreadCount()},
             {QStringLiteral("linux"), QString::fromLatin1(system.release)},
             {QStringLiteral("qt"), QString::fromLatin1(qVersion())},
             {QStringLiteral("load_before"), loadAverage()}};
}

Report::Figure &Report::add(const QString &key, const QString &label, double value,
                            const QString &unit, Bound bound, double limit, int decimals)
{
    m_figures.append({m_section, key, label, value, unit, bound, limit, decimals, false, {}});
    return m_figures.last();
}

void Report::addIntegrity(const QString &key, const QString &label, qint64 count)
{
    add(key, label, double(count), QString(), AtMost, 0).integrity = true;
}

bool Report::integrityFailed() const
{
    return std::any_of(m_figures.begin(), m_figures.end(),
                       [](const Figure &f) { return f.integrity && !f.met(); });
}

void Report::print(std::FILE *out) const
{
    QJsonObject run = m_run;
    run.insert(QStringLiteral("load_after"), loadAverage());
    QString table = QStringLiteral("Lumora benchmark (%1 run, window on %2)\n"
                                   "Machine: %3, %4 cores; Linux %5; Qt %6\n"
                                   "Load average before: %7, after: %8\n");
    for (const char *name :
         {"mode", "platform", "cpu", "cores", "linux", "qt", "load_before", "load_after"})
        table = table.arg(run.value(QLatin1String(name)).toVariant().toString());
    QString section;
    for (const Figure &f : m_figures) {
        if (f.section != section)
            table += u'\n' + (section = f.section) + u'\n';
        const QString verdict = f.bound == None ? QString()
                                : f.met()       ? QStringLiteral("met")
                                                : QStringLiteral("MISSED");
        QStringList parts;
        for (const auto &[name, part] : f.parts)
            parts << name + u' ' + formatted(part, f.decimals);
        table += QStringLiteral("  %1 %2  %3 %4 %5\n")
                     .arg(f.label, -56)
                     .arg((formatted(f.value, f.decimals) + u' ' + f.unit).trimmed(), 18)
                     .arg(targetText(f), -12)
                     .arg(verdict, -6)
                     .arg(parts.isEmpty() ? QString() : u'(' + parts.join(u", ") + u')');
    }
    std::fprintf(out, "%s\n", table.toLocal8Bit().constData());

    const auto number = [](double value) {
        return std::isfinite(value) ? QJsonValue(value) : QJsonValue();
    };
    std::fprintf(out, "%s\n", QJsonDocument(run).toJson(QJsonDocument::Compact).constData());
    for (const Figure &f : m_figures) {
        QJsonObject line{{QStringLiteral("figure"), f.key},
                         {QStringLiteral("value"), number(f.value)},
                         {QStringLiteral("unit"), f.unit},
                         {QStringLiteral("platform"), run.value(QStringLiteral("platform"))}};
        if (f.bound != None) {
            line.insert(QStringLiteral("target"), targetText(f));
            line.insert(QStringLiteral("met"), f.met());
        }
        for (const auto &[name, part] : f.parts)
            line.insert(name, number(part));
        std::fprintf(out, "%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
    }
}
