#include "log.h"
#include "logbase.h"
#include "logtimestamp.h"
#include "printtrace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace corvalog;

namespace {

struct Written
{
    std::string message;
    int level;
    std::string channel;
    uint64_t id;
    std::string timestamp;
    std::string line;
};

// Records what the library hands to an output target.
class RecordingSink : public LogBase
{
public:
    void flush() override { ++flushes; }
    void onBroadcast2(uint32_t first, uint32_t second) override { pairs.push_back({first, second}); }
    void write(const std::string &message, int level, const std::string &channel, uint64_t id,
               const std::string &timestamp, const std::string &line) override
    {
        written.push_back({message, level, channel, id, timestamp, line});
    }
    void onBroadcast(uint32_t value) override { values.push_back(value); }

    std::vector<Written> written;
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    std::vector<uint32_t> values;
    int flushes = 0;
};

// Tells the parent of a death test, through stderr, which sink calls ran before the exit.
class StderrSink : public LogBase
{
public:
    void flush() override { std::fputs("[flushed]", stderr); }
    void onBroadcast2(uint32_t, uint32_t) override { }
    void write(const std::string &, int, const std::string &, uint64_t, const std::string &,
               const std::string &line) override
    {
        std::fprintf(stderr, "[wrote %s]", line.c_str());
    }
};

// The library's settings are process-wide; every test starts from and returns to the defaults.
class LogTest : public ::testing::Test
{
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    void TearDown() override
    {
        setLogLevel(LogLevel_DEVEL);
        setLogUseLocalTime(false);
        setLogTimestampFormat(0);
        setLogCriticalCallback(nullptr);
    }
};

// The part of a line after the timestamp, which is the only part that changes from run to run.
std::string afterTimestamp(const Written &w)
{
    EXPECT_EQ(w.line.compare(0, w.timestamp.size(), w.timestamp), 0) << w.line;
    return w.line.substr(w.timestamp.size());
}

} // namespace

TEST_F(LogTest, HeaderFieldsArePaddedWithBlanks)
{
    struct Case
    {
        const char *name;
        int level;
        std::string channel;
        uint64_t id;
        std::string expected;
    };
    const Case cases[] = {
        {"critical fills the level field", 0, "", 0, "ts|CRITICAL|              |   |text"},
        {"id 42", 1, "", 42, "ts|ERROR   |              |42 |text"},
        {"wide id is not cut", 2, "", 123456, "ts|WARNING |              |123456|text"},
        {"channel padded to 14", 3, "net", 7, "ts|DEBUG   |net           |7  |text"},
        {"long channel is not cut", 4, "averyverylongchannel", 0, "ts|INFO    |averyverylongchannel|   |text"},
        {"develop", 5, "", 0, "ts|DEVELOP |              |   |text"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(formatLogLine("text", c.level, c.channel, c.id, "ts"), c.expected);
    }
}

TEST_F(LogTest, ContinuationLinesStartUnderTheMessage)
{
    // Header "ts|ERROR   |              |   |" is 31 characters wide (3 + 9 + 15 + 4).
    const std::string indent(31, ' ');
    EXPECT_EQ(formatLogLine("first\nsecond", 1, "", 0, "ts"),
              "ts|ERROR   |              |   |first\n" + indent + "second");
    EXPECT_EQ(formatLogLine("a\n\nb\n", 1, "", 0, "ts"),
              "ts|ERROR   |              |   |a\n" + indent + "\n" + indent + "b\n" + indent);
}

TEST_F(LogTest, SinksReceiveEveryPartAndTheFormattedLine)
{
    RecordingSink sink;
    logMessage("two\nparts", LogLevel_WARNING, "chan", 42);
    ASSERT_EQ(sink.written.size(), 1u);
    const Written &w = sink.written[0];
    EXPECT_EQ(w.message, "two\nparts");
    EXPECT_EQ(w.level, 2);
    EXPECT_EQ(w.channel, "chan");
    EXPECT_EQ(w.id, 42u);
    EXPECT_EQ(w.timestamp.size(), 26u) << w.timestamp;
    const std::string header = w.timestamp + "|WARNING |chan          |42 |";
    EXPECT_EQ(w.line, header + "two\n" + std::string(header.size(), ' ') + "parts");
    EXPECT_EQ(sink.flushes, 0);
}

TEST_F(LogTest, LevelAboveTheMaximumIsNotWritten)
{
    RecordingSink sink;
    logMessage("debug", LogLevel_DEBUG);
    EXPECT_EQ(sink.written.size(), 1u);
    setLogLevel(LogLevel_WARNING);
    logMessage("debug", LogLevel_DEBUG);
    logMessage("warning", LogLevel_WARNING);
    ASSERT_EQ(sink.written.size(), 2u);
    EXPECT_EQ(afterTimestamp(sink.written[1]), "|WARNING |              |   |warning");
}

TEST_F(LogTest, SinksAreCalledInRegistrationOrderAndUnregisterOnDestruction)
{
    RecordingSink first;
    std::vector<std::string> seen;
    {
        RecordingSink second;
        RecordingSink third;
        logMessage("one", LogLevel_ERROR);
        EXPECT_EQ(first.written.size(), 1u);
        EXPECT_EQ(second.written.size(), 1u);
        EXPECT_EQ(third.written.size(), 1u);
        ASSERT_EQ(globalSinkList().size(), 3u);
        EXPECT_EQ(globalSinkList().front(), &first);
        EXPECT_EQ(globalSinkList().back(), &third);
    }
    ASSERT_EQ(globalSinkList().size(), 1u);
    logMessage("two", LogLevel_ERROR);
    EXPECT_EQ(first.written.size(), 2u);
}

TEST_F(LogTest, WithoutSinksAMessageHasNoEffect)
{
    ASSERT_TRUE(globalSinkList().empty());
    logMessage("nobody listens", LogLevel_ERROR);
}

TEST_F(LogTest, NoiseOfTheDatabaseChannelIsDroppedEvenAtCritical)
{
    RecordingSink sink;
    logMessage("sqlite3_prepare failed no such column: string_id", LogLevel_CRITICAL, "DatabaseQuery", 0);
    logMessage("x db_exec() select * from instance_properties where string_id = 'y'", LogLevel_CRITICAL,
               "DatabaseQuery", 0);
    EXPECT_TRUE(sink.written.empty());
    // The same text on another channel is an ordinary message.
    logMessage("sqlite3_prepare failed no such column: string_id", LogLevel_ERROR, "Other", 0);
    EXPECT_EQ(sink.written.size(), 1u);
}

TEST_F(LogTest, CriticalWritesFlushesAndExitsWithOne)
{
    EXPECT_EXIT(
        {
            StderrSink sink;
            logMessage("fatal", LogLevel_CRITICAL);
        },
        ::testing::ExitedWithCode(1), R"(\[wrote .*\|CRITICAL\|              \|   \|fatal\]\[flushed\])");
}

TEST_F(LogTest, CriticalExitsEvenWhenFilteredOut)
{
    EXPECT_EXIT(
        {
            StderrSink sink;
            setLogLevel(-1);
            logMessage("fatal", LogLevel_CRITICAL);
            std::fputs("[survived]", stderr);
        },
        ::testing::ExitedWithCode(1), "");
}

void reportCritical(const std::string &message, const std::string &, uint64_t, const std::string &, const std::string &)
{
    std::fprintf(stderr, "[callback %s]", message.c_str());
}

TEST_F(LogTest, CriticalCallbackRunsAfterTheSinks)
{
    EXPECT_EXIT(
        {
            StderrSink sink;
            setLogCriticalCallback(&reportCritical);
            logMessage("fatal", LogLevel_CRITICAL);
        },
        ::testing::ExitedWithCode(1), R"(\[flushed\]\[callback fatal\])");
}

TEST_F(LogTest, LevelNamesAndTheirRangeCheck)
{
    EXPECT_EQ(logLevelToString(0), "CRITICAL");
    EXPECT_EQ(logLevelToString(5), "DEVELOP");
    EXPECT_EQ(logLevelName(3), "DEBUG");
    EXPECT_EXIT(
        {
            StderrSink sink;
            (void)logLevelToString(6);
        },
        ::testing::ExitedWithCode(1),
        R"(\|Assertion "lvl >= 0 && lvl <= LogLevel_DEVEL" failed at \.\./\.\./\.\./\.\./deps/corvalog/src/lib/log:216; \])");
    EXPECT_EXIT((void)logLevelToString(-1), ::testing::ExitedWithCode(1), "");
}

TEST_F(LogTest, TimestampForms)
{
    // 2026-12-10 10:20:25 UTC
    const int64_t moment = 1796898025;
    struct Case
    {
        const char *name;
        uint32_t micros;
        int form;
        std::string expected;
    };
    const Case cases[] = {
        {"form 0 with fraction", 5, 0, "2026-12-10 10:20:25.000005"},
        {"form 0 without fraction: a lone point, then %026s pads", 0, 0, "0000002026-12-10 10:20:25."},
        {"form 2 basic", 0, 2, "20261210T102025"},
        {"form 2 basic with fraction", 999999, 2, "20261210T102025.999999"},
        {"other form: extended", 120000, 1, "2026-12-10T10:20:25.120000"},
        {"other form without fraction", 0, 7, "2026-12-10T10:20:25"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(formatLogTimestamp(moment, c.micros, false, c.form), c.expected);
    }
}

TEST_F(LogTest, SinkListHelpers)
{
    RecordingSink a;
    RecordingSink b;
    LogSinkList list;
    addSinkToList(list, &a);
    const LogSinkList::iterator bAt = addSinkToList(list, &b);

    logToSinkList(list, "m", LogLevel_CRITICAL, "", 0, "ts", "line");
    logToSinkList(list, "m", LogLevel_ERROR, "", 0, "ts", "");
    EXPECT_EQ(a.written.size(), 1u);
    EXPECT_EQ(b.written.size(), 1u);
    EXPECT_EQ(a.flushes, 1); // level 0 flushes after the write

    removeSinkFromList(list, bAt);
    logToSinkList(list, "m", LogLevel_ERROR, "", 0, "ts", "line");
    flushSinkList(list);
    broadcastToSinkList(list, 9);
    broadcastToSinkList2(list, 1, 2);
    EXPECT_EQ(a.written.size(), 2u);
    EXPECT_EQ(b.written.size(), 1u);
    EXPECT_EQ(a.flushes, 2);
    EXPECT_EQ(a.values, std::vector<uint32_t> {9});
    EXPECT_EQ(a.pairs.size(), 1u);

    broadcastToSinks(3); // the global list holds a and b by construction
    broadcastToSinks2(4, 5);
    EXPECT_EQ(b.values, std::vector<uint32_t> {3});
    EXPECT_EQ(b.pairs, (std::vector<std::pair<uint32_t, uint32_t>> {{4, 5}}));
}

TEST_F(LogTest, PrintTraceWritesOneLinePerFrame)
{
    RecordingSink sink;
    printTrace();
    ASSERT_GE(sink.written.size(), 2u);
    EXPECT_EQ(sink.written[0].message, "Printing Trace:");
    EXPECT_EQ(sink.written[1].line.substr(0, 5), "   #0") << sink.written[1].line;
    EXPECT_NE(sink.written[1].line.find(" in "), std::string::npos);
    EXPECT_LE(sink.written.size(), 16u);
}
