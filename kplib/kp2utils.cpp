#include "kp2utils.h"

#include <QJsonDocument>
#include <QPoint>
#include <QRect>
#include <QSet>
#include <QSize>
#include <QTime>

#include <climits>
#include <cmath>
#include <cstdio>
#include <vector>

// ---- value conversions ----

// Doubles that an int holds exactly; only these print without a fraction and convert in toInt. The range test
// comes first so that no out-of-range double is ever cast (that would be undefined).
static bool isIntegral(double d) {
    return d >= INT_MIN && d <= INT_MAX && std::trunc(d) == d;
}

QString toString(const QJsonValue &v) {
    if (v.isString()) return v.toString();
    if (!v.isDouble()) return QString();
    const double d = v.toDouble();
    return isIntegral(d) ? QString::number(static_cast<int>(d)) : QString::number(d, 'f', 6);
}

int toInt(const QJsonValue &v) {
    if (v.isBool()) return v.toBool() ? 1 : 0;
    if (v.isDouble()) {
        // Truncate toward zero; a number beyond the int range is bad input like any other and gives 0.
        const double d = std::trunc(v.toDouble());
        return isIntegral(d) ? static_cast<int>(d) : 0;
    }
    if (!v.isString()) return 0;
    const QString s = v.toString();
    bool ok = false;
    int n = s.toInt(&ok, 10);
    if (!ok) n = s.toInt(&ok, 16);
    return ok ? n : 0;
}

bool toBool(const QString &s) {
    bool ok = false;
    const qlonglong n = s.toLongLong(&ok, 10);
    if (ok) return n >= 1;
    for (const char *word : {"true", "yes", "ok", "y", "t"})
        if (s.compare(QLatin1String(word), Qt::CaseInsensitive) == 0) return true;
    return false;
}

bool toBool(const char *s) {
    return toBool(QString::fromUtf8(s));
}
bool isTrue(const QString &s) {
    return toBool(s);
}
bool isTrue(const char *s) {
    return toBool(QString::fromUtf8(s));
}

bool isTrue(const QJsonValue &v) {
    if (v.isBool()) return v.toBool();
    if (v.isDouble()) return v.toDouble() > 0;
    if (v.isString()) return toBool(v.toString());
    return false;
}

bool toBool(const QJsonValue &v) {
    return isTrue(v);
}

QStringList toStrings(const QJsonValue &v, bool skipEmpty) {
    QStringList out;
    for (const QJsonValue &e : v.toArray()) {
        const QString s = toString(e);
        if (!skipEmpty || !s.trimmed().isEmpty()) out << s;
    }
    return out;
}

namespace {

constexpr int kMaxJsonDepth = 1024;  // QJsonDocument::fromJson refuses deeper nesting

// Where an object of text first repeats a member name: the offset of that name, or -1. The scan follows only strings
// and brackets, so any text passes through it; what is no JSON is left to the parser to refuse. Names are compared
// decoded ("a" and "\u0061" are the same name). *tooDeep is set, and the scan stops, at nesting the parser refuses.
int repeatedMemberName(const QByteArray &text, bool *tooDeep) {
    struct Level {
        bool object;
        QSet<QString> names;
    };
    std::vector<Level> levels;
    bool nameNext = false;  // the next string is a member name: it follows "{" or "," in an object
    const char *const p = text.constData();
    const int n = text.size();
    for (int i = 0; i < n; ++i) {
        switch (p[i]) {
            case '"': {
                const int start = i;
                bool escaped = false;
                for (++i; i < n && p[i] != '"'; ++i) {
                    if (p[i] == '\\') {
                        escaped = true;
                        ++i;
                    }
                }
                if (i >= n) return -1;  // unterminated: the parser refuses it
                if (!nameNext) break;
                nameNext = false;
                const QByteArray quoted = text.mid(start, i - start + 1);
                const QString name = escaped ? QJsonDocument::fromJson('[' + quoted + ']').array().at(0).toString()
                                             : QString::fromUtf8(quoted.constData() + 1, quoted.size() - 2);
                QSet<QString> &names = levels.back().names;
                if (names.contains(name)) return start;
                names.insert(name);
                break;
            }
            case '{':
            case '[':
                if (int(levels.size()) == kMaxJsonDepth) {
                    *tooDeep = true;
                    return i;
                }
                levels.push_back({p[i] == '{', {}});
                nameNext = p[i] == '{';
                break;
            case '}':
            case ']':
                if (!levels.empty()) levels.pop_back();
                nameNext = false;
                break;
            case ',':
                nameNext = !levels.empty() && levels.back().object;
                break;
            case ':':
                nameNext = false;
                break;
            default:
                break;
        }
    }
    return -1;
}

}  // namespace

QJsonDocument parseJson(const QByteArray &utf8, QJsonParseError *error) {
    bool tooDeep = false;
    const int offset = repeatedMemberName(utf8, &tooDeep);
    if (offset < 0) return QJsonDocument::fromJson(utf8, error);
    if (error) {
        error->error = tooDeep ? QJsonParseError::DeepNesting : QJsonParseError::IllegalValue;
        error->offset = offset;
    }
    return QJsonDocument();
}

QJsonObject toJsonObject(const QByteArray &utf8) {
    return parseJson(utf8).object();
}

QJsonArray toJsonArray(const QString &s) {
    return parseJson(s.toUtf8()).array();
}

QHash<QString, QString> cmdArguments(const QStringList &args) {
    QHash<QString, QString> out;
    QString pending;
    for (const QString &a : args) {
        if (a.startsWith(QLatin1Char('-'))) {
            if (!pending.isEmpty()) out.insert(pending, QString());
            pending = a;
        } else if (!pending.isEmpty()) {
            out.insert(pending, a);
            pending.clear();
        }
    }
    if (!pending.isEmpty()) out.insert(pending, QString());
    return out;
}

// ---- console tracing ----
//
// Everything goes through C stdio's stdout so that trace lines stay in order with other stdio output; PRINTLN and
// the status line flush, so a line reaches file descriptor 1 as soon as it is complete.

std::mutex &PRINTMUTEX() {
    // A function-local static: usable from other static initialisers and never destroyed before them.
    static std::mutex *m = new std::mutex;
    return *m;
}

static void out(const QByteArray &bytes) {
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}
static void out(const QString &text) {
    out(text.toLocal8Bit());
}

static QString indented(const QJsonDocument &doc) {
    return QString::fromUtf8(doc.toJson(QJsonDocument::Indented));
}

static QString render(const QVariant &v) {
    switch (int(v.userType())) {
        case QMetaType::Bool:
            return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
        case QMetaType::QJsonValue: {
            const QJsonValue j = v.toJsonValue();
            if (j.isObject()) return indented(QJsonDocument(j.toObject()));
            if (j.isArray()) return indented(QJsonDocument(j.toArray()));
            return j.toString();  // "" for numbers, booleans and null
        }
        case QMetaType::QJsonObject:
            return indented(QJsonDocument(v.toJsonObject()));
        case QMetaType::QJsonArray:
            return indented(QJsonDocument(v.toJsonArray()));
        case QMetaType::QStringList:
            return QStringLiteral("QStringList(%1)").arg(v.toStringList().join(QStringLiteral("; ")));
        case QMetaType::QRect: {
            const QRect r = v.toRect();
            return QStringLiteral("QRect(%1, %2, %3, %4)").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
        }
        case QMetaType::QSize:
            return QStringLiteral("QSize(%1, %2)").arg(v.toSize().width()).arg(v.toSize().height());
        case QMetaType::QPoint:
            return QStringLiteral("QPoint(%1, %2)").arg(v.toPoint().x()).arg(v.toPoint().y());
        case QMetaType::QByteArray:
            return QString::fromUtf8(v.toByteArray().constData());  // stops at the first NUL
        default:
            return v.toString();
    }
}

void PRINTPOS(const char *file, int line, const char *function) {
    QString name = QString::fromUtf8(file);
    name = name.mid(qMax(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\'))) + 1);
    out(QStringLiteral(">>-->") + QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz ")) + name +
        QLatin1Char('#') + QString::number(line) + QStringLiteral(" => ") + QString::fromUtf8(function) +
        QStringLiteral(": "));
}

void PRINTNAME(const QVariant &label) {
    const QString text = label.toString();
    out(text.isEmpty() ? QStringLiteral("~~ ~~ ~~") : text + QStringLiteral(" = "));
}

void PRINT(const QVariant &value) {
    out(render(value));
}

void PRINT(const char *utf8) {
    out(QString::fromUtf8(utf8));
}

void PRINTLN(const QVariant &value) {
    out(render(value) + QLatin1Char('\n'));
    std::fflush(stdout);
}

void PRINTLN(const QList<QJsonObject> &l) {
    QJsonArray a;
    for (const QJsonObject &o : l) a.append(o);
    PRINTLN(QVariant(a));
}

void PRINTLN(const QStringList &l) {
    PRINTLN(QVariant(l.join(QStringLiteral("; "))));
}

void PRINTLN(const QList<int> &l) {
    QStringList numbers;
    for (int n : l) numbers << QString::number(n);
    PRINTLN(QVariant(QStringLiteral("int(%1)").arg(numbers.join(QLatin1Char(',')))));
}

QString PRETTY(const char *signature, int line) {
    QString s = QString::fromUtf8(signature);
    const int paren = s.indexOf(QLatin1Char('('));
    if (paren > 0) s.truncate(paren);
    const int blank = s.lastIndexOf(QLatin1Char(' '));
    if (blank > 0) s = s.mid(blank + 1);
    if (line > 0) s += QLatin1Char('#') + QString::number(line);
    return s;
}

void KP2StatePrintln(int state, const QString &message) {
    static const char *const bold = "\033[1m\033[30m";
    struct Style {
        const char *tag;
        const char *body;
    };
    static const Style styles[] = {
        {"\033[1m\033[32mSUCCEED", "\033[0m"},  {"\033[1m\033[37mIGNORE ", "\033[0m"},
        {"\033[1m\033[33mWARNING", "\033[33m"}, {"\033[1m\033[35mNOT CFG", "\033[1m\033[30m"},
        {"\033[1m\033[31mFAILED ", "\033[0m"},
    };
    static const Style others = {"\033[35mOTHERS ", "\033[0m"};
    const Style &st = state >= 0 && state < 5 ? styles[state] : others;
    out(QByteArray(bold) + '[' + st.tag + bold + "] " + st.body + message.toLocal8Bit() + "\033[0m\n");
    std::fflush(stdout);
}

QString MyClassName(const char *typeName) {
    const QString s = QString::fromUtf8(typeName);
    int i = 1;
    while (i < s.size() && s.at(i) >= QLatin1Char('0') && s.at(i) <= QLatin1Char('9')) ++i;
    return s.mid(i);
}
