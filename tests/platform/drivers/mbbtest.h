// The mobile-broadband test driver (MbbTest) and its tests: its names, its settings and the test service
// whose commands script its answers. The driver traces as "cb <callback> <arguments>".
#pragma once

#include "sim/mbim/mbim.h"

#define MBBTEST_SERVICE u"MbbTest"
#define MBBTEST_HARDWARE_ID u"TEST\\MBBDEV"
#define MBBTEST_INSTANCE u"TEST\\MBBDEV\\0"

// DWORD settings under the service's Parameters key, read at device add (0 when absent).
#define MBBTEST_SKIP_MBB u"SkipMbb"          // binds to no class extension: a plain framework device
#define MBBTEST_FRAGMENT u"MaxFragment"      // the MaximumFragmentSize it sets (0: 2048)
#define MBBTEST_IDLE_MS u"IdleMs"            // an S0 idle time-out
#define MBBTEST_HOLD_RECEIVES u"HoldReceives" // receive requests are never completed
#define MBBTEST_OVERRUN u"Overrun"           // a receive claims the whole answer even when it does not fit
#define MBBTEST_FAIL_SENDS u"FailSends"      // the first N sends complete with STATUS_UNSUCCESSFUL
#define MBBTEST_SKIP_ADAPTER_INIT u"SkipAdapterInit" // adapters are started without MbbAdapterInitialize

// Commands of the test service; any other command is answered with its own payload, status 0.
inline constexpr sim::mbim::Uuid kMbbTestService =
    sim::mbim::Uuid::FromFields(0x5D1A7C42, 0x2B9E, 0x4F03, {0x9A, 0x61, 0x0C, 0x7E, 0x44, 0xB2, 0x18, 0xD5});
inline constexpr uint32_t kMbbTestIndicate = 1; // answered, then an indication of the test service carries the payload
inline constexpr uint32_t kMbbTestStray = 2;    // a COMMAND_DONE for the id + 100 first, then the answer
inline constexpr uint32_t kMbbTestSilent = 3;   // never answered
inline constexpr uint32_t kMbbTestRefuse = 4;   // answered with FUNCTION_ERROR
