// The recorder's command line.
#pragma once

#include <string>
#include <vector>

namespace mivo {

struct CommandLine {
  enum class Action { Run, Help, Version, Command, Error };
  Action action = Action::Run;
  std::string configPath;  // --config FILE; empty: the default place
  std::string command;     // --command NAME
  std::string inputFile;   // --input-file PATH: a WAV played as the input
  bool demo = false;       // --demo: the built-in demo signal as the input
  std::string error;       // for Action::Error
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);

std::string UsageText();
std::string VersionText();

}  // namespace mivo
