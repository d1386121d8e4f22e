#include "kp2linux/lnx2utils.h"

QString toShellArgEscaped(const QString &text) {
    // Inside single quotes a POSIX shell treats every character literally, so the only character that needs care is
    // the single quote itself: close the quoted run, add an escaped quote, and open a new run ('\'').
    QString word;
    word.reserve(text.size() + 2 + text.count(QLatin1Char('\'')) * 3);
    word += QLatin1Char('\'');
    for (const QChar c : text) {
        if (c == QLatin1Char('\''))
            word += QLatin1String("'\\''");
        else
            word += c;
    }
    word += QLatin1Char('\'');
    return word;
}
