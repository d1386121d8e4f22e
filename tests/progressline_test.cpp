// qivctl's progress line: in place on a terminal, throttled into a pipe, with an injected clock.
#include "progressline.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Step {
    qint64 atMs;
    QString line;
    bool final;
};

TEST(ProgressLine, TerminalRewritesInPlaceAndPipeGetsALinePerInterval) {
    const QString cr = QStringLiteral("\r\033[K");
    const struct Case {
        const char *name;
        bool terminal;
        std::vector<Step> steps;
        QString written;
    } cases[] = {
        {"terminal: every change in place, repeats left out, the end on its own line",
         true,
         {{0, "a", false}, {10, "a", false}, {20, "b", false}, {30, "c", true}},
         cr + "a" + cr + "b" + cr + "c\n"},
        {"terminal: an end equal to the line shown only ends it", true, {{0, "a", false}, {5, "a", true}}, cr + "a\n"},
        {"pipe: the first at once, then one per interval, then the end",
         false,
         {{0, "a", false},
          {1000, "b", false},
          {4999, "c", false},
          {5000, "d", false},
          {9000, "e", false},
          {9500, "f", true}},
         "a\nd\nf\n"},
        {"pipe: an unchanged line is not repeated, however long it stands",
         false,
         {{0, "a", false}, {6000, "a", false}, {20000, "a", true}},
         "a\n"},
        {"pipe: the interval counts from the line printed last",
         false,
         {{0, "a", false}, {5000, "b", false}, {9000, "c", false}, {10000, "d", false}},
         "a\nb\nd\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QString written;
        qint64 now = 0;
        ProgressLine progress(
            c.terminal, [&](const QString &text) { written += text; }, [&] { return now; }, 5000);
        for (const Step &step : c.steps) {
            now = step.atMs;
            if (step.final)
                progress.finish(step.line);
            else
                progress.show(step.line);
        }
        EXPECT_EQ(written.toStdString(), c.written.toStdString());
    }
}

}  // namespace
