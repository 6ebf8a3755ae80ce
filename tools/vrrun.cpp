// vrrun: runs a compiled program from the command line (see tools/Runner.h).
#include <cstdio>
#include <string>

#include "tools/CommandLineApplication.h"
#include "tools/Runner.h"

int main(int argc, char** argv) {
    std::string messages;
    int32_t status;
    {
        vorn::DescriptorOutput output(1, 8192);
        status = vorn::RunnerMain(argc, argv, &output, &messages);
    }
    if (!messages.empty()) std::fputs(messages.c_str(), stderr);
    return status;
}
