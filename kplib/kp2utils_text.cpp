// Text, list and version helpers of kp2utils.h.
#include "kp2utils.h"

#include <QRegularExpression>

#include <algorithm>
#include <climits>

namespace {

// QString and QByteArray share the few calls the field rule needs, so one body serves both.

// Whether sep occurs in s at position at. Empty separators occur nowhere: every text starts with the empty text, and
// an empty separator would otherwise eat all of s.
template <typename Text>
bool separatorAt(const Text &s, int at, const Text &sep) {
    return !sep.isEmpty() && at + sep.size() <= s.size() &&
           std::equal(sep.constBegin(), sep.constEnd(), s.constBegin() + at);
}

// The first position from at on where no separator starts, stepping one character at a time.
template <typename Text>
int skipSeparators(const Text &s, int at, const Text &sep) {
    while (separatorAt(s, at, sep)) ++at;
    return at;
}

template <typename Text>
Text takeField(Text &s, const Text &sep) {
    // Separators around the field go one character at a time, so a run of one-character separators counts as one,
    // while of a longer separator a remainder shorter than the separator stays at the front. The positions are
    // found first and s is cut once, so that a long run of separators costs linear time.
    const int start = skipSeparators(s, 0, sep);
    const int at = sep.isEmpty() ? -1 : s.indexOf(sep, start);
    if (at < 0) {
        Text field = s.mid(start);
        s.clear();
        return field;
    }
    Text field = s.mid(start, at - start);
    s.remove(0, skipSeparators(s, at + 1, sep));
    return field;
}

template <typename Text>
Text takeNthField(Text &s, int n, const Text &sep) {
    Text field;
    for (int i = 0; i < n; ++i) field = takeField(s, sep);
    return field;
}

// Component i of a dotted version as a number; missing, empty or non-numeric components count as 0.
qlonglong versionComponent(const QStringList &parts, int i) {
    if (i >= parts.size()) return 0;
    bool ok = false;
    const int value = parts.at(i).toInt(&ok, 10);
    return ok ? value : 0;
}

}  // namespace

QString takeFirstString(QString &s, const QString &sep) {
    return takeField(s, sep);
}

QString takeFirstString(QString &s, int n, const QString &sep) {
    return takeNthField(s, n, sep);
}

QByteArray takeFirstString(QByteArray &b, const QByteArray &sep) {
    return takeField(b, sep);
}

QByteArray takeFirstString(QByteArray &b, int n, const QByteArray &sep) {
    return takeNthField(b, n, sep);
}

QString firstString(const QString &s, const QString &sep) {
    const QStringList fields = s.split(sep, Qt::SkipEmptyParts);
    return fields.isEmpty() ? QString() : fields.first();
}

QString lastString(const QString &s, const QString &sep) {
    const QStringList fields = s.split(sep, Qt::SkipEmptyParts);
    return fields.isEmpty() ? QString() : fields.last();
}

QStringList stringSplit(const QString &s) {
    // Line feeds are deliberately not separators: a word may span lines.
    return s.split(QRegularExpression(QStringLiteral("[ \\t\\r]")), Qt::SkipEmptyParts);
}

QStringList intersect(const QStringList &a, const QStringList &b, Qt::CaseSensitivity cs) {
    QStringList common;
    for (const QString &item : a)
        if (b.contains(item, cs)) common.append(item);
    return common;
}

QJsonObject jsonMerge(const QJsonObject &a, const QJsonObject &b) {
    QJsonObject merged = a;
    for (auto it = b.constBegin(); it != b.constEnd(); ++it) merged.insert(it.key(), it.value());
    return merged;
}

int compareVersion(const QString &a, const QString &b) {
    const QStringList pa = a.split(QLatin1Char('.'));
    const QStringList pb = b.split(QLatin1Char('.'));
    const int count = std::max(pa.size(), pb.size());
    for (int i = 0; i < count; ++i) {
        // The difference of two ints can leave the int range ("2147483647" against "-1"), hence the wider type.
        const qlonglong diff = versionComponent(pa, i) - versionComponent(pb, i);
        if (diff != 0) return int(std::clamp<qlonglong>(diff, INT_MIN, INT_MAX));
    }
    return 0;
}

int compareFourInt(const QString &a, const QString &b) {
    return compareVersion(a, b);
}
