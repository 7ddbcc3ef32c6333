// x264 set up as the stand-in's encoder from the Media SDK parameters; also
// used by the benchmark that drives x264 directly with the same settings.
#ifndef STANDIN_X264_H
#define STANDIN_X264_H

#include <stdint.h>
#include <vpl/mfxvideo.h>

extern "C" {
#include <x264.h>
}

inline const char *standin_x264_preset(mfxU16 target_usage) {
  if (target_usage >= 1 && target_usage <= 3) return "slow";
  if (target_usage >= 5) return "ultrafast";
  return "veryfast";
}

inline const char *standin_x264_profile(mfxU16 profile) {
  switch (profile) {
    case MFX_PROFILE_AVC_BASELINE:
      return "baseline";
    case MFX_PROFILE_AVC_MAIN:
      return "main";
    default:
      return "high";
  }
}

// CBR at TargetKbps (times BRCParamMultiplier) with a one-second buffer, the
// profile, closed GOPs of GopPicSize, `bframes` B pictures between
// references, NV12 input cropped to CropW x CropH, 90 kHz timestamps, one
// thread. 0, or -1 when x264 refuses the preset or profile.
inline int standin_x264_param(const mfxVideoParam &par, int bframes, x264_param_t *p) {
  const mfxInfoMFX &m = par.mfx;
  const mfxFrameInfo &f = m.FrameInfo;
  if (x264_param_default_preset(p, standin_x264_preset(m.TargetUsage), nullptr) < 0) return -1;
  p->i_log_level = X264_LOG_NONE;
  p->i_threads = 1;
  // As the hardware: 4:2:0 is cropped in steps of two, so an odd side is
  // coded one larger.
  p->i_width = f.CropW + f.CropW % 2;
  p->i_height = f.CropH + f.CropH % 2;
  p->i_csp = X264_CSP_NV12;
  p->i_fps_num = f.FrameRateExtN;
  p->i_fps_den = f.FrameRateExtD;
  p->i_timebase_num = 1;
  p->i_timebase_den = 90000;
  p->b_vfr_input = 0;
  if (m.GopPicSize) p->i_keyint_max = p->i_keyint_min = m.GopPicSize;
  p->i_scenecut_threshold = 0;
  p->b_open_gop = (m.GopOptFlag & MFX_GOP_CLOSED) ? 0 : 1;
  p->i_bframe = bframes;
  p->i_bframe_adaptive = X264_B_ADAPT_NONE;
  p->i_bframe_pyramid = X264_B_PYRAMID_NONE;
  p->rc.i_lookahead = 0;
  p->i_sync_lookahead = 0;
  p->rc.b_mb_tree = 0;
  int multiplier = m.BRCParamMultiplier ? m.BRCParamMultiplier : 1;
  p->rc.i_rc_method = X264_RC_ABR;
  p->rc.i_bitrate = m.TargetKbps * multiplier;
  p->rc.i_vbv_max_bitrate = m.MaxKbps * multiplier;
  p->rc.i_vbv_buffer_size = p->rc.i_bitrate;
  p->b_repeat_headers = 1;
  p->b_annexb = 1;
  return x264_param_apply_profile(p, standin_x264_profile(m.CodecProfile)) < 0 ? -1 : 0;
}

#endif
