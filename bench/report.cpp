#include "report.h"

#include "proc.h"

#include <QJsonDocument>
#include <QLocale>
#include <QThread>

#include <algorithm>
#include <cmath>

#include <sys/utsname.h>

using namespace Qt::StringLiterals;

namespace {

QString formatted(double value, int decimals)
{
    // Group thousands so large rates read at a glance.
    return std::isfinite(value) ? QLocale(QLocale::English).toString(value, 'f', decimals)
                                : u"n/a"_s;
}

QString targetText(const Report::Figure &f)
{
    return f.bound == Report::None ? QString()
                                   : (f.bound == Report::AtLeast ? u">= "_s : u"<= "_s)
                                         + formatted(f.limit, f.decimals);
}

QString loadAverage()
{
    return procLine("/proc/loadavg", {}).section(u' ', 0, 2);
}

QByteArray jsonLine(const QJsonObject &line)
{
    return QJsonDocument(line).toJson(QJsonDocument::Compact);
}

} // namespace

bool Report::Figure::met() const
{
    return bound == AtLeast  ? value >= limit
           : bound == AtMost ? value <= limit
                             : std::isfinite(value);
}

Report::Report(const QString &platform, const QString &mode)
{
    utsname system{};
    ::uname(&system);
    m_run = {{u"figure"_s, u"run"_s},
             {u"mode"_s, mode},
             {u"platform"_s, platform},
             {u"cpu"_s, procLine("/proc/cpuinfo", "model name\t: ")},
             {u"cores"_s, QThread::idealThreadCount()},
             {u"linux"_s, QString::fromLatin1(system.release)},
             {u"qt"_s, QString::fromLatin1(qVersion())},
             {u"load_before"_s, loadAverage()}};
}

Report::Figure &Report::add(const QString &key, const QString &label, double value,
                            const QString &unit, Bound bound, double limit, int decimals)
{
    m_figures.append({m_section, key, label, value, unit, bound, limit, decimals, false, {}});
    return m_figures.last();
}

void Report::addIntegrity(const QString &part, qint64 lost, qint64 beepsAmiss)
{
    add(part + ".lost_or_altered"_L1, u"characters lost or altered"_s, lost, {}, AtMost).integrity
        = true;
    if (beepsAmiss >= 0)
        add(part + ".beeps_not_one_per_char"_L1, u"beeps missing or extra (one per character)"_s,
            beepsAmiss, {}, AtMost)
            .integrity
            = true;
}

bool Report::integrityFailed() const
{
    return std::any_of(m_figures.begin(), m_figures.end(),
                       [](const Figure &f) { return f.integrity && !f.met(); });
}

QByteArray Report::text() const
{
    QJsonObject run = m_run;
    run.insert(u"load_after"_s, loadAverage());
    QString table = u"Lumora benchmark (%1 run, window on %2)\nMachine: %3, %4 cores; Linux %5; "
                    u"Qt %6\nLoad average before: %7, after: %8\n"_s;
    for (const char *name :
         {"mode", "platform", "cpu", "cores", "linux", "qt", "load_before", "load_after"})
        table = table.arg(run.value(QLatin1String(name)).toVariant().toString());
    QString section;
    QByteArray lines = jsonLine(run) + '\n';
    const auto number = [](double value) {
        return std::isfinite(value) ? QJsonValue(value) : QJsonValue();
    };
    for (const Figure &f : m_figures) {
        if (f.section != section)
            table += u'\n' + (section = f.section) + u'\n';
        QJsonObject line{{u"figure"_s, f.key},
                         {u"value"_s, number(f.value)},
                         {u"unit"_s, f.unit},
                         {u"platform"_s, run.value(u"platform"_s)}};
        if (f.bound != None) {
            line.insert(u"target"_s, targetText(f));
            line.insert(u"met"_s, f.met());
        }
        QStringList parts;
        for (const auto &[name, part] : f.parts) {
            parts << name + u' ' + formatted(part, f.decimals);
            line.insert(name, number(part));
        }
        lines += jsonLine(line) + '\n';
        table += u"  %1 %2  %3 %4 %5\n"_s.arg(f.label, -56)
                     .arg((formatted(f.value, f.decimals) + u' ' + f.unit).trimmed(), 18)
                     .arg(targetText(f), -12)
                     .arg(f.bound == None ? QString()
                          : f.met()       ? u"met"_s
                                          : u"MISSED"_s,
                          -6)
                     .arg(parts.isEmpty() ? QString() : u'(' + parts.join(u", ") + u')');
    }
    return table.toLocal8Bit() + '\n' + lines;
}
