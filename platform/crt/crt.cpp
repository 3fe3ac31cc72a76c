// The Windows C runtime's process-wide state. (Filled in with the C runtime's functions.)
#include <cerrno>
