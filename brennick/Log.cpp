#include "Log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdio_file.h>
#include <stdlib.h>
#include <string.h>

namespace
{

CLog* volatile g_log = nullptr;
// Lines written to the main log since the last size check.
unsigned long long g_writeCount = 0;

// "pid MM-DD hh:mm:ss:mmm : " of the time the write began.
void WritePrefix(FILE* file, const SYSTEMTIME& now)
{
    fprintf(file, "%d %02d-%02d %02d:%02d:%02d:%03d : ", static_cast<int>(GetCurrentProcessId()), now.wMonth,
            now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
}

// Ends the line: the message's own text is written as it is, a '%' in it stays a '%'.
void WriteLine(FILE* file, const char* text)
{
    if (text != nullptr)
        fputs(text, file);
    fputs("\n", file);
    fflush(file);
}

} // namespace

CLog::CLog() : m_refCount(1)
{
    InitializeCriticalSection(&m_lock);
    g_writeCount = 0;
    char module[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, module, MAX_PATH);
    // A cut module path names another directory: keep the paths empty as when it cannot be read.
    if (length == 0 || length >= MAX_PATH)
        return;
    char* lastSeparator = strrchr(module, '\\');
    if (lastSeparator == nullptr)
        return;
    lastSeparator[1] = '\0';
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stressName[64];
    sprintf_s(stressName, "kelv_stresstool_%04d%02d%02d%02d%02d.log", now.wYear, now.wMonth, now.wDay,
              now.wHour, now.wMinute);
    m_stressLogPath = std::string(module) + stressName;
    m_mainLogPath = std::string(module) + "Brennick.log";
    m_backupLogPath = std::string(module) + "BrennickBackup.log";
}

CLog::~CLog()
{
    DeleteCriticalSection(&m_lock);
}

CLog* CLog::GetInstance()
{
    CLog* log = g_log;
    if (log == nullptr) {
        // Two first calls at once keep one logger.
        CLog* fresh = new CLog();
        log = static_cast<CLog*>(
            InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&g_log), fresh, nullptr));
        if (log == nullptr)
            return fresh; // its construction reference is the caller's
        delete fresh;
    }
    log->AddRef();
    return log;
}

LONG CLog::AddRef()
{
    return InterlockedIncrement(&m_refCount);
}

LONG CLog::Release()
{
    LONG count = InterlockedDecrement(&m_refCount);
    if (count == 0) {
        InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&g_log), nullptr, this);
        delete this;
    }
    return count;
}

void CLog::WriteLog(int level, const char* format, ...)
{
    if (level > kLogMaxLevel)
        return;
    EnterCriticalSection(&m_lock);
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILE* file = fopen(m_mainLogPath.c_str(), "a+");
    if (file == nullptr) {
        LeaveCriticalSection(&m_lock);
        return;
    }
    WritePrefix(file, now);
    va_list args;
    va_start(args, format);
    int length = _vscprintf(format, args);
    va_end(args);
    char* text = length >= 0 ? static_cast<char*>(malloc(static_cast<size_t>(length) + 1)) : nullptr;
    if (text != nullptr) {
        memset(text, 0, static_cast<size_t>(length) + 1);
        va_start(args, format);
        _vsnprintf(text, static_cast<size_t>(length), format, args);
        va_end(args);
    }
    // Without the message the line still ends, so the next one starts on a line of its own.
    WriteLine(file, text);
    free(text);
    fclose(file);
    if (++g_writeCount >= kLogLinesPerSizeCheck) {
        g_writeCount = 0;
        CheckRotationLocked();
    }
    LeaveCriticalSection(&m_lock);
}

void CLog::WriteStressLog(const char* format, ...)
{
    EnterCriticalSection(&m_lock);
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILE* file = fopen(m_stressLogPath.c_str(), "a+");
    if (file != nullptr) {
        WritePrefix(file, now);
        char text[kStressLogMessageSize] = {};
        va_list args;
        va_start(args, format);
        // A longer message is cut to the buffer, never written past it.
        _vsnprintf_s(text, sizeof(text), _TRUNCATE, format, args);
        va_end(args);
        WriteLine(file, text);
        fclose(file);
    }
    LeaveCriticalSection(&m_lock);
}

void CLog::CheckRotation()
{
    EnterCriticalSection(&m_lock);
    CheckRotationLocked();
    LeaveCriticalSection(&m_lock);
}

void CLog::CheckRotationLocked()
{
    FILE* file = fopen(m_mainLogPath.c_str(), "a+");
    if (file == nullptr)
        return;
    long long size = _filelengthi64(_fileno(file));
    fclose(file);
    if (size <= kLogRotateSize)
        return;
    if (GetFileAttributesA(m_backupLogPath.c_str()) != INVALID_FILE_ATTRIBUTES)
        remove(m_backupLogPath.c_str());
    rename(m_mainLogPath.c_str(), m_backupLogPath.c_str());
}
