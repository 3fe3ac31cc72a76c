// The service's text log beside its executable: "Brennick.log", rotated by size to "BrennickBackup.log",
// and a stress log named after the time the logger was built. One process-wide logger serves every
// thread; each line opens, writes and closes its file under the logger's lock.
#pragma once

#include <windows.h>

#include <string>

// Lines above this level are dropped.
constexpr int kLogMaxLevel = 5;
// The main log is moved to the backup once it is larger than this.
constexpr long long kLogRotateSize = 0xA00000;
// Written lines between two size checks of the main log.
constexpr unsigned long long kLogLinesPerSizeCheck = 6;
// The stress log's message buffer; longer messages are cut.
constexpr size_t kStressLogMessageSize = 4096;

class CLog final
{
  public:
    // The logger, built on first use, with a reference taken for the caller.
    static CLog* GetInstance();

    virtual LONG AddRef();
    // printf-style message, one line in the main log; written when level <= kLogMaxLevel.
    virtual void WriteLog(int level, const char* format, ...);
    virtual void WriteStressLog(const char* format, ...);
    // Frees the logger when the count reaches 0.
    virtual LONG Release();

    // The size check that WriteLog runs on every sixth written line.
    void CheckRotation();

  private:
    CLog();
    ~CLog();
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    void CheckRotationLocked();

    CRITICAL_SECTION m_lock;
    std::string m_stressLogPath;
    std::string m_mainLogPath;
    std::string m_backupLogPath;
    LONG m_refCount;
};
