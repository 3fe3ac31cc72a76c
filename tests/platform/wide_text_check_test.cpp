// The deliverables are Windows code on a host whose wchar_t is 32 bits: their wide text is char16_t and
// the platform's 16-bit functions. This scan fails on any 32-bit wide construct in their sources (outside
// comments and string literals) and names each by file:line.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Identifiers that only exist for wchar_t text: the type, the C++ wide strings and streams, and the C
// library's wide functions the platform does not supply on char16_t.
constexpr std::string_view kBannedIdentifiers[] = {
    "wchar_t",    "wstring",       "wstring_view",   "wstringstream", "wostringstream", "wistringstream",
    "wcout",      "wcerr",         "wclog",          "wcin",          "wostream",       "wistream",
    "wofstream",  "wifstream",     "wfstream",       "to_wstring",    "wregex",         "wprintf",
    "fwprintf",   "swprintf",      "vwprintf",       "vfwprintf",     "vswprintf",      "wscanf",
    "fwscanf",    "swscanf",       "wcstombs",       "mbstowcs",      "wcrtomb",        "mbrtowc",
    "wctomb",     "mbtowc",        "wcstod",         "wcstoll",       "wcstoull",       "wcsftime",
    "wcscoll",    "wcsxfrm",       "wcsdup",         "wcstok",        "fputws",         "putwchar",
    "getwchar",   "fgetwc",        "fputwc",         "towupper",      "towlower",       "iswalpha",
    "iswdigit",   "iswspace",      "wint_t",         "wctype_t",      "codecvt",        "wstring_convert",
};

constexpr std::string_view kBannedHeaders[] = {"<wchar.h>", "<cwchar>", "<wctype.h>", "<cwctype>", "<codecvt>"};

struct Finding {
    int line;
    std::string what;
};

bool IdentifierChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Scans one source text. Comments and the contents of string and character literals are skipped; an `L`
// or `LR` prefix on a literal is a finding of its own.
std::vector<Finding> Scan(std::string_view text)
{
    std::vector<Finding> findings;
    int line = 1;
    bool lineStart = true; // only whitespace so far on this line
    std::string directive; // the text of a preprocessor line, gathered to look at its header
    bool inDirective = false;
    auto finish = [&] {
        if (inDirective)
            for (std::string_view header : kBannedHeaders)
                if (directive.find(header) != std::string::npos)
                    findings.push_back({line, "#include " + std::string(header)});
        inDirective = false;
        directive.clear();
    };
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '\n') {
            if (!(inDirective && !directive.empty() && directive.back() == '\\'))
                finish();
            line++;
            lineStart = true;
            i++;
            continue;
        }
        if (text.substr(i, 2) == "//") {
            i = text.find('\n', i);
            if (i == std::string_view::npos)
                break;
            continue;
        }
        if (text.substr(i, 2) == "/*") {
            size_t end = text.find("*/", i + 2);
            end = end == std::string_view::npos ? text.size() : end + 2;
            line += static_cast<int>(std::count(text.begin() + i, text.begin() + end, '\n'));
            i = end;
            continue;
        }
        if (lineStart && c == '#')
            inDirective = true;
        if (!std::isspace(static_cast<unsigned char>(c)))
            lineStart = false;
        if (inDirective)
            directive += c;
        if (IdentifierChar(c) && !std::isdigit(static_cast<unsigned char>(c))) {
            size_t start = i;
            while (i < text.size() && IdentifierChar(text[i]))
                i++;
            std::string_view word = text.substr(start, i - start);
            if (inDirective)
                directive.append(word.substr(1));
            bool literal = i < text.size() && (text[i] == '"' || text[i] == '\'');
            if (literal && (word == "L" || word == "LR"))
                findings.push_back({line, std::string(word) + text[i]});
            else if (!literal && std::find(std::begin(kBannedIdentifiers), std::end(kBannedIdentifiers), word) !=
                                     std::end(kBannedIdentifiers))
                findings.push_back({line, std::string(word)});
            if (literal && !word.empty() && word.back() == 'R' && text[i] == '"') {
                // A raw string runs to )delimiter".
                size_t open = text.find('(', i);
                std::string close = ")" + std::string(text.substr(i + 1, open - i - 1)) + "\"";
                size_t end = text.find(close, open);
                end = end == std::string_view::npos ? text.size() : end + close.size();
                line += static_cast<int>(std::count(text.begin() + i, text.begin() + end, '\n'));
                i = end;
            }
            continue;
        }
        if (c == '"' || c == '\'') {
            size_t j = i + 1;
            while (j < text.size() && text[j] != c && text[j] != '\n')
                j += text[j] == '\\' ? 2 : 1;
            i = std::min(j + 1, text.size());
            continue;
        }
        i++;
    }
    finish();
    return findings;
}

TEST(WideTextCheck, FindsThirtyTwoBitWideConstructsOnly)
{
    struct Case {
        const char* source;
        std::vector<std::string> found; // as "line:what"
    };
    const Case cases[] = {
        {"const wchar_t* p = L\"x\";\nchar c = L'y';", {"1:wchar_t", "1:L\"", "2:L'"}},
        {"auto r = LR\"(a\nb)\"; std::wstring s;", {"1:LR\"", "2:wstring"}},
        {"#include <cwchar>\n#include <wchar.h>\n#include \"wchar.h\"", {"1:#include <cwchar>", "2:#include <wchar.h>"}},
        {"swprintf(buffer, 4, fmt); wcslen(u\"ok\"); swprintf_s(b, u\"%d\", 1);", {"1:swprintf"}},
        // Comments, literals and longer identifiers are not findings.
        {"// wchar_t L\"x\"\n/* std::wstring\n wprintf */ int wchar_type;", {}},
        {"const char* s = \"wchar_t L\\\"x\\\" \"; auto raw = R\"(wchar_t)\"; CALL(\"x\");", {}},
        {"#define MESSAGE \"no wchar_t here\"", {}},
        {"char16_t t[] = u\"wide\"; auto c = u'w'; auto u8 = u8\"x\";", {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> found;
        for (const Finding& f : Scan(c.source))
            found.push_back(std::to_string(f.line) + ":" + f.what);
        EXPECT_EQ(c.found, found) << c.source;
    }
}

TEST(WideTextCheck, DeliverablesUseSixteenBitWideTextOnly)
{
    namespace fs = std::filesystem;
    const fs::path root = WWAN_SOURCE_DIR;
    std::ostringstream report;
    for (const char* area : {"common", "taluvo", "sorvanta", "ostravel", "vandrel", "quenmark", "brennick"}) {
        if (!fs::is_directory(root / area))
            continue;
        for (const auto& entry : fs::recursive_directory_iterator(root / area)) {
            const std::string extension = entry.path().extension().string();
            if (!entry.is_regular_file() ||
                !(extension == ".cpp" || extension == ".h" || extension == ".c" || extension == ".hpp" ||
                  extension == ".inl"))
                continue;
            std::ifstream file(entry.path(), std::ios::binary);
            std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            for (const Finding& f : Scan(text))
                report << fs::relative(entry.path(), root).string() << ":" << f.line << ": " << f.what << "\n";
        }
    }
    EXPECT_EQ("", report.str()) << "32-bit wide text in the deliverables (use char16_t, u\"...\" and the "
                                   "platform's 16-bit functions)";
}

} // namespace
