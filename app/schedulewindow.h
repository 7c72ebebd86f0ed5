#pragma once

#include <QTime>

// hhmm time: hours x 100 + minutes, as config.xml and the schedule keep it.
inline quint32 hhmmOf(const QTime& time)
{
    return quint32(time.hour() * 100 + time.minute());
}

// Whether the daily window [start, stop) holds `now`. A start after the stop is a window across
// midnight (22:00 to 06:00 holds 23:00 and 05:59); a start equal to the stop holds nothing.
inline bool windowContains(quint32 start, quint32 stop, quint32 now)
{
    if (start <= stop)
        return start <= now && now < stop;
    return now >= start || now < stop;
}
