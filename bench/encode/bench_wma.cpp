// WMA output, measured against FFmpeg's own command line in the same run:
//
// - BM_WmaWriterAgainstFfmpeg: a 10-minute 44.1 kHz stereo track through
//   EncodeWma at the default profile (22 of version 7.0: 44.1 kHz stereo,
//   96 kbit/s) and through `ffmpeg -i in.wav -c:a wmav2 -b:a 96k out.wma`,
//   alternating. speed_ratio = ffmpeg's time / ours (goal: at least 0.9),
//   cpu_ratio the same from processor time.
// - BM_WmaMemory: the peak resident size of a process that encodes a
//   1-minute and one that encodes a 10-minute track (flat: no whole-file
//   buffers).
// - BM_WmaIndexOneHour: IndexWmaFile on a one-hour 96 kbit/s file, from the
//   call until the index is in place (goal: under a second).
//
//   bench_wma [--minutes=N] [google benchmark options]
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_tracks.h"
#include "encode/wma_encoder.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using mivo::bench::CountingProgress;
using mivo::bench::RunProgram;
using mivo::bench::ThreadCpuSeconds;

struct Setup {
  std::string dir;
  std::string track;      // the measured length
  std::string shortTrack; // one minute
  std::string hour;       // a one-hour WMA file
  int minutes = 10;
};

bool EncodeOurs(const std::string& in, const std::string& out) {
  CountingProgress progress;
  const bool ok = mivo::EncodeWma(in, out, 22, true, false, progress);
  benchmark::DoNotOptimize(progress.Percent());
  return ok;
}

void BM_WmaWriterAgainstFfmpeg(benchmark::State& state, Setup* setup) {
  const std::string ours = setup->dir + "/ours.wma";
  const std::string theirs = setup->dir + "/ffmpeg.wma";
  double oursSeconds = 0, ffmpegSeconds = 0, oursCpu = 0, ffmpegCpu = 0;
  int round = 0;
  for (auto _ : state) {
    double o = 0, f = 0;
    for (int step = 0; step < 2; ++step) {
      const bool oursFirst = (round % 2) == 0;
      const auto start = Clock::now();
      if ((step == 0) == oursFirst) {
        const double cpuStart = ThreadCpuSeconds();
        if (!EncodeOurs(setup->track, ours)) {
          state.SkipWithError("EncodeWma failed");
          return;
        }
        oursCpu += ThreadCpuSeconds() - cpuStart;
        o = std::chrono::duration<double>(Clock::now() - start).count();
      } else {
        double cpu = 0;
        if (!RunProgram({"ffmpeg", "-v", "error", "-y", "-i", setup->track, "-c:a", "wmav2", "-b:a", "96k", theirs},
                        &cpu)) {
          state.SkipWithError("the ffmpeg program failed (is it installed?)");
          return;
        }
        ffmpegCpu += cpu;
        f = std::chrono::duration<double>(Clock::now() - start).count();
      }
    }
    ++round;
    state.SetIterationTime(o);
    oursSeconds += o;
    ffmpegSeconds += f;
  }
  state.counters["ours_s"] = oursSeconds / round;
  state.counters["ffmpeg_s"] = ffmpegSeconds / round;
  state.counters["speed_ratio"] = ffmpegSeconds / oursSeconds;
  state.counters["ours_cpu_s"] = oursCpu / round;
  state.counters["ffmpeg_cpu_s"] = ffmpegCpu / round;
  state.counters["cpu_ratio"] = oursCpu > 0 ? ffmpegCpu / oursCpu : 0;
  state.counters["realtime_x"] = setup->minutes * 60.0 / (oursSeconds / round);
  std::error_code ec;
  state.counters["ours_bytes"] = static_cast<double>(fs::file_size(ours, ec));
  state.counters["ffmpeg_bytes"] = static_cast<double>(fs::file_size(theirs, ec));
}

// The peak resident size (MB) of a child process that encodes `track`.
double PeakMegabytes(const std::string& track, const std::string& out) {
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) ::_exit(EncodeOurs(track, out) ? 0 : 1);
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_WmaMemory(benchmark::State& state, Setup* setup) {
  double shortPeak = 0, longPeak = 0;
  for (auto _ : state) {
    shortPeak = PeakMegabytes(setup->shortTrack, setup->dir + "/short.wma");
    longPeak = PeakMegabytes(setup->track, setup->dir + "/long.wma");
    if (shortPeak < 0 || longPeak < 0) {
      state.SkipWithError("the encoding process failed");
      return;
    }
  }
  state.counters["peak_mb_1min"] = shortPeak;
  state.counters["peak_mb_" + std::to_string(setup->minutes) + "min"] = longPeak;
}

void BM_WmaIndexOneHour(benchmark::State& state, Setup* setup) {
  const std::string work = setup->dir + "/index.wma";
  std::uintmax_t before = 0, after = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::error_code ec;
    fs::copy_file(setup->hour, work, fs::copy_options::overwrite_existing, ec);
    before = fs::file_size(work, ec);
    state.ResumeTiming();
    CountingProgress progress;
    const auto hr = mivo::IndexWmaFile(work, &progress);
    state.PauseTiming();
    after = fs::file_size(work, ec);
    if (hr < 0 || after <= before) {
      state.SkipWithError("the file was not indexed");
      return;
    }
    state.ResumeTiming();
  }
  state.counters["file_mb"] = static_cast<double>(before) / (1 << 20);
  state.counters["index_bytes"] = static_cast<double>(after - before);
}

}  // namespace

int main(int argc, char** argv) {
  Setup setup;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--minutes=", 10) == 0) {
      setup.minutes = std::max(1, std::atoi(argv[i] + 10));
    } else {
      rest.push_back(argv[i]);
    }
  }
  int restCount = static_cast<int>(rest.size());
  benchmark::Initialize(&restCount, rest.data());

  std::string pattern = (fs::temp_directory_path() / "mivo-bench-wma-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "bench_wma: no temporary folder\n");
    return 1;
  }
  setup.dir = pattern;
  setup.track = setup.dir + "/track.wav";
  setup.shortTrack = setup.dir + "/short.wav";
  setup.hour = setup.dir + "/hour.wma";
  int status = 0;
  double cpu = 0;
  if (!mivo::bench::WriteTrack(setup.track, setup.minutes) || !mivo::bench::WriteTrack(setup.shortTrack, 1)) {
    std::fprintf(stderr, "bench_wma: cannot write the test tracks in %s\n", setup.dir.c_str());
    status = 1;
  } else if (!RunProgram({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                          "sine=f=440:r=44100,aformat=channel_layouts=stereo", "-t", "3600", "-c:a", "wmav2",
                          "-b:a", "96k", setup.hour},
                         &cpu)) {
    std::fprintf(stderr, "bench_wma: ffmpeg could not make the one-hour file (is it installed?)\n");
    status = 1;
  } else {
    const std::string len = std::to_string(setup.minutes) + "min";
    benchmark::RegisterBenchmark(("BM_WmaWriterAgainstFfmpeg/" + len).c_str(), BM_WmaWriterAgainstFfmpeg, &setup)
        ->Iterations(3)
        ->UseManualTime()
        ->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark(("BM_WmaMemory/1min_vs_" + len).c_str(), BM_WmaMemory, &setup)
        ->Iterations(1)
        ->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark("BM_WmaIndexOneHour", BM_WmaIndexOneHour, &setup)
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
  }
  std::error_code ec;
  fs::remove_all(setup.dir, ec);
  return status;
}
