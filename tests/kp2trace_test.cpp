#include "kp2utils.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QPoint>
#include <QRect>
#include <QRegularExpression>
#include <QSize>
#include <QTextCodec>

#include <unistd.h>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

// Redirects file descriptor 1 into a temporary file for its lifetime; take() restores it and returns the bytes.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        file = std::tmpfile();
        saved = dup(1);
        dup2(fileno(file), 1);
    }
    ~StdoutCapture() { take(); }

    QByteArray take() {
        if (!file) return captured;
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        std::rewind(file);
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, file)) > 0;) captured.append(buf, int(n));
        std::fclose(file);
        file = nullptr;
        return captured;
    }

private:
    FILE *file = nullptr;
    int saved = -1;
    QByteArray captured;
};

const QRegularExpression timeShape(QStringLiteral("^>>-->\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d "));

// The line with its time field checked for shape and then removed, so the rest can be compared exactly.
QByteArray withoutTime(const QByteArray &line) {
    const QString text = QString::fromUtf8(line);
    const auto m = timeShape.match(text);
    EXPECT_TRUE(m.hasMatch()) << line.constData();
    return m.hasMatch() ? ">>-->" + text.mid(m.capturedLength()).toUtf8() : line;
}

QByteArray traceLine(const char *file, const QVariant &label, const QVariant &value) {
    StdoutCapture capture;
    PRINTPOS(file, 7, "run");
    PRINTNAME(label);
    PRINTLN(value);
    return withoutTime(capture.take());
}

TEST(KP2Trace, TraceLinePartsAreExact) {
    const struct {
        const char *file;
        QVariant label;
        QVariant value;
        const char *expected;
    } rows[] = {
        {"../a/b\\c_unit", "x", 1, ">>-->c_unit#7 => run: x = 1\n"},
        {"c:\\src\\unit.cpp", "x", "v", ">>-->unit.cpp#7 => run: x = v\n"},
        {"plain.cpp", "", "v", ">>-->plain.cpp#7 => run: ~~ ~~ ~~v\n"},
        {"/s/", QVariant(), 2, ">>-->#7 => run: ~~ ~~ ~~2\n"},
        {nullptr, "n", QVariant(QJsonValue(5)), ">>-->#7 => run: n = \n"},
    };
    for (const auto &row : rows) EXPECT_EQ(traceLine(row.file, row.label, row.value), row.expected) << row.expected;
}

TEST(KP2Trace, ValuesRenderByType) {
    const QJsonObject obj{{"a", 1}};
    const struct {
        QVariant value;
        const char *expected;
    } rows[] = {
        {true, "true"},
        {false, "false"},
        {-12, "-12"},
        {qint64(5000000000), "5000000000"},
        {2.5, "2.5"},
        {QStringLiteral("text"), "text"},
        {QJsonValue(obj), "{\n    \"a\": 1\n}\n"},
        {QJsonValue(QJsonArray{1}), "[\n    1\n]\n"},
        {QJsonValue("s"), "s"},
        {QJsonValue(true), ""},
        {QJsonValue(), ""},
        {obj, "{\n    \"a\": 1\n}\n"},
        {QJsonArray{}, "[\n]\n"},
        {QStringList{"a", "b"}, "QStringList(a; b)"},
        {QStringList{}, "QStringList()"},
        {QRect(1, 2, 3, 4), "QRect(1, 2, 3, 4)"},
        {QSize(5, 6), "QSize(5, 6)"},
        {QPoint(-1, 0), "QPoint(-1, 0)"},
        {QByteArray("ab\0cd", 5), "ab"},
        {QVariant(), ""},
    };
    for (const auto &row : rows) {
        StdoutCapture capture;
        PRINT(row.value);
        EXPECT_EQ(capture.take(), row.expected) << row.expected;
    }
}

TEST(KP2Trace, ListFormsOfPrintln) {
    StdoutCapture capture;
    PRINTLN(QList<int>{});
    PRINTLN(QList<int>{1, -2, 30});
    PRINTLN(QStringList{"a", "b c"});
    PRINTLN(QList<QJsonObject>{QJsonObject{{"k", 1}}});
    PRINT("直接");
    // The indented JSON document brings its own newline before PRINTLN's.
    EXPECT_EQ(capture.take(), "int()\nint(1,-2,30)\na; b c\n[\n    {\n        \"k\": 1\n    }\n]\n\n" +
                                  QStringLiteral("直接").toLocal8Bit());
}

TEST(KP2Trace, TraceMacroLabelsWithTheSourceText) {
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    const QJsonObject reply{{"err", 0}};
    const QJsonValue five(5);
    StdoutCapture capture;
    const int line = __LINE__ + 1;
    TRACE("Reporting");
    TRACE(reply);
    TRACE(reply["err"]);
    TRACE(five);
    TRACE(1 + 1 == 2);
    TRACE(QStringList{"x"});
    TRACE(QByteArray("中文"));
    QList<QByteArray> lines = capture.take().split('\n');
    ASSERT_EQ(lines.takeLast(), "");
    const QByteArray prefix = ">>-->kp2trace_test.cpp#";
    const QByteArray function = __FUNCTION__;
    const auto pos = [&](int offset) { return prefix + QByteArray::number(line + offset) + " => " + function + ": "; };
    const QList<QByteArray> expected = {
        pos(0) + "\"Reporting\" = Reporting",
        pos(1) + "reply = {",
        "    \"err\": 0",
        "}",
        "",  // the indented document ends in a newline of its own
        pos(2) + "reply[\"err\"] = ",
        pos(3) + "five = ",
        pos(4) + "1 + 1 == 2 = true",
        pos(5) + "QStringList{\"x\"} = QStringList(x)",
        pos(6) + "QByteArray(\"中文\") = 中文",
    };
    ASSERT_EQ(lines.size(), expected.size());
    for (int i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].startsWith(">>-->") ? withoutTime(lines[i]) : lines[i], expected[i]);
}

TEST(KP2Trace, ConcurrentTraceLinesNeverInterleave) {
    const QRegularExpression whole(
        QStringLiteral("^>>-->\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d kp2trace_test\\.cpp#\\d+ => operator\\(\\): "
                       "QStringLiteral\\(\"worker\"\\) \\+ QString::number\\(t\\) = worker\\d$"));
    StdoutCapture capture;
    std::atomic<bool> go{false};  // all threads start together; relaxed is enough for a start signal
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &go] {
            while (!go.load(std::memory_order_relaxed)) std::this_thread::yield();
            for (int i = 0; i < 3000; ++i) TRACE(QStringLiteral("worker") + QString::number(t));
        });
    go.store(true, std::memory_order_relaxed);
    for (auto &th : threads) th.join();
    const QList<QByteArray> lines = capture.take().split('\n');
    ASSERT_EQ(lines.size(), 4 * 3000 + 1);
    for (int i = 0; i < lines.size() - 1; ++i)
        ASSERT_TRUE(whole.match(QString::fromUtf8(lines[i])).hasMatch()) << lines[i].constData();
}

TEST(KP2Trace, PrettyShortensSignatures) {
    const struct {
        const char *signature;
        int line;
        const char *expected;
    } rows[] = {
        {"bool QivClient::zfsbackup(const QString &, KP2Journals &)", 120, "QivClient::zfsbackup#120"},
        {"QivClient::remoteLoadby(QJsonObject)", 0, "QivClient::remoteLoadby"},
        {"static void A::B::f() const", -3, "A::B::f"},
        {"(anonymous namespace)::f()", 4, "namespace)::f()#4"},
        {" f()", 1, " f#1"},
        {"", 9, "#9"},
        {nullptr, 0, ""},
    };
    for (const auto &row : rows) EXPECT_EQ(PRETTY(row.signature, row.line), row.expected) << row.signature;
}

}  // namespace
