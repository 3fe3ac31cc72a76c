// GoogleTest main for every test of the package: the emulated host runs in virtual time, the main
// thread is registered with its clock, and verifier reports fail the test that caused them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <host/host.h>

#include "host_test.h"

int main(int argc, char** argv)
{
    testing::InitGoogleMock(&argc, argv);
    hosttest::InstallReportHandler();
    host::Start(host::Config{});
    int result = RUN_ALL_TESTS();
    host::Shutdown();
    return result;
}
