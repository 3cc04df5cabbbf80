// Running a command for its output, and ffprobe's fields of a file.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace mivo::testing {

// The command's standard output (its errors too when it redirects them).
inline std::string Shell(const std::string& command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) return out;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0) out.append(buffer, n);
  return out;
}

// ffprobe's key=value lines for `entries` (e.g. "stream=codec_name" or
// "format=duration"), of the first audio stream unless `select` says other.
// A key that comes more than once (one per frame, say) keeps its first value.
inline std::map<std::string, std::string> ProbeFields(const std::string& path, const std::string& entries,
                                                      const std::string& select = "-select_streams a:0") {
  const std::string text = Shell("ffprobe -v error " + select + " -show_entries " + entries +
                                 " -of default=noprint_wrappers=1 '" + path + "' 2>&1");
  std::map<std::string, std::string> fields;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) fields.emplace(line.substr(0, eq), line.substr(eq + 1));
  }
  return fields;
}

}  // namespace mivo::testing
