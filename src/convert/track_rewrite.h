// The one skeleton every sample pass uses to rewrite a track file:
// open the track and a fresh temporary file beside it, read and write in
// blocks through buffers, yield and look for cancellation after each block,
// then replace the track in one step.
//
// The temporary file is the track path with ".tmp" appended. It is written
// and synced completely before it is renamed over the track, so at every
// moment one complete file holds the audio: the unprocessed track until the
// rename, the processed one after it. A rewrite that fails at any point
// (open, read error, full disk, cancellation) removes its temporary file and
// leaves the track exactly as it was.
//
// A rewrite may also read its audio from a source other than the track (the
// samples of a WAV file the user gave, with a track header made for them):
// it then creates the track, and the source is only ever read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "convert/progress.h"
#include "platform/files/files.h"
#include "platform/process/unique_fd.h"

namespace mivo {

// Header of a track file: 46 bytes in the new form, 44 in the old one
// (s = 0 or 2, the header shortening). Offsets of the fields that change.
inline constexpr std::size_t kTrackHeaderMax = 46;
inline constexpr std::size_t kRiffSizeOffset = 4;
inline constexpr std::size_t kFormatTagOffset = 20;
inline constexpr std::size_t kChannelsOffset = 22;
inline constexpr std::size_t kSampleRateOffset = 24;
inline constexpr std::size_t kByteRateOffset = 28;
inline constexpr std::size_t kBlockAlignOffset = 32;
inline constexpr std::size_t kBitsOffset = 34;
constexpr std::size_t TrackHeaderSize(int headerShortening) {
  return kTrackHeaderMax - static_cast<std::size_t>(headerShortening);
}
constexpr std::size_t DataSizeOffset(int headerShortening) {
  return 42 - static_cast<std::size_t>(headerShortening);
}

std::uint16_t GetLe16(const std::uint8_t* p);
std::uint32_t GetLe32(const std::uint8_t* p);
void PutLe16(std::uint8_t* p, std::uint16_t v);
void PutLe32(std::uint8_t* p, std::uint32_t v);
// Samples read from a track straight into an int16 array are in the file's
// byte order (little-endian); these put them into the host's order and
// back, in place (nothing to do on little-endian hosts).
void SamplesFromFile(std::int16_t* samples, std::size_t count);
void SamplesToFile(std::int16_t* samples, std::size_t count);

// Places where a test can make the file work fail as a full disk, a broken
// disk or a crash would. The hook returns true to fail at that point (at
// Replaced, where nothing is left to fail, its answer is ignored: a test
// ends the process there).
enum class FaultPoint {
  Read,           // before a block is read
  Write,          // before a block is written
  BeforeReplace,  // the result is complete and synced, the rename is next
  Replaced,       // the rename is done; its record in the queue journal is next
};
using FaultHook = std::function<bool(FaultPoint)>;

// The audio of a WAV file seen as a track: `header` (HeaderSize() bytes of
// it, in track form) followed by the `dataSize` bytes at `dataOffset` of
// the file; whatever else the file holds is not seen.
struct TrackSource {
  std::string path;
  std::uint8_t header[kTrackHeaderMax] = {};
  std::uint64_t dataOffset = 0;
  std::uint32_t dataSize = 0;
};

class PreciseTableCache;

// A complete result about to replace its target in one rename: the
// temporary file (as the system identifies it, so that a restart can tell
// whether the rename happened), the target, and the name under which the
// old target stays, if any.
struct ReplaceIntent {
  std::string temp;
  std::string target;
  std::string keep;
  platform::FileId tempId;
};

// What a pass needs besides its own parameters.
struct PassContext {
  IProgress& progress;
  int headerShortening = 0;  // 0: 46-byte header, 2: 44-byte header
  // Sync the temporary file and the folder to the disk before and after the
  // rename: the recorder's tracks must survive a crash at any moment. Off
  // for intermediate files that nothing else sees (mivo-convert syncs its
  // result once, when it is complete) and for measurements.
  bool syncToDisk = true;
  FaultHook fault;  // tests only
  // Threads a pass that splits its work may run on, the calling one
  // included: 0 one per processor, 1 the calling thread alone.
  int threads = 1;
  // Filter tables shared by the passes of a program; nullptr: the pass
  // builds its own.
  PreciseTableCache* preciseTables = nullptr;
  // Where a pass tells how it ran (the kernel, the threads); may be nullptr.
  IStepLog* log = nullptr;
  // Read the audio from here instead of the track, which the rewrite then
  // creates; nullptr: the track is read.
  const TrackSource* source = nullptr;
  // Called with the complete, synced result right before the rename that
  // puts it in place (the queue journal records it first).
  std::function<void(const ReplaceIntent&)> beforeReplace;
  // Start writing the temporary file to the disk while the pass writes it,
  // without waiting (always so with syncToDisk): for a result that is
  // synced once complete, so that the sync waits for little.
  bool writeEarly = false;
};

class TrackRewrite {
 public:
  // Opens `track` (or the context's source) for reading and creates
  // "<track>.tmp" (a stale one from an earlier crash is removed first).
  // Ok() tells whether both opened.
  TrackRewrite(const std::string& track, const PassContext& ctx);
  // An uncommitted rewrite removes its temporary file.
  ~TrackRewrite();
  TrackRewrite(const TrackRewrite&) = delete;
  TrackRewrite& operator=(const TrackRewrite&) = delete;

  bool Ok() const { return m_bOpened && !m_bFailed; }
  bool Failed() const { return m_bFailed; }
  const PassContext& Context() const { return m_ctx; }
  std::size_t HeaderSize() const { return TrackHeaderSize(m_ctx.headerShortening); }
  std::size_t DataSizeAt() const { return DataSizeOffset(m_ctx.headerShortening); }

  // Reads the track's header (HeaderSize() bytes); false when the track is
  // shorter than that or cannot be read.
  bool ReadHeader(std::uint8_t* header);

  // Reads up to `bytes` from the track; fewer only at its end. A read error
  // marks the rewrite failed and returns what was read before it.
  std::size_t Read(void* data, std::size_t bytes);
  // Reads exactly `bytes`; a track that ends earlier fails the rewrite.
  bool ReadExact(void* data, std::size_t bytes);
  // Moves the read position to `offset` from the start of the track.
  bool SeekInput(std::uint64_t offset);

  bool Write(const void* data, std::size_t bytes);
  // Overwrites bytes already written (header fields patched at the end).
  bool Patch(std::uint64_t offset, const void* data, std::size_t bytes);

  // After every block: yields the processor so that capture keeps up, and
  // fails the rewrite when the work was cancelled. False when failed.
  bool EndBlock();

  // Replaces the track by the written file: flush, sync, close both, rename.
  // With a non-empty `keepName` the unprocessed track stays under that name
  // (a file already there is replaced); a rewrite from a source leaves the
  // unprocessed audio where it is and ignores `keepName`. False when
  // anything failed; then the track is as it was and no temporary file
  // remains.
  bool Commit(const std::string& keepName = {});

  // Marks the rewrite failed (a pass that finds its input unusable).
  void Fail() { m_bFailed = true; }

 private:
  bool Faulted(FaultPoint point);
  // Reads from the input at its read position: the track file, or the
  // source's header and then its samples.
  std::size_t ReadInput(std::uint8_t* data, std::size_t bytes);
  bool FillInput();
  std::size_t ReadDirect(std::uint8_t* data, std::size_t bytes);
  bool FlushOutput();
  // Starts the disk writes of what was written since the last start, once
  // there is enough of it.
  void WriteEarly();
  bool Replace(const std::string& keepName);
  void RemoveTemp();

  const PassContext& m_ctx;
  std::string m_track;
  std::string m_temp;
  platform::UniqueFd m_in;
  platform::UniqueFd m_out;
  bool m_bOpened = false;
  bool m_bFailed = false;
  bool m_bCommitted = false;
  bool m_bTempCreated = false;

  const TrackSource* m_source = nullptr;
  std::uint64_t m_inOffset = 0;  // read position of the input, past the buffer
  std::vector<std::uint8_t> m_inBuf;
  std::size_t m_inPos = 0;
  std::size_t m_inLen = 0;
  bool m_bInEof = false;

  std::vector<std::uint8_t> m_outBuf;
  std::size_t m_outLen = 0;
  std::uint64_t m_outFileLen = 0;  // bytes already handed to the file
  std::uint64_t m_writtenEarly = 0;  // bytes whose disk writes were started
  bool m_bWriteEarly = false;
};

// Writes the context's source as the track, its bytes unchanged: the track
// of a source that no pass has rewritten. Reports no progress; sees a
// cancellation. False when it could not (the track is then not there).
bool CopyTrackFromSource(const std::string& track, const PassContext& ctx);

}  // namespace mivo
