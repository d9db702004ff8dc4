// qortestmain.cpp: the main() of every test program. A build for another
// architecture runs its tests under a user-mode emulator; the death tests'
// children are started through that emulator too, so that they do not
// depend on the kernel knowing how to execute a foreign binary.
#include <string>
#include <vector>
#include "gtest/gtest.h"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
#ifdef DXQOR_TEST_EMULATOR
    // The threadsafe death-test style re-executes this program with
    // execv(): name the emulator first and the program as its argument.
    std::vector<std::string> args = testing::internal::GetArgvs();
    args.insert(args.begin(), DXQOR_TEST_EMULATOR);
    testing::internal::SetInjectableArgvs(args);
#endif
    return RUN_ALL_TESTS();
}
