// The encoder: exports, session and pools, encoder parameters, encode and
// drain. One Media SDK session with one H.264 encoder per handle; the library
// starts no threads and takes no locks.
#include "hwavc_enc_internal.h"

#include <emmintrin.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <xmmintrin.h>

#include <chrono>
#include <thread>

int hwavc_surface_wait_limit_ms = 300000;
int hwavc_idle_surface_wait_ms = 100;

static_assert(HWAVC_ENC_ERR_DEVICE_LOST == MFX_ERR_DEVICE_LOST, "the header's device codes are the runtime's");
static_assert(HWAVC_ENC_ERR_DEVICE_FAILED == MFX_ERR_DEVICE_FAILED, "the header's device codes are the runtime's");
static_assert(HWAVC_ENC_ERR_GPU_HANG == MFX_ERR_GPU_HANG, "the header's device codes are the runtime's");

namespace {

const char kTag[] = "hwavc_enc";
const mfxU32 kSyncWaitMs = 1500000;
const int kSurfaceWaitStepMs = 10;
const int kMaxKbpsField = 65535;  // TargetKbps and MaxKbps are 16-bit
const int kMaxFrameRate = 65535;  // GopPicSize is 16-bit
const int kMaxPaddedSide = 65520;  // Width and Height are 16-bit multiples of 16
const int kMinBitrate = 2;          // 80% of 1 kbit/s would be a TargetKbps of 0
const int kMaxBitrate = INT32_MAX / 300;  // a slot holds 2.4 s of it in 32 bits
const mfxIMPL kInterfaceBits = 0x0F00;     // MFX_IMPL_VIA_* in an implementation value

// The last failure, shared by every handle and written without a lock: the
// last writer wins.
char g_msg[HWAVC_ENC_MSG_SIZE];

// snprintf's result is the length it wanted; never step past the buffer.
size_t bounded_len(int wanted, size_t room) {
  if (wanted < 0) return 0;
  return (size_t)wanted < room ? (size_t)wanted : room - 1;
}

void vformat_line(char *buf, size_t size, int line, const char *fmt, va_list ap) {
  size_t used = bounded_len(snprintf(buf, size, "%s(%d): ", kTag, line), size);
  vsnprintf(buf + used, size - used, fmt, ap);
}

#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
void hwavc_log(hwavc_enc_data *enc, int line, const char *fmt, ...) {
  if (!enc->log_func) return;
  va_list ap;
  va_start(ap, fmt);
  vformat_line(enc->log_buf, sizeof enc->log_buf, line, fmt, ap);
  va_end(ap);
  enc->log_func(enc->log_buf);
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int padded16(int side) { return (side + 15) & ~15; }

// fps_num / fps_den rounded to whole frames per second.
int rounded_frame_rate(const hwavc_enc_settings *s) { return (int)((double)s->fps_num / (double)s->fps_den + 0.5); }

const char *text_or_null(const char *text) { return text ? text : "(null)"; }

struct NamedValue {
  const char *name;
  mfxU16 value;
};

const NamedValue kProfiles[] = {
    {"high", MFX_PROFILE_AVC_HIGH}, {"main", MFX_PROFILE_AVC_MAIN}, {"baseline", MFX_PROFILE_AVC_BASELINE}};
const NamedValue kPresets[] = {{"ultrafast", MFX_TARGETUSAGE_BEST_SPEED},
                               {"veryfast", MFX_TARGETUSAGE_BALANCED},
                               {"slow", MFX_TARGETUSAGE_BEST_QUALITY}};

// The value of an exactly matching name; 0 (the encoder's choice) otherwise.
template <size_t N>
mfxU16 value_of(const NamedValue (&table)[N], const char *name) {
  if (!name) return 0;
  for (const NamedValue &entry : table) {
    if (strcmp(name, entry.name) == 0) return entry.value;
  }
  return 0;
}

// CBR at 80% of the caller's bitrate. Rates above the 16-bit fields go
// through BRCParamMultiplier; returns the rate the encoder really gets.
int set_bitrate(mfxInfoMFX *mfx, int bitrate) {
  int kbps = bitrate * 8 / 10;
  int multiplier = (kbps + kMaxKbpsField - 1) / kMaxKbpsField;
  if (multiplier < 1) multiplier = 1;
  mfx->TargetKbps = (mfxU16)((kbps + multiplier / 2) / multiplier);
  mfx->MaxKbps = mfx->TargetKbps;
  if (multiplier > 1) mfx->BRCParamMultiplier = (mfxU16)multiplier;
  mfx->RateControlMethod = MFX_RATECONTROL_CBR;
  return mfx->TargetKbps * multiplier;
}

// ---- session and pools --------------------------------------------------

// The name of a hardware implementation, as the open log reports it.
const char *hardware_name(mfxIMPL base) {
  switch (base) {
    case MFX_IMPL_HARDWARE2:
      return "MFX_IMPL_HARDWARE2";
    case MFX_IMPL_HARDWARE3:
      return "MFX_IMPL_HARDWARE3";
    case MFX_IMPL_HARDWARE4:
      return "MFX_IMPL_HARDWARE4";
    default:
      return "MFX_IMPL_HARDWARE";
  }
}

// The interface the session got, as MFXQueryIMPL reports it.
const char *interface_name(mfxIMPL impl, char *other, size_t size) {
  switch (impl & kInterfaceBits) {
    case MFX_IMPL_VIA_D3D11:
      return "D3D11";
    case MFX_IMPL_VIA_D3D9:
      return "D3D9";
    case MFX_IMPL_VIA_VAAPI:
      return "VAAPI";
    default:
      snprintf(other, size, "0x%x", (unsigned)(impl & kInterfaceBits));
      return other;
  }
}

// Where an open attempt stopped: its step and the runtime's status there (0
// or a warning where the runtime answered but the answer was unusable).
struct OpenStep {
  const char *step;
  mfxStatus status;
};

int stop_at(OpenStep *failed, const char *step, mfxStatus sts) {
  failed->step = step;
  failed->status = sts;
  return -1;
}

int open_session(hwavc_enc_data *enc, mfxIMPL impl, OpenStep *failed) {
  mfxVersion version;
  version.Major = 1;
  version.Minor = 0;
  mfxStatus sts = MFXInit(impl, &version, &enc->session);
  if (sts < MFX_ERR_NONE) {
    hwavc_set_msg(__LINE__, "failed initializing an internal MFX session %d\n", sts);
    return stop_at(failed, "session", sts);
  }
  sts = MFXQueryVersion(enc->session, &version);
  if (sts != MFX_ERR_NONE) {
    hwavc_set_msg(__LINE__, "failed to query version %d\n", sts);
    return stop_at(failed, "version", sts);
  }
  hwavc_log(enc, __LINE__, "Intel Media SDK %u.%u", version.Major, version.Minor);
  // A failed query leaves the implementation that was asked for.
  sts = MFXQueryIMPL(enc->session, &impl);
  char other[16];
  switch (MFX_IMPL_BASETYPE(impl)) {
    case MFX_IMPL_SOFTWARE:
      hwavc_set_msg(__LINE__, "only software qsv encoder, quit\n");
      return stop_at(failed, "impl", sts);
    case MFX_IMPL_HARDWARE:
    case MFX_IMPL_HARDWARE2:
    case MFX_IMPL_HARDWARE3:
    case MFX_IMPL_HARDWARE4:
      hwavc_log(enc, __LINE__, "mode %s via %s", hardware_name(MFX_IMPL_BASETYPE(impl)),
                interface_name(impl, other, sizeof other));
      return 0;
    default:
      hwavc_set_msg(__LINE__, "unknow qsv encoder %d\n", (int)MFX_IMPL_BASETYPE(impl));
      return stop_at(failed, "impl", sts);
  }
}

int64_t kbps_of(const mfxInfoMFX &m) {
  return (int64_t)m.TargetKbps * (m.BRCParamMultiplier ? m.BRCParamMultiplier : 1);
}

// The runtime's own parameters after Init: the corrections it made to what
// the settings decided are logged, the picture structure it confirmed is
// kept, and the slot capacity covers the buffer it asks for.
int read_back_param(hwavc_enc_data *enc, OpenStep *failed) {
  mfxVideoParam actual;
  memset(&actual, 0, sizeof actual);
  mfxStatus sts = MFXVideoENCODE_GetVideoParam(enc->session, &actual);
  if (sts < MFX_ERR_NONE) {
    hwavc_set_msg(__LINE__, "failed to get encoding param %d\n", sts);
    return stop_at(failed, "params", sts);
  }
  const mfxInfoMFX &m = actual.mfx;
  int64_t multiplier = m.BRCParamMultiplier ? m.BRCParamMultiplier : 1;
  hwavc_log(enc, __LINE__, "encoder profile:%d gop:%d ref_dist:%d async_depth:%d bitrate:%d buffer:%dKB",
            m.CodecProfile, m.GopPicSize, m.GopRefDist, actual.AsyncDepth, (int)kbps_of(m),
            (int)(m.BufferSizeInKB * multiplier));
  const mfxVideoParam &asked = enc->param;
  const struct {
    const char *field;
    int64_t asked, got;
  } decided[] = {
      {"profile", asked.mfx.CodecProfile, m.CodecProfile},
      {"gop", asked.mfx.GopPicSize, m.GopPicSize},
      {"ref_dist", asked.mfx.GopRefDist, m.GopRefDist},
      {"async_depth", asked.AsyncDepth, actual.AsyncDepth},
      {"bitrate", kbps_of(asked.mfx), kbps_of(m)},
  };
  for (const auto &f : decided) {
    // 0 was left to the runtime's choice.
    if (f.asked != 0 && f.got != f.asked)
      hwavc_log(enc, __LINE__, "runtime corrected %s from %lld to %lld", f.field, (long long)f.asked,
                (long long)f.got);
  }
  enc->ref_dist = m.GopRefDist > 1 ? m.GopRefDist : 1;
  // 2.4 s at the caller's rate (range checked at open), or what the runtime
  // asks for when that is more.
  int64_t capacity = (int64_t)enc->settings->bitrate * 300;
  int64_t buffer = (int64_t)m.BufferSizeInKB * 1000 * multiplier;
  if (buffer > capacity) capacity = buffer;
  if (capacity > INT32_MAX) {
    hwavc_set_msg(__LINE__, "bitstream buffer of %lld bytes asked, over %d\n", (long long)capacity, INT32_MAX);
    return stop_at(failed, "params", sts);
  }
  enc->bs_capacity = (int32_t)capacity;
  return 0;
}

int open_encoder(hwavc_enc_data *enc, OpenStep *failed) {
  hwavc_fill_param(enc, enc->settings);
  mfxStatus sts = MFXVideoENCODE_QueryIOSurf(enc->session, &enc->param, &enc->request);
  if (sts < MFX_ERR_NONE) {
    hwavc_set_msg(__LINE__, "failed to query encoding param %d\n", sts);
    return stop_at(failed, "query", sts);
  }
  if (sts > MFX_ERR_NONE) hwavc_log(enc, __LINE__, "MFXVideoENCODE_QueryIOSurf warning %d", sts);
  // The suggestion covers every operation in flight; fewer surfaces only
  // make encode calls wait for the oldest one sooner.
  if (enc->request.NumFrameMin > HWAVC_MAX_SURFACES) {
    hwavc_set_msg(__LINE__, "NumFrameMin %d are over of %d\n", enc->request.NumFrameMin, HWAVC_MAX_SURFACES);
    return stop_at(failed, "surfaces", sts);
  }
  enc->surface_count = enc->request.NumFrameSuggested < HWAVC_MAX_SURFACES ? enc->request.NumFrameSuggested
                                                                            : HWAVC_MAX_SURFACES;
  sts = MFXVideoENCODE_Init(enc->session, &enc->param);
  if (sts == MFX_WRN_PARTIAL_ACCELERATION) {
    printf("Encoder will work with partial HW acceleration\n");
    fflush(stdout);
  } else if (sts < MFX_ERR_NONE) {
    hwavc_set_msg(__LINE__, "failed to query encoding param %d\n", sts);
    return stop_at(failed, "init", sts);
  }
  if (sts > MFX_ERR_NONE) hwavc_log(enc, __LINE__, "MFXVideoENCODE_Init warning %d", sts);
  return read_back_param(enc, failed);
}

int alloc_surfaces(hwavc_enc_data *enc) {
  const mfxFrameInfo &info = enc->param.mfx.FrameInfo;
  int count = enc->surface_count;
  for (int i = 0; i < count; i++) {
    quarn_frame *frame = quarn_frame_video_calloc(info.Width, info.Height, (int)info.FrameRateExtN,
                                                  (int)info.FrameRateExtD);
    if (!frame) {
      hwavc_set_msg(__LINE__, "failed calloc quarn_frame_video_calloc @ %d", i);
      return -1;
    }
    hwavc_surface_entry &entry = enc->surfaces[i];
    entry.frame = frame;
    entry.surface.Info = info;
    entry.surface.Data.Pitch = (mfxU16)frame->pitch[0];
    entry.surface.Data.Y = frame->plane[0];
    entry.surface.Data.UV = frame->plane[1];
    entry.surface.Data.TimeStamp = 0;
    entry.surface.Data.Locked = 0;
  }
  hwavc_log(enc, __LINE__, "yuv_frame:%d size:%d", count, info.Width * info.Height * 3 / 2);
  return 0;
}

int alloc_bs_slots(hwavc_enc_data *enc) {
  const hwavc_enc_settings *s = enc->settings;
  int capacity = enc->bs_capacity;
  for (int k = 0; k <= s->buf_num; k++) {
    hwavc_bs_slot &slot = enc->bs_slots[k];
    quarn_frame &rec = slot.rec;
    rec.format = QUARN_FORMAT_H264;
    rec.width = s->width;
    rec.height = s->height;
    rec.fps_num = s->fps_num;
    rec.fps_den = s->fps_den;
    rec.fps = (double)s->fps_num / s->fps_den;
    rec.data = (uint8_t *)quarn_calloc((size_t)capacity);
    rec.plane[0] = rec.data;
    if (!rec.data) {
      hwavc_set_msg(__LINE__, "failed to calloc frame");
      return -1;
    }
    rec.size = rec.capacity = capacity;
    rec.own_data = 0;
    slot.bs.Data = rec.data;
    slot.bs.MaxLength = (mfxU32)capacity;
    slot.bs.DataOffset = slot.bs.DataLength = 0;
  }
  hwavc_log(enc, __LINE__, "bs_frame:%d+1 size:%d ", s->buf_num, capacity);
  return 0;
}

// ---- encode and drain ----------------------------------------------------

// Refuses what the copy could not handle safely, before anything changes.
int check_frame(const hwavc_enc_data *enc, const quarn_frame *frame) {
  const mfxFrameInfo &info = enc->param.mfx.FrameInfo;
  if (frame->format != QUARN_FORMAT_YUV420P) {
    hwavc_set_msg(__LINE__, "frame format %d, expected %d", frame->format, QUARN_FORMAT_YUV420P);
    return -1;
  }
  if (frame->width != info.CropW || frame->height != info.CropH) {
    hwavc_set_msg(__LINE__, "frame size %dx%d, the encoder was opened for %dx%d", frame->width, frame->height,
                  info.CropW, info.CropH);
    return -1;
  }
  if (!frame->plane[0] || !frame->plane[1] || !frame->plane[2]) {
    hwavc_set_msg(__LINE__, "frame plane missing: %p %p %p", (void *)frame->plane[0], (void *)frame->plane[1],
                  (void *)frame->plane[2]);
    return -1;
  }
  if (frame->pitch[0] < frame->width || frame->pitch[0] > info.Width) {
    hwavc_set_msg(__LINE__, "frame luma pitch %d outside %d..%d", frame->pitch[0], frame->width, info.Width);
    return -1;
  }
  if (frame->plane[1] != frame->plane[0] + (ptrdiff_t)frame->pitch[0] * frame->height) {
    hwavc_set_msg(__LINE__, "frame plane 1 does not start after the %d luma rows", frame->height);
    return -1;
  }
  return 0;
}

// A DecodeTimeStamp that no runtime writes: the slot keeps it when the
// runtime gives none, which tells a missing value from a real 0.
const mfxI64 kNoDecodeTimeStamp = INT64_MIN;

// 90 kHz -> the caller's unit, rounded from 0 up, truncated below 0. The
// TimeStamp field is unsigned but holds the caller's signed pts times
// timescaling: read as signed, a negative pts comes back intact.
int64_t from_90khz(const hwavc_enc_data *enc, int64_t ts) {
  return (int64_t)((double)ts / enc->timescaling + (ts >= 0 ? 0.5 : 0.0));
}

// Statuses after which the session cannot go on: the handle is ended.
bool is_device_failure(mfxStatus sts) {
  return sts == MFX_ERR_DEVICE_LOST || sts == MFX_ERR_DEVICE_FAILED || sts == MFX_ERR_GPU_HANG;
}

void note_status(hwavc_enc_data *enc, mfxStatus sts) {
  if (is_device_failure(sts) && !enc->device_failure) enc->device_failure = sts;
}

// Every call after a device failure: at once, without the runtime.
int report_device_failure(hwavc_enc_data *enc, quarn_frame **out) {
  *out = nullptr;
  hwavc_set_msg(__LINE__, "device failed with status %d: close the handle and open it again", enc->device_failure);
  return enc->device_failure;
}

// Frees the oldest ring slot and moves bs_head on to the next one in flight.
void release_oldest(hwavc_enc_data *enc) {
  uint32_t n = enc->param.AsyncDepth;
  hwavc_bs_slot &slot = enc->bs_slots[enc->bs_head];
  slot.sync = nullptr;
  slot.done = 0;
  slot.bs.DataOffset = slot.bs.DataLength = 0;
  for (uint32_t i = 0; i < n; i++) {
    enc->bs_head = (enc->bs_head + 1) % n;
    if (enc->bs_slots[enc->bs_head].sync) break;
  }
}

// Waits for the slot's operation. 0 once its data is in the slot;
// HWAVC_ENC_ERR_SYNC when the runtime is not done yet (the picture stays in
// flight) or failed for good (the picture is marked lost).
int wait_slot(hwavc_enc_data *enc, hwavc_bs_slot &slot) {
  mfxStatus sts = MFXVideoCORE_SyncOperation(enc->session, slot.sync, kSyncWaitMs);
  if (sts == MFX_ERR_NONE) {
    slot.done = 1;
    return 0;
  }
  printf("failed to MFXVideoCORE_SyncOperation, timeout: %d, %d %p, %d\n", (int)kSyncWaitMs, sts, (void *)slot.sync,
         (int)slot.bs.DataLength);
  fflush(stdout);
  hwavc_set_msg(__LINE__, "failed to MFXVideoCORE_SyncOperation, timeout: %d, %d %p, %d", (int)kSyncWaitMs, sts,
                (void *)slot.sync, (int)slot.bs.DataLength);
  // A warning (still in execution, a timeout) clears with time; an error
  // stays with that sync point however often it is asked again.
  if (sts < MFX_ERR_NONE) slot.done = -1;
  note_status(enc, sts);
  return HWAVC_ENC_ERR_SYNC;
}

// Waits for the oldest operation in flight that is not done yet; it stays in
// the ring for collection in order. 1 when there was none, 0, or the code
// of a failed wait.
int wait_oldest_running(hwavc_enc_data *enc) {
  uint32_t n = enc->param.AsyncDepth;
  for (uint32_t i = 0; i < n; i++) {
    hwavc_bs_slot &slot = enc->bs_slots[(enc->bs_head + i) % n];
    if (!slot.sync) break;
    if (slot.done) continue;
    // A picture lost here is reported now and dropped when its turn comes.
    return wait_slot(enc, slot);
  }
  return 1;
}

// Hands the oldest ring slot's coded frame to the output slot and frees the
// ring slot; *out stays null when the ring is empty. 0, or a negative code:
// HWAVC_ENC_ERR_SYNC with the picture still in flight when the runtime is not
// done, or dropped when it failed for good or the device did;
// HWAVC_ENC_ERR_DATA_LENGTH with the picture dropped.
int collect_oldest(hwavc_enc_data *enc, quarn_frame **out) {
  uint32_t n = enc->param.AsyncDepth;
  // Pictures lost while waiting for room were reported then.
  while (enc->bs_slots[enc->bs_head].sync && enc->bs_slots[enc->bs_head].done < 0) release_oldest(enc);
  hwavc_bs_slot &slot = enc->bs_slots[enc->bs_head];
  if (!slot.sync) return 0;
  if (!slot.done) {
    int rc = wait_slot(enc, slot);
    if (rc != 0) {
      if (slot.done < 0 || enc->device_failure) release_oldest(enc);
      return rc;
    }
  }
  if (slot.bs.DataLength >= slot.bs.MaxLength) {
    hwavc_set_msg(__LINE__, "data length of range :%d %d\n", (int)slot.bs.DataLength, (int)slot.bs.MaxLength);
    release_oldest(enc);
    return HWAVC_ENC_ERR_DATA_LENGTH;
  }
  quarn_frame &rec = enc->bs_slots[n].rec;
  memcpy(rec.data, slot.bs.Data, slot.bs.DataLength);
  rec.size = (int32_t)slot.bs.DataLength;
  // The runtime's decoding time whenever it gave one, the counter otherwise.
  if (slot.bs.DecodeTimeStamp == kNoDecodeTimeStamp) {
    rec.dts = enc->ts_base++;
  } else {
    rec.dts = from_90khz(enc, slot.bs.DecodeTimeStamp);
  }
  rec.pts = from_90khz(enc, (int64_t)slot.bs.TimeStamp);

  int type = hwavc_frame_type(slot.bs.FrameType);
  if (type < 0) {
    printf("UNKNOW frame type:%x\n", slot.bs.FrameType);
    fflush(stdout);
  } else {
    rec.frame_type = type;
  }
  *out = &rec;
  release_oldest(enc);
  return 0;
}

// Starts an encode operation into `slot`. On a busy answer it first waits
// for the oldest operation in flight (a runtime may run fewer at once than
// the ring holds, or work only when asked for a result); with none in flight
// it retries 1 ms later, HWAVC_MAX_IDLE_BUSY times at most.
mfxStatus submit(hwavc_enc_data *enc, mfxFrameSurface1 *surface, hwavc_bs_slot *slot) {
  slot->bs.DecodeTimeStamp = kNoDecodeTimeStamp;
  int idle_busy = 0;
  for (;;) {
    mfxStatus sts = MFXVideoENCODE_EncodeFrameAsync(enc->session, nullptr, surface, &slot->bs, &slot->sync);
    if (sts == MFX_WRN_DEVICE_BUSY) {
      int rc = wait_oldest_running(enc);
      if (rc < 0) return (mfxStatus)rc;
      if (rc == 0) continue;
      if (++idle_busy > HWAVC_MAX_IDLE_BUSY) {
        hwavc_set_msg(__LINE__, "device busy for %d answers in a row with nothing in flight\n", HWAVC_MAX_IDLE_BUSY);
        return (mfxStatus)HWAVC_ENC_ERR_BUSY;
      }
      sleep_ms(1);
      continue;
    }
    if (sts < MFX_ERR_NONE && sts != MFX_ERR_MORE_DATA) {
      hwavc_set_msg(__LINE__, "failed to EncodeFrameAsync, ret %d\n", sts);
      note_status(enc, sts);
      return sts;
    }
    // A frame taken without a sync point is held for the pictures after it.
    if (surface) enc->frames_held++;
    if (slot->sync) enc->frames_held--;
    return sts;
  }
}

// A free surface, waiting for operations in flight first and then for the
// runtime to unlock one: long while it holds frames of ours that it may be
// working on, briefly when it holds none (then no surface can come free).
// Its index, or a negative code.
int wait_free_surface(hwavc_enc_data *enc) {
  int waited_ms = 0;
  mfxU16 index;
  while ((index = get_free_surface(enc->surfaces, enc->surface_count)) == 0xFFFF) {
    int rc = wait_oldest_running(enc);
    if (rc < 0) return rc;
    if (rc == 0) continue;
    int limit_ms = enc->frames_held > 0 ? hwavc_surface_wait_limit_ms : hwavc_idle_surface_wait_ms;
    if (waited_ms >= limit_ms) {
      hwavc_set_msg(__LINE__, "failed to get free surface and timeout %dms\n", limit_ms);
      return HWAVC_ENC_ERR_NO_SURFACE;
    }
    sleep_ms(kSurfaceWaitStepMs);
    waited_ms += kSurfaceWaitStepMs;
  }
  return index;
}

// A call without a frame: asks the runtime for what it still holds while a
// ring slot is free, and hands back the oldest picture in the ring, so that
// every call returns one until none is left. After a device failure the
// pictures finished before it still come back, each once, and then the
// failure.
int drain(hwavc_enc_data *enc, quarn_frame **out) {
  *out = nullptr;
  enc->drain_started = 1;
  uint32_t i = find_free_bs_slot(enc);
  if (!enc->encoder_empty && !enc->device_failure && i < enc->param.AsyncDepth) {
    mfxStatus sts = submit(enc, nullptr, &enc->bs_slots[i]);
    if (sts == MFX_ERR_MORE_DATA) {
      enc->encoder_empty = 1;
    } else if (sts < MFX_ERR_NONE && !enc->device_failure) {
      return sts;
    }
  }
  int rc;
  // After a device failure a picture that did not finish is dropped.
  while ((rc = collect_oldest(enc, out)) != 0) {
    if (!enc->device_failure) return rc;
  }
  if (!*out && enc->device_failure) return report_device_failure(enc, out);
  return 0;
}

}  // namespace

void hwavc_set_msg(int line, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vformat_line(g_msg, sizeof g_msg, line, fmt, ap);
  va_end(ap);
  // Like a log line, the message never ends in a newline (some texts carry
  // one): callers print it as a line of their own.
  size_t len = strlen(g_msg);
  while (len > 0 && g_msg[len - 1] == '\n') g_msg[--len] = '\0';
}

// ---- parameters -----------------------------------------------------------

void fps_to_ratio(double fps, mfxU32 *num, mfxU32 *den) {
  mfxU32 whole = (mfxU32)(int64_t)(fps + 0.5);
  if (fabs((double)whole - fps) < 0.0001) {
    *num = whole;
    *den = 1;
    return;
  }
  mfxU32 ntsc = (mfxU32)(int64_t)(fps * 1.001 + 0.5) * 1000;
  if (fabs((double)ntsc - fps * 1001) < 10) {
    *num = ntsc;
    *den = 1001;
    return;
  }
  *num = (mfxU32)(int64_t)(fps * 10000 + 0.5);
  *den = 10000;
}

int hwavc_check_settings(const hwavc_enc_settings *s) {
  if (s->buf_num < 1 || s->buf_num > HWAVC_MAX_BUF_NUM) {
    hwavc_set_msg(__LINE__, "buf_num %d outside 1..%d", s->buf_num, HWAVC_MAX_BUF_NUM);
    return -1;
  }
  if (s->fps_num <= 0 || s->fps_den <= 0) {
    hwavc_set_msg(__LINE__, "frame rate %d/%d: numerator and denominator must be above 0", s->fps_num, s->fps_den);
    return -1;
  }
  int rate = rounded_frame_rate(s);
  if (rate < 1 || rate > kMaxFrameRate) {
    hwavc_set_msg(__LINE__, "frame rate %d/%d rounds to %d frames per second, outside 1..%d", s->fps_num, s->fps_den,
                  rate, kMaxFrameRate);
    return -1;
  }
  // Each side is checked before it is padded: near INT32_MAX the padding overflows.
  const char *side = nullptr;
  if (s->width < 1 || s->width > kMaxPaddedSide) {
    side = "width";
  } else if (s->height < 1 || s->height > kMaxPaddedSide) {
    side = "height";
  }
  if (side) {
    hwavc_set_msg(__LINE__, "picture size %dx%d: %s outside 1..%d", s->width, s->height, side, kMaxPaddedSide);
    return -1;
  }
  int64_t padded_bytes = (int64_t)padded16(s->width) * padded16(s->height) * 3 / 2;
  if (padded_bytes > INT32_MAX) {
    hwavc_set_msg(__LINE__, "picture size %dx%d: padded to %dx%d it takes %lld bytes in 4:2:0, over %d", s->width,
                  s->height, padded16(s->width), padded16(s->height), (long long)padded_bytes, INT32_MAX);
    return -1;
  }
  if (s->bitrate < kMinBitrate || s->bitrate > kMaxBitrate) {
    hwavc_set_msg(__LINE__, "bitrate %d kbit/s outside %d..%d", s->bitrate, kMinBitrate, kMaxBitrate);
    return -1;
  }
  return 0;
}

int hwavc_fill_param(hwavc_enc_data *enc, const hwavc_enc_settings *s) {
  mfxInfoMFX &mfx = enc->param.mfx;
  mfxFrameInfo &info = mfx.FrameInfo;
  int rate = rounded_frame_rate(s);

  mfx.CodecId = MFX_CODEC_AVC;
  mfx.CodecProfile = value_of(kProfiles, s->profile);
  hwavc_log(enc, __LINE__, "profile:%s", text_or_null(s->profile));
  mfx.TargetUsage = value_of(kPresets, s->preset);
  hwavc_log(enc, __LINE__, "preset:%s", text_or_null(s->preset));
  int kbps = set_bitrate(&mfx, s->bitrate);
  hwavc_log(enc, __LINE__, "bitrate:%d", kbps);

  // A closed GOP one second long, one B picture between references.
  mfx.GopPicSize = (mfxU16)rate;
  mfx.GopRefDist = 2;
  mfx.GopOptFlag = MFX_GOP_CLOSED;
  hwavc_log(enc, __LINE__, "gop:%d", mfx.GopPicSize);
  mfx.NumSlice = 0;

  double fps = (double)(uint32_t)s->fps_num / (uint32_t)s->fps_den;
  fps_to_ratio(fps, &info.FrameRateExtN, &info.FrameRateExtD);
  mfx.EncodedOrder = 0;
  hwavc_log(enc, __LINE__, "fr:%d/%d", (int)info.FrameRateExtN, (int)info.FrameRateExtD);

  enc->param.IOPattern = MFX_IOPATTERN_IN_SYSTEM_MEMORY;
  info.FourCC = MFX_FOURCC_NV12;
  info.PicStruct = MFX_PICSTRUCT_PROGRESSIVE;
  info.ChromaFormat = MFX_CHROMAFORMAT_YUV420;

  info.Width = (mfxU16)((mfxU16)(s->width + 15) & ~15);
  info.Height = (mfxU16)((mfxU16)(s->height + 15) & ~15);
  info.CropX = info.CropY = 0;
  info.CropW = (mfxU16)s->width;
  info.CropH = (mfxU16)s->height;
  enc->min_height = s->height < info.Height ? s->height : info.Height;
  hwavc_log(enc, __LINE__, "coded_wh:%dx%d xywh:%d %d %d %d", info.Width, info.Height, 0, 0, info.CropW, info.CropH);
  hwavc_log(enc, __LINE__, "min_height: %d", enc->min_height);

  // Only a width that is a multiple of 16 has the surface rows back to back.
  enc->copy_frame = copy_yuv420p_to_nv12_fast;
  double fraction = s->width * 0.0625 - (s->width / 16);
  if (fraction > 0) {
    enc->copy_frame = copy_yuv420p_to_nv12;
    hwavc_log(enc, __LINE__, "width: %d not aligned %f", s->width, fraction);
  }

  enc->param.AsyncDepth = s->buf_num;
  enc->timescaling = 90000 / rate;
  hwavc_log(enc, __LINE__, "buf_num:%d timescaling:%d", s->buf_num, enc->timescaling);
  return 0;
}

int hwavc_frame_type(mfxU16 bits) {
  if (bits & (MFX_FRAMETYPE_I | MFX_FRAMETYPE_xI)) return QUARN_FRAME_I;
  if (bits & (MFX_FRAMETYPE_P | MFX_FRAMETYPE_xP)) return QUARN_FRAME_P;
  if (bits & (MFX_FRAMETYPE_B | MFX_FRAMETYPE_xB)) return QUARN_FRAME_B;
  return -1;
}

// ---- frame copies ---------------------------------------------------------

namespace {

// Luma row by row until the source reaches its plane 1. H.264 crops 4:2:0
// pictures in steps of two, so with an odd width or height the coded
// picture shows one column or row of the surface's padding too: it repeats
// the last column or row of the picture.
void copy_luma(quarn_frame *dst, const quarn_frame *src) {
  const uint8_t *from = src->plane[0];
  uint8_t *to = dst->plane[0];
  size_t row = (size_t)src->pitch[0];
  int width = src->width;
  int rows = 0;
  for (; from < src->plane[1]; rows++) {
    memcpy(to, from, row);
    if (width & 1) to[width] = to[width - 1];
    from += row;
    to += dst->pitch[0];
  }
  if (rows & 1) memcpy(to, to - dst->pitch[0], (size_t)(width + (width & 1)));
}

// The caller's chroma planes hold width / 2 by height / 2 samples, rounded
// down, in rows width / 2 bytes apart. With an odd height the surface's last
// chroma row (under the last picture row) repeats the one above it.
void repeat_last_chroma_row(quarn_frame *dst, int rows, size_t bytes) {
  int chroma_rows = rows / 2;
  if (!(rows & 1) || chroma_rows == 0) return;
  uint8_t *last = dst->plane[1] + (size_t)chroma_rows * dst->pitch[0];
  memcpy(last, last - dst->pitch[0], bytes);
}

}  // namespace

void copy_yuv420p_to_nv12(quarn_frame *dst, const quarn_frame *src, int rows) {
  copy_luma(dst, src);
  int width = dst->width < src->width ? dst->width : src->width;
  int pairs = width / 2;
  size_t chroma_pitch = (size_t)(src->width / 2);
  for (int r = 0; r < rows / 2; r++) {
    uint8_t *to = dst->plane[1] + (size_t)r * dst->pitch[0];
    const uint8_t *cb = src->plane[1] + chroma_pitch * r;
    const uint8_t *cr = src->plane[2] + chroma_pitch * r;
    for (int j = 0; j < pairs; j++) {
      to[2 * j] = cb[j];
      to[2 * j + 1] = cr[j];
    }
    // An odd width: the last picture column's pair repeats its neighbour.
    if ((width & 1) && pairs > 0) {
      to[2 * pairs] = cb[pairs - 1];
      to[2 * pairs + 1] = cr[pairs - 1];
    }
  }
  repeat_last_chroma_row(dst, rows, (size_t)(pairs + (width & 1)) * 2);
}

void copy_yuv420p_to_nv12_fast(quarn_frame *dst, const quarn_frame *src, int rows) {
  copy_luma(dst, src);
  // The chroma rows of both frames follow one another without gaps here, so
  // the interleave runs over the whole plane at once.
  size_t total = (size_t)src->width * (rows / 2);
  size_t bulk = total & ~(size_t)31;
  uint8_t *to = dst->plane[1];
  const uint8_t *cb = src->plane[1];
  const uint8_t *cr = src->plane[2];
  size_t k = 0;
  for (; k < bulk; k += 32) {
    const uint8_t *cb_block = cb + k / 2;
    const uint8_t *cr_block = cr + k / 2;
    // One prefetch per cache line of each plane: the next 64-byte block.
    if ((k & 127) == 0) {
      _mm_prefetch((const char *)cb_block + 64, _MM_HINT_NTA);
      _mm_prefetch((const char *)cr_block + 64, _MM_HINT_NTA);
    }
    __m128i u = _mm_loadu_si128((const __m128i *)cb_block);
    __m128i v = _mm_loadu_si128((const __m128i *)cr_block);
    _mm_storeu_si128((__m128i *)(to + k), _mm_unpacklo_epi8(u, v));
    _mm_storeu_si128((__m128i *)(to + k + 16), _mm_unpackhi_epi8(u, v));
  }
  for (; k < total; k += 2) {
    to[k] = cb[k / 2];
    to[k + 1] = cr[k / 2];
  }
  repeat_last_chroma_row(dst, rows, (size_t)src->width);
}

// ---- pools ------------------------------------------------------------------

mfxU16 get_free_surface(const hwavc_surface_entry *surfaces, int count) {
  for (int i = 0; i < count; i++) {
    if (surfaces[i].surface.Data.Locked == 0) return (mfxU16)i;
  }
  return 0xFFFF;
}

uint32_t find_free_bs_slot(const hwavc_enc_data *enc) {
  uint32_t n = enc->param.AsyncDepth;
  for (uint32_t i = 0; i < n; i++) {
    uint32_t index = (enc->bs_head + i) % n;
    if (!enc->bs_slots[index].sync) return index;
  }
  return n;
}

hwavc_bs_slot *get_bs_slot(hwavc_enc_data *enc, quarn_frame **out, int *code) {
  *out = nullptr;
  uint32_t n = enc->param.AsyncDepth;
  uint32_t i = find_free_bs_slot(enc);
  if (i < n) return &enc->bs_slots[i];
  int rc = collect_oldest(enc, out);
  if (rc != 0) {
    *code = rc;
    return nullptr;
  }
  i = find_free_bs_slot(enc);
  if (i < n) return &enc->bs_slots[i];
  hwavc_set_msg(__LINE__, "failed to get empty bs_frame, ambiques status2");
  *out = nullptr;
  *code = HWAVC_ENC_ERR_NO_SLOT;
  return nullptr;
}

// ---- exports ----------------------------------------------------------------

int hwavc_enc_open(hwavc_enc_data **out, const hwavc_enc_settings *settings, hwavc_enc_log_func log_func) {
  if (!out || !settings) {
    hwavc_set_msg(__LINE__, "open needs a handle slot and settings: %p %p", (void *)out, (const void *)settings);
    return -1;
  }
  if (hwavc_check_settings(settings) != 0) return -1;
  // Direct3D 11 first: asked for no interface, the dispatcher takes Direct3D 9
  // wherever that sees an adapter, and Direct3D 9 misses adapters without a
  // monitor, service sessions and the newer runtimes. Whatever the runtime
  // refuses there is asked once more that way, for older drivers.
  const mfxIMPL attempts[] = {MFX_IMPL_HARDWARE_ANY | MFX_IMPL_VIA_D3D11, MFX_IMPL_HARDWARE_ANY};
  const size_t count = sizeof attempts / sizeof attempts[0];
  // A failed first attempt is only logged: success leaves the slot alone.
  char kept_msg[sizeof g_msg];
  memcpy(kept_msg, g_msg, sizeof g_msg);
  for (size_t i = 0; i < count; i++) {
    hwavc_enc_data *enc = (hwavc_enc_data *)quarn_calloc(sizeof(hwavc_enc_data));
    if (!enc) {
      hwavc_set_msg(__LINE__, "failed calloc hwavc_enc_data");
      return -1;
    }
    enc->log_func = log_func;
    enc->settings = settings;
    OpenStep failed = {nullptr, MFX_ERR_NONE};
    if (open_session(enc, attempts[i], &failed) == 0 && open_encoder(enc, &failed) == 0) {
      if (alloc_surfaces(enc) != 0 || alloc_bs_slots(enc) != 0) {
        hwavc_enc_close(enc);
        return -1;
      }
      memcpy(g_msg, kept_msg, sizeof g_msg);
      *out = enc;
      return 0;
    }
    if (i + 1 < count)
      hwavc_log(enc, __LINE__, "D3D11 open failed at %s with %d, trying D3D9", failed.step, failed.status);
    hwavc_enc_close(enc);
  }
  return -1;
}

int hwavc_enc_encode(hwavc_enc_data *enc, const quarn_frame *frame, quarn_frame **out) {
  if (!enc || !out) {
    hwavc_set_msg(__LINE__, "null %s", enc ? "out" : "handle");
    return HWAVC_ENC_ERR_BAD_CALL;
  }
  if (frame && enc->device_failure) return report_device_failure(enc, out);
  if (frame && check_frame(enc, frame) != 0) {
    *out = nullptr;
    return HWAVC_ENC_ERR_BAD_FRAME;
  }
  if (!frame) return drain(enc, out);
  if (enc->drain_started) {
    *out = nullptr;
    hwavc_set_msg(__LINE__, "frame after the drain: close and open the encoder for more frames");
    return HWAVC_ENC_ERR_BAD_CALL;
  }
  int code = 0;
  hwavc_bs_slot *slot = get_bs_slot(enc, out, &code);
  if (!slot) return code;

  if (!enc->ts_base_set) {
    // The fallback decoding times start the reordering delay before the
    // first pts, as the runtime's own do: a B picture's never passes its pts.
    enc->ts_base = frame->pts - (enc->ref_dist - 1);
    enc->ts_base_set = 1;
  }
  int index = wait_free_surface(enc);
  if (index < 0) return index;
  hwavc_surface_entry &entry = enc->surfaces[index];
  enc->copy_frame(entry.frame, frame, enc->min_height);
  entry.surface.Data.TimeStamp = (mfxU64)((int64_t)enc->timescaling * frame->pts);

  mfxStatus sts = submit(enc, &entry.surface, slot);
  return sts >= MFX_ERR_NONE || sts == MFX_ERR_MORE_DATA ? 0 : sts;
}

int hwavc_enc_close(hwavc_enc_data *enc) {
  if (!enc) return -1;
  // The encoder ends before any buffer it may still use is freed.
  if (enc->session) MFXClose(enc->session);
  for (hwavc_surface_entry &entry : enc->surfaces) {
    if (!entry.frame) continue;
    quarn_frame_free(entry.frame);
    entry.frame = nullptr;
  }
  for (hwavc_bs_slot &slot : enc->bs_slots) {
    if (!slot.rec.data) continue;
    quarn_free(slot.rec.data);
    slot.rec.data = nullptr;
  }
  quarn_free(enc);
  return 0;
}

int hwavc_enc_reset(hwavc_enc_data *enc) {
  if (!enc) return -1;
  enc->ts_base_set = 0;
  return 0;
}

int hwavc_enc_done(void *ignored) {
  (void)ignored;
  return 0;
}

int hwavc_enc_get_msg(char *buf) {
  if (!buf) return -1;
  size_t len = strnlen(g_msg, sizeof g_msg - 1);
  memcpy(buf, g_msg, len);
  buf[len] = '\0';
  return (int)len;
}
