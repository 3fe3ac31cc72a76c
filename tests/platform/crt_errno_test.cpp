// The runtime's invalid-parameter handler and its error texts.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "crt_handler.h"
#include "host_test.h"

namespace {

struct HandlerCall {
    const char16_t* expression;
    std::u16string function;
    const char16_t* file;
    unsigned line;
    int errnoDuringCall;
};
HandlerCall g_call;

void Handler(const char16_t* expression, const char16_t* function, const char16_t* file, unsigned line, uintptr_t)
{
    g_call = {expression, function, file, line, errno};
}

TEST(CrtErrno, TheHandlerRunsBeforeTheFunctionReturnsItsError)
{
    _invalid_parameter_handler before = _get_invalid_parameter_handler();
    EXPECT_EQ(before, _set_invalid_parameter_handler(&Handler));
    EXPECT_EQ(&Handler, _get_invalid_parameter_handler());
    errno = 0;
    char dest[2];
    EXPECT_EQ(ERANGE, strcpy_s(dest, "abc"));
    EXPECT_EQ(ERANGE, errno);
    EXPECT_EQ(u"strcpy_s", g_call.function);
    EXPECT_EQ(nullptr, g_call.expression); // as a release runtime passes them
    EXPECT_EQ(nullptr, g_call.file);
    EXPECT_EQ(0u, g_call.line);
    EXPECT_EQ(0, g_call.errnoDuringCall); // errno is set after the handler returns
    EXPECT_EQ(&Handler, _set_invalid_parameter_handler(before));
}

TEST(CrtErrno, WithoutAHandlerTheVerifierReportsAndTheFunctionStillReturns)
{
    hosttest::ExpectReport expect(host::Check::InvalidParameter);
    char dest[2];
    EXPECT_EQ(-1, sprintf_s(dest, "%d", 100));
    EXPECT_STREQ("", dest);
    EXPECT_EQ(ERANGE, errno);
    EXPECT_EQ(1, expect.Count());
}

TEST(CrtErrno, ErrorTexts)
{
    struct Case {
        int number;
        const char* text;
    };
    const Case cases[] = {
        {0, "No error"},
        {ENOENT, "No such file or directory"},
        {EINVAL, "Invalid argument"},
        {ERANGE, "Result too large"},
        {STRUNCATE, "Unknown error"},
        {-1, "Unknown error"},
    };
    for (const Case& c : cases) {
        char text[64];
        EXPECT_EQ(0, strerror_s(text, sizeof(text), c.number));
        EXPECT_STREQ(c.text, text);
    }
    char small[8];
    EXPECT_EQ(0, strerror_s(small, sizeof(small), EACCES)); // cut to fit
    EXPECT_STREQ("Permiss", small);

    crttest::InvalidParameterLog log;
    EXPECT_EQ(EINVAL, strerror_s(nullptr, 8, 1));
    EXPECT_EQ(std::vector<std::u16string>{u"strerror_s"}, log.Take());
}

} // namespace
