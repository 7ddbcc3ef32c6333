// What the stand-in writes as a coded picture: real H.264 from x264, or the
// synthetic and pass-through payloads. When a picture is written and which
// surfaces stay locked is the behaviour's business (mfx_standin.cpp).
#include <string.h>

#include "mfx_standin_internal.h"

namespace standin {

namespace {

const uint32_t kPayloadMagic = 0x4953564B;  // "KVSI"
// Payload of the synthetic and pass-through modes, little-endian:
// magic, input index, TimeStamp, FrameType, checksum (0 in pass-through).
const uint32_t kPayloadSize = 24;

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

}  // namespace

void make_payload(const Session *s, Task *task) {
  if (s->cfg.mode == Mode::x264) return;
  const Held &frame = task->frame;
  task->coded.resize(kPayloadSize);
  uint8_t *out = task->coded.data();
  put_u32(out, kPayloadMagic);
  put_u32(out + 4, (uint32_t)frame.index);
  put_u64(out + 8, frame.timestamp);
  put_u32(out + 16, frame.type);
  put_u32(out + 20, s->cfg.mode == Mode::synthetic ? picture_checksum(frame.surface) : 0);
}

#ifdef MFX_STANDIN_X264
namespace {

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

}  // namespace

mfxStatus open_x264(Session *s) {
  x264_param_t p;
  if (standin_x264_param(s->param, s->reorder_depth, &p) != 0) return MFX_ERR_INVALID_VIDEO_PARAM;
  s->x264 = x264_encoder_open(&p);
  return s->x264 ? MFX_ERR_NONE : MFX_ERR_UNSUPPORTED;
}

void close_x264(Session *s) {
  if (s->x264) x264_encoder_close(s->x264);
  s->x264 = nullptr;
}

// x264 copies the picture, so a surface that yields no output is given back
// at once; one that does is held until its task is synchronised.
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
  task->decode_timestamp = out.i_dts;
  task->frame_type = frame_type_from_x264(out.i_type);
  *syncp = (mfxSyncPoint)task;
  return MFX_ERR_NONE;
}
#endif

}  // namespace standin
