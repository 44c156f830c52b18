// Where the descriptor corpus lives and how its files read.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace vyhid::descriptor {

// tests/data/descriptors, or the folder VYHID_HID_CORPUS names.
inline std::filesystem::path CorpusDir() {
  if (const char* dir = std::getenv("VYHID_HID_CORPUS")) return dir;
  return VYHID_HID_CORPUS_DIR;
}

// A file of hex bytes separated by white space; empty when it is missing.
inline std::vector<std::uint8_t> ReadHex(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::uint8_t> bytes;
  std::string word;
  while (in >> word) bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
  return bytes;
}

}  // namespace vyhid::descriptor
