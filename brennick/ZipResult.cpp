#include "ZipResult.h"

#include <cstring>

namespace
{

struct ResultText {
    ZipResult code;
    const char* text;
};

constexpr ResultText kResultTexts[] = {
    {ZipResult::Success, "Success"},
    {ZipResult::HandleNotDuplicated, "Culdn't duplicate handle"},
    {ZipResult::CannotOpenFile, "Couldn't create/open file"},
    {ZipResult::OutOfMemory, "Failed to allocate memory"},
    {ZipResult::WriteFailed, "Error writing to file"},
    {ZipResult::EntryNotFound, "File not found in the zipfile"},
    {ZipResult::MoreData, "Still more data to unzip"},
    {ZipResult::CorruptArchive, "Zipfile is corrupt or not a zipfile"},
    {ZipResult::ReadFailed, "Error reading file"},
    {ZipResult::PasswordRequired, "Correct password required"},
    {ZipResult::BadArguments, "Caller: faulty arguments"},
    {ZipResult::NotMemoryArchive, "Caller: can only get memory of a memory zipfile"},
    {ZipResult::MemoryTooSmall, "Caller: not enough space allocated for memory zipfile"},
    {ZipResult::PreviousError, "Caller: there was a previous error"},
    {ZipResult::AdditionsEnded, "Caller: additions to the zip have already been ended"},
    {ZipResult::SizeMismatch, "Zip-bug: the anticipated size turned out wrong"},
    {ZipResult::PartiallyExtracted, "Caller: the file had already been partially unzipped"},
    {ZipResult::WrongHandleKind, "Caller: mixing creation and opening of zip"},
    {ZipResult::NotInitialised, "Zip-bug: internal initialisation not completed"},
    {ZipResult::NotSeekable, "Zip-bug: trying to seek the unseekable"},
    {ZipResult::CannotChangeMind, "Zip-bug: tried to change mind, but not allowed"},
    {ZipResult::DeflateFailed, "Zip-bug: an internal error during flation"},
};

} // namespace

DWORD FormatZipResultText(uint32_t code, ZipResult lastResult, bool withPassword, char* buffer, DWORD size)
{
    if (code == kZipLastResult)
        code = static_cast<uint32_t>(lastResult);
    const char* text = "unknown zip result code";
    for (const ResultText& entry : kResultTexts) {
        if (static_cast<uint32_t>(entry.code) == code &&
            (withPassword || entry.code != ZipResult::PasswordRequired))
            text = entry.text;
    }
    size_t length = strlen(text);
    if (buffer != nullptr && size > 0) {
        size_t copied = length < size - 1 ? length : size - 1;
        memcpy(buffer, text, copied);
        buffer[copied] = '\0';
    }
    return static_cast<DWORD>(length);
}
