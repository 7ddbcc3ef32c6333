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

namespace {

const char kTag[] = "hwavc_enc";
const mfxU32 kSyncWaitMs = 1500000;
const int kSurfaceWaitStepMs = 10;
const int kMaxKbpsField = 65535;  // TargetKbps and MaxKbps are 16-bit
const int kMaxFrameRate = 65535;  // GopPicSize is 16-bit
const int kMaxPaddedSide = 65520;  // Width and Height are 16-bit multiples of 16

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

int open_session(hwavc_enc_data *enc) {
  mfxIMPL impl = MFX_IMPL_HARDWARE_ANY;
  mfxVersion version;
  version.Major = 1;
  version.Minor = 0;
  mfxStatus sts = MFXInit(impl, &version, &enc->session);
  if (sts < MFX_ERR_NONE) {
    hwavc_set_msg(__LINE__, "failed initializing an internal MFX session %d\n", sts);
    return -1;
  }
  sts = MFXQueryVersion(enc->session, &version);
  if (sts != MFX_ERR_NONE) {
    hwavc_set_msg(__LINE__, "failed to query version %d\n", sts);
    return -1;
  }
  hwavc_log(enc, __LINE__, "Intel Media SDK %u.%u", version.Major, version.Minor);
  // A failed query leaves the implementation that was asked for.
  MFXQueryIMPL(enc->session, &impl);
  switch (MFX_IMPL_BASETYPE(impl)) {
    case MFX_IMPL_SOFTWARE:
      hwavc_set_msg(__LINE__, "only software qsv encoder, quit\n");
      return -1;
    case MFX_IMPL_HARDWARE:
    case MFX_IMPL_HARDWARE2:
    case MFX_IMPL_HARDWARE3:
    case MFX_IMPL_HARDWARE4:
      hwavc_log(enc, __LINE__, "mode %s", hardware_name(MFX_IMPL_BASETYPE(impl)));
      return 0;
    default:
      hwavc_set_msg(__LINE__, "unknow qsv encoder %d\n", (int)MFX_IMPL_BASETYPE(impl));
      return -1;
  }
}

int open_encoder(hwavc_enc_data *enc) {
  hwavc_fill_param(enc, enc->settings);
  mfxStatus sts = MFXVideoENCODE_QueryIOSurf(enc->session, &enc->param, &enc->request);
  if (sts < MFX_ERR_NONE) {
    hwavc_set_msg(__LINE__, "failed to query encoding param %d\n", sts);
    return -1;
  }
  if (enc->request.NumFrameSuggested > HWAVC_MAX_SURFACES) {
    hwavc_set_msg(__LINE__, "NumFrameSuggested %d are over of %d\n", enc->request.NumFrameSuggested,
                  HWAVC_MAX_SURFACES);
    return -1;
  }
  sts = MFXVideoENCODE_Init(enc->session, &enc->param);
  if (sts == MFX_WRN_PARTIAL_ACCELERATION) {
    printf("Encoder will work with partial HW acceleration\n");
    fflush(stdout);
  } else if (sts < MFX_ERR_NONE) {
    hwavc_set_msg(__LINE__, "failed to query encoding param %d\n", sts);
    return -1;
  }
  return 0;
}

int alloc_surfaces(hwavc_enc_data *enc) {
  const mfxFrameInfo &info = enc->param.mfx.FrameInfo;
  int count = enc->request.NumFrameSuggested;
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
  int capacity = s->bitrate * 300;  // 2.4 s at the caller's rate; range checked at open
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

// Hands the oldest ring slot's coded frame to the output slot and frees the
// ring slot. 0, or a negative code with the slot left in flight.
int collect_oldest(hwavc_enc_data *enc, quarn_frame **out) {
  uint32_t n = enc->param.AsyncDepth;
  hwavc_bs_slot &slot = enc->bs_slots[enc->bs_head];
  if (!slot.sync) {
    hwavc_set_msg(__LINE__, "failed to flush bs stream sync has been set to NULL, ambiques status");
    return HWAVC_ENC_ERR_NO_SYNC_POINT;
  }
  mfxStatus sts = MFXVideoCORE_SyncOperation(enc->session, slot.sync, kSyncWaitMs);
  if (sts != MFX_ERR_NONE) {
    printf("failed to MFXVideoCORE_SyncOperation, timeout: %d, %d %p, %d\n", (int)kSyncWaitMs, sts,
           (void *)slot.sync, (int)slot.bs.DataLength);
    fflush(stdout);
    hwavc_set_msg(__LINE__, "failed to MFXVideoCORE_SyncOperation, timeout: %d, %d %p, %d", (int)kSyncWaitMs, sts,
                  (void *)slot.sync, (int)slot.bs.DataLength);
    return HWAVC_ENC_ERR_SYNC;
  }
  if (slot.bs.DataLength >= slot.bs.MaxLength) {
    hwavc_set_msg(__LINE__, "data length of range :%d %d\n", (int)slot.bs.DataLength, (int)slot.bs.MaxLength);
    return HWAVC_ENC_ERR_DATA_LENGTH;
  }
  quarn_frame &rec = enc->bs_slots[n].rec;
  memcpy(rec.data, slot.bs.Data, slot.bs.DataLength);
  rec.size = (int32_t)slot.bs.DataLength;

  // 90 kHz -> the caller's unit, rounded from 0 up, truncated below 0. The
  // TimeStamp field is unsigned but holds the caller's signed pts times
  // timescaling: read as signed, a negative pts comes back intact.
  int64_t dts = slot.bs.DecodeTimeStamp;
  rec.dts = (int64_t)((double)dts / enc->timescaling + (dts >= 0 ? 0.5 : 0.0));
  if (rec.dts == 0) rec.dts = enc->ts_base++;
  int64_t pts = (int64_t)slot.bs.TimeStamp;
  rec.pts = (int64_t)((double)pts / enc->timescaling + (pts >= 0 ? 0.5 : 0.0));

  int type = hwavc_frame_type(slot.bs.FrameType);
  if (type < 0) {
    printf("UNKNOW frame type:%x\n", slot.bs.FrameType);
    fflush(stdout);
  } else {
    rec.frame_type = type;
  }
  *out = &rec;

  slot.sync = nullptr;
  slot.bs.DataOffset = slot.bs.DataLength = 0;
  for (uint32_t i = 0; i < n; i++) {
    enc->bs_head = (enc->bs_head + 1) % n;
    if (enc->bs_slots[enc->bs_head].sync) break;
  }
  return 0;
}

}  // namespace

void hwavc_set_msg(int line, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vformat_line(g_msg, sizeof g_msg, line, fmt, ap);
  va_end(ap);
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
  if (s->width < 1 || s->height < 1 || padded16(s->width) > kMaxPaddedSide || padded16(s->height) > kMaxPaddedSide ||
      (int64_t)padded16(s->width) * padded16(s->height) * 3 / 2 > INT32_MAX) {
    hwavc_set_msg(__LINE__, "picture size %dx%d out of range", s->width, s->height);
    return -1;
  }
  if (s->bitrate < 1 || s->bitrate > INT32_MAX / 300) {
    hwavc_set_msg(__LINE__, "bitrate %d kbit/s outside 1..%d", s->bitrate, INT32_MAX / 300);
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

// Luma row by row until the source reaches its plane 1.
void copy_luma(quarn_frame *dst, const quarn_frame *src) {
  const uint8_t *from = src->plane[0];
  uint8_t *to = dst->plane[0];
  size_t row = (size_t)src->pitch[0];
  while (from < src->plane[1]) {
    memcpy(to, from, row);
    from += row;
    to += dst->pitch[0];
  }
}

}  // namespace

void copy_yuv420p_to_nv12(quarn_frame *dst, const quarn_frame *src, int rows) {
  copy_luma(dst, src);
  int width = dst->width < src->width ? dst->width : src->width;
  for (int r = 0; r < rows / 2; r++) {
    uint8_t *to = dst->plane[1] + (size_t)r * dst->width;
    size_t from = (size_t)src->width * r / 2;
    const uint8_t *cb = src->plane[1] + from;
    const uint8_t *cr = src->plane[2] + from;
    for (int j = 0; j < width / 2; j++) {
      to[2 * j] = cb[j];
      to[2 * j + 1] = cr[j];
    }
  }
}

void copy_yuv420p_to_nv12_fast(quarn_frame *dst, const quarn_frame *src, int rows) {
  copy_luma(dst, src);
  // The chroma rows of both frames follow one another without gaps here, so
  // the interleave runs over the whole plane at once.
  size_t total = (size_t)src->width * rows / 2;
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
  hwavc_enc_data *enc = (hwavc_enc_data *)quarn_calloc(sizeof(hwavc_enc_data));
  if (!enc) {
    hwavc_set_msg(__LINE__, "failed calloc hwavc_enc_data");
    return -1;
  }
  enc->log_func = log_func;
  enc->settings = settings;
  if (open_session(enc) != 0 || open_encoder(enc) != 0 || alloc_surfaces(enc) != 0 || alloc_bs_slots(enc) != 0) {
    hwavc_enc_close(enc);
    return -1;
  }
  *out = enc;
  return 0;
}

int hwavc_enc_encode(hwavc_enc_data *enc, const quarn_frame *frame, quarn_frame **out) {
  if (!enc || !out) {
    hwavc_set_msg(__LINE__, "null %s", enc ? "out" : "handle");
    return HWAVC_ENC_ERR_BAD_CALL;
  }
  if (frame && check_frame(enc, frame) != 0) {
    *out = nullptr;
    return HWAVC_ENC_ERR_BAD_FRAME;
  }
  int code = 0;
  hwavc_bs_slot *slot = get_bs_slot(enc, out, &code);
  if (!slot) return code;

  mfxFrameSurface1 *surface = nullptr;
  if (frame) {
    if (!enc->ts_base_set) {
      enc->ts_base = frame->pts;
      enc->ts_base_set = 1;
    }
    int count = enc->request.NumFrameSuggested;
    int waited_ms = 0;
    mfxU16 index;
    while ((index = get_free_surface(enc->surfaces, count)) == 0xFFFF) {
      if (waited_ms >= hwavc_surface_wait_limit_ms) {
        hwavc_set_msg(__LINE__, "failed to get free surface and timeout %dms\n", hwavc_surface_wait_limit_ms);
        return HWAVC_ENC_ERR_NO_SURFACE;
      }
      sleep_ms(kSurfaceWaitStepMs);
      waited_ms += kSurfaceWaitStepMs;
    }
    hwavc_surface_entry &entry = enc->surfaces[index];
    enc->copy_frame(entry.frame, frame, enc->min_height);
    entry.surface.Data.TimeStamp = (mfxU64)((int64_t)enc->timescaling * frame->pts);
    surface = &entry.surface;
  }

  mfxStatus sts;
  while ((sts = MFXVideoENCODE_EncodeFrameAsync(enc->session, nullptr, surface, &slot->bs, &slot->sync)) ==
         MFX_WRN_DEVICE_BUSY) {
    sleep_ms(1);
  }
  if (sts >= MFX_ERR_NONE || sts == MFX_ERR_MORE_DATA) {
    // The encoder has nothing left: hand back what is still in the ring,
    // oldest first, one frame per call.
    if (!frame && sts == MFX_ERR_MORE_DATA && !*out && enc->bs_slots[enc->bs_head].sync) {
      return collect_oldest(enc, out);
    }
    return 0;
  }
  hwavc_set_msg(__LINE__, "failed to EncodeFrameAsync, ret %d\n", sts);
  return sts;
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
