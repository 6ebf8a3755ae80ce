// vrrun: runs a compiled program from the command line (see tools/Runner.h).
#include <cstdio>
#include <string>

#include "platform/Files.h"
#include "tools/CommandLineApplication.h"
#include "tools/Runner.h"

int main(int argc, char** argv) {
    // One program, then the process ends: nothing to share stat results with.
    vorn::platform::SetStatSharing(false);
    std::string messages;
    int32_t status;
    {
        vorn::DescriptorOutput output(1, 8192);
        status = vorn::RunnerMain(argc, argv, &output, &messages);
    }
    if (!messages.empty()) std::fputs(messages.c_str(), stderr);
    return status;
}
