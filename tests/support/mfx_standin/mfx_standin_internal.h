// The stand-in's session record, shared by its behaviour (mfx_standin.cpp:
// parameters, queues, locks, busy answers, the device, synchronisation) and
// its payloads (mfx_standin_payload.cpp: what a coded picture holds, x264 or
// synthetic).
#ifndef MFX_STANDIN_INTERNAL_H
#define MFX_STANDIN_INTERNAL_H

#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <vpl/mfxvideo.h>

#ifdef MFX_STANDIN_X264
#include "standin_x264.h"
#endif

namespace standin {

enum class Mode { x264, synthetic, passthrough };

const int kMaxTasks = 64;

using Clock = std::chrono::steady_clock;

// A kind of machine, as its runtime answers (MFXSTANDIN_MACHINE).
struct Machine {
  const char *name;
  bool d3d9, d3d11;     // the interfaces a session opens through
  mfxStatus d3d11_init;  // what ENCODE_Init answers on a Direct3D 11 session
  mfxU16 api_minor;      // the 1.x API version it reports
  bool low_power;        // the low-power engine only: no B pictures
};

struct Config {
  Mode mode;
  const Machine *machine;  // null: a name no profile has
  mfxIMPL impl;            // what MFXQueryIMPL reports; 0: the session's own
  int busy_answers;  // -1: every answer busy
  mfxStatus queryiosurf_status;
  mfxStatus init_status;
  mfxStatus getvideoparam_status;
  int surfaces;      // NumFrameSuggested when set
  int surfaces_min;  // NumFrameMin when set
  int async_depth;   // the most operations the runtime runs at once, when set
  long encode_error_frame;
  mfxStatus encode_error_status;
  mfxStatus drain_error;  // the first EncodeFrameAsync without a surface answers it
  mfxStatus sync_status;
  int sync_failures;
  int buffer_kb;  // BufferSizeInKB the runtime asks for, when set
  bool no_b;
  bool no_dts;
  bool fill_buffer;
  bool hold_surfaces;
  int engines;             // the device model: engines working at once; 0: work done when synchronised
  Clock::duration task_time;  // the device model: time of one task on an engine
  mfxStatus device_status;    // the device fails with this status...
  long device_task;           // ...at this task (from 0); -1: never
  bool device_at_submit;      // noticed by EncodeFrameAsync instead of SyncOperation
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
  long serial;                // order in which the tasks were handed out
  bool finished;              // the device is done: coded holds the picture, the surfaces are unlocked
  Clock::time_point done_at;  // the device model: when it finishes
  mfxStatus failed;           // a sync that failed for good answers this ever after
  mfxBitstream *bs;           // written at SyncOperation
  mfxFrameSurface1 *surface;  // unlocked when the task is synchronised; may be null
  mfxFrameSurface1 *reference;  // B pictures: the later reference, unlocked with the task
  Held frame;                 // synthetic and passthrough: the frame to write
  std::vector<uint8_t> coded;  // the coded picture (x264: from the start; others: once finished)
  mfxU64 timestamp;
  mfxI64 decode_timestamp;
  mfxU16 frame_type;
};

struct Session {
  Config cfg;
  mfxIMPL opened;  // the implementation and interface it was opened with
  bool encoder_ready;
  bool drain_started;  // a null surface ends the sequence
  bool drain_refused;
  mfxVideoParam param;  // as corrected at Init
  int reorder_depth;
  long frames_offered;  // frames given to EncodeFrameAsync, refused ones included
  long frames_in;
  long frames_out;
  int busy_left;
  int sync_failures_left;
  int tasks_in_flight;  // handed out and not synchronised
  long tasks_made;
  mfxStatus device_failed;  // once the failure is noticed, every call answers it
  Task tasks[kMaxTasks];
  // Everything above is the caller's and the device thread's: `mutex` guards
  // it, `changed` tells of a new or finished task.
  std::mutex mutex;
  std::condition_variable changed;
  std::thread device;
  bool stopping;
  std::vector<Clock::time_point> engine_free;
  Clock::time_point last_done;
  std::deque<Held> pending;  // display order, not yet decided
  std::deque<Held> ready;    // decode order, waiting for an EncodeFrameAsync call
  std::deque<mfxU64> input_timestamps;
#ifdef MFX_STANDIN_X264
  x264_t *x264;
#endif
};

void lock(mfxFrameSurface1 *surface);
void unlock(const Session *s, mfxFrameSurface1 *surface);
// A task handed out now; with the device model it is scheduled on the
// engine that is free first, finishing no earlier than the task before it.
Task *new_task(Session *s, mfxBitstream *bs);

// Synthetic and pass-through: the picture's payload into task->coded, read
// from its surface now (the device is done with it).
void make_payload(const Session *s, Task *task);
#ifdef MFX_STANDIN_X264
mfxStatus open_x264(Session *s);
void close_x264(Session *s);
// Feeds x264 (a null surface drains it): x264 reorders on its own.
mfxStatus encode_x264(Session *s, mfxFrameSurface1 *surface, mfxBitstream *bs, mfxSyncPoint *syncp);
#endif

}  // namespace standin

#endif
