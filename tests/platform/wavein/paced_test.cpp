// The paced sources (file input, demo signal): real-time pace without drift,
// and the preferred device of a machine without any input.
#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

#include "backend_envs.h"
#include "support/no_new_threads.h"
#include "platform/wavein/demo_signal.h"
#include "platform/wavein/wavein.h"
#include "wavein_test_support.h"

namespace mivo::platform {
namespace {

using namespace std::chrono_literals;
using namespace test_support;

template <class Env>
class PacedSource : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = m_env.SetUp();
    ASSERT_TRUE(why.empty()) << why;
    std::string error;
    m_wave = CreateSystemWaveIn(m_env.Options(), &error);
    ASSERT_TRUE(m_wave) << error;
  }
  Env m_env;
  std::unique_ptr<IWaveIn> m_wave;
};

struct EnvNames {
  template <class T>
  static std::string GetName(int) {
    return T::kName;
  }
};

using Sources = ::testing::Types<FileEnv, DemoEnv>;
TYPED_TEST_SUITE(PacedSource, Sources, EnvNames);

TYPED_TEST(PacedSource, DeliversAtRealTimePace) {
  Capture cap(*this->m_wave);
  ASSERT_EQ(cap.Open(this->m_env.DeviceId(*this->m_wave), this->m_env.Format()), MMSYSERR_NOERROR);
  cap.Queue(20, 2205);  // 50 ms each: one second in all
  std::vector<std::chrono::steady_clock::time_point> at;
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(this->m_wave->waveInStart(cap.Handle()), MMSYSERR_NOERROR);
  ASSERT_TRUE(cap.PumpUntil(
      [&] {
        while (at.size() < cap.DataPosts()) at.push_back(std::chrono::steady_clock::now());
        return at.size() == 20;
      },
      5s));
  const double first = std::chrono::duration<double>(at.front() - t0).count();
  const double last = std::chrono::duration<double>(at.back() - t0).count();
  // A buffer comes back once its time has passed, never before.
  EXPECT_GE(first, 0.045);
  EXPECT_GE(last, 0.995);
  EXPECT_LT(last, 2.0);
}

TYPED_TEST(PacedSource, AThreadTheSystemRefusesFailsTheOpen) {
  Capture cap(*this->m_wave);
  mivo::testing::NoNewThreads refused;
  ASSERT_TRUE(refused.Ok());
  EXPECT_EQ(cap.Open(this->m_env.DeviceId(*this->m_wave), this->m_env.Format()), MMSYSERR_NOMEM);
}

// No sound server (nothing to wait for, however long the wait allowed: one
// here would outlast the test's time limit) and no ALSA card.
TEST(NoInputAtAll, TheDemoIsListedButNeverOpenedAsThePreferredDevice) {
  if (std::filesystem::exists("/dev/snd")) {
    GTEST_SKIP() << "this machine has ALSA sound cards (/dev/snd)";
  }
  NoSystemInput none;
  WaveInOptions options;
  options.serverWait = 10min;
  std::string error;
  auto wave = CreateSystemWaveIn(options, &error);
  ASSERT_TRUE(wave) << error;
  ASSERT_EQ(wave->waveInGetNumDevs(), 1u);  // the demo signal only
  WAVEINCAPS caps;
  ASSERT_EQ(wave->waveInGetDevCaps(0, &caps), MMSYSERR_NOERROR);
  EXPECT_EQ(caps.szPname, kDemoDeviceName);
  {
    Capture cap(*wave);
    EXPECT_EQ(cap.Open(WAVE_MAPPER, Pcm16(44100, 2)), MMSYSERR_NODRIVER);
  }
  Capture cap(*wave);
  ASSERT_EQ(cap.Open(0, Pcm16(44100, 2)), MMSYSERR_NOERROR);
  const WaveInStatus st = cap.Status();
  EXPECT_TRUE(st.demo);
  EXPECT_EQ(st.deviceName, kDemoDeviceName);
  EXPECT_EQ(st.state, WaveInState::Running);
}

}  // namespace
}  // namespace mivo::platform
