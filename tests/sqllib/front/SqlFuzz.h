// The fuzzing entries, shared by the libFuzzer programs (tests/sqllib/front/fuzz,
// built with VORN_FUZZ) and the replay test that runs under ASan in CTest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sqltest {

// Scans every token of the bytes, then parses them.
void FuzzParse(const uint8_t* data, size_t size);
// Parses and generates over StandardCatalog(); returns the checker's fault for
// a generated program ("" when sound, or when it has too many paths to follow).
std::string FuzzGenerate(const uint8_t* data, size_t size);
// The seed statements of tests/sqllib/front/fuzz/corpus.
std::vector<std::string> FuzzSeeds();

} // namespace sqltest
