// A 10-minute 44.1 kHz stereo track encoded at 128 kbit/s through the MP3
// bridge and libgogo, and by the lame program at the same settings (joint
// stereo, LAME quality 5, 16 kHz low-pass, no ReplayGain analysis), in the
// same run, alternating. Reported: the wall-clock seconds of each and
// speed_ratio = lame's time / the bridge's time (1.0: as fast as lame), and
// the same from processor time (cpu_ratio), which other programs running on
// the machine disturb less.
//
//   bench_mp3 [--minutes=N] [google benchmark options]
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_tracks.h"
#include "encode/gogo_dll.h"
#include "platform/ui/headless/headless_host.h"
#include "settings/recorder_settings.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using mivo::bench::CountingProgress;
using mivo::bench::ThreadCpuSeconds;
using mivo::bench::WriteTrack;

// Runs lame; *cpu receives the processor time it used.
bool RunLame(const std::string& in, const std::string& out, double* cpu) {
  return mivo::bench::RunProgram({"lame", "--silent", "-b", "128", "-m", "j", "-q", "5", "--lowpass", "16",
                                  "--noreplaygain", in, out},
                                 cpu);
}

struct Setup {
  std::string dir;
  std::string track;
  mivo::GogoDll dll;
};

void BM_Mp3BridgeAgainstLame(benchmark::State& state, Setup* setup) {
  mivo::ui::HeadlessHost host;
  mivo::RecorderSettings settings;  // joint stereo, 128 kbit/s, psychoacoustics off, 16 kHz low-pass
  const std::string ours = setup->dir + "/bridge.mp3";
  const std::string theirs = setup->dir + "/lame.mp3";
  double bridgeSeconds = 0, lameSeconds = 0, bridgeCpu = 0, lameCpu = 0;
  int round = 0;
  for (auto _ : state) {
    CountingProgress progress;
    double b = 0, l = 0;
    for (int step = 0; step < 2; ++step) {
      const bool bridgeFirst = (round % 2) == 0;
      const auto start = Clock::now();
      if ((step == 0) == bridgeFirst) {
        const double cpuStart = ThreadCpuSeconds();
        const bool ok = mivo::EncodeMp3(setup->dll, host, setup->track, ours, settings, progress);
        bridgeCpu += ThreadCpuSeconds() - cpuStart;
        if (!ok) {
          state.SkipWithError("the bridge failed to encode");
          return;
        }
        b = std::chrono::duration<double>(Clock::now() - start).count();
      } else {
        double cpu = 0;
        const bool ok = RunLame(setup->track, theirs, &cpu);
        lameCpu += cpu;
        if (!ok) {
          state.SkipWithError("the lame program failed (is it installed?)");
          return;
        }
        l = std::chrono::duration<double>(Clock::now() - start).count();
      }
    }
    ++round;
    state.SetIterationTime(b);
    bridgeSeconds += b;
    lameSeconds += l;
    benchmark::DoNotOptimize(progress.Percent());
  }
  state.counters["bridge_s"] = bridgeSeconds / round;
  state.counters["lame_s"] = lameSeconds / round;
  state.counters["speed_ratio"] = lameSeconds / bridgeSeconds;
  state.counters["bridge_cpu_s"] = bridgeCpu / round;
  state.counters["lame_cpu_s"] = lameCpu / round;
  state.counters["cpu_ratio"] = bridgeCpu > 0 ? lameCpu / bridgeCpu : 0;
  std::error_code ec;
  state.counters["bridge_bytes"] = static_cast<double>(fs::file_size(ours, ec));
  state.counters["lame_bytes"] = static_cast<double>(fs::file_size(theirs, ec));
}

}  // namespace

int main(int argc, char** argv) {
  int minutes = 10;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--minutes=", 10) == 0) {
      minutes = std::max(1, std::atoi(argv[i] + 10));
    } else {
      rest.push_back(argv[i]);
    }
  }
  int restCount = static_cast<int>(rest.size());
  benchmark::Initialize(&restCount, rest.data());

  Setup setup;
  std::string pattern = (fs::temp_directory_path() / "mivo-bench-mp3-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "bench_mp3: no temporary folder\n");
    return 1;
  }
  setup.dir = pattern;
  setup.track = setup.dir + "/track.wav";
  int status = 0;
  if (!WriteTrack(setup.track, minutes)) {
    std::fprintf(stderr, "bench_mp3: cannot write the test track in %s\n", setup.dir.c_str());
    status = 1;
  } else if (mivo::LoadGogoDll(setup.dll, mivo::GogoSearch{}) != mivo::kGogoLoaded) {
    std::fprintf(stderr, "bench_mp3: libgogo.so not found: %s\n", setup.dll.strLoadError.c_str());
    status = 1;
  } else {
    benchmark::RegisterBenchmark(("BM_Mp3BridgeAgainstLame/" + std::to_string(minutes) + "min").c_str(),
                                 BM_Mp3BridgeAgainstLame, &setup)
        ->Iterations(3)
        ->UseManualTime()
        ->Unit(benchmark::kSecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    mivo::FreeGogoDll(setup.dll);
  }
  std::error_code ec;
  fs::remove_all(setup.dir, ec);
  return status;
}
