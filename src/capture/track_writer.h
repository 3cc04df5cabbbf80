// The track file writer: numbered 16-bit PCM RIFF/WAVE files written straight
// from the capture buffers into the temporary folder, with runs of zero
// frames before and after the audio. A closed track is patched, then deleted
// (too short, empty, skipped: its number is given back) or appended to the
// conversion queue.
//
// While a track records, a syncer thread keeps its header sizes and its data
// on disk (see track_syncer.h), and the queue journal knows it; a track that
// closes is handed to the journal with the queue entry.
//
// A track never grows past what its 32-bit sizes can describe: before a
// buffer would push them over, the track is closed and kept as a split does,
// and the buffer starts the next track. A failed write stops the recording;
// the track keeps exactly the bytes that reached the disk, with sizes that
// say so, and the user is told.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "capture/capture_engine.h"
#include "capture/recorder_control.h"
#include "capture/track_stats.h"
#include "capture/track_syncer.h"
#include "convert/conversion_queue.h"
#include "convert/queue_journal.h"
#include "platform/process/unique_fd.h"
#include "platform/wavein/wavein.h"
#include "settings/debug_log.h"
#include "settings/recorder_settings.h"

namespace mivo {

inline constexpr const char* kCannotOpenTrack = "ファイルを開けません";
inline constexpr const char* kTrackWriteFailed =
    "書き込みに失敗しました（ディスクがいっぱいかもしれません）。録音を停止しました。";

// The three names of track number `n`.
struct TrackNames {
  std::string track;  // in RecTempFolder, ".wav"
  std::string mp3;    // in RecFolder, the MP3 encoder's extension
  std::string wma;    // in RecFolder, ".wma"
};

// `folder` and `name` joined with "/" unless the folder already ends with one.
std::string JoinFolder(const std::string& folder, const std::string& name);
// The MP3 encoder's output extension: the forced one, else ".wav", ".rmp" or ".mp3".
std::string Mp3Extension(const GogoSetting& gogo);
TrackNames MakeTrackNames(const RecorderSettings& settings, int n);
// The number in a track's name ("<prefix>NNN.wav" with the prefix of
// `settings`), or 0 when it has none.
int TrackNumberOf(const RecorderSettings& settings, const std::string& path);

// The queue entry of a closed track: its measure over `audioBytes` of
// captured audio; with gaps, their zero samples count in the extremes.
QueueEntry MakeTrackEntry(const std::string& path, const TrackStats& stats, std::uint32_t audioBytes, bool gaps,
                          std::int64_t startTime, std::int32_t sampleRate, int headerShortening);

class TrackWriter {
 public:
  // Largest data size: the RIFF size (data + 38) must fit in 32 bits.
  static constexpr std::uint64_t kMaxDataBytes = 0xFFFFFFFFull - 38;

  // Whether a lead and a trailing gap of these lengths (frames; 0 or less:
  // none) leave a track room for one buffer of `bufferBytes`. Longer gaps
  // would make every track fail as a write error.
  static bool GapsFit(std::int32_t priGap, std::int32_t postGap, std::uint64_t bufferBytes,
                      std::uint64_t maxDataBytes = kMaxDataBytes);

  TrackWriter(RecorderSettings& settings, ConversionQueue& queue, DebugLog& log, IRecorderControl& control);
  ~TrackWriter();
  TrackWriter(const TrackWriter&) = delete;
  TrackWriter& operator=(const TrackWriter&) = delete;

  // The capture format (copied into every header) and the buffer size.
  void SetFormat(const platform::WAVEFORMATEX& format, std::uint32_t bufferFrames);

  // Names and creates the next track, writes its header and lead gap. On
  // failure it has performed STOP and told the user; returns false.
  bool Open();
  // Appends one captured buffer to the open track (nothing when none is open).
  void Write(const CapturedBuffer& buffer);
  // Writes the trailing gap, patches the sizes, closes; then deletes or queues.
  void Close();

  bool IsOpen() const { return m_fd.Valid(); }
  // The open track holds more than its lead gap.
  bool HasAudio() const { return m_fd.Valid() && m_dwTrackBytes != m_dwPriGapBytes; }
  int TrackNo() const { return m_nTrackNo; }
  // Numbers up to `n` are taken (by recovered tracks): the next track gets a higher one.
  void ReserveNumbersUpTo(int n) {
    if (n > m_nTrackNo) m_nTrackNo = n;
  }
  // The queue journal told of every track opened, started, closed (none: no journal).
  void SetJournal(QueueJournal* journal) { m_journal = journal; }
  const std::string& TrackPath() const { return m_strTrackPath; }
  std::uint32_t TrackBytes() const { return m_dwTrackBytes; }
  std::uint32_t TrackPeak() const { return m_stats.peak; }
  // The header syncer (tests drive its rounds themselves).
  TrackSyncer& Syncer() { return m_syncer; }

  // Test seams: a smaller size limit than the 32-bit one, the clock, and a
  // call made with the chosen track path just before the file is created
  // (where another recorder sharing the folder may take the same name).
  void SetMaxDataBytes(std::uint64_t bytes) { m_qwMaxDataBytes = bytes > kMaxDataBytes ? kMaxDataBytes : bytes; }
  void SetClock(std::time_t (*clock)()) { m_clock = clock; }
  void SetBeforeCreate(void (*hook)(const std::string& path)) { m_beforeCreate = hook; }

 private:
  std::uint32_t HeaderBytes() const { return 46u - static_cast<std::uint32_t>(m_nShortening); }
  std::uint32_t GapBytes(std::int32_t frames, std::uint64_t room) const;
  bool WriteAt(std::uint64_t offset, const void* data, std::size_t size);
  bool WriteZerosAt(std::uint64_t offset, std::uint64_t size);
  void TruncateTo(std::uint64_t size);
  bool PatchSizes();
  bool CloseFile();
  bool RemoveTrackFile();
  void ShowStatus(const char* text);
  void ShowWriteError();

  RecorderSettings& m_settings;
  ConversionQueue& m_queue;
  DebugLog& m_log;
  IRecorderControl& m_control;
  platform::WAVEFORMATEX m_wfx;
  std::uint32_t m_nBufBytes = 4096;
  std::uint64_t m_qwMaxDataBytes = kMaxDataBytes;
  std::time_t (*m_clock)() = nullptr;
  void (*m_beforeCreate)(const std::string& path) = nullptr;

  QueueJournal* m_journal = nullptr;
  TrackSyncer m_syncer;
  int m_nTrackNo = 0;
  platform::UniqueFd m_fd;
  std::string m_strTrackPath;
  int m_nShortening = 0;              // header form of the open track
  std::uint32_t m_dwTrackBytes = 0;   // sample data so far, gaps included
  std::uint32_t m_dwPriGapBytes = 0;  // lead gap written at open
  std::uint32_t m_dwGapBytes = 0;     // both gaps written so far
  std::time_t m_tTrackStart = 0;
  TrackStats m_stats;  // peak, sums and extremes of the written buffers
  bool m_bFailed = false;  // a write of this track failed; the user is told once
};

}  // namespace mivo
