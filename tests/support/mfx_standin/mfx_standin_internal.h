// The stand-in's session record, shared by its behaviour (mfx_standin.cpp:
// parameters, queues, locks, busy answers, synchronisation) and its payloads
// (mfx_standin_payload.cpp: what a coded picture holds, x264 or synthetic).
#ifndef MFX_STANDIN_INTERNAL_H
#define MFX_STANDIN_INTERNAL_H

#include <stdint.h>

#include <deque>
#include <string>
#include <vector>

#include <vpl/mfxvideo.h>

#ifdef MFX_STANDIN_X264
#include "standin_x264.h"
#endif

namespace standin {

enum class Mode { x264, synthetic, passthrough };

const int kMaxTasks = 64;

struct Config {
  Mode mode;
  mfxIMPL impl;
  int busy_answers;  // -1: every answer busy
  mfxStatus queryiosurf_status;
  mfxStatus init_status;
  int surfaces;      // NumFrameSuggested when set
  int surfaces_min;  // NumFrameMin when set
  int async_depth;   // the most operations the runtime runs at once, when set
  long encode_error_frame;
  mfxStatus encode_error_status;
  mfxStatus sync_status;
  int sync_failures;
  int buffer_kb;  // BufferSizeInKB the runtime asks for, when set
  bool no_b;
  bool no_dts;
  bool fill_buffer;
  bool hold_surfaces;
  std::string trace;
};

// A frame the encoder holds: its surface, input index and timestamp.
struct Held {
  mfxFrameSurface1 *surface;
  long index;
  mfxU64 timestamp;
  mfxU16 type;
  mfxFrameSurface1 *reference;  // B pictures: the later reference, locked for them
};

struct Task {
  bool used;
  mfxStatus failed;           // a sync that failed for good answers this ever after
  mfxBitstream *bs;           // written at SyncOperation
  mfxFrameSurface1 *surface;  // unlocked when the task is synchronised; may be null
  mfxFrameSurface1 *reference;  // B pictures: the later reference, unlocked with the task
  Held frame;                 // synthetic and passthrough: the frame to write
  std::vector<uint8_t> coded;  // x264: the coded picture
  mfxU64 timestamp;
  mfxI64 decode_timestamp;
  mfxU16 frame_type;
};

struct Session {
  Config cfg;
  bool encoder_ready;
  bool drain_started;  // a null surface ends the sequence
  mfxVideoParam param;  // as corrected at Init
  int reorder_depth;
  long frames_in;
  long frames_out;
  int busy_left;
  int sync_failures_left;
  int tasks_in_flight;
  Task tasks[kMaxTasks];
  std::deque<Held> pending;  // display order, not yet decided
  std::deque<Held> ready;    // decode order, waiting for an EncodeFrameAsync call
  std::deque<mfxU64> input_timestamps;
#ifdef MFX_STANDIN_X264
  x264_t *x264;
#endif
};

void lock(mfxFrameSurface1 *surface);
void unlock(const Session *s, mfxFrameSurface1 *surface);
Task *new_task(Session *s, mfxBitstream *bs);

// Payloads.
uint32_t payload_size(const Session *s, const Task *task);
void write_payload(const Session *s, const Task *task, uint8_t *out);
#ifdef MFX_STANDIN_X264
mfxStatus open_x264(Session *s);
void close_x264(Session *s);
// Feeds x264 (a null surface drains it): x264 reorders on its own.
mfxStatus encode_x264(Session *s, mfxFrameSurface1 *surface, mfxBitstream *bs, mfxSyncPoint *syncp);
#endif

}  // namespace standin

#endif
