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
// Modes (MFXSTANDIN_MODE):
//   x264         real H.264 through libx264 (native default)
//   synthetic    frame-typed payloads with the same reordering, carrying the
//                frame's input index, TimeStamp and a checksum of the surface
//                read at SyncOperation (default without x264)
//   passthrough  no reordering, a tiny payload, the pixels never read
//
// Steering, read from the environment when a session opens:
//   MFXSTANDIN_TRACE=path          append one line per session event (the marker
//                                  the tests look for)
//   MFXSTANDIN_IMPL=n              what MFXQueryIMPL reports (1 = software)
//   MFXSTANDIN_BUSY=n              the first n EncodeFrameAsync calls answer busy
//   MFXSTANDIN_QUERYIOSURF_STATUS=s / MFXSTANDIN_INIT_STATUS=s
//                                  status of ENCODE_QueryIOSurf / ENCODE_Init
//                                  (4 = partial acceleration)
//   MFXSTANDIN_SURFACES=n          NumFrameSuggested
//   MFXSTANDIN_ENCODE_ERROR=k:s    the k-th frame (from 0) is refused with s
//   MFXSTANDIN_SYNC_ERROR=s[:n]    the first n SyncOperation calls fail with s
//   MFXSTANDIN_BUFFER_BYTES=n      bitstreams with less room are refused
//                                  (MFX_ERR_NOT_ENOUGH_BUFFER)
//   MFXSTANDIN_NO_B=1              no B pictures, no reordering delay
//   MFXSTANDIN_NO_DTS=1            DecodeTimeStamp left 0
//   MFXSTANDIN_FILL_BUFFER=1       SyncOperation reports the whole buffer used
//   MFXSTANDIN_HOLD_SURFACES=1     surfaces are never unlocked
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include <vpl/mfxvideo.h>

#ifdef MFX_STANDIN_X264
#include "standin_x264.h"
#endif

#include "mfx_standin_export.h"

namespace {

enum class Mode { x264, synthetic, passthrough };

const int kMaxTasks = 64;
const uint32_t kPayloadMagic = 0x4953564B;  // "KVSI"

struct Config {
  Mode mode;
  mfxIMPL impl;
  int busy_answers;
  mfxStatus queryiosurf_status;
  mfxStatus init_status;
  int surfaces;
  long encode_error_frame;
  mfxStatus encode_error_status;
  mfxStatus sync_status;
  int sync_failures;
  uint32_t min_buffer_bytes;
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
};

struct Task {
  bool used;
  mfxBitstream *bs;           // written at SyncOperation
  mfxFrameSurface1 *surface;  // unlocked when the task is synchronised; may be null
  Held frame;                 // synthetic and passthrough: the frame to write
  std::vector<uint8_t> coded;  // x264: the coded picture
  mfxU64 timestamp;
  mfxI64 decode_timestamp;
  mfxU16 frame_type;
};

struct Session {
  Config cfg;
  bool encoder_ready;
  mfxVideoParam param;
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

Config read_config() {
  Config cfg;
#ifdef MFX_STANDIN_X264
  cfg.mode = Mode::x264;
#else
  cfg.mode = Mode::synthetic;
#endif
  std::string mode = env_text("MFXSTANDIN_MODE");
  if (mode == "synthetic") cfg.mode = Mode::synthetic;
  if (mode == "passthrough") cfg.mode = Mode::passthrough;
#ifdef _WIN32
  cfg.impl = (mfxIMPL)env_number("MFXSTANDIN_IMPL", MFX_IMPL_HARDWARE | MFX_IMPL_VIA_D3D11);
#else
  cfg.impl = (mfxIMPL)env_number("MFXSTANDIN_IMPL", MFX_IMPL_HARDWARE | MFX_IMPL_VIA_VAAPI);
#endif
  cfg.busy_answers = (int)env_number("MFXSTANDIN_BUSY", 0);
  cfg.queryiosurf_status = (mfxStatus)env_number("MFXSTANDIN_QUERYIOSURF_STATUS", MFX_ERR_NONE);
  cfg.init_status = (mfxStatus)env_number("MFXSTANDIN_INIT_STATUS", MFX_ERR_NONE);
  cfg.surfaces = (int)env_number("MFXSTANDIN_SURFACES", 0);
  long frame = -1, status = MFX_ERR_UNKNOWN;
  env_pair("MFXSTANDIN_ENCODE_ERROR", &frame, &status);
  cfg.encode_error_frame = frame;
  cfg.encode_error_status = (mfxStatus)status;
  long sync_status = MFX_ERR_NONE, sync_count = 1;
  env_pair("MFXSTANDIN_SYNC_ERROR", &sync_status, &sync_count);
  cfg.sync_status = (mfxStatus)sync_status;
  cfg.sync_failures = sync_status != MFX_ERR_NONE ? (int)sync_count : 0;
  cfg.min_buffer_bytes = (uint32_t)env_number("MFXSTANDIN_BUFFER_BYTES", 0);
  cfg.no_b = env_number("MFXSTANDIN_NO_B", 0) != 0;
  cfg.no_dts = env_number("MFXSTANDIN_NO_DTS", 0) != 0;
  cfg.fill_buffer = env_number("MFXSTANDIN_FILL_BUFFER", 0) != 0;
  cfg.hold_surfaces = env_number("MFXSTANDIN_HOLD_SURFACES", 0) != 0;
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

// 32-bit FNV-1a over the picture inside the crop rectangle: luma rows, then
// the interleaved chroma rows.
uint32_t picture_checksum(const mfxFrameSurface1 *surface) {
  const mfxFrameInfo &info = surface->Info;
  uint32_t hash = 2166136261u;
  auto mix = [&hash](const uint8_t *row, int len) {
    for (int i = 0; i < len; i++) hash = (hash ^ row[i]) * 16777619u;
  };
  for (int y = 0; y < info.CropH; y++) mix(surface->Data.Y + (size_t)y * surface->Data.Pitch, info.CropW);
  for (int y = 0; y < info.CropH / 2; y++) mix(surface->Data.UV + (size_t)y * surface->Data.Pitch, info.CropW);
  return hash;
}

void put_u32(uint8_t *p, uint32_t v) { memcpy(p, &v, 4); }
void put_u64(uint8_t *p, uint64_t v) { memcpy(p, &v, 8); }

// Payload of the synthetic and pass-through modes, little-endian:
// magic, input index, TimeStamp, FrameType, checksum (0 in pass-through).
const uint32_t kPayloadSize = 24;
void write_payload(const Session *s, const Held &frame, uint8_t *out) {
  put_u32(out, kPayloadMagic);
  put_u32(out + 4, (uint32_t)frame.index);
  put_u64(out + 8, frame.timestamp);
  put_u32(out + 16, frame.type);
  put_u32(out + 20, s->cfg.mode == Mode::synthetic ? picture_checksum(frame.surface) : 0);
}

void lock(mfxFrameSurface1 *surface) {
  if (surface) surface->Data.Locked++;
}

void unlock(const Session *s, mfxFrameSurface1 *surface) {
  if (surface && !s->cfg.hold_surfaces && surface->Data.Locked > 0) surface->Data.Locked--;
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
        s->ready.push_back(s->pending.front());
        s->pending.pop_front();
      }
    }
    s->ready.push_back(first);
  }
}

Task *new_task(Session *s, mfxBitstream *bs) {
  for (Task &t : s->tasks) {
    if (t.used) continue;
    t.used = true;
    t.bs = bs;
    t.surface = nullptr;
    t.coded.clear();
    t.decode_timestamp = 0;
    s->tasks_in_flight++;
    return &t;
  }
  return nullptr;
}

// Decoding timestamp of the next frame in decode order: the next input
// timestamp, moved back by the reordering delay.
mfxI64 next_decode_timestamp(Session *s) {
  mfxU64 input = s->input_timestamps.front();
  s->input_timestamps.pop_front();
  if (s->cfg.no_dts) return 0;
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
  task->decode_timestamp = next_decode_timestamp(s);
  *syncp = (mfxSyncPoint)task;
  return MFX_ERR_NONE;
}

#ifdef MFX_STANDIN_X264
mfxStatus open_x264(Session *s) {
  x264_param_t p;
  if (standin_x264_param(s->param, s->reorder_depth, &p) != 0) return MFX_ERR_INVALID_VIDEO_PARAM;
  s->x264 = x264_encoder_open(&p);
  return s->x264 ? MFX_ERR_NONE : MFX_ERR_UNSUPPORTED;
}

mfxU16 frame_type_from_x264(int type) {
  switch (type) {
    case X264_TYPE_IDR:
      return MFX_FRAMETYPE_I | MFX_FRAMETYPE_IDR | MFX_FRAMETYPE_REF;
    case X264_TYPE_I:
      return MFX_FRAMETYPE_I | MFX_FRAMETYPE_REF;
    case X264_TYPE_P:
      return MFX_FRAMETYPE_P | MFX_FRAMETYPE_REF;
    case X264_TYPE_BREF:
      return MFX_FRAMETYPE_B | MFX_FRAMETYPE_REF;
    default:
      return MFX_FRAMETYPE_B;
  }
}

// Feeds x264 (a null surface drains it). x264 copies the picture, so a
// surface that yields no output is given back at once; one that does is
// held until its task is synchronised.
mfxStatus encode_x264(Session *s, mfxFrameSurface1 *surface, mfxBitstream *bs, mfxSyncPoint *syncp) {
  x264_picture_t in, out;
  x264_picture_t *pic = nullptr;
  if (surface) {
    x264_picture_init(&in);
    in.img.i_csp = X264_CSP_NV12;
    in.img.i_plane = 2;
    in.img.plane[0] = surface->Data.Y;
    in.img.plane[1] = surface->Data.UV;
    in.img.i_stride[0] = in.img.i_stride[1] = surface->Data.Pitch;
    in.i_pts = (int64_t)surface->Data.TimeStamp;
    pic = &in;
  } else if (x264_encoder_delayed_frames(s->x264) == 0) {
    return MFX_ERR_MORE_DATA;
  }
  x264_nal_t *nals = nullptr;
  int nal_count = 0;
  int size = x264_encoder_encode(s->x264, &nals, &nal_count, pic, &out);
  if (size < 0) return MFX_ERR_UNKNOWN;
  if (size == 0) {
    unlock(s, surface);
    return MFX_ERR_MORE_DATA;
  }
  Task *task = new_task(s, bs);
  if (!task) return MFX_ERR_MEMORY_ALLOC;
  task->surface = surface;
  task->coded.assign(nals[0].p_payload, nals[0].p_payload + size);  // the NALs are contiguous
  task->timestamp = (mfxU64)out.i_pts;
  task->decode_timestamp = s->cfg.no_dts ? 0 : out.i_dts;
  task->frame_type = frame_type_from_x264(out.i_type);
  *syncp = (mfxSyncPoint)task;
  return MFX_ERR_NONE;
}
#endif

void close_encoder(Session *s) {
#ifdef MFX_STANDIN_X264
  if (s->x264) x264_encoder_close(s->x264);
  s->x264 = nullptr;
#endif
  for (Held &h : s->pending) unlock(s, h.surface);
  for (Held &h : s->ready) unlock(s, h.surface);
  for (Task &t : s->tasks) {
    if (t.used) unlock(s, t.surface);
    t.used = false;
  }
  s->pending.clear();
  s->ready.clear();
  s->input_timestamps.clear();
  s->tasks_in_flight = 0;
  s->encoder_ready = false;
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
  close_encoder(s);
  trace(s, "close frames_in=%ld frames_out=%ld", s->frames_in, s->frames_out);
  delete s;
  return MFX_ERR_NONE;
}

MFX_STANDIN_API mfxStatus MFX_CDECL MFXQueryIMPL(mfxSession session, mfxIMPL *impl) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  if (!impl) return MFX_ERR_NULL_PTR;
  *impl = ((Session *)session)->cfg.impl;
  return MFX_ERR_NONE;
}

MFX_STANDIN_API mfxStatus MFX_CDECL MFXQueryVersion(mfxSession session, mfxVersion *version) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  if (!version) return MFX_ERR_NULL_PTR;
  version->Major = 1;
  version->Minor = 35;
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
  memset(request, 0, sizeof *request);
  request->Info = par->mfx.FrameInfo;
  request->Type = MFX_MEMTYPE_FROM_ENCODE | MFX_MEMTYPE_SYSTEM_MEMORY | MFX_MEMTYPE_EXTERNAL_FRAME;
  int depth = reorder_depth(s, par);
  int async_depth = par->AsyncDepth ? par->AsyncDepth : 1;
  request->NumFrameMin = (mfxU16)(depth + 1);
  request->NumFrameSuggested = (mfxU16)(s->cfg.surfaces ? s->cfg.surfaces : async_depth + depth);
  return s->cfg.queryiosurf_status;
}

MFX_STANDIN_API mfxStatus MFX_CDECL MFXVideoENCODE_Init(mfxSession session, mfxVideoParam *par) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  Session *s = (Session *)session;
  if (s->encoder_ready) return MFX_ERR_UNDEFINED_BEHAVIOR;
  mfxStatus sts = check_param(par);
  if (sts != MFX_ERR_NONE) return sts;
  trace_param(s, "encode_init", par);
  if (s->cfg.init_status < MFX_ERR_NONE) return s->cfg.init_status;
  s->param = *par;
  s->reorder_depth = reorder_depth(s, par);
#ifdef MFX_STANDIN_X264
  if (s->cfg.mode == Mode::x264) {
    sts = open_x264(s);
    if (sts != MFX_ERR_NONE) return sts;
  }
#endif
  s->encoder_ready = true;
  return s->cfg.init_status;
}

MFX_STANDIN_API mfxStatus MFX_CDECL MFXVideoENCODE_Close(mfxSession session) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  Session *s = (Session *)session;
  if (!s->encoder_ready) return MFX_ERR_NOT_INITIALIZED;
  close_encoder(s);
  return MFX_ERR_NONE;
}

MFX_STANDIN_API mfxStatus MFX_CDECL MFXVideoENCODE_GetVideoParam(mfxSession session, mfxVideoParam *par) {
  if (!session) return MFX_ERR_INVALID_HANDLE;
  Session *s = (Session *)session;
  if (!s->encoder_ready) return MFX_ERR_NOT_INITIALIZED;
  if (!par) return MFX_ERR_NULL_PTR;
  *par = s->param;
  return MFX_ERR_NONE;
}

MFX_STANDIN_API mfxStatus MFX_CDECL MFXVideoENCODE_EncodeFrameAsync(mfxSession session, mfxEncodeCtrl *ctrl,
                                                                   mfxFrameSurface1 *surface, mfxBitstream *bs,
                                                                   mfxSyncPoint *syncp) {
  (void)ctrl;
  if (!session) return MFX_ERR_INVALID_HANDLE;
  Session *s = (Session *)session;
  if (!s->encoder_ready) return MFX_ERR_NOT_INITIALIZED;
  if (!bs || !syncp) return MFX_ERR_NULL_PTR;
  if (s->busy_left > 0) {
    s->busy_left--;
    return MFX_WRN_DEVICE_BUSY;
  }
  if (s->tasks_in_flight >= (s->param.AsyncDepth ? s->param.AsyncDepth : 1)) return MFX_WRN_DEVICE_BUSY;
  if (bs->MaxLength < bs->DataOffset + bs->DataLength ||
      bs->MaxLength - bs->DataOffset - bs->DataLength < s->cfg.min_buffer_bytes)
    return MFX_ERR_NOT_ENOUGH_BUFFER;
  if (surface) {
    if (!surface->Data.Y || !surface->Data.UV) return MFX_ERR_NULL_PTR;
    if (s->frames_in == s->cfg.encode_error_frame) return s->cfg.encode_error_status;
    lock(surface);
    long index = s->frames_in++;
#ifdef MFX_STANDIN_X264
    if (s->cfg.mode == Mode::x264) return count_output(s, encode_x264(s, surface, bs, syncp));
#endif
    s->input_timestamps.push_back(surface->Data.TimeStamp);
    s->pending.push_back(Held{surface, index, surface->Data.TimeStamp, planned_type(s, index)});
    decide(s, false);
  } else {
#ifdef MFX_STANDIN_X264
    if (s->cfg.mode == Mode::x264) return count_output(s, encode_x264(s, nullptr, bs, syncp));
#endif
    decide(s, true);
  }
  return count_output(s, emit_planned(s, bs, syncp));
}

MFX_STANDIN_API mfxStatus MFX_CDECL MFXVideoCORE_SyncOperation(mfxSession session, mfxSyncPoint syncp, mfxU32 wait) {
  (void)wait;
  if (!session) return MFX_ERR_INVALID_HANDLE;
  Session *s = (Session *)session;
  if (!syncp) return MFX_ERR_NULL_PTR;
  Task *task = task_of(s, syncp);
  if (!task) return MFX_ERR_INVALID_HANDLE;
  if (s->sync_failures_left > 0) {
    s->sync_failures_left--;
    return s->cfg.sync_status;
  }
  // The task's bitstream is written only now.
  mfxBitstream *bs = task->bs;
  uint32_t size = s->cfg.mode == Mode::x264 ? (uint32_t)task->coded.size() : kPayloadSize;
  if (bs->MaxLength < bs->DataOffset + bs->DataLength || bs->MaxLength - bs->DataOffset - bs->DataLength < size)
    return MFX_ERR_NOT_ENOUGH_BUFFER;
  uint8_t *to = bs->Data + bs->DataOffset + bs->DataLength;
  if (s->cfg.mode == Mode::x264) {
    memcpy(to, task->coded.data(), size);
  } else {
    write_payload(s, task->frame, to);
  }
  bs->DataLength += size;
  if (s->cfg.fill_buffer) bs->DataLength = bs->MaxLength - bs->DataOffset;
  bs->TimeStamp = task->timestamp;
  bs->DecodeTimeStamp = task->decode_timestamp;
  bs->FrameType = task->frame_type;
  unlock(s, task->surface);
  task->used = false;
  s->tasks_in_flight--;
  return MFX_ERR_NONE;
}

}  // extern "C"
