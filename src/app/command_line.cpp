#include "app/command_line.h"

#include <array>
#include <string_view>

#include "app/window_link.h"

namespace mivo {
namespace {

constexpr std::array<std::string_view, 7> kCommands = {"rec", "stop", "skip", "status", "timer", "quit", "answer"};

CommandLine Fail(std::string message) {
  CommandLine cl;
  cl.action = CommandLine::Action::Error;
  cl.error = std::move(message);
  return cl;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string_view name, std::string& out) -> bool {
      // "--name VALUE" or "--name=VALUE"
      const std::string prefix = std::string(name) + "=";
      if (arg.rfind(prefix, 0) == 0) {
        out = arg.substr(prefix.size());
        return true;
      }
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    auto is = [&](std::string_view name) {
      return arg == name || arg.rfind(std::string(name) + "=", 0) == 0;
    };
    if (arg == "--help" || arg == "-h") {
      if (cl.action != CommandLine::Action::Command) cl.action = CommandLine::Action::Help;
    } else if (arg == "--version") {
      if (cl.action == CommandLine::Action::Run) cl.action = CommandLine::Action::Version;
    } else if (is("--config")) {
      if (!value("--config", cl.configPath) || cl.configPath.empty()) {
        return Fail("option '--config' needs a settings file");
      }
    } else if (is("--input-file")) {
      if (!value("--input-file", cl.inputFile) || cl.inputFile.empty()) {
        return Fail("option '--input-file' needs a WAV file");
      }
    } else if (arg == "--demo") {
      cl.demo = true;
    } else if (is("--command")) {
      if (!value("--command", cl.command)) {
        return Fail("option '--command' needs rec, stop, skip, status, timer, quit or answer");
      }
      bool known = false;
      for (auto c : kCommands) known = known || cl.command == c;
      if (!known) return Fail("unknown command '" + cl.command + "' (rec, stop, skip, status, timer, quit or answer)");
      if (cl.command == "answer") {
        // The answer to the open box: the next argument.
        if (i + 1 >= args.size() || !AnswerOfWord(args[i + 1])) {
          return Fail(std::string("'--command answer' needs ") + kAnswerWords);
        }
        cl.command += " " + args[++i];
      }
      cl.action = CommandLine::Action::Command;
    } else if (!arg.empty() && arg[0] == '-') {
      return Fail("unknown option '" + arg + "'");
    } else {
      return Fail("unexpected argument '" + arg + "'");
    }
  }
  if (cl.demo && !cl.inputFile.empty()) return Fail("options '--demo' and '--input-file' exclude each other");
  return cl;
}

std::string UsageText() {
  return "Usage: mivo [--config FILE] [--input-file WAV | --demo]\n"
         "       mivo [--config FILE] --command rec|stop|skip|status|timer|quit\n"
         "       mivo [--config FILE] --command answer ok|cancel|yes|no|abort|retry|ignore\n"
         "\n"
         "Records a sound input into numbered WAV tracks and converts each\n"
         "finished track while the next one records.\n"
         "\n"
         "Options:\n"
         "  --config FILE      use FILE as the settings file instead of mivo.ini\n"
         "                     beside the program (or $XDG_CONFIG_HOME/mivo/mivo.ini)\n"
         "  --input-file WAV   record from WAV instead of a sound card: it is played\n"
         "                     at real-time pace, then silence, as the preferred\n"
         "                     input device (16-bit stereo PCM at the capture rate)\n"
         "  --demo             record the built-in demo signal (a melody) for this run\n"
         "  --command NAME     hand a command to the recorder running with the same\n"
         "                     settings file: rec, stop, skip (as the buttons do),\n"
         "                     status (status text, track file, tracks waiting,\n"
         "                     recording flag, and the timer's note while one is\n"
         "                     armed or recording; one per line; then any message\n"
         "                     box or dialog that is open, with the words that\n"
         "                     answer it), timer (the timer's state: off, armed,\n"
         "                     recording or finished; its start; its end), quit\n"
         "                     (close request), answer WORD (answers the open box\n"
         "                     as its button WORD would)\n"
         "  --help             show this help and exit\n"
         "  --version          show the version and exit\n";
}

std::string VersionText() { return "Mivo Version 0.70\n"; }

}  // namespace mivo
