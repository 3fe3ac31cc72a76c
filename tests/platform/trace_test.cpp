// The trace sink and its producers: WPP macros, DbgPrint, per-image rings, subscribers and printing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include <host/image.h>
#include <host/trace.h>
#include <wdm.h>

#define WPP_CONTROL_GUIDS                                                                                  \
    WPP_DEFINE_CONTROL_GUID(TestTraceGuid, (1, 2, 3, 4, 5), WPP_DEFINE_BIT(TRACE_DRIVER) WPP_DEFINE_BIT(TRACE_QUEUE)) \
    WPP_DEFINE_CONTROL_GUID(OtherTraceGuid, (6, 7, 8, 9, 0), WPP_DEFINE_BIT(TRACE_POWER))
#include <wpp.h>

namespace {

class Trace : public testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset()
    {
        host::TraceClear();
        host::TraceSetRingSize(4096);
        host::TraceSetPrintLevel(0);
        host::TraceSetWppFilter(TRACE_LEVEL_VERBOSE, MAXULONG);
    }
    static std::vector<std::string> Texts(const std::vector<host::TraceLine>& lines)
    {
        std::vector<std::string> texts;
        for (const host::TraceLine& line : lines)
            texts.push_back(line.text);
        return texts;
    }
};

void OpenQueue(NTSTATUS status)
{
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_QUEUE, "%!FUNC! failed %!STATUS! on port %d", status, 3);
}

TEST_F(Trace, WppMessagesAreRecordedForTheCallingImage)
{
    static_assert(TRACE_DRIVER == 1 && TRACE_QUEUE == 2 && TRACE_POWER == 4);
    OpenQueue(STATUS_INVALID_PARAMETER);
    DoTraceMessage(TRACE_DRIVER, "plain %s", "text");

    std::vector<host::TraceLine> lines = host::TraceSnapshot(host::ImageMain());
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("OpenQueue failed 0xC000000D on port 3", lines[0].text);
    EXPECT_EQ("OpenQueue", lines[0].function);
    EXPECT_EQ(TRACE_LEVEL_ERROR, lines[0].level);
    EXPECT_EQ(ULONG(TRACE_QUEUE), lines[0].flags);
    EXPECT_EQ(host::TraceStream::Wpp, lines[0].stream);
    EXPECT_EQ(host::ImageMain(), lines[0].image);
    EXPECT_EQ(TRACE_LEVEL_INFORMATION, lines[1].level);
    EXPECT_LT(lines[0].sequence, lines[1].sequence);
    EXPECT_LE(lines[0].time, lines[1].time);
}

TEST_F(Trace, DbgPrintGoesToTheDebugStream)
{
    EXPECT_EQ(ULONG(STATUS_SUCCESS), DbgPrint("value %lu %S\n", 7UL, u"w\u00E9"));
    EXPECT_EQ(ULONG(STATUS_SUCCESS), DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "bad %n"));
    std::vector<host::TraceLine> lines = host::TraceSnapshot(host::ImageMain());
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("value 7 w\xC3\xA9\n", lines[0].text);
    EXPECT_EQ(host::TraceStream::DbgPrint, lines[0].stream);
    EXPECT_EQ(TRACE_LEVEL_INFORMATION, lines[0].level);
    EXPECT_EQ("<bad format> bad %n", lines[1].text);
    EXPECT_EQ(TRACE_LEVEL_ERROR, lines[1].level);
    EXPECT_EQ(ULONG(DPFLTR_IHVDRIVER_ID), lines[1].flags);
}

TEST_F(Trace, RingsAreBoundedPerImageAndSearchable)
{
    host::Image* other = host::ImageRegister("other", reinterpret_cast<const void*>(&strlen));
    host::TraceSetRingSize(3);
    for (int i = 0; i < 5; i++)
        DbgPrint("main %d", i);
    host::TraceWrite(other, host::TraceStream::Etw, TRACE_LEVEL_WARNING, 0, "Fn", "other 0");

    using Lines = std::vector<std::string>;
    EXPECT_EQ((Lines{"main 2", "main 3", "main 4"}), Texts(host::TraceSnapshot(host::ImageMain())));
    EXPECT_EQ((Lines{"other 0"}), Texts(host::TraceSnapshot(other)));
    EXPECT_EQ((Lines{"main 2", "main 3", "main 4", "other 0"}), Texts(host::TraceSnapshot()));
    EXPECT_EQ((Lines{"main 3"}), Texts(host::TraceFind("3")));
    EXPECT_EQ((Lines{"main 4", "other 0"}), Texts(host::TraceMatch(std::regex("^(main 4|other \\d)$"))));
    EXPECT_TRUE(host::TraceFind("main", other).empty());

    host::TraceSetRingSize(2); // shrinking keeps the newest
    EXPECT_EQ((Lines{"main 3", "main 4"}), Texts(host::TraceSnapshot(host::ImageMain())));
    host::TraceClear(host::ImageMain());
    EXPECT_TRUE(host::TraceSnapshot(host::ImageMain()).empty());
    EXPECT_EQ(1u, host::TraceSnapshot().size());
}

TEST_F(Trace, LongLinesAreKeptWhole)
{
    std::string payload(3000, 'x');
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "[%s] %!bool!", payload.c_str(), true);
    EXPECT_EQ("[" + payload + "] true", host::TraceSnapshot(host::ImageMain()).at(0).text);
}

TEST_F(Trace, FilterDropsDisabledMessages)
{
    host::TraceSetWppFilter(TRACE_LEVEL_WARNING, TRACE_DRIVER);
    EXPECT_TRUE(WPP_FLAG_ENABLED(TRACE_DRIVER));
    EXPECT_FALSE(WPP_LEVEL_ENABLED(TRACE_QUEUE));
    EXPECT_FALSE(WPP_LEVEL_FLAGS_ENABLED(TRACE_LEVEL_VERBOSE, TRACE_DRIVER));
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "kept");
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "too verbose");
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_QUEUE, "flag off");
    EXPECT_EQ(std::vector<std::string>{"kept"}, Texts(host::TraceSnapshot(host::ImageMain())));
}

TEST_F(Trace, InitAndCleanupInBothForms)
{
    UNICODE_STRING path = RTL_CONSTANT_STRING(u"\\Registry\\Machine\\System\\Test");
    auto* driver = reinterpret_cast<struct _DRIVER_OBJECT*>(&path); // only its identity matters
    EXPECT_FALSE(host::TraceWppActive(host::ImageMain()));
    WPP_INIT_TRACING(driver, &path);
    EXPECT_TRUE(host::TraceWppActive(host::ImageMain()));
    WPP_CLEANUP(driver);
    EXPECT_FALSE(host::TraceWppActive(host::ImageMain()));
    WPP_INIT_TRACING(u"TestService");
    EXPECT_TRUE(host::TraceWppActive(host::ImageMain()));
    WPP_CLEANUP();
    EXPECT_FALSE(host::TraceWppActive(host::ImageMain()));
}

TEST_F(Trace, SubscribersSeeLinesAsTheyCome)
{
    std::vector<std::string> seen;
    int id = host::TraceSubscribe([&](const host::TraceLine& line) {
        seen.push_back(line.text);
        if (line.text == "first")
            DbgPrint("from the subscriber"); // called outside the sink's lock
    });
    DbgPrint("first");
    host::TraceUnsubscribe(id);
    DbgPrint("after");
    EXPECT_EQ((std::vector<std::string>{"first", "from the subscriber"}), seen);
    EXPECT_EQ(3u, host::TraceSnapshot().size());
}

TEST_F(Trace, QuietByDefaultAndWwanTracePrints)
{
    auto printed = [](const char* text) {
        testing::internal::CaptureStderr();
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_DRIVER, "%s error", text);
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_DRIVER, "%s verbose", text);
        return testing::internal::GetCapturedStderr();
    };
    unsetenv("WWAN_TRACE");
    host::TraceReadEnvironment();
    EXPECT_EQ("", printed("quiet"));

    setenv("WWAN_TRACE", "1", 1);
    host::TraceReadEnvironment();
    std::string all = printed("on");
    EXPECT_NE(std::string::npos, all.find("main wpp L2 operator(): on error\n")) << all;
    EXPECT_NE(std::string::npos, all.find("on verbose")) << all;

    setenv("WWAN_TRACE", "2", 1);
    host::TraceReadEnvironment();
    std::string errors = printed("level");
    EXPECT_NE(std::string::npos, errors.find("level error")) << errors;
    EXPECT_EQ(std::string::npos, errors.find("level verbose")) << errors;
    unsetenv("WWAN_TRACE");
}

TEST_F(Trace, ConcurrentWritersKeepEveryLine)
{
    constexpr int kThreads = 4, kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; i++)
                TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_DRIVER, "thread %d line %d", t, i);
        });
    for (std::thread& thread : threads)
        thread.join();
    std::vector<host::TraceLine> lines = host::TraceSnapshot(host::ImageMain());
    ASSERT_EQ(size_t(kThreads * kLines), lines.size());
    for (size_t i = 1; i < lines.size(); i++)
        EXPECT_LT(lines[i - 1].sequence, lines[i].sequence);
    EXPECT_EQ(size_t(kLines), host::TraceFind("thread 2 ").size());
}

} // namespace
