// What the C runtime's tests share: recording the invalid-parameter calls a test makes.
#pragma once

#include <stdlib.h>

#include <string>
#include <vector>

namespace crttest {

// While alive, the runtime's invalid parameters are recorded (by function name) instead of reported.
class InvalidParameterLog {
public:
    InvalidParameterLog() : previous_(_set_invalid_parameter_handler(&Record)) { Calls().clear(); }
    ~InvalidParameterLog() { _set_invalid_parameter_handler(previous_); }
    InvalidParameterLog(const InvalidParameterLog&) = delete;
    InvalidParameterLog& operator=(const InvalidParameterLog&) = delete;

    // Returns the calls recorded since the last Take.
    std::vector<std::u16string> Take()
    {
        std::vector<std::u16string> taken;
        taken.swap(Calls());
        return taken;
    }

private:
    static std::vector<std::u16string>& Calls()
    {
        static std::vector<std::u16string> calls;
        return calls;
    }

    static void Record(const char16_t*, const char16_t* function, const char16_t*, unsigned, uintptr_t)
    {
        Calls().push_back(function != nullptr ? function : u"");
    }

    _invalid_parameter_handler previous_;
};

} // namespace crttest
