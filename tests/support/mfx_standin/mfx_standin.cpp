// A software stand-in for the Media SDK's hardware runtime, the library that
// the graphics driver installs and the dispatcher loads (libmfx-gen.so.1.2 /
// libmfxhw64.so.1 on Linux, libmfxhw64.dll beside the program on Windows).
// Test infrastructure only: it lets the encoder library run against the real
// dispatcher on machines without an Intel GPU.
//
// It behaves as the Media SDK manual defines an H.264 encoder: QueryIOSurf
// asks for AsyncDepth + reorder-depth surfaces, Locked stays raised while the
// runtime holds a surface, EncodeFrameAsync hands out sync points and answers
// MFX_ERR_MORE_DATA while it buffers for B pictures and when a drain has
// nothing left, MFX_WRN_DEVICE_BUSY once AsyncDepth tasks are unsynchronised,
// and the bitstream (data, TimeStamp, DecodeTimeStamp in 90 kHz, FrameType)
// is filled only by SyncOperation.
//
// By default it is as strict as the hardware: QueryIOSurf asks for AsyncDepth +
// reorder depth + 1 surfaces; a surface stays locked while the runtime holds
// it and, for the later reference of B pictures, until those B pictures are
// done; EncodeFrameAsync hands out sync points and answers
// MFX_ERR_MORE_DATA while it buffers for B pictures and when a drain has
// nothing left, MFX_WRN_DEVICE_BUSY once AsyncDepth operations are
// unsynchronised (finished or not) and
// MFX_ERR_NOT_ENOUGH_BUFFER for a bitstream with less room than
// BufferSizeInKB; a null surface ends the sequence; parameters it cannot take
// are corrected (a baseline profile gets no B pictures) with
// MFX_WRN_INCOMPATIBLE_VIDEO_PARAM, and GetVideoParam tells what it runs with;
// the bitstream (data, TimeStamp, DecodeTimeStamp in 90 kHz, FrameType) is
// filled only by SyncOperation.
//
// The device: without a model an operation's work is done when SyncOperation
// asks for it (and for every operation handed out before it). With the model
// (MFXSTANDIN_DEVICE) every operation takes a set time on one of a set
// number of engines, starting when it is handed out or when an engine comes
// free, and operations finish in the order they were handed out; a thread of
// the session finishes them on time (the picture read from its surface, the
// surfaces unlocked) and SyncOperation sleeps until its operation is done.
// A failed device (MFXSTANDIN_DEVICE_FAILURE) finishes the operations before
// the failing one and no other: the failing one, those after it and the
// frames held for reordering keep their surfaces locked, as a hung or lost
// device does, until the session is closed; once the failure is noticed every
// EncodeFrameAsync answers its status, and so does SyncOperation for an
// operation that cannot finish.
//
// Modes (MFXSTANDIN_MODE):
//   x264         real H.264 through libx264 (default, natively and for Windows)
//   synthetic    frame-typed payloads with the same reordering, carrying the
//                frame's input index, TimeStamp and a checksum of the surface
//                read at SyncOperation (default without x264)
//   passthrough  no reordering, a tiny payload, the pixels never read
//
// Machines (MFXSTANDIN_MACHINE), each answering as such a machine's runtime
// does. The dispatcher asks the runtime for the interface it chose (the
// interface bits of the implementation MFXInitEx gets) and, per session
// opened, calls MFXInitEx several times; a refused call gets
// MFX_ERR_UNSUPPORTED and a "refused" trace line. MFXQueryIMPL reports the
// implementation the session was opened with (natively the hardware via
// VA-API) unless MFXSTANDIN_IMPL says otherwise.
//   (unset)         Direct3D 9 and 11, API 1.35: a Haswell-era driver
//   no-d3d9         no Direct3D 9: a newer runtime, a service session, an
//                   adapter without a monitor
//   no-d3d11        no Direct3D 11: an old driver
//   no-d3d          neither
//   d3d11-init      a Direct3D 11 session opens and ENCODE_Init refuses it
//                   with MFX_ERR_UNSUPPORTED; Direct3D 9 works
//   api-1.255       the newer runtime (Rocket Lake and later, Arc) through the
//                   1.x calls: Direct3D 11 only, API 1.255
//   low-power       an encoder with only its low-power engine (Jasper Lake,
//                   Elkhart Lake): B pictures dropped, GopRefDist corrected
//                   to 1 with MFX_WRN_INCOMPATIBLE_VIDEO_PARAM
//
// Faults, read from the environment when a session opens:
//   MFXSTANDIN_TRACE=path          append one line per session event (the marker
//                                  the tests look for)
//   MFXSTANDIN_IMPL=n              what MFXQueryIMPL reports (1 = software)
//   MFXSTANDIN_BUSY=n              the first n EncodeFrameAsync calls answer busy
//                                  (-1: every call)
//   MFXSTANDIN_QUERYIOSURF_STATUS=s / MFXSTANDIN_INIT_STATUS=s
//                                  status of ENCODE_QueryIOSurf / ENCODE_Init
//                                  (4 = partial acceleration)
//   MFXSTANDIN_GETVIDEOPARAM_STATUS=s  status of ENCODE_GetVideoParam (a
//                                  device lost right after Init)
//   MFXSTANDIN_SURFACES=n[:m]      NumFrameSuggested n (and NumFrameMin m)
//   MFXSTANDIN_ASYNC_DEPTH=n       AsyncDepth lowered to at most n
//   MFXSTANDIN_BUFFER_KB=n         the BufferSizeInKB asked for
//   MFXSTANDIN_ENCODE_ERROR=k:s    the k-th frame (from 0) is refused with s
//   MFXSTANDIN_DRAIN_ERROR=s       the first drain request is refused with s
//   MFXSTANDIN_SYNC_ERROR=s[:n]    the first n SyncOperation calls fail with s;
//                                  a negative s fails that operation for good
//                                  (and it alone: its surfaces come back)
//   MFXSTANDIN_DEVICE=e:us         the device model: e engines, us microseconds
//                                  per operation
//   MFXSTANDIN_DEVICE_FAILURE=s:k[:submit]
//                                  the device fails with status s (-13 lost,
//                                  -17 failed, -21 hung) at operation k (from
//                                  0): noticed by the first SyncOperation for it
//                                  or a later one, or with ":submit" by the
//                                  EncodeFrameAsync call that would hand it out
//   MFXSTANDIN_NO_B=1              no B pictures, no reordering delay (as
//                                  the low-power machine)
//   MFXSTANDIN_NO_DTS=1            DecodeTimeStamp never written
//   MFXSTANDIN_FILL_BUFFER=1       SyncOperation reports the whole buffer used
//   MFXSTANDIN_HOLD_SURFACES=1     surfaces are never unlocked
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#endif

#include "mfx_standin_export.h"
#include "mfx_standin_internal.h"

namespace standin {

void lock(mfxFrameSurface1 *surface) {
  if (surface) surface->Data.Locked++;
}

void unlock(const Session *s, mfxFrameSurface1 *surface) {
  if (surface && !s->cfg.hold_surfaces && surface->Data.Locked > 0) surface->Data.Locked--;
}

Task *new_task(Session *s, mfxBitstream *bs) {
  for (Task &t : s->tasks) {
    if (t.used) continue;
    t.used = true;
    t.serial = s->tasks_made++;
    t.finished = false;
    t.failed = MFX_ERR_NONE;
    t.bs = bs;
    t.surface = t.reference = nullptr;
    t.coded.clear();
    t.decode_timestamp = 0;
    s->tasks_in_flight++;
    if (s->cfg.engines > 0) {
      auto engine = std::min_element(s->engine_free.begin(), s->engine_free.end());
      *engine = std::max(Clock::now(), *engine) + s->cfg.task_time;
      t.done_at = std::max(*engine, s->last_done);
      s->last_done = t.done_at;
      s->changed.notify_all();
    }
    return &t;
  }
  return nullptr;
}

}  // namespace standin

namespace {

using namespace standin;

std::string env_text(const char *name) {
#ifdef _WIN32
  char value[1024];
  DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
#else
  const char *value = getenv(name);
  return value ? value : "";
#endif
}

long env_number(const char *name, long fallback) {
  std::string text = env_text(name);
  return text.empty() ? fallback : strtol(text.c_str(), nullptr, 0);
}

// "a:b" or "a" into two numbers.
void env_pair(const char *name, long *first, long *second) {
  std::string text = env_text(name);
  if (text.empty()) return;
  char *rest = nullptr;
  *first = strtol(text.c_str(), &rest, 0);
  if (rest && *rest == ':') *second = strtol(rest + 1, nullptr, 0);
}

const Machine kMachines[] = {
    {"", true, true, MFX_ERR_NONE, 35, false},
    {"no-d3d9", false, true, MFX_ERR_NONE, 35, false},
    {"no-d3d11", true, false, MFX_ERR_NONE, 35, false},
    {"no-d3d", false, false, MFX_ERR_NONE, 35, false},
    {"d3d11-init", true, true, MFX_ERR_UNSUPPORTED, 35, false},
    {"api-1.255", false, true, MFX_ERR_NONE, 255, false},
    {"low-power", true, true, MFX_ERR_NONE, 35, true},
};

const Machine *find_machine(const std::string &name) {
  for (const Machine &m : kMachines) {
    if (name == m.name) return &m;
  }
  return nullptr;
}

mfxIMPL interface_of(mfxIMPL impl) { return impl & 0x0F00; }

// Whether the machine opens a session through the interface asked for.
bool opens(const Machine *m, mfxIMPL impl) {
  if (!m) return false;
  mfxIMPL via = interface_of(impl);
  return (via != MFX_IMPL_VIA_D3D9 || m->d3d9) && (via != MFX_IMPL_VIA_D3D11 || m->d3d11);
}

Config read_config() {
  Config cfg;
  cfg.machine = find_machine(env_text("MFXSTANDIN_MACHINE"));
#ifdef MFX_STANDIN_X264
  cfg.mode = Mode::x264;
#else
  cfg.mode = Mode::synthetic;
#endif
  std::string mode = env_text("MFXSTANDIN_MODE");
  if (mode == "synthetic") cfg.mode = Mode::synthetic;
  if (mode == "passthrough") cfg.mode = Mode::passthrough;
  cfg.impl = (mfxIMPL)env_number("MFXSTANDIN_IMPL", 0);
  cfg.busy_answers = (int)env_number("MFXSTANDIN_BUSY", 0);
  cfg.queryiosurf_status = (mfxStatus)env_number("MFXSTANDIN_QUERYIOSURF_STATUS", MFX_ERR_NONE);
  cfg.init_status = (mfxStatus)env_number("MFXSTANDIN_INIT_STATUS", MFX_ERR_NONE);
  cfg.getvideoparam_status = (mfxStatus)env_number("MFXSTANDIN_GETVIDEOPARAM_STATUS", MFX_ERR_NONE);
  long surfaces = 0, surfaces_min = 0;
  env_pair("MFXSTANDIN_SURFACES", &surfaces, &surfaces_min);
  cfg.surfaces = (int)surfaces;
  cfg.surfaces_min = (int)surfaces_min;
  cfg.async_depth = (int)env_number("MFXSTANDIN_ASYNC_DEPTH", 0);
  long frame = -1, status = MFX_ERR_UNKNOWN;
  env_pair("MFXSTANDIN_ENCODE_ERROR", &frame, &status);
  cfg.encode_error_frame = frame;
  cfg.encode_error_status = (mfxStatus)status;
  cfg.drain_error = (mfxStatus)env_number("MFXSTANDIN_DRAIN_ERROR", MFX_ERR_NONE);
  long sync_status = MFX_ERR_NONE, sync_count = 1;
  env_pair("MFXSTANDIN_SYNC_ERROR", &sync_status, &sync_count);
  cfg.sync_status = (mfxStatus)sync_status;
  cfg.sync_failures = sync_status != MFX_ERR_NONE ? (int)sync_count : 0;
  cfg.buffer_kb = (int)env_number("MFXSTANDIN_BUFFER_KB", 0);
  cfg.no_b = env_number("MFXSTANDIN_NO_B", 0) != 0 || (cfg.machine && cfg.machine->low_power);
  cfg.no_dts = env_number("MFXSTANDIN_NO_DTS", 0) != 0;
  cfg.fill_buffer = env_number("MFXSTANDIN_FILL_BUFFER", 0) != 0;
  cfg.hold_surfaces = env_number("MFXSTANDIN_HOLD_SURFACES", 0) != 0;
  long engines = 0, task_us = 0;
  env_pair("MFXSTANDIN_DEVICE", &engines, &task_us);
  cfg.engines = (int)engines;
  cfg.task_time = std::chrono::microseconds(task_us);
  std::string failure = env_text("MFXSTANDIN_DEVICE_FAILURE");
  cfg.device_status = MFX_ERR_NONE;
  cfg.device_task = -1;
  cfg.device_at_submit = false;
  if (!failure.empty()) {
    char *rest = nullptr;
    cfg.device_status = (mfxStatus)strtol(failure.c_str(), &rest, 0);
    cfg.device_task = *rest == ':' ? strtol(rest + 1, &rest, 0) : 0;
    cfg.device_at_submit = strcmp(rest, ":submit") == 0;
  }
  cfg.trace = env_text("MFXSTANDIN_TRACE");
  return cfg;
}

const char *mode_name(Mode mode) {
  switch (mode) {
    case Mode::x264:
      return "x264";
    case Mode::synthetic:
      return "synthetic";
    case Mode::passthrough:
      return "passthrough";
  }
  return "?";
}

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void trace(const Session *s, const char *fmt, ...) {
  if (s->cfg.trace.empty()) return;
  FILE *f = fopen(s->cfg.trace.c_str(), "a");
  if (!f) return;
  fputs("mfx_standin ", f);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(f, fmt, ap);
  va_end(ap);
  fputc('\n', f);
  fclose(f);
}

// What a hardware encoder checks before it takes parameters.
mfxStatus check_param(const mfxVideoParam *par) {
  if (!par) return MFX_ERR_NULL_PTR;
  const mfxInfoMFX &mfx = par->mfx;
  const mfxFrameInfo &info = mfx.FrameInfo;
  if (mfx.CodecId != MFX_CODEC_AVC || info.FourCC != MFX_FOURCC_NV12 || info.ChromaFormat != MFX_CHROMAFORMAT_YUV420 ||
      info.PicStruct != MFX_PICSTRUCT_PROGRESSIVE || par->IOPattern != MFX_IOPATTERN_IN_SYSTEM_MEMORY)
    return MFX_ERR_INVALID_VIDEO_PARAM;
  if (info.Width == 0 || info.Height == 0 || info.Width % 16 || info.Height % 16 || info.Width > 4096 ||
      info.Height > 4096)
    return MFX_ERR_INVALID_VIDEO_PARAM;
  if (info.CropW == 0 || info.CropH == 0 || info.CropX + info.CropW > info.Width || info.CropY + info.CropH > info.Height)
    return MFX_ERR_INVALID_VIDEO_PARAM;
  if (info.FrameRateExtN == 0 || info.FrameRateExtD == 0) return MFX_ERR_INVALID_VIDEO_PARAM;
  if (mfx.RateControlMethod == MFX_RATECONTROL_CBR && mfx.TargetKbps == 0) return MFX_ERR_INVALID_VIDEO_PARAM;
  return MFX_ERR_NONE;
}

// The parameters the encoder runs with, from those asked for: what it cannot
// take is corrected, with MFX_WRN_INCOMPATIBLE_VIDEO_PARAM; what was left to
// it is filled in (CodecProfile, AsyncDepth, BufferSizeInKB).
mfxStatus correct_param(const Session *s, const mfxVideoParam *par, mfxVideoParam *out) {
  *out = *par;
  mfxStatus sts = MFX_ERR_NONE;
  mfxInfoMFX &m = out->mfx;
  if ((m.CodecProfile == MFX_PROFILE_AVC_BASELINE || s->cfg.no_b) && m.GopRefDist > 1) {
    m.GopRefDist = 1;  // baseline, and the low-power engine, have no B pictures
    sts = MFX_WRN_INCOMPATIBLE_VIDEO_PARAM;
  }
  if (m.CodecProfile == 0) m.CodecProfile = MFX_PROFILE_AVC_HIGH;
  if (out->AsyncDepth == 0) out->AsyncDepth = 4;
  if (s->cfg.async_depth > 0 && out->AsyncDepth > s->cfg.async_depth) {
    out->AsyncDepth = (mfxU16)s->cfg.async_depth;
    sts = MFX_WRN_INCOMPATIBLE_VIDEO_PARAM;
  }
  // Room for two seconds at the target rate, and never less than an
  // uncompressed picture: a coded picture must always fit.
  int64_t multiplier = m.BRCParamMultiplier ? m.BRCParamMultiplier : 1;
  int64_t bytes = (int64_t)m.TargetKbps * multiplier * 1000 / 8 * 2;
  int64_t raw = (int64_t)m.FrameInfo.Width * m.FrameInfo.Height * 3 / 2;
  if (bytes < raw) bytes = raw;
  int64_t kb = s->cfg.buffer_kb ? s->cfg.buffer_kb : ((bytes + 999) / 1000 + multiplier - 1) / multiplier;
  if (m.BufferSizeInKB < kb) m.BufferSizeInKB = (mfxU16)(kb > 0xFFFF ? 0xFFFF : kb);
  return sts;
}

uint32_t buffer_bytes(const mfxVideoParam &par) {
  uint32_t multiplier = par.mfx.BRCParamMultiplier ? par.mfx.BRCParamMultiplier : 1;
  return par.mfx.BufferSizeInKB * 1000u * multiplier;
}

void trace_param(const Session *s, const char *what, const mfxVideoParam *p) {
  const mfxInfoMFX &m = p->mfx;
  const mfxFrameInfo &f = m.FrameInfo;
  trace(s,
        "%s CodecId=%u CodecProfile=%u TargetUsage=%u RateControlMethod=%u TargetKbps=%u MaxKbps=%u "
        "BRCParamMultiplier=%u GopPicSize=%u GopRefDist=%u GopOptFlag=%u IdrInterval=%u NumSlice=%u EncodedOrder=%u "
        "FrameRateExtN=%u FrameRateExtD=%u FourCC=%u PicStruct=%u ChromaFormat=%u Width=%u Height=%u CropX=%u CropY=%u "
        "CropW=%u CropH=%u AsyncDepth=%u IOPattern=%u",
        what, m.CodecId, m.CodecProfile, m.TargetUsage, m.RateControlMethod, m.TargetKbps, m.MaxKbps,
        m.BRCParamMultiplier, m.GopPicSize, m.GopRefDist, m.GopOptFlag, m.IdrInterval, m.NumSlice, m.EncodedOrder,
        f.FrameRateExtN, f.FrameRateExtD, f.FourCC, f.PicStruct, f.ChromaFormat, f.Width, f.Height, f.CropX, f.CropY,
        f.CropW, f.CropH, p->AsyncDepth, p->IOPattern);
}

int reorder_depth(const Session *s, const mfxVideoParam *par) {
  if (s->cfg.no_b || s->cfg.mode == Mode::passthrough) return 0;
  return par->mfx.GopRefDist > 1 ? par->mfx.GopRefDist - 1 : 0;
}

// Picture type of display frame `index` in closed GOPs of GopPicSize with one
// B picture between references when the encoder reorders.
mfxU16 planned_type(const Session *s, long index) {
  long gop = s->param.mfx.GopPicSize ? s->param.mfx.GopPicSize : 0x7fffffff;
  long position = index % gop;
  if (position == 0) return MFX_FRAMETYPE_I | MFX_FRAMETYPE_IDR | MFX_FRAMETYPE_REF;
  if (s->reorder_depth > 0 && position % 2 == 1 && position + 1 < gop) return MFX_FRAMETYPE_B;
  return MFX_FRAMETYPE_P | MFX_FRAMETYPE_REF;
}

// Moves decided frames to the ready queue in decode order: a B picture goes
// after the reference that follows it. Draining decides everything; a B
// picture left without its reference becomes a P picture.
void decide(Session *s, bool draining) {
  while (!s->pending.empty() && (draining || (int)s->pending.size() > s->reorder_depth)) {
    Held first = s->pending.front();
    s->pending.pop_front();
    if (first.type == MFX_FRAMETYPE_B) {
      if (s->pending.empty()) {
        first.type = MFX_FRAMETYPE_P | MFX_FRAMETYPE_REF;
      } else {
        // The later reference goes first; its surface stays locked until
        // this B picture, which refers to it, is done.
        first.reference = s->pending.front().surface;
        lock(first.reference);
        s->ready.push_back(s->pending.front());
        s->pending.pop_front();
      }
    }
    s->ready.push_back(first);
  }
}

// Decoding timestamp of the next frame in decode order: the next input
// timestamp, moved back by the reordering delay.
mfxI64 next_decode_timestamp(Session *s) {
  mfxU64 input = s->input_timestamps.front();
  s->input_timestamps.pop_front();
  const mfxFrameInfo &f = s->param.mfx.FrameInfo;
  mfxI64 interval = (mfxI64)90000 * f.FrameRateExtD / f.FrameRateExtN;
  return (mfxI64)input - s->reorder_depth * interval;
}

mfxStatus emit_planned(Session *s, mfxBitstream *bs, mfxSyncPoint *syncp) {
  if (s->ready.empty()) return MFX_ERR_MORE_DATA;
  Task *task = new_task(s, bs);
  if (!task) return MFX_ERR_MEMORY_ALLOC;
  task->frame = s->ready.front();
  s->ready.pop_front();
  task->surface = task->frame.surface;
  task->timestamp = task->frame.timestamp;
  task->frame_type = task->frame.type;
  task->reference = task->frame.reference;
  task->decode_timestamp = next_decode_timestamp(s);
  *syncp = (mfxSyncPoint)task;
  return MFX_ERR_NONE;
}

// The device is done with the task: the picture is read, its surfaces go
// back to the caller.
void finish_task(Session *s, Task *task) {
  make_payload(s, task);
  unlock(s, task->surface);
  unlock(s, task->reference);
  task->surface = task->reference = nullptr;
  task->finished = true;
}

// An operation at or after the one where the device fails never finishes.
bool stuck(const Session *s, const Task *task) {
  return s->cfg.device_task >= 0 && task->serial >= s->cfg.device_task;
}

// The first operation handed out before `below` that the device still has
// to finish, or null.
Task *oldest_unfinished(Session *s, long below) {
  Task *oldest = nullptr;
  for (Task &t : s->tasks) {
    if (!t.used || t.finished || stuck(s, &t) || t.serial >= below) continue;
    if (!oldest || t.serial < oldest->serial) oldest = &t;
  }
  return oldest;
}

// Without the device model: the device does now, in order, what it would
// have done up to `below`.
void finish_before(Session *s, long below) {
  if (s->cfg.engines > 0) return;
  while (Task *t = oldest_unfinished(s, below)) finish_task(s, t);
}

mfxStatus notice_failure(Session *s) {
  if (s->device_failed == MFX_ERR_NONE) {
    finish_before(s, s->cfg.device_task);
    s->device_failed = s->cfg.device_status;
    trace(s, "device failed status=%d at task %ld", s->cfg.device_status, s->cfg.device_task);
  }
  return s->device_failed;
}

// The device model's engines: each operation is finished when its time has
// come, in order; the thread sleeps in between.
void run_device(Session *s) {
  std::unique_lock<std::mutex> hold(s->mutex);
  while (!s->stopping) {
    Task *next = oldest_unfinished(s, LONG_MAX);
    if (!next) {
      s->changed.wait(hold);
    } else if (Clock::now() < next->done_at) {
      s->changed.wait_until(hold, next->done_at);
    } else {
      finish_task(s, next);
      s->changed.notify_all();
    }
  }
}

void stop_device(Session *s) {
  if (!s->device.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(s->mutex);
    s->stopping = true;
  }
  s->changed.notify_all();
  s->device.join();
  s->stopping = false;
}

// After stop_device: nothing else touches the session.
void close_encoder(Session *s) {
#ifdef MFX_STANDIN_X264
  close_x264(s);
#endif
  for (Held &h : s->pending) unlock(s, h.surface);
  for (Held &h : s->ready) {
    unlock(s, h.surface);
    unlock(s, h.reference);
  }
  for (Task &t : s->tasks) {
    if (t.used && !t.finished) {
      unlock(s, t.surface);
      unlock(s, t.reference);
    }
    t.used = false;
  }
  s->pending.clear();
  s->ready.clear();
  s->input_timestamps.clear();
  s->tasks_in_flight = 0;
  s->encoder_ready = false;
  s->drain_started = false;
}

mfxStatus count_output(Session *s, mfxStatus sts) {
  if (sts == MFX_ERR_NONE) s->frames_out++;
  return sts;
}

Task *task_of(Session *s, mfxSyncPoint syncp) {
  Task *task = (Task *)syncp;
  if (task < s->tasks || task >= s->tasks + kMaxTasks || !task->used) return nullptr;
  return task;
}

}  // namespace

extern "C" {

MFX_STANDIN_API mfxStatus MFX_CDECL MFXInitEx(mfxInitParam par, mfxSession *session) {
  if (!session) return MFX_ERR_NULL_PTR;
  Session *s = new Session();
  s->cfg = read_config();
  s->opened = par.Implementation;
  if (!opens(s->cfg.machine, par.Implementation)) {
    trace(s, "refused impl=0x%x machine=%s", (unsigned)par.Implementation,
          s->cfg.machine ? s->cfg.machine->name : "unknown");
    delete s;
    return MFX_ERR_UNSUPPORTED;
  }
  s->busy_left = s->cfg.busy_answers;
  s->sync_failures_left = s->cfg.sync_failures;
  trace(s, "init mode=%s impl=0x%x version=%u.%u", mode_name(s->cfg.mode), (unsigned)par.Implementation,
        par.Version.Major, par.Version.Minor);
  *session = (mfxSession)s;
  return MFX_ERR_NONE;
}

MFX_STANDIN_API mfxStatus MFX_CDECL MFXInit(mfxIMPL impl, mfxVersion *ver, mfxSession *session) {
  mfxInitParam par = {};
  par.Implementation = impl;
  if (ver) par.Version = *ver;
  return MFXInitEx(par, session);
}

MFX_STANDIN_API mfxStatus MFX_CDECL MFXClose(mfxSession session) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  Session *s = (Session *)session;
  stop_device(s);
  close_encoder(s);
  trace(s, "close frames_in=%ld frames_out=%ld", s->frames_in, s->frames_out);
  delete s;
  return MFX_ERR_NONE;
}

MFX_STANDIN_API mfxStatus MFX_CDECL MFXQueryIMPL(mfxSession session, mfxIMPL *impl) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  if (!impl) return MFX_ERR_NULL_PTR;
  const Session *s = (const Session *)session;
#ifdef _WIN32
  *impl = s->cfg.impl ? s->cfg.impl : s->opened;
#else
  *impl = s->cfg.impl ? s->cfg.impl : MFX_IMPL_HARDWARE | MFX_IMPL_VIA_VAAPI;
#endif
  return MFX_ERR_NONE;
}

MFX_STANDIN_API mfxStatus MFX_CDECL MFXQueryVersion(mfxSession session, mfxVersion *version) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  if (!version) return MFX_ERR_NULL_PTR;
  version->Major = 1;
  version->Minor = ((Session *)session)->cfg.machine->api_minor;
  return MFX_ERR_NONE;
}

MFX_STANDIN_API mfxStatus MFX_CDECL MFXVideoCORE_QueryPlatform(mfxSession session, mfxPlatform *platform) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  if (!platform) return MFX_ERR_NULL_PTR;
  memset(platform, 0, sizeof *platform);
  platform->CodeName = MFX_PLATFORM_HASWELL;
  platform->DeviceId = 0x0412;
  platform->MediaAdapterType = MFX_MEDIA_INTEGRATED;
  return MFX_ERR_NONE;
}

MFX_STANDIN_API mfxStatus MFX_CDECL MFXVideoENCODE_QueryIOSurf(mfxSession session, mfxVideoParam *par,
                                                              mfxFrameAllocRequest *request) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  if (!request) return MFX_ERR_NULL_PTR;
  Session *s = (Session *)session;
  mfxStatus sts = check_param(par);
  if (sts != MFX_ERR_NONE) return sts;
  trace_param(s, "queryiosurf", par);
  if (s->cfg.queryiosurf_status < MFX_ERR_NONE) return s->cfg.queryiosurf_status;
  mfxVideoParam actual;
  mfxStatus corrected = correct_param(s, par, &actual);
  memset(request, 0, sizeof *request);
  request->Info = actual.mfx.FrameInfo;
  request->Type = MFX_MEMTYPE_FROM_ENCODE | MFX_MEMTYPE_SYSTEM_MEMORY | MFX_MEMTYPE_EXTERNAL_FRAME;
  // Operations in flight, frames held for reordering, and the reference that
  // the held B pictures still need; at the least the held frames, their
  // reference and the one to submit.
  int depth = reorder_depth(s, &actual);
  request->NumFrameMin = (mfxU16)(s->cfg.surfaces_min ? s->cfg.surfaces_min : depth ? depth + 2 : 1);
  request->NumFrameSuggested = (mfxU16)(s->cfg.surfaces ? s->cfg.surfaces : actual.AsyncDepth + depth + 1);
  return s->cfg.queryiosurf_status != MFX_ERR_NONE ? s->cfg.queryiosurf_status : corrected;
}

MFX_STANDIN_API mfxStatus MFX_CDECL MFXVideoENCODE_Init(mfxSession session, mfxVideoParam *par) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  Session *s = (Session *)session;
  if (s->encoder_ready) return MFX_ERR_UNDEFINED_BEHAVIOR;
  mfxStatus sts = check_param(par);
  if (sts != MFX_ERR_NONE) return sts;
  trace_param(s, "encode_init", par);
  if (s->cfg.init_status < MFX_ERR_NONE) return s->cfg.init_status;
  if (interface_of(s->opened) == MFX_IMPL_VIA_D3D11 && s->cfg.machine->d3d11_init < MFX_ERR_NONE)
    return s->cfg.machine->d3d11_init;
  mfxStatus corrected = correct_param(s, par, &s->param);
  s->reorder_depth = reorder_depth(s, &s->param);
#ifdef MFX_STANDIN_X264
  if (s->cfg.mode == Mode::x264) {
    sts = open_x264(s);
    if (sts != MFX_ERR_NONE) return sts;
  }
#endif
  s->encoder_ready = true;
  if (s->cfg.engines > 0) {
    s->engine_free.assign((size_t)s->cfg.engines, Clock::time_point());
    s->last_done = Clock::time_point();
    s->device = std::thread(run_device, s);
  }
  return s->cfg.init_status != MFX_ERR_NONE ? s->cfg.init_status : corrected;
}

MFX_STANDIN_API mfxStatus MFX_CDECL MFXVideoENCODE_Close(mfxSession session) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  Session *s = (Session *)session;
  if (!s->encoder_ready) return MFX_ERR_NOT_INITIALIZED;
  stop_device(s);
  close_encoder(s);
  return MFX_ERR_NONE;
}

MFX_STANDIN_API mfxStatus MFX_CDECL MFXVideoENCODE_GetVideoParam(mfxSession session, mfxVideoParam *par) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  Session *s = (Session *)session;
  if (!s->encoder_ready) return MFX_ERR_NOT_INITIALIZED;
  if (!par) return MFX_ERR_NULL_PTR;
  if (s->cfg.getvideoparam_status != MFX_ERR_NONE) return s->cfg.getvideoparam_status;
  *par = s->param;
  return MFX_ERR_NONE;
}

MFX_STANDIN_API mfxStatus MFX_CDECL MFXVideoENCODE_EncodeFrameAsync(mfxSession session, mfxEncodeCtrl *ctrl,
                                                                   mfxFrameSurface1 *surface, mfxBitstream *bs,
                                                                   mfxSyncPoint *syncp) {
  (void)ctrl;
  if (!session) return MFX_ERR_INVALID_HANDLE;
  Session *s = (Session *)session;
  std::lock_guard<std::mutex> hold(s->mutex);
  if (!s->encoder_ready) return MFX_ERR_NOT_INITIALIZED;
  if (!bs || !syncp) return MFX_ERR_NULL_PTR;
  if (s->device_failed != MFX_ERR_NONE) return s->device_failed;
  if (s->cfg.device_at_submit && s->cfg.device_task >= 0 && s->tasks_made >= s->cfg.device_task)
    return notice_failure(s);
  if (s->busy_left != 0) {
    if (s->busy_left > 0) s->busy_left--;
    return MFX_WRN_DEVICE_BUSY;
  }
  // Nothing runs until SyncOperation asks for it, so the queue stays full.
  if (s->tasks_in_flight >= s->param.AsyncDepth) return MFX_WRN_DEVICE_BUSY;
  if (bs->MaxLength < bs->DataOffset + bs->DataLength ||
      bs->MaxLength - bs->DataOffset - bs->DataLength < buffer_bytes(s->param))
    return MFX_ERR_NOT_ENOUGH_BUFFER;
  if (surface) {
    if (s->drain_started) return MFX_ERR_UNDEFINED_BEHAVIOR;
    if (!surface->Data.Y || !surface->Data.UV) return MFX_ERR_NULL_PTR;
    if (s->frames_offered++ == s->cfg.encode_error_frame) return s->cfg.encode_error_status;
    lock(surface);
    long index = s->frames_in++;
#ifdef MFX_STANDIN_X264
    if (s->cfg.mode == Mode::x264) return count_output(s, encode_x264(s, surface, bs, syncp));
#endif
    s->input_timestamps.push_back(surface->Data.TimeStamp);
    s->pending.push_back(Held{surface, index, surface->Data.TimeStamp, planned_type(s, index), nullptr});
    decide(s, false);
  } else {
    if (s->cfg.drain_error != MFX_ERR_NONE && !s->drain_refused) {
      s->drain_refused = true;
      return s->cfg.drain_error;
    }
    s->drain_started = true;
#ifdef MFX_STANDIN_X264
    if (s->cfg.mode == Mode::x264) return count_output(s, encode_x264(s, nullptr, bs, syncp));
#endif
    decide(s, true);
  }
  return count_output(s, emit_planned(s, bs, syncp));
}

MFX_STANDIN_API mfxStatus MFX_CDECL MFXVideoCORE_SyncOperation(mfxSession session, mfxSyncPoint syncp, mfxU32 wait) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  Session *s = (Session *)session;
  if (!syncp) return MFX_ERR_NULL_PTR;
  std::unique_lock<std::mutex> hold(s->mutex);
  Task *task = task_of(s, syncp);
  if (!task) return MFX_ERR_INVALID_HANDLE;
  if (task->failed != MFX_ERR_NONE) return task->failed;
  if (stuck(s, task)) return notice_failure(s);
  if (s->sync_failures_left > 0) {
    s->sync_failures_left--;
    // A warning (still in execution) clears; an error ends the operation.
    if (s->cfg.sync_status < MFX_ERR_NONE) {
      task->failed = s->cfg.sync_status;
      if (!task->finished) finish_task(s, task);
      s->tasks_in_flight--;
    }
    return s->cfg.sync_status;
  }
  finish_before(s, task->serial + 1);
  if (!s->changed.wait_for(hold, std::chrono::milliseconds(wait), [task] { return task->finished; }))
    return MFX_WRN_IN_EXECUTION;
  // The task's bitstream is written only now.
  mfxBitstream *bs = task->bs;
  uint32_t size = (uint32_t)task->coded.size();
  if (bs->MaxLength < bs->DataOffset + bs->DataLength || bs->MaxLength - bs->DataOffset - bs->DataLength < size)
    return MFX_ERR_NOT_ENOUGH_BUFFER;
  memcpy(bs->Data + bs->DataOffset + bs->DataLength, task->coded.data(), size);
  bs->DataLength += size;
  if (s->cfg.fill_buffer) bs->DataLength = bs->MaxLength - bs->DataOffset;
  bs->TimeStamp = task->timestamp;
  if (!s->cfg.no_dts) bs->DecodeTimeStamp = task->decode_timestamp;
  bs->FrameType = task->frame_type;
  s->tasks_in_flight--;
  task->used = false;
  return MFX_ERR_NONE;
}

}  // extern "C"
