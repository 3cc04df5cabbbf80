#include <gtest/gtest.h>

#include "app/command_line.h"

namespace mivo {
namespace {

CommandLine Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "mivo");
  return ParseCommandLine(args);
}

TEST(CommandLine, OptionsAndTheirErrors) {
  EXPECT_EQ(Parse({}).action, CommandLine::Action::Run);
  EXPECT_EQ(Parse({"--help"}).action, CommandLine::Action::Help);
  EXPECT_EQ(Parse({"--version"}).action, CommandLine::Action::Version);

  CommandLine cl = Parse({"--config", "/tmp/a b.ini"});
  EXPECT_EQ(cl.action, CommandLine::Action::Run);
  EXPECT_EQ(cl.configPath, "/tmp/a b.ini");
  EXPECT_EQ(Parse({"--config=x.ini"}).configPath, "x.ini");

  cl = Parse({"--command", "status", "--config", "x.ini"});
  EXPECT_EQ(cl.action, CommandLine::Action::Command);
  EXPECT_EQ(cl.command, "status");
  EXPECT_EQ(cl.configPath, "x.ini");

  cl = Parse({"--input-file", "/tmp/side a.wav", "--config", "x.ini"});
  EXPECT_EQ(cl.action, CommandLine::Action::Run);
  EXPECT_EQ(cl.inputFile, "/tmp/side a.wav");
  EXPECT_EQ(Parse({"--input-file=b.wav"}).inputFile, "b.wav");
  EXPECT_NE(UsageText().find("--input-file WAV"), std::string::npos);
  EXPECT_FALSE(cl.demo);
  EXPECT_TRUE(Parse({"--demo"}).demo);
  EXPECT_NE(UsageText().find("--demo"), std::string::npos);

  for (auto bad : std::vector<std::vector<std::string>>{{"--frobnicate"},
                                                        {"-x"},
                                                        {"stray"},
                                                        {"--config"},
                                                        {"--config="},
                                                        {"--command"},
                                                        {"--command", "play"},
                                                        {"--input-file"},
                                                        {"--input-file="},
                                                        {"--demo", "--input-file", "a.wav"},
                                                        {"--demo=1"}}) {
    cl = Parse(bad);
    EXPECT_EQ(cl.action, CommandLine::Action::Error) << bad[0];
    EXPECT_FALSE(cl.error.empty());
  }
  EXPECT_NE(Parse({"--frobnicate"}).error.find("--frobnicate"), std::string::npos);
}

}  // namespace
}  // namespace mivo
