// Whole files as bytes, for tests that compare or prepare settings files and installed files.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace support {

inline std::string ReadBytes(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Replaces the file's contents, creating its folder first.
inline void WriteBytes(const std::filesystem::path &file, const std::string &bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

} // namespace support
