#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

#include <utility>
#include <vector>

// The figures of one run, each with its target: printed as a table for people and as one JSON
// line each for tools, all measured on one platform (Qt's: xcb on an X server, or offscreen).
class Report
{
public:
    enum Bound { None, AtLeast, AtMost };

    // `key` is the stable name for tools ("flood.chars_per_second"), `label` what the figure is,
    // for people.
    struct Figure
    {
        QString section, key, label;
        double value = 0;
        QString unit;
        Bound bound = None;
        double limit = 0;
        int decimals = 0;
        // A lost or altered character: the run fails whatever the other figures say.
        bool integrity = false;
        // Figures the value was drawn from ("lowest", "highest"), in the same unit.
        std::vector<std::pair<QString, double>> parts;

        bool met() const;
    };

    // Notes the machine, the Qt version and the system's load now: other programs' work
    // disturbs the figures.
    Report(const QString &platform, const QString &mode);

    void setSection(const QString &section) { m_section = section; }
    Figure &add(const QString &key, const QString &label, double value, const QString &unit,
                Bound bound = None, double limit = 0, int decimals = 0);
    // The characters `part` lost or altered and, unless -1, its beeps missing or extra (one a
    // character): each must be 0.
    void addIntegrity(const QString &part, qint64 lost, qint64 beepsAmiss = -1);

    bool integrityFailed() const;
    // The table, then the JSON lines: the first describes the run (the machine, its load before
    // and now), then one per figure.
    QByteArray text() const;

private:
    QJsonObject m_run;
    QString m_section;
    QList<Figure> m_figures;
};
