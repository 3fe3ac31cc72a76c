// The service log: line format, levels, rotation by size, lost lines, threads and the stress log.
#include <gtest/gtest.h>

#include "Log.h"
#include "zip_fixture.h"

#include <host/files.h>
#include <host/process.h>
#include <host_test.h>

#include <cstdio>
#include <string>
#include <vector>

using ziptest::ReadFileText;

namespace
{

constexpr const char* kMainLog = "C:\\Svc\\Brennick.log";
constexpr const char* kBackupLog = "C:\\Svc\\BrennickBackup.log";

class LogTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        host::CurrentProcess().currentDirectory = u"C:\\";
        host::CurrentProcess().imagePath = u"C:\\Svc\\Brennick.exe";
        CreateDirectoryA("C:\\Svc", nullptr);
        log = CLog::GetInstance();
    }
    void TearDown() override
    {
        while (log->Release() > 0) {
        }
    }

    // What every line written now begins with.
    static std::string Prefix()
    {
        SYSTEMTIME now;
        GetLocalTime(&now);
        char prefix[64];
        snprintf(prefix, sizeof(prefix), "%d %02d-%02d %02d:%02d:%02d:%03d : ", int(GetCurrentProcessId()),
                 now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
        return prefix;
    }

    static void FillMainLog(size_t size) { ziptest::WriteFileBytes(kMainLog, ziptest::Bytes(size, 'f')); }

    static LONGLONG SizeOf(const char* path)
    {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
            return -1;
        return (LONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }

    host::FilesTemporarySandbox sandbox;
    CLog* log = nullptr;
};

TEST_F(LogTest, LineFormatAndLevels)
{
    log->WriteLog(2, "[Info][CStateWork::Work] value %d, %s", 42, "text");
    log->WriteLog(0, "[Error] failed %u", 7u);
    log->WriteLog(6, "dropped");
    log->WriteLog(2, "%s", "100% of C:\\%TEMP%\\x");
    std::string prefix = Prefix();
    EXPECT_EQ(ReadFileText(kMainLog), prefix + "[Info][CStateWork::Work] value 42, text\r\n" + prefix +
                                          "[Error] failed 7\r\n" + prefix + "100% of C:\\%TEMP%\\x\r\n");
}

TEST_F(LogTest, LineWithoutItsMessageStillEnds)
{
    {
        hosttest::ExpectReport refused(host::Check::InvalidParameter);
        log->WriteLog(2, "%n");
    }
    log->WriteLog(2, "next");
    EXPECT_EQ(ReadFileText(kMainLog), Prefix() + "\r\n" + Prefix() + "next\r\n");
}

TEST_F(LogTest, RotatesWhenLargerThanTenMegabytesAtEverySixthLine)
{
    const LONGLONG line = LONGLONG(Prefix().size() + 3); // "x" and CR LF
    struct Case {
        LONGLONG sizeAfterSixLines;
        bool rotated;
    } cases[] = {{kLogRotateSize, false}, {kLogRotateSize + 1, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sizeAfterSixLines);
        ziptest::WriteFileBytes(kBackupLog, {'o', 'l', 'd'});
        FillMainLog(size_t(c.sizeAfterSixLines - 6 * line));
        // Lines lost to a log that cannot be opened, or dropped by their level, do not count.
        HANDLE held = CreateFileA(kMainLog, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        log->WriteLog(2, "lost");
        CloseHandle(held);
        for (int i = 0; i < 5; ++i)
            log->WriteLog(2, "x");
        log->WriteLog(6, "x");
        EXPECT_EQ(SizeOf(kMainLog), c.sizeAfterSixLines - line);
        log->WriteLog(2, "x");
        if (c.rotated) {
            EXPECT_EQ(SizeOf(kMainLog), -1);
            EXPECT_EQ(SizeOf(kBackupLog), c.sizeAfterSixLines);
            log->WriteLog(2, "x");
            EXPECT_EQ(ReadFileText(kMainLog), Prefix() + "x\r\n");
        } else {
            EXPECT_EQ(SizeOf(kMainLog), c.sizeAfterSixLines);
            EXPECT_EQ(ReadFileText(kBackupLog), "old");
        }
        DeleteFileA(kMainLog);
        log->CheckRotation();
    }
}

TEST_F(LogTest, DeletedLogIsRecreated)
{
    log->WriteLog(2, "first");
    ASSERT_TRUE(DeleteFileA(kMainLog));
    log->WriteLog(2, "second");
    EXPECT_EQ(ReadFileText(kMainLog), Prefix() + "second\r\n");
}

DWORD WINAPI WriteLines(LPVOID parameter)
{
    CLog* log = CLog::GetInstance();
    for (int i = 0; i < 200; ++i)
        log->WriteLog(2, "thread %d line %03d", int(reinterpret_cast<intptr_t>(parameter)), i);
    return 0;
}

TEST_F(LogTest, ConcurrentLinesStayWhole)
{
    HANDLE threads[2];
    for (intptr_t t = 0; t < 2; ++t) {
        threads[t] = CreateThread(nullptr, 0, WriteLines, reinterpret_cast<LPVOID>(t), 0, nullptr);
        ASSERT_NE(threads[t], nullptr);
    }
    ASSERT_EQ(WaitForMultipleObjects(2, threads, TRUE, INFINITE), WAIT_OBJECT_0);
    for (HANDLE thread : threads)
        CloseHandle(thread);

    std::string text = ReadFileText(kMainLog);
    std::string prefix = Prefix();
    int next[2] = {0, 0};
    size_t lines = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        std::string line = text.substr(at, end - at);
        int thread = -1, number = -1;
        ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
        ASSERT_EQ(sscanf(line.c_str() + prefix.size(), "thread %d line %d", &thread, &number), 2) << line;
        ASSERT_TRUE(thread == 0 || thread == 1);
        EXPECT_EQ(number, next[thread]++);
        ++lines;
        at = end + 2;
    }
    EXPECT_EQ(lines, 400u);
}

TEST_F(LogTest, StressLogCutsLongMessages)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char path[128];
    snprintf(path, sizeof(path), "C:\\Svc\\kelv_stresstool_%04d%02d%02d%02d%02d.log", now.wYear, now.wMonth,
             now.wDay, now.wHour, now.wMinute);
    std::string longText(5000, 'L');
    log->WriteStressLog("%s", longText.c_str());
    log->WriteStressLog("50%s", "%");
    EXPECT_EQ(ReadFileText(path),
              Prefix() + std::string(kStressLogMessageSize - 1, 'L') + "\r\n" + Prefix() + "50%\r\n");
    EXPECT_EQ(ReadFileText(kMainLog), "<missing>");
}

TEST(LogWithoutModulePath, WritesNothing)
{
    host::FilesTemporarySandbox sandbox;
    host::CurrentProcess().imagePath = u"C:\\" + std::u16string(300, u'p') + u"\\Brennick.exe";
    CLog* log = CLog::GetInstance();
    log->WriteLog(2, "nowhere");
    log->WriteStressLog("nowhere");
    EXPECT_EQ(log->Release(), 0);
}

} // namespace
