// The encoder's private record and the routines behind the exports, for the
// library's own units and tests. Nothing here is exported.
#ifndef HWAVC_ENC_INTERNAL_H
#define HWAVC_ENC_INTERNAL_H

#include <stdint.h>
#include <vpl/mfxvideo.h>

#include "hwavc_enc.h"
#include "quarn_common.h"

#define HWAVC_MAX_SURFACES 10
#define HWAVC_MAX_BS_SLOTS 10
// buf_num slots form the ring and one more receives the frame handed back.
#define HWAVC_MAX_BUF_NUM (HWAVC_MAX_BS_SLOTS - 1)

typedef void (*hwavc_copy_func)(quarn_frame *dst, const quarn_frame *src, int rows);

struct hwavc_surface_entry {
  quarn_frame *frame;  // holds the pixels; the surface points into it
  mfxFrameSurface1 surface;
};

struct hwavc_bs_slot {
  mfxSyncPoint sync;  // the operation writing into this slot; null when free
  int32_t done;       // 1: synchronised, the data is in bs; -1: lost, dropped when its turn comes
  quarn_frame rec;
  mfxBitstream bs;
};

struct HWAVC_ALIGN16 hwavc_enc_data {
  const hwavc_enc_settings *settings;  // read during open only
  mfxSession session;
  mfxVideoParam param;
  mfxFrameAllocRequest request;
  int32_t surface_count;  // surfaces in use: the runtime's suggestion, at most HWAVC_MAX_SURFACES
  int32_t bs_capacity;    // bytes per bitstream slot
  hwavc_surface_entry surfaces[HWAVC_MAX_SURFACES];
  hwavc_bs_slot bs_slots[HWAVC_MAX_BS_SLOTS];
  uint32_t bs_head;     // oldest ring slot in flight
  int32_t timescaling;  // caller's timestamp unit -> 90 kHz
  uint32_t ts_base_set;
  int64_t ts_base;  // fallback decoding timestamps
  int32_t ref_dist;  // GopRefDist as the runtime confirmed it: 1 without B pictures
  uint32_t drain_started;  // a call without a frame ended the sequence
  uint32_t encoder_empty;  // the runtime has nothing left to drain
  int32_t frames_held;     // frames the runtime took and gave no sync point for yet
  mfxStatus device_failure;  // the device status that ended the session; 0 while it works
  hwavc_copy_func copy_frame;
  int32_t min_height;  // picture rows copied per frame
  hwavc_enc_log_func log_func;
  char log_buf[HWAVC_ENC_MSG_SIZE];
};

// Failure text into the process-wide slot, prefixed "hwavc_enc(line): ".
void hwavc_set_msg(int line, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Settings -> encoder parameters, timescaling, min_height and copy_frame;
// logs every setting. The settings must have passed hwavc_check_settings.
int hwavc_fill_param(hwavc_enc_data *enc, const hwavc_enc_settings *settings);
// -1 with a message when the settings cannot make a working encoder.
int hwavc_check_settings(const hwavc_enc_settings *settings);
// Frames per second -> FrameRateExtN / FrameRateExtD.
void fps_to_ratio(double fps, mfxU32 *num, mfxU32 *den);

// quarn frame_type from the Media SDK's FrameType bits; -1 when they name
// no picture type.
int hwavc_frame_type(mfxU16 bits);

// Input frame -> NV12 surface frame: any width / widths that are a multiple
// of 16 (the surface rows then follow one another without padding).
void copy_yuv420p_to_nv12(quarn_frame *dst, const quarn_frame *src, int rows);
void copy_yuv420p_to_nv12_fast(quarn_frame *dst, const quarn_frame *src, int rows);

// Index of the first unlocked surface, or 0xFFFF.
mfxU16 get_free_surface(const hwavc_surface_entry *surfaces, int count);
// Index of the first free ring slot from bs_head on, or buf_num.
uint32_t find_free_bs_slot(const hwavc_enc_data *enc);
// The ring slot for the next operation; collects the oldest coded frame into
// *out first when the whole ring is in flight. Null with *code on failure.
hwavc_bs_slot *get_bs_slot(hwavc_enc_data *enc, quarn_frame **out, int *code);

// Continuous busy answers, 1 ms apart, that an encode call takes while none
// of its operations is in flight before it gives up: a runtime that stays
// busy for 2 s with nothing of ours to finish is hung or taken by others.
#define HWAVC_MAX_IDLE_BUSY 2000

// How long an encode call with nothing running waits for a free surface:
// while the runtime holds frames of this handle, and while it holds none
// (test seams; 300000 and 100).
extern int hwavc_surface_wait_limit_ms;
extern int hwavc_idle_surface_wait_ms;

#ifdef _WIN32
#include <windows.h>
// SetThreadErrorMode through `real`, KERNEL32's when it has one; with none
// (Vista) the process-wide SetErrorMode instead, the old mode stored the same.
typedef BOOL(WINAPI *hwavc_set_thread_error_mode_func)(DWORD mode, DWORD *old_mode);
BOOL hwavc_thread_error_mode(hwavc_set_thread_error_mode_func real, DWORD mode, DWORD *old_mode);
#endif

#endif
