// Golden hashes of decoded pictures: a file of "NAME WIDTHxHEIGHT:HASH"
// lines. Used by the stream tests only.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace zentrafold::test {

// Compares `actual` with the golden hashes in `file`, every name both ways.
// With ZENTRAFOLD_UPDATE_HASHES set in the environment it rewrites the file
// instead (after a deliberate change of output) and returns true: the
// caller then skips.
inline bool CompareOrUpdateHashes(const std::filesystem::path& file,
                                  const std::map<std::string, std::string>& actual) {
  if (std::getenv("ZENTRAFOLD_UPDATE_HASHES") != nullptr) {
    std::ofstream out(file);
    for (const auto& [name, hash] : actual) out << name << ' ' << hash << '\n';
    return true;
  }
  std::map<std::string, std::string> golden;
  std::ifstream in(file);
  std::string name, hash;
  while (in >> name >> hash) golden[name] = hash;
  for (const auto& [picture, value] : actual) {
    const auto it = golden.find(picture);
    if (it == golden.end()) {
      ADD_FAILURE() << picture << " has no golden hash";
      continue;
    }
    EXPECT_EQ(value, it->second) << picture;
  }
  EXPECT_EQ(actual.size(), golden.size());
  return false;
}

}  // namespace zentrafold::test
