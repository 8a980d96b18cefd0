#pragma once

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <cstdio>

// The figures of one run: printed as a table for people and as one JSON line each for tools.
// Each figure was measured on one platform (Qt's: xcb on an X server, or offscreen); the same
// figures from a run on another platform may stand beside them as a second column.
class Report
{
public:
    enum class Bound { None, AtLeast, AtMost };

    struct Figure
    {
        QString section;
        QString key;   // stable name for tools, "flood.chars_per_second"
        QString label; // what the figure is, for people
        double value = 0;
        QString unit;
        Bound bound = Bound::None;
        double limit = 0;
        int decimals = 0;
        // A lost or altered character: the run fails whatever the other figures say.
        bool integrity = false;

        bool hasTarget() const { return bound != Bound::None; }
        bool met() const;
    };

    void setSection(const QString &section) { m_section = section; }
    // Where the figures were measured, as the table's heading and the JSON lines say it.
    void setPlatform(const QString &platform) { m_platform = platform; }
    // Figures of the same keys measured on `platform`, for the second column.
    void setSecondColumn(const QString &platform, const QHash<QString, double> &values);
    // The figures of a JSON run file, by key: what printJson() wrote for `platform`.
    static QHash<QString, double> readJson(const QString &path, const QString &platform);
    Figure &add(const QString &key, const QString &label, double value, const QString &unit,
                int decimals = 0);
    Figure &addTarget(const QString &key, const QString &label, double value, const QString &unit,
                      Bound bound, double limit, int decimals = 0);
    // A count of characters lost or altered, of beeps missing or in excess: must be 0.
    Figure &addIntegrity(const QString &key, const QString &label, qint64 count);
    // A line under the current section: how a figure was measured.
    void note(const QString &text);

    // In either column.
    bool integrityFailed() const;
    void printTable(std::FILE *out, const QString &header) const;
    // The first line describes the run: `run` plus the machine's CPU, cores and Qt version.
    void printJson(std::FILE *out, QJsonObject run) const;

private:
    struct Row
    {
        QString section;
        int figure = -1; // index in m_figures, -1 for a note
        QString note;
    };

    QString m_section;
    QString m_platform;
    QString m_secondPlatform;
    QHash<QString, double> m_second;
    QList<Figure> m_figures;
    QList<Row> m_rows;
};

// The machine and the libraries a run is on: CPU model, cores, kernel, Qt.
QString machineSummary();
QString cpuModel();
int coreCount();
// The system's load averages over 1, 5 and 15 minutes: other programs' work disturbs the
// figures.
QString loadAverage();

// Resident memory of this process, now and at its peak, in KiB.
qint64 currentRssKiB();
qint64 peakRssKiB();
