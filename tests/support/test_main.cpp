// GoogleTest main for every test of the package: the emulated host runs in virtual time, the main
// thread is registered with its clock, and verifier reports fail the test that caused them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <host/host.h>
#include <host/verifier.h>

#include <cstdio>

#include "host_test.h"

int main(int argc, char** argv)
{
    testing::InitGoogleMock(&argc, argv);
    hosttest::InstallReportHandler();
    host::Config config;
    config.verifier = true; // every test runs under the verifier: a build that turns it off is refused
    host::Start(config);
    if (!host::VerifierEnabled()) {
        fprintf(stderr, "tests refuse to run with the host's verifier off\n");
        return 1;
    }
    int result = RUN_ALL_TESTS();
    host::Shutdown();
    return result;
}
