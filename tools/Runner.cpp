#include "tools/Runner.h"

#include <cstring>

#include "host/base/ProductVersion.h"
#include "tools/CommandLineApplication.h"

namespace vorn {

namespace {

constexpr char kUsage[] = "usage: vrrun [-c name=value]... [-s DIR] [-d DIR] [-l LIBRARY]...\n"
                          "             [-m METHOD=LIBRARY]... [-y NAME=LIBRARY]... [-t TYPE=LIBRARY]...\n"
                          "             FILE.vrc\n"
                          "       vrrun --version\n"
                          "  -c name=value  set a configuration item by its registry value name\n"
                          "                 (or its member name, as lock_hostname, when it has none);\n"
                          "                 a number is decimal or 0x hexadecimal (-c loglevel=0x30000000)\n"
                          "  -s DIR         script directory (default: the program's directory)\n"
                          "  -d DIR         data directory (default: the working directory)\n"
                          "  -l LIBRARY     register a built-in function library\n"
                          "  -m METHOD=LIBRARY  register a commerce library for a method\n"
                          "  -y NAME=LIBRARY    register a system library under a name\n"
                          "  -t TYPE=LIBRARY    register a database library for a database type\n";

int32_t Usage(std::string* messages, const std::string& problem) {
    if (messages) {
        if (!problem.empty()) *messages += "vrrun: " + problem + "\n";
        *messages += kUsage;
    }
    return kRunNotLoaded;
}

// "name=path" into its two parts; false when either is missing.
bool SplitAssignment(const char* text, std::string* name, std::string* path) {
    const char* equals = std::strchr(text, '=');
    if (!equals || equals == text || !equals[1]) return false;
    name->assign(text, static_cast<size_t>(equals - text));
    path->assign(equals + 1);
    return true;
}

} // namespace

int32_t RunnerMain(int argc, const char* const* argv, Output* output, std::string* messages) {
    CommandLineApplication application(output);
    const char* program = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) return Usage(messages, "");
        if (std::strcmp(arg, "--version") == 0) {
            std::string banner = std::string("vrrun: ") + kProductName + " " + kProductVersion + "\n";
            if (output) output->Write(banner.data(), static_cast<int32_t>(banner.size()));
            return 0;
        }
        bool takesValue = std::strcmp(arg, "-c") == 0 || std::strcmp(arg, "-s") == 0 ||
                          std::strcmp(arg, "-d") == 0 || std::strcmp(arg, "-l") == 0 ||
                          std::strcmp(arg, "-m") == 0 || std::strcmp(arg, "-y") == 0 ||
                          std::strcmp(arg, "-t") == 0;
        if (takesValue) {
            if (i + 1 >= argc) return Usage(messages, std::string("option ") + arg + " needs a value");
            const char* value = argv[++i];
            switch (arg[1]) {
            case 'c': {
                String error;
                if (!application.SetOption(value, &error)) return Usage(messages, error.Text());
                break;
            }
            case 's':
                application.SetScriptDirectory(value);
                break;
            case 'd':
                application.SetDataDirectory(value);
                break;
            case 'm':
            case 'y':
            case 't': {
                std::string name, path;
                if (!SplitAssignment(value, &name, &path))
                    return Usage(messages, std::string("option ") + arg + " needs NAME=LIBRARY");
                if (arg[1] == 'm')
                    application.AddCommerceLibrary(name.c_str(), path.c_str());
                else if (arg[1] == 't')
                    application.AddDatabaseLibrary(name.c_str(), path.c_str());
                else
                    application.AddSystemLibrary(name.c_str(), path.c_str());
                break;
            }
            default:
                application.AddLibrary(value);
                break;
            }
            continue;
        }
        if (arg[0] == '-' && arg[1]) return Usage(messages, std::string("unknown option ") + arg);
        if (program) return Usage(messages, "only one program can be run");
        program = arg;
    }
    if (!program) return Usage(messages, "no program given");

    String error;
    int32_t status = application.Run(program, &error);
    if (status == kRunNotLoaded && messages) *messages += std::string("vrrun: ") + error.Text() + "\n";
    return status;
}

} // namespace vorn
