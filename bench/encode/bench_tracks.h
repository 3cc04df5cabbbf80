// What the encoder benchmarks share: a music-like test track, a progress
// sink as the worker keeps it, and processor-time readings.
#pragma once

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "convert/progress.h"

extern "C" char** environ;

namespace mivo::bench {

// Progress as the worker keeps it: a percentage recomputed per frame.
class CountingProgress final : public IProgress {
 public:
  void SetStageLabel(std::string_view) override {}
  void BeginTrackProgress(const std::int32_t*, int) override {}
  void BeginStage(std::int64_t units) override {
    m_total = units > 0 ? units : 1;
    m_pos = 0;
  }
  void SetStagePos(std::int64_t units) override {
    m_pos = units;
    m_percent = static_cast<int>(units * 100 / m_total);
  }
  void AdvanceStage(std::int64_t units) override { SetStagePos(m_pos + units); }
  int Percent() const { return m_percent; }

 private:
  std::int64_t m_total = 1, m_pos = 0;
  int m_percent = 0;
};

inline void Put16(std::vector<unsigned char>& b, unsigned v) {
  b.push_back(static_cast<unsigned char>(v));
  b.push_back(static_cast<unsigned char>(v >> 8));
}
inline void Put32(std::vector<unsigned char>& b, std::uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// Music-like material: a few partials moving in pitch and level, and noise.
inline bool WriteTrack(const std::string& path, int minutes) {
  const std::uint32_t frames = static_cast<std::uint32_t>(minutes) * 60u * 44100u;
  std::vector<unsigned char> head;
  head.insert(head.end(), {'R', 'I', 'F', 'F'});
  Put32(head, frames * 4u + 38u);
  head.insert(head.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  Put32(head, 18);
  Put16(head, 1);
  Put16(head, 2);
  Put32(head, 44100);
  Put32(head, 176400);
  Put16(head, 4);
  Put16(head, 16);
  Put16(head, 0);
  head.insert(head.end(), {'d', 'a', 't', 'a'});
  Put32(head, frames * 4u);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(head.data(), 1, head.size(), f) == head.size();
  std::vector<unsigned char> block;
  std::uint32_t seed = 1;
  for (std::uint32_t i = 0; ok && i < frames; ++i) {
    const double t = i / 44100.0;
    const double base = 220.0 * (1.0 + 0.5 * std::sin(2 * M_PI * 0.05 * t));
    double l = 0, r = 0;
    for (int k = 1; k <= 5; ++k) {
      const double a = 0.12 / k * (1.0 + std::sin(2 * M_PI * 0.3 * k * t));
      l += a * std::sin(2 * M_PI * base * k * t);
      r += a * std::sin(2 * M_PI * base * k * 1.01 * t + k);
    }
    seed = seed * 1664525u + 1013904223u;
    const double noise = (static_cast<double>(seed >> 8) / (1u << 24) - 0.5) * 0.05;
    Put16(block, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround((l + noise) * 32767))));
    Put16(block, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround((r - noise) * 32767))));
    if (block.size() >= (1u << 16) || i + 1 == frames) {
      ok = std::fwrite(block.data(), 1, block.size(), f) == block.size();
      block.clear();
    }
  }
  return std::fclose(f) == 0 && ok;
}

inline double ThreadCpuSeconds() {
  timespec ts{};
  if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

inline double Seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6; }

// Runs a program found on PATH and waits for it; *cpu receives the
// processor time it used (its rusage), *maxRssKb its peak resident size.
inline bool RunProgram(std::vector<std::string> args, double* cpu, long* maxRssKb = nullptr) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) return false;
  if (cpu != nullptr) *cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  if (maxRssKb != nullptr) *maxRssKb = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace mivo::bench
