#include "SqlFuzz.h"

#include "SqlTestSupport.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <sstream>

using namespace vorn;

namespace sqltest {

void FuzzParse(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return;
    SQLCodeGenerator generator(nullptr);
    SQLParser parser(generator);
    const char* text = reinterpret_cast<const char*>(data);
    parser.StartText(text, static_cast<int32_t>(size));
    while (parser.Scan() != -1) {
    }
    parser.Parse(text, static_cast<int32_t>(size));
}

std::string FuzzGenerate(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return "";
    SQLCodeGenerator generator(&StandardCatalog());
    SQLParser parser(generator);
    if (!parser.Parse(reinterpret_cast<const char*>(data), static_cast<int32_t>(size)) || !generator.Generate())
        return "";
    std::string fault = CheckProgram(generator.Instructions(), generator.InstructionCount(), generator.ParameterCount());
    return fault == "too many states" ? "" : fault;
}

std::vector<std::string> FuzzSeeds() {
    std::vector<std::string> seeds;
    std::string folder = VORN_SQL_CORPUS;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream in(folder + "/" + entry->d_name, std::ios::binary);
            std::stringstream text;
            text << in.rdbuf();
            seeds.push_back(text.str());
        }
        closedir(dir);
    }
    std::sort(seeds.begin(), seeds.end()); // directory order is not fixed
    return seeds;
}

} // namespace sqltest
