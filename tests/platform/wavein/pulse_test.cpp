// PulseAudio beyond the contract: the server's order and default source, a
// source that vanishes, a server that dies and comes back, a server that is
// slow to answer or never does.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "backend_envs.h"
#include "platform/process/unique_fd.h"
#include "platform/wavein/demo_signal.h"
#include "platform/wavein/wavein.h"
#include "wavein_test_support.h"

namespace mivo::platform {
namespace {

using namespace std::chrono_literals;
using namespace test_support;

const std::string kOtherSink =
    "module-null-sink sink_name=othersink sink_properties=device.description=OtherSink";

class PulseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = m_env.SetUp();
    if (m_env.Skipped()) GTEST_SKIP() << why;
    ASSERT_TRUE(why.empty()) << why;
    std::string error;
    m_wave = CreateSystemWaveIn({}, &error);
    ASSERT_TRUE(m_wave) << error;
  }
  bool LoadOtherSink() {
    std::vector<std::string> args{"load-module"};
    std::size_t at = 0;
    while (at != std::string::npos) {
      const std::size_t sp = kOtherSink.find(' ', at);
      args.push_back(kOtherSink.substr(at, sp == std::string::npos ? sp : sp - at));
      at = sp == std::string::npos ? sp : sp + 1;
    }
    return m_env.Daemon().Pactl(args);
  }
  std::vector<std::string> Names() { return NamesOf(*m_wave); }
  static std::vector<std::string> NamesOf(IWaveIn& wave) {
    std::vector<std::string> names;
    const unsigned n = wave.waveInGetNumDevs();
    for (unsigned i = 0; i < n; ++i) {
      WAVEINCAPS caps;
      wave.waveInGetDevCaps(i, &caps);
      names.push_back(caps.szPname);
    }
    return names;
  }
  std::unique_ptr<IWaveIn> WaveIn(std::chrono::milliseconds serverWait, bool demo = false) {
    WaveInOptions options;
    options.serverWait = serverWait;
    options.demo = demo;
    std::string error;
    auto wave = CreateSystemWaveIn(options, &error);
    EXPECT_TRUE(wave) << error;
    return wave;
  }
  unsigned IdOf(const std::string& name) {
    const std::vector<std::string> names = Names();
    for (unsigned i = 0; i < names.size(); ++i) {
      if (names[i] == name) return i;
    }
    ADD_FAILURE() << "no device " << name;
    return 0;
  }

  PulseEnv m_env;
  std::unique_ptr<IWaveIn> m_wave;
};

TEST_F(PulseTest, ListsSourcesInServerOrderAndOpensTheDefaultOne) {
  ASSERT_TRUE(LoadOtherSink());
  EXPECT_EQ(Names(), (std::vector<std::string>{"Monitor of RecTestSink", "Monitor of OtherSink"}));
  {
    Capture cap(*m_wave);
    ASSERT_EQ(cap.Open(WAVE_MAPPER, Pcm16(kRate, 2)), MMSYSERR_NOERROR);
    EXPECT_EQ(cap.Status().deviceName, "Monitor of RecTestSink");
    EXPECT_FALSE(cap.Status().demo);
  }
  ASSERT_TRUE(m_env.Daemon().Pactl({"set-default-source", "othersink.monitor"}));
  Capture cap(*m_wave);
  ASSERT_EQ(cap.Open(WAVE_MAPPER, Pcm16(kRate, 2)), MMSYSERR_NOERROR);
  EXPECT_EQ(cap.Status().deviceName, "Monitor of OtherSink");
}

TEST_F(PulseTest, AVanishedSourceIsLostNotReplacedAndComesBack) {
  ASSERT_TRUE(LoadOtherSink());  // somewhere the stream could be moved to
  Capture cap(*m_wave);
  ASSERT_EQ(cap.Open(IdOf("Monitor of RecTestSink"), Pcm16(kRate, 2)), MMSYSERR_NOERROR);
  cap.Recirculate(true);
  cap.Queue(8, 2048);
  ASSERT_EQ(m_wave->waveInStart(cap.Handle()), MMSYSERR_NOERROR);
  ASSERT_TRUE(cap.PumpUntil([&] { return cap.DataPosts() >= 2; }, 5s));

  ASSERT_TRUE(m_env.Daemon().Pactl({"unload-module", "module-null-sink"}));
  // Both null sinks went with the module name; bring OtherSink back first,
  // so that a moved stream would have somewhere to go.
  ASSERT_TRUE(LoadOtherSink());
  ASSERT_TRUE(cap.PumpUntil([&] { return cap.Status().state == WaveInState::Lost; }, 3s));
  EXPECT_GE(cap.StatusPosts(), 1u);
  EXPECT_EQ(cap.Status().deviceName, "Monitor of RecTestSink");
  // Lost, the buffers stay queued and nothing comes back.
  cap.Pump();
  const std::size_t posts = cap.DataPosts();
  cap.PumpFor(700ms);
  EXPECT_EQ(cap.DataPosts(), posts);
  EXPECT_EQ(cap.Status().state, WaveInState::Lost);

  ASSERT_TRUE(m_env.Daemon().Pactl({"load-module", "module-null-sink", "sink_name=recsink",
                                    "sink_properties=device.description=RecTestSink"}));
  ASSERT_TRUE(cap.PumpUntil([&] { return cap.Status().state == WaveInState::Running; }, 4s));
  ASSERT_TRUE(cap.PumpUntil([&] { return cap.DataPosts() >= posts + 2; }, 5s));
  EXPECT_EQ(cap.Close(), MMSYSERR_NOERROR);
}

TEST_F(PulseTest, AServerThatDiesIsLostAndCaptureResumesWhenItIsBack) {
  Capture cap(*m_wave);
  ASSERT_EQ(cap.Open(IdOf("Monitor of RecTestSink"), Pcm16(kRate, 2)), MMSYSERR_NOERROR);
  cap.Recirculate(true);
  cap.Queue(8, 2048);
  ASSERT_EQ(m_wave->waveInStart(cap.Handle()), MMSYSERR_NOERROR);
  ASSERT_TRUE(cap.PumpUntil([&] { return cap.DataPosts() >= 2; }, 5s));

  m_env.Daemon().Kill(SIGKILL);  // a crash
  const auto killed = std::chrono::steady_clock::now();
  ASSERT_TRUE(cap.PumpUntil([&] { return cap.Status().state == WaveInState::Lost; }, 3s));
  EXPECT_LT(std::chrono::steady_clock::now() - killed, 2s);
  EXPECT_GE(cap.StatusPosts(), 1u);
  cap.PumpFor(600ms);  // a reconnection attempt or so, with no server
  const std::size_t queued = std::count_if(cap.Headers().begin(), cap.Headers().end(),
                                           [](const auto& h) { return (h->dwFlags & WHDR_INQUEUE) != 0; });
  EXPECT_EQ(queued, 8u) << "the buffers stay queued while the device is lost";

  std::string error;
  ASSERT_TRUE(m_env.Daemon().Start(&error)) << error;
  const std::size_t status = cap.StatusPosts();
  const std::size_t posts = cap.DataPosts();
  ASSERT_TRUE(cap.PumpUntil([&] { return cap.Status().state == WaveInState::Running; }, 4s));
  EXPECT_GT(cap.StatusPosts(), status);
  ASSERT_TRUE(cap.PumpUntil([&] { return cap.DataPosts() >= posts + 2; }, 5s));

  // The window thread never waited on the dead server: Stop, Reset and
  // Close return at once.
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(cap.Close(), MMSYSERR_NOERROR);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
}

TEST_F(PulseTest, OpeningWhileTheServerIsGoneFailsAtOnce) {
  const unsigned id = IdOf("Monitor of RecTestSink");
  m_env.Daemon().Kill(SIGTERM);
  Capture cap(*m_wave);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(cap.Open(id, Pcm16(kRate, 2)), MMSYSERR_NODRIVER);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
}

// A server that is there but slow, as one a login session is still starting
// (the socket is there and takes connections, nobody answers yet): the first
// look waits for it and then takes its device, not the demo signal.
TEST_F(PulseTest, ASlowServerIsWaitedForAndItsSourceTaken) {
  m_env.Daemon().Pause(true);
  auto wave = WaveIn(30s);
  ASSERT_TRUE(wave);
  std::thread resume([this] {
    std::this_thread::sleep_for(3s);
    m_env.Daemon().Pause(false);
  });
  const std::vector<std::string> names = NamesOf(*wave);
  resume.join();
  EXPECT_EQ(names, std::vector<std::string>{"Monitor of RecTestSink"});
  Capture cap(*wave);
  ASSERT_EQ(cap.Open(WAVE_MAPPER, Pcm16(kRate, 2)), MMSYSERR_NOERROR);
  EXPECT_EQ(cap.Status().deviceName, "Monitor of RecTestSink");
  EXPECT_FALSE(cap.Status().demo);
}

// Still not answering when the wait is over: no input, never the demo in its
// place; opening the preferred device again (Retry) asks the server again.
TEST_F(PulseTest, AServerThatDoesNotAnswerGivesNoDemoAndRetryAsksAgain) {
  m_env.Daemon().Pause(true);
  auto wave = WaveIn(0ms);
  ASSERT_TRUE(wave);
  EXPECT_EQ(wave->waveInGetNumDevs(), 0u);
  {
    Capture cap(*wave);
    EXPECT_EQ(cap.Open(WAVE_MAPPER, Pcm16(kRate, 2)), MMSYSERR_NODRIVER);
  }
  m_env.Daemon().Pause(false);
  Capture cap(*wave);
  ASSERT_EQ(cap.Open(WAVE_MAPPER, Pcm16(kRate, 2)), MMSYSERR_NOERROR);
  EXPECT_EQ(cap.Status().deviceName, "Monitor of RecTestSink");
}

// --demo: the demo signal is the preferred device, beside the real ones.
TEST_F(PulseTest, TheDemoAskedForIsThePreferredDevice) {
  auto wave = WaveIn(0ms, true);
  ASSERT_TRUE(wave);
  EXPECT_EQ(NamesOf(*wave), (std::vector<std::string>{"Monitor of RecTestSink", kDemoDeviceName}));
  Capture cap(*wave);
  ASSERT_EQ(cap.Open(WAVE_MAPPER, Pcm16(kRate, 2)), MMSYSERR_NOERROR);
  EXPECT_TRUE(cap.Status().demo);
}

// A socket where a server should be that never answers: the layer gives up
// within its couple of seconds once the wait is over. ALSA is no way out
// (its configuration asks the same server, for half a minute), and the demo
// signal does not stand in for the input expected.
TEST(PulseHungServer, StartUpDoesNotHang) {
  TempFolder runtime;
  ScopedEnv env("XDG_RUNTIME_DIR", runtime.Path().c_str());
  ScopedEnv home("HOME", runtime.Path().c_str());
  ScopedEnv server("PULSE_SERVER", nullptr);
  ScopedEnv display("DISPLAY", nullptr);
  ScopedEnv alsa("ALSA_CONFIG_PATH", (std::string("/usr/share/alsa/alsa.conf:") + runtime / "rc").c_str());
  ASSERT_TRUE(WriteFile(runtime / "rc", "pcm.!default {\n  type hw\n  card 99\n}\n"));
  ASSERT_EQ(::mkdir((runtime / "pulse").c_str(), 0700), 0);
  UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(sock);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = runtime / "pulse/native";
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(sock.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(sock.Get(), 8), 0);  // connections wait, never accepted

  WaveInOptions options;
  options.serverWait = 0ms;
  std::string error;
  auto wave = CreateSystemWaveIn(options, &error);
  ASSERT_TRUE(wave) << error;
  const auto t0 = std::chrono::steady_clock::now();
  const unsigned n = wave->waveInGetNumDevs();
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(took, 3500ms);
  EXPECT_EQ(n, 0u);
  Capture cap(*wave);
  EXPECT_EQ(cap.Open(WAVE_MAPPER, Pcm16(kRate, 2)), MMSYSERR_NODRIVER);
}

}  // namespace
}  // namespace mivo::platform
