#include "dicom/DicomDateTime.h"

#include <QStringList>
#include <QTime>

namespace dicom {
namespace {

bool allDigits(QStringView text)
{
    for (QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    return !text.isEmpty();
}

// ".F" to ".FFFFFF": a fraction of a second, which no text here shows.
bool isFraction(QStringView text)
{
    return text.isEmpty() || (text.size() >= 2 && text.size() <= 7 && text.front() == QLatin1Char('.') &&
                              allDigits(text.mid(1)));
}

// A TM value "HH", "HHMM", "HHMMSS" with an optional fraction, or the old form "HH:MM" / "HH:MM:SS"
// (fraction allowed); an invalid time for anything else. `fields` receives how many of hours, minutes
// and seconds it gave.
QTime parseDicomTime(const QString& input, int* fields)
{
    const QString text = input.trimmed();
    QStringList parts;
    if (text.contains(QLatin1Char(':'))) {
        parts = text.split(QLatin1Char(':'));
    } else {
        const qsizetype dot = text.indexOf(QLatin1Char('.'));
        const qsizetype digits = dot < 0 ? text.size() : dot;
        for (qsizetype i = 0; i < digits; i += 2)
            parts << text.mid(i, qMin<qsizetype>(2, digits - i));
        if (dot >= 0 && !parts.isEmpty())
            parts.last() += text.mid(dot);
    }
    if (parts.isEmpty() || parts.size() > 3)
        return {};
    // Only seconds carry a fraction.
    if (parts.size() == 3 && !isFraction(QStringView(parts[2]).mid(2)))
        return {};
    int values[3] = {0, 0, 0};
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QStringView field = QStringView(parts[i]).left(i == 2 ? 2 : parts[i].size());
        if (field.size() != 2 || !allDigits(field))
            return {};
        values[i] = field.toInt();
    }
    const QTime time(values[0], values[1], values[2]);
    *fields = int(parts.size());
    return time;
}

// The time in `format` when it gives at least `fieldsNeeded` of hours, minutes and seconds, nothing
// when it gives fewer; a value that is no time is shown as it stands.
QString dicomTimeText(const QString& value, const QString& format, int fieldsNeeded)
{
    int fields = 0;
    const QTime time = parseDicomTime(value, &fields);
    if (!time.isValid())
        return value;
    return fields >= fieldsNeeded ? time.toString(format) : QString();
}

} // namespace

QDate parseDicomDate(const QString& input)
{
    const QString text = input.trimmed();
    QString digits;
    if (text.size() == 8)
        digits = text;
    else if (text.size() == 10 && text[4] == QLatin1Char('.') && text[7] == QLatin1Char('.'))
        digits = text.left(4) + text.mid(5, 2) + text.mid(8, 2);
    if (!allDigits(digits))
        return {};
    return QDate(digits.left(4).toInt(), digits.mid(4, 2).toInt(), digits.mid(6, 2).toInt());
}

QString dicomDateText(const QString& value, const QString& format)
{
    const QDate date = parseDicomDate(value);
    return date.isValid() ? date.toString(format) : value;
}

QString dateTimeForTable(const QString& date, const QString& time)
{
    QString text = dicomDateText(date, QStringLiteral("yyyy-MM-dd"));
    const QString clock = dicomTimeText(time, QStringLiteral("HH:mm:ss"), 3);
    if (!clock.isEmpty())
        text += QLatin1Char(' ') + clock;
    return text;
}

QString dateTimeForOverlay(const QString& date, const QString& time)
{
    const QString day = dicomDateText(date, QStringLiteral("dd.MM.yyyy"));
    const QString clock = dicomTimeText(time, QStringLiteral("HH:mm"), 2);
    return day.isEmpty() || clock.isEmpty() ? day + clock : day + QLatin1Char(' ') + clock;
}

} // namespace dicom
