// The library's two files in its root folder (see sarnik_files.h).
#pragma once

#include <cstddef>
#include <string>

namespace sarnik {

constexpr const char kLogFile[] = "tessary.txt";
constexpr const char kDumpFile[] = "tessary.bin";

// The root folder, created when missing; "" when it cannot be used (then
// `why`, when given, says why).
std::string prepare_root(std::string* why = nullptr);

// Replaces <root>/<name> with exactly these bytes, mode 0600. The new file is
// written beside the old one and renamed over it, so a reader sees either the
// old or the complete new content, and a link planted at the name is replaced,
// never followed. false (old file untouched) on any failure or when root is "".
bool replace_file(const std::string& root, const char* name, const void* data, size_t len);

}  // namespace sarnik
