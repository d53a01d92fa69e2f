// The AT dialogue as transcripts: the test plays the device, time moves only
// by ticks, and every command and every panel change is checked in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_device.h"

using Strings = std::vector<std::string>;

TEST(PollPacing, FirstCommandGoesOutOnThe30thTickAfterOpening) {
    Dialogue d;
    d.Tick(29);
    EXPECT_TRUE(d.Sent().empty());
    d.Tick();
    EXPECT_EQ(d.Sent(), Strings({"AT\r\n"}));
    d.Tick(29);
    EXPECT_TRUE(d.Sent().empty());
    d.Tick();
    EXPECT_EQ(d.Sent(), Strings({"AT\r\n"}));
}

TEST(PollPacing, OpeningAgainRestartsThePollCount) {
    Dialogue d;
    d.Tick(20);
    d.Reopen();
    d.Tick(29);
    EXPECT_TRUE(d.Sent().empty());
    d.Tick();
    EXPECT_EQ(d.Sent(), Strings({"AT\r\n"}));
}

TEST(VersionAndRate, FirstLineBecomesTheVersionThenTheRateIsQueried) {
    Dialogue d;
    /* device powers up: "V2.1\r\n" */
    d.DeviceAnswers("V2.1\r\n");
    d.UntilPoll();
    EXPECT_EQ(d.Shown(), Strings({"status:已连接", "result: ", "version:V2.1\r\n"}));
    EXPECT_EQ(d.Sent(), Strings({"AT+BAUD?\r\n"}));
    EXPECT_EQ(d.engine.State(), ProtocolState::QueryingBaud);
    EXPECT_EQ(d.sink.sent, Strings({"\r\ncomRcv V2.1\r\n, state 0"}));

    /* sends "AT+BAUD?\r\n" / device answers "115200\r\n" */
    d.DeviceAnswers("115200\r\n");
    d.UntilPoll();
    EXPECT_EQ(d.Shown(), Strings({"select:6", "enable:1"}));
    EXPECT_EQ(d.Sent(), Strings({"AT\r\n"}));
    EXPECT_EQ(d.engine.State(), ProtocolState::Ready);
}

TEST(VersionAndRate, AnswerThatJoinsTheBannerBeforeOnePollIsPartOfTheVersion) {
    Dialogue d;
    d.UntilPoll();
    EXPECT_EQ(d.Sent(), Strings({"AT\r\n"}));
    /* device powers up: "V2.1\r\n", then answers that "AT\r\n": "OK\r\n" */
    d.DeviceAnswers("V2.1\r\n");
    d.DeviceAnswers("OK\r\n");
    d.UntilPoll();
    // One piece, shown whole; the field's single line shows the banner.
    EXPECT_EQ(d.Shown(), Strings({"status:已连接", "result: ", "version:V2.1\r\nOK\r\n"}));
    EXPECT_EQ(d.Sent(), Strings({"AT+BAUD?\r\n"}));
}

TEST(VersionAndRate, QueryIsRepeatedUntilTheDeviceAnswers) {
    Dialogue d;
    d.DeviceAnswers("V2.1\r\n");
    d.UntilPoll();
    d.Sent();
    d.UntilPoll();
    d.UntilPoll();
    EXPECT_EQ(d.Sent(), Strings({"AT+BAUD?\r\n", "AT+BAUD?\r\n"}));
    EXPECT_EQ(d.engine.State(), ProtocolState::QueryingBaud);
}

TEST(VersionAndRate, AnswerThatIsNotExactlyARateSelectsNothingButEnablesSet) {
    // The NUL case needs an explicit length to reach the accumulator whole.
    const std::string answers[] = {"+BAUD:9600\r\n", "9600 \r\n", "960\r\n", "96000\r\n",
                                   std::string("9600\0garbage\r\n", 14), "\r\n"};
    for (const std::string& answer : answers) {
        SCOPED_TRACE(answer);
        Dialogue d;
        d.DeviceAnswers("V1\r\n");
        d.UntilPoll();
        d.Shown();
        d.DeviceAnswers(answer);
        d.UntilPoll();
        EXPECT_EQ(d.Shown(), Strings({"enable:1"}));
        EXPECT_EQ(d.engine.State(), ProtocolState::Ready);
    }
}

TEST(VersionAndRate, EveryTableEntrySelectsItsOwnIndex) {
    for (std::size_t i = 0; i < kRateCount; ++i) {
        Dialogue d;
        d.DeviceAnswers("V1\r\n");
        d.UntilPoll();
        d.Shown();
        d.DeviceAnswers(std::string(kRateTable[i]) + "\r\n");
        d.UntilPoll();
        EXPECT_EQ(d.Shown(), Strings({"select:" + std::to_string(i), "enable:1"}));
    }
}

TEST(SetBaud, SetCommandGoesOutAtTheNextPollAndOkMeansSuccess) {
    Dialogue d;
    d.ReachReady();
    d.RequestSet("57600");
    EXPECT_EQ(d.sink.sent, Strings({"\r\nAT+BAUD=57600\r\n"}));
    d.Tick(29);
    EXPECT_TRUE(d.Sent().empty()) << "nothing is written before the poll";
    d.Tick();
    EXPECT_EQ(d.Sent(), Strings({"AT+BAUD=57600\r\n"}));
    EXPECT_EQ(d.engine.State(), ProtocolState::SettingBaud);

    /* device answers "OK\r\n" */
    d.DeviceAnswers("OK\r\n");
    d.UntilPoll();
    EXPECT_EQ(d.Shown(), Strings({"result:波特率设置成功"}));
    EXPECT_EQ(d.Sent(), Strings({"AT\r\n"}));
    EXPECT_EQ(d.engine.State(), ProtocolState::Ready);
}

TEST(SetBaud, AnswerJudgedByItsFirstTwoBytes) {
    struct Case {
        const char* answer;
        const char* shown;
    } cases[] = {{"OK\r\n", "result:波特率设置成功"},   {"OKAY\r\n", "result:波特率设置成功"},
                 {"ok\r\n", "result:波特率设置失败"},   {"ERROR\r\n", "result:波特率设置失败"},
                 {"\r\n", "result:波特率设置失败"},     {" OK\r\n", "result:波特率设置失败"},
                 {"ON\r\n", "result:波特率设置失败"},     {"O\r\n", "result:波特率设置失败"},
                 // "|": a poll. A reply still arriving at one is judged whole at
                 // the next; a head that waited a whole poll is dropped.
                 {"O|K\r\n", "result:波特率设置成功"},  {"O||K\r\n", "result:波特率设置失败"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        Dialogue d;
        d.ReachReady();
        d.RequestSet("19200");
        d.UntilPoll();
        std::string answer = c.answer;
        for (std::size_t bar; (bar = answer.find('|')) != std::string::npos; answer.erase(0, bar + 1)) {
            d.DeviceAnswers(answer.substr(0, bar));
            d.UntilPoll();
        }
        d.DeviceAnswers(answer);
        d.UntilPoll();
        EXPECT_EQ(d.Shown(), Strings({c.shown}));
        EXPECT_EQ(d.engine.State(), ProtocolState::Ready);
    }
}

TEST(SetBaud, SetCommandIsRepeatedUntilAnswered) {
    Dialogue d;
    d.ReachReady();
    d.RequestSet("38400");
    d.UntilPoll();
    d.UntilPoll();
    EXPECT_EQ(d.Sent(), Strings({"AT+BAUD=38400\r\n", "AT+BAUD=38400\r\n"}));
}

TEST(SetBaud, ShorterRateAfterLongerLeavesNothingBehind) {
    Dialogue d;
    d.ReachReady();
    d.RequestSet("115200");
    d.UntilPoll();
    d.DeviceAnswers("OK\r\n");
    d.UntilPoll();
    d.Sent();
    d.RequestSet("57600");
    d.UntilPoll();
    Strings sent = d.Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], "AT+BAUD=57600\r\n");
    EXPECT_EQ(sent[0].size(), 15u);
}

TEST(SetBaud, TwoRequestsBeforeOnePollSendOnlyTheLaterOnce) {
    Dialogue d;
    d.ReachReady();
    d.RequestSet("115200");
    d.RequestSet("14400");
    d.UntilPoll();
    EXPECT_EQ(d.Sent(), Strings({"AT+BAUD=14400\r\n"}));
}

TEST(SetBaud, LineBeforeThePollIsHandledInTheOldStateFirst) {
    Dialogue d;
    d.ReachReady();
    /* keep-alive answer "OK\r\n" is in, then the operator presses set */
    d.DeviceAnswers("OK\r\n");
    d.RequestSet("56000");
    d.UntilPoll();
    EXPECT_TRUE(d.Shown().empty()) << "the OK answered the keep-alive, not the set";
    EXPECT_EQ(d.Sent(), Strings({"AT+BAUD=56000\r\n"}));
    EXPECT_EQ(d.engine.State(), ProtocolState::SettingBaud);
    d.DeviceAnswers("ERROR\r\n");
    d.UntilPoll();
    EXPECT_EQ(d.Shown(), Strings({"result:波特率设置失败"}));
}

TEST(SetBaud, OverlongRateTextIsCutAndNeverOverflows) {
    Dialogue d;
    d.ReachReady();
    std::string rate(300, '7');
    d.RequestSet(rate.c_str());
    d.UntilPoll();
    Strings sent = d.Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], "AT+BAUD=" + std::string(ProtocolEngine::kMaxRateText, '7') + "\r\n");
}

TEST(SetBaud, ResetDropsAPendingRequest) {
    Dialogue d;
    d.ReachReady();
    d.RequestSet("57600");
    d.Reopen();
    d.UntilPoll();
    EXPECT_EQ(d.Sent(), Strings({"AT\r\n"}));
    EXPECT_EQ(d.engine.State(), ProtocolState::AwaitingDevice);
}

TEST(LinkWatchdog, LostAtTheFifthSilentPollBeforeThatPollsCommand) {
    Dialogue d;
    d.ReachReady();
    for (int poll = 1; poll <= 4; ++poll) {
        d.UntilPoll();
    }
    EXPECT_TRUE(d.Shown().empty());
    EXPECT_EQ(d.engine.State(), ProtocolState::Ready);
    d.Tick(29);
    EXPECT_TRUE(d.Shown().empty()) << "never lost between polls";
    d.Sent();
    d.Tick();
    EXPECT_EQ(d.Shown(), Strings({"status:未连接", "result: ", "version: ", "enable:0"}));
    EXPECT_EQ(d.Sent(), Strings({"AT\r\n"}));
    EXPECT_EQ(d.engine.State(), ProtocolState::AwaitingDevice);
}

TEST(LinkWatchdog, LinkLostTextsRepeatEvery150TicksWhileSilent) {
    Dialogue d;
    d.Tick(149);
    EXPECT_TRUE(d.Shown().empty());
    d.Tick();
    EXPECT_EQ(d.Shown().size(), 4u);
    d.Tick(150);
    EXPECT_EQ(d.Shown(), Strings({"status:未连接", "result: ", "version: ", "enable:0"}));
}

TEST(LinkWatchdog, LineArrivingAtTheFifthPollIsANewVersion) {
    Dialogue d;
    d.ReachReady();
    d.Tick(4 * 30 + 29);
    d.Sent();
    d.DeviceAnswers("V3.0\r\n");
    d.Tick();
    EXPECT_EQ(d.Shown(), Strings({"status:未连接", "result: ", "version: ", "enable:0",
                                  "status:已连接", "result: ", "version:V3.0\r\n"}));
    EXPECT_EQ(d.Sent(), Strings({"AT+BAUD?\r\n"}));
    EXPECT_EQ(d.engine.State(), ProtocolState::QueryingBaud);
}

TEST(LinkWatchdog, LinkLossDropsASetRequestedWhileTheLinkWasFailing) {
    // The device's banner may be back just before that fifth poll, or later.
    for (const char* beforeLosingPoll : {"", "V3.0\r\n"}) {
        SCOPED_TRACE(beforeLosingPoll);
        Dialogue d;
        d.ReachReady();
        /* device falls silent; set pressed after the fourth unanswered poll */
        d.Tick(4 * 30 + 29);
        d.RequestSet("57600");
        d.DeviceAnswers(beforeLosingPoll);
        d.Tick();
        EXPECT_EQ(d.Shown().at(0), "status:未连接");
        /* device powers up: "V2.1\r\n", then answers "AT+BAUD?\r\n": "9600\r\n" */
        for (const char* answer : {"V2.1\r\n", "9600\r\n"}) {
            d.DeviceAnswers(answer);
            d.UntilPoll();
        }
        EXPECT_EQ(d.Shown().back(), "enable:1") << "connected again, set available";
        for (const std::string& sent : d.Sent()) {
            EXPECT_EQ(sent.find("AT+BAUD="), std::string::npos) << "the request was void";
        }
        EXPECT_EQ(d.engine.State(), ProtocolState::Ready);
    }
}

TEST(PortSessions, WhatAClosedSessionReceivedIsNeverJudgedInTheNext) {
    Dialogue d;
    d.ReachReady();
    /* sends "AT\r\n" / device answers "OK\r\n"; the operator closes before the next poll */
    d.UntilPoll();
    d.DeviceAnswers("OK\r\n");
    d.Sent();
    d.Reopen();
    /* nothing answers on the port opened next */
    d.Tick(4 * 30 + 29);
    EXPECT_TRUE(d.Shown().empty()) << "never 已连接 without a device";
    EXPECT_TRUE(d.sink.sent.empty());
    EXPECT_EQ(d.Sent(), Strings(4, "AT\r\n"));
}

TEST(LinkWatchdog, ValidLineAtEveryPollKeepsTheLinkForever) {
    Dialogue d;
    d.ReachReady();
    for (int poll = 0; poll < 100; ++poll) {
        d.DeviceAnswers("OK\r\n");
        d.UntilPoll();
    }
    EXPECT_TRUE(d.Shown().empty());
    EXPECT_EQ(d.engine.State(), ProtocolState::Ready);
    EXPECT_EQ(d.sink.sent.size(), 100u);
    EXPECT_EQ(d.sink.sent.back(), "\r\ncomRcv OK\r\n, state 1");
}

TEST(LinkWatchdog, InvalidRepliesDoNotKeepTheLinkAlive) {
    Dialogue d;
    d.ReachReady();
    const char* invalid[] = {"OK", "OK\r", "\xffOK\r\n", "OK\n", "OK\x7f\r\n"};
    for (const char* reply : invalid) {
        d.DeviceAnswers(reply);
        d.UntilPoll();
    }
    EXPECT_TRUE(d.sink.sent.empty()) << "invalid replies leave no trace";
    EXPECT_EQ(d.engine.State(), ProtocolState::AwaitingDevice);
    EXPECT_EQ(d.Shown(), Strings({"status:未连接", "result: ", "version: ", "enable:0"}));
}

TEST(LinkWatchdog, BannerSplitByAPollIsJudgedWholeAtTheNext) {
    Dialogue d;
    d.DeviceAnswers("HC-XX V2.1 2019");
    d.UntilPoll();
    d.DeviceAnswers("0501 BOOT\r\n");
    d.UntilPoll();
    EXPECT_EQ(d.Shown(), Strings({"status:已连接", "result: ", "version:HC-XX V2.1 20190501 BOOT\r\n"}));
}
