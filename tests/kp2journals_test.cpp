// KP2Journals: what a reply carries for each outcome, and what carries over from one request to the next.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QJsonArray>

#include "kp2journals.h"

namespace {

// Lets at least ms milliseconds pass on the monotonic clock.
void letTimePass(qint64 ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
    }
}

TEST(KP2Journals, FreshJournalWritesOnlyTheUnrecordedCode) {
    KP2Journals j;
    QJsonObject brief;
    j.toRetObject(brief, false);
    EXPECT_EQ(brief, (QJsonObject{{"err", 9999}}));

    QJsonObject detailed;
    j.toRetObject(&detailed, true);
    EXPECT_EQ(detailed.keys(), (QStringList{"elapsed", "err"}));
    j.toRetObject(nullptr, true);  // ignored, no crash
}

TEST(KP2Journals, ErrmsgIsWrittenOnlyForFailuresThatHaveOne) {
    struct Row {
        int code;
        const char *msg;
        bool written;
    };
    const Row rows[] = {{0, "ok but said", false},
                        {10000, "never shown", false},
                        {7, "", false},
                        {7, "broken", true},
                        {9995, "缺少参数: dmpath", true}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.code);
        KP2Journals j;
        j.setErr(row.code, QString::fromUtf8(row.msg));
        QJsonObject reply{{"err", 1}, {"results", "kept"}};
        j.toRetObject(reply, false);
        EXPECT_EQ(reply.value("err").toInt(), row.code);
        EXPECT_EQ(reply.value("results").toString(), "kept");
        EXPECT_EQ(reply.contains("errmsg"), row.written);
        if (row.written) {
            EXPECT_EQ(reply.value("errmsg").toString(), QString::fromUtf8(row.msg));
        }
        EXPECT_EQ(j.toObject().contains("errmsg"), row.written);
    }
}

TEST(KP2Journals, DetailedRepliesCarryStepsAndElapsed) {
    KP2Journals j;
    j.begin();
    const QJsonObject step = j.add("A::f#1", "zfs snapshot x@y", false, "no such dataset");
    EXPECT_EQ(step.value("place").toString(), "A::f#1");
    EXPECT_EQ(step.value("action").toString(), "zfs snapshot x@y");
    EXPECT_FALSE(step.value("success").toBool(true));
    EXPECT_EQ(step.value("msg").toString(), "no such dataset");
    EXPECT_TRUE(step.contains("times"));

    QJsonObject brief;
    j.toRetObject(brief, false);
    EXPECT_FALSE(brief.contains("journals"));
    EXPECT_FALSE(brief.contains("elapsed"));
    QJsonObject detailed;
    j.toRetObject(detailed, true);
    EXPECT_EQ(detailed.value("journals").toArray(), QJsonArray{step});
    EXPECT_EQ(j.toObject().value("journals").toArray(), QJsonArray{step});
}

TEST(KP2Journals, StepMessageFallsBackToTheJournalsMessage) {
    KP2Journals j;
    EXPECT_FALSE(j.add("p", "a", true, QString()).contains("msg"));
    j.setErrmsg("journal says");
    EXPECT_EQ(j.err(), 9999);  // setErrmsg leaves the code alone
    EXPECT_EQ(j.add("p", "a", true, QString()).value("msg").toString(), "journal says");
    EXPECT_EQ(j.add("p", "a", true, "own").value("msg").toString(), "own");
}

TEST(KP2Journals, CodeMessageAndStepsCarryOverToTheNextRequest) {
    // One journal serves a whole connection; begin() starts a request but clears only the time.
    KP2Journals j;
    j.begin();
    j.setErr(9995, "缺少参数: subpath");
    j.add("p", "a", false);
    j.begin();
    EXPECT_EQ(j.err(), 9995);
    EXPECT_EQ(j.errmsg(), QStringLiteral("缺少参数: subpath"));
    EXPECT_EQ(j.segments().size(), 1);
    EXPECT_EQ(j.times(), 0);

    // reset() is how a connection starts afresh.
    j.reset(9999, QString(), QJsonArray());
    QJsonObject reply;
    j.toRetObject(reply, false);
    EXPECT_EQ(reply, (QJsonObject{{"err", 9999}}));
}

TEST(KP2Journals, ElapsedNeverGoesBackAndToObjectClosesNoLap) {
    KP2Journals j;
    j.begin();
    letTimePass(3);
    QJsonObject first;
    QJsonObject second;
    j.toRetObject(first, true);
    j.toRetObject(second, true);
    EXPECT_GE(first.value("elapsed").toInt(), 3);
    EXPECT_GE(second.value("elapsed").toInt(), first.value("elapsed").toInt());
    letTimePass(3);
    EXPECT_EQ(j.toObject().value("elapsed"), j.toObject().value("elapsed"));
    const qint64 total = j.end();
    EXPECT_EQ(total, j.times());
}

TEST(KP2Journals, ResetClearsTheTotalButNotTheRunningLap) {
    KP2Journals j;
    j.begin();
    letTimePass(20);
    j.reset(1, "m", QJsonArray{1});
    EXPECT_EQ(j.times(), 0);
    EXPECT_GE(j.step(), 20);  // the lap began before the reset
    EXPECT_EQ(j.segments(), QJsonArray{1});
}

TEST(KP2Journals, AddingAnArrayNestsItAsOneStep) {
    KP2Journals j;
    j.add(QJsonObject{{"k", 1}});
    j.add(QJsonArray{1, 2, 3});
    ASSERT_EQ(j.segments().size(), 2);
    EXPECT_EQ(j.segments().at(1).toArray(), (QJsonArray{1, 2, 3}));
}

}  // namespace
