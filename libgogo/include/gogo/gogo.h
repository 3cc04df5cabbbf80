/*
 * libgogo: an MP3 encoder library built on LAME, driven through nine
 * MPGE_* entry points with C linkage.
 *
 * One job at a time per process
 * ------------------------------
 * The entry points carry no handle: a process has one job slot. A job
 * lives from MPGE_initializeWork to MPGE_endCoder:
 *
 *   MPGE_initializeWork()                        start a job with defaults
 *   MPGE_setConfigure(id, value1, value2) ...    input, output, options
 *   MPGE_detectConfigure()                       open the input, set up LAME,
 *                                                create the output
 *   MPGE_getConfigure(MPGE_CFG_FRAME_COUNT, &n)  frames the job will encode
 *   MPGE_processFrame() ...                      one frame per call: MPGE_OK
 *                                                while more follow, MPGE_END
 *                                                when the output is complete
 *   MPGE_closeCoder()                            close the encoder and files
 *   MPGE_endCoder()                              release the job
 *
 * The slot is the library's only mutable state beyond its constant
 * tables. Every entry point locks it, so calls from several threads never
 * corrupt it; two threads that each drive a job at the same time still share
 * the one slot, so a caller runs one job at a time.
 *
 * Results
 * -------
 * 0 (MPGE_OK) is success. MPGE_processFrame returns MPGE_END (1) at the
 * normal end; every other value is an error code below. A rejected option
 * (a value out of range, or one LAME cannot honour) also marks the job as
 * failed, so MPGE_processFrame reports it even when the caller did not check
 * the MPGE_setConfigure result: a job never ends as a success with settings
 * other than those asked for.
 *
 * Files
 * -----
 * The input is a RIFF/WAVE file of 16-bit PCM, mono or stereo, any rate
 * (the fmt chunk may be 16 or 18 bytes long, or WAVE_FORMAT_EXTENSIBLE with
 * PCM data; other chunks are skipped). A data chunk that claims more bytes
 * than the file holds is read to the end of the file, and so is one of a
 * file whose RIFF and data sizes are both 0 (never patched after recording).
 * The output is written to a temporary file beside the output path and
 * renamed to the output path only when the job is complete; a failed or
 * abandoned job removes its temporary file and leaves an existing file at
 * the output path untouched. An output path naming the input file is
 * refused (MPGE_ERR_OUTPUT_IS_INPUT).
 */
#ifndef GOGO_GOGO_H
#define GOGO_GOGO_H

#include <stdint.h>

#if defined(GOGO_BUILDING_LIBRARY)
#define GOGO_API __attribute__((visibility("default")))
#else
#define GOGO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Results. */
enum {
  MPGE_OK = 0,
  MPGE_END = 1,                  /* MPGE_processFrame: the output is complete */
  MPGE_ERR_UNKNOWN_ID = 0x101,   /* configuration id not known */
  MPGE_ERR_BAD_VALUE = 0x102,    /* value out of range, or not possible with LAME */
  MPGE_ERR_NO_JOB = 0x103,       /* no MPGE_initializeWork before, or the call is out of order */
  MPGE_ERR_INPUT = 0x104,        /* input missing, unreadable, or not 16-bit PCM WAVE */
  MPGE_ERR_OUTPUT = 0x105,       /* output cannot be created, written or renamed */
  MPGE_ERR_ENCODER = 0x106,      /* LAME refused the settings or failed */
  MPGE_ERR_NO_MEMORY = 0x107,
  MPGE_ERR_ARGUMENT = 0x108,     /* a null pointer or an empty path */
  MPGE_ERR_OUTPUT_IS_INPUT = 0x109
};

/*
 * Configuration ids. value1 carries a number, value2 a pointer to
 * NUL-terminated text (paths are copied when set).
 */
enum {
  MPGE_CFG_INPUT_FILE = 1,     /* value2: path of the source WAV */
  MPGE_CFG_OUTPUT_FILE = 2,    /* value2: path of the output file */
  MPGE_CFG_CHANNEL_MODE = 3,   /* value1: MPGE_MODE_*; default joint stereo */
  MPGE_CFG_BITRATE = 4,        /* value1: kbit/s of constant-bit-rate output; default 128 */
  MPGE_CFG_OUTPUT_RATE = 6,    /* value1: Hz; forces the output sample rate */
  MPGE_CFG_PSYCHOACOUSTIC = 8, /* value1: 0 off (default), other on */
  MPGE_CFG_LOWPASS_16K = 9,    /* value1: 0 off (default), other on */
  MPGE_CFG_FRAME_COUNT = 15,   /* MPGE_getConfigure only: frames of the job */
  MPGE_CFG_EMPHASIS = 17,      /* value1: MPGE_EMPHASIS_*; default none */
  MPGE_CFG_VBR_QUALITY = 18,   /* value1: 0 (best) .. 9; switches to variable bit rate */
  MPGE_CFG_OUTPUT_FORMAT = 26, /* value1: MPGE_FORMAT_*; default MP3 */
  MPGE_CFG_SYSTEM_ERROR = 256  /* MPGE_getConfigure only: the system's error
                                  number (errno) behind the job's first
                                  failure, 0 when none was involved */
};

/*
 * Channel modes. A mono input always gives mono output. MPGE_MODE_DUAL
 * codes the two channels independently, as stereo does.
 */
enum {
  MPGE_MODE_DEFAULT = -1, /* the encoder's default: joint stereo */
  MPGE_MODE_MONO = 0,     /* stereo input is mixed down */
  MPGE_MODE_STEREO = 1,
  MPGE_MODE_JOINT = 2,    /* LAME chooses mid/side or left/right per frame */
  MPGE_MODE_MIDSIDE = 3,  /* joint stereo, always mid/side */
  MPGE_MODE_DUAL = 4
};

/* Emphasis, written into every frame header. */
enum {
  MPGE_EMPHASIS_NONE = 0,
  MPGE_EMPHASIS_50_15 = 1,  /* 50/15 microseconds */
  MPGE_EMPHASIS_CCITT = 2   /* CCITT J.17 */
};

/*
 * Output formats.
 *   MP3: the MPEG audio stream, its first frame a LAME/Xing tag that holds
 *        the frame count, the encoder delay and padding (exact length).
 *   WAV: RIFF WAVE with format tag 0x0055 (MPEG layer 3): a 30-byte fmt
 *        chunk (MPEGLAYER3WAVEFORMAT), a fact chunk with the sample count
 *        per channel, and a data chunk with the stream (without a tag frame,
 *        which a player would take for a frame of silence).
 *   RMP: RIFF form "RMP3" with one "data" chunk holding the MP3 stream as
 *        for MP3, tag frame included.
 */
enum {
  MPGE_FORMAT_MP3 = 0,
  MPGE_FORMAT_WAV = 1,
  MPGE_FORMAT_RMP = 2
};

/*
 * Psychoacoustic analysis maps to LAME's quality: on is quality 2 (the
 * full psychoacoustic noise shaping), off is quality 5 (LAME's fast
 * setting). The 16 kHz low-pass sets LAME's low-pass to 16000 Hz; off leaves
 * LAME's own choice for the bit rate. With variable bit rate
 * (MPGE_CFG_VBR_QUALITY) the bit rate of MPGE_CFG_BITRATE is not used. Without
 * MPGE_CFG_OUTPUT_RATE the output keeps the input's rate when MP3 has it
 * (8000 .. 48000 Hz) and LAME picks the nearest otherwise. A constant bit
 * rate that the output's MPEG version lacks (320 kbit/s at 22050 Hz, say) is
 * replaced by the nearest one it has, as LAME does; once the job is
 * prepared, MPGE_getConfigure gives the bit rate, output rate and channel
 * mode the encoder uses, so that a caller can tell what was changed.
 */

/* Bits of MPGE_getUnitStates. */
enum {
  MPGE_UNIT_MMX = 0x1,
  MPGE_UNIT_SSE = 0x2,
  MPGE_UNIT_SSE2 = 0x4,
  MPGE_UNIT_AVX = 0x8
};

/* Size of the text buffer that MPGE_getVersion fills. */
#define MPGE_VERSION_TEXT_SIZE 260

GOGO_API uint32_t MPGE_initializeWork(void);
GOGO_API uint32_t MPGE_setConfigure(uint32_t id, uintptr_t value1, uintptr_t value2);
/* Writes the value of id to *result: the frame count for MPGE_CFG_FRAME_COUNT
 * (preparing the job first when MPGE_detectConfigure was not called; 0 when
 * that fails), the current number for the numeric ids (once the job is
 * prepared, the one the encoder uses), the errno of the job's failure for
 * MPGE_CFG_SYSTEM_ERROR. */
GOGO_API uint32_t MPGE_getConfigure(uint32_t id, uint32_t* result);
GOGO_API uint32_t MPGE_detectConfigure(void);
GOGO_API uint32_t MPGE_processFrame(void);
/* Closes the encoder and the files; an output not yet complete is removed. */
GOGO_API uint32_t MPGE_closeCoder(void);
GOGO_API uint32_t MPGE_endCoder(void);
/* *code: 0x0100 for version 1.00. text: MPGE_VERSION_TEXT_SIZE bytes,
 * filled with "libgogo 1.00 (LAME x.y)", NUL-terminated. */
GOGO_API uint32_t MPGE_getVersion(uint32_t* code, char* text);
/* *units: the MPGE_UNIT_* bits of the processor's vector units. */
GOGO_API uint32_t MPGE_getUnitStates(uint32_t* units);

/* The entry points' types, for callers that load the library at run time. */
typedef uint32_t (*MPGE_initializeWork_fn)(void);
typedef uint32_t (*MPGE_setConfigure_fn)(uint32_t, uintptr_t, uintptr_t);
typedef uint32_t (*MPGE_getConfigure_fn)(uint32_t, uint32_t*);
typedef uint32_t (*MPGE_detectConfigure_fn)(void);
typedef uint32_t (*MPGE_processFrame_fn)(void);
typedef uint32_t (*MPGE_closeCoder_fn)(void);
typedef uint32_t (*MPGE_endCoder_fn)(void);
typedef uint32_t (*MPGE_getVersion_fn)(uint32_t*, char*);
typedef uint32_t (*MPGE_getUnitStates_fn)(uint32_t*);

#ifdef __cplusplus
}
#endif

#endif /* GOGO_GOGO_H */
