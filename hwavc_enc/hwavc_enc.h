// Hardware H.264 encoder on Intel Quick Sync through the Media SDK dispatcher.
//
// The media server loads this library by name and calls the six exports
// below. Raw frames (planar YUV 4:2:0) go in, coded H.264 frames come back in
// decode order (with B pictures 0, 2, 1, 4, 3, ... by input) once the ring of
// frames in flight is full; calls without a frame drain the encoder. Every
// export but hwavc_enc_get_msg (which returns the message's length) returns 0
// or a negative code; after a failure hwavc_enc_get_msg tells why.
//
// Calling order: hwavc_enc_open; hwavc_enc_encode with a frame, once per raw
// frame; hwavc_enc_encode without a frame until *out comes back null (the
// drain: every frame taken comes back once, in decode order); hwavc_enc_close.
// hwavc_enc_reset may come between encode calls. A drain ends the stream:
// for more frames close the handle and open a new one. After a failed encode
// call the code says whether the handle is still usable (most codes) or ended
// (the device codes): see hwavc_enc_encode. Close it in either case when done.
//
// Ownership: the caller keeps its settings and its raw frames (the library
// copies what it needs and keeps no pointer to them). The library owns the
// handle and the coded frame it hands back: that frame stays valid until the
// next encode or close call on the handle and is never freed by the caller.
//
// Threads: one handle is used by one thread at a time. The library starts no
// threads of its own and takes no locks; the message slot is one for the
// whole process, so a message may be replaced by another thread's failure.
//
// The two records below are compiled into the caller: their layouts are fixed
// (x86-64, little-endian), kept whatever #pragma pack the caller has set, and
// checked field by field at the end of this file, in C++ and in C (C11
// _Static_assert, or a negative array size in C99). Language: C99 or C++11 and
// later. Any target other than x86-64 stops the compile.
#ifndef HWAVC_ENC_H
#define HWAVC_ENC_H

// The library's version, the same numbers as hwavc_enc.dll's version resource.
// This is the one place the release's version is set: the build reads these
// three lines.
#define HWAVC_ENC_VERSION_MAJOR 1
#define HWAVC_ENC_VERSION_MINOR 1
#define HWAVC_ENC_VERSION_PATCH 0

#if !defined(__x86_64__) && !defined(_M_X64)
#error "hwavc_enc.h: hwavc_enc is an x86-64 library; its records are laid out for x86-64 only"
#endif

#include <stddef.h>
#include <stdint.h>

// HWAVC_ENC_BUILD: compiling the library; HWAVC_ENC_STATIC: linking its
// objects directly (the library's own tests).
#if defined(_WIN32) && defined(HWAVC_ENC_BUILD)
#define HWAVC_ENC_API __declspec(dllexport)
#elif defined(_WIN32) && defined(HWAVC_ENC_STATIC)
#define HWAVC_ENC_API
#elif defined(_WIN32)
#define HWAVC_ENC_API __declspec(dllimport)
#else
#define HWAVC_ENC_API __attribute__((visibility("default")))
#endif

#if defined(_MSC_VER)
#define HWAVC_ALIGN16 __declspec(align(16))
#else
#define HWAVC_ALIGN16 __attribute__((aligned(16)))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Size of the last-message text and of a buffer for hwavc_enc_get_msg.
#define HWAVC_ENC_MSG_SIZE 8192

// Raw frames: planar YUV 4:2:0 in three planes. Coded frames: H.264 data.
#define QUARN_FORMAT_YUV420P 12
#define QUARN_FORMAT_H264 15

// Coded frame types in quarn_frame.frame_type.
#define QUARN_FRAME_I 0  // IDR pictures included
#define QUARN_FRAME_P 1
#define QUARN_FRAME_B 2

// Codes of hwavc_enc_encode, in two ranges that never meet: the library's own,
// -100 and below, and the Media SDK runtime's statuses passed on as they are,
// -1 to -24 (MFX_ERR_*; -1 is MFX_ERR_UNKNOWN). hwavc_enc_open returns -1 for
// every failure, whatever the cause (a runtime status shows only in its
// message), so its -1 is not the runtime's. Per code: see hwavc_enc_encode.
#define HWAVC_ENC_ERR_SYNC (-100)
#define HWAVC_ENC_ERR_NO_SYNC_POINT (-101)
#define HWAVC_ENC_ERR_DATA_LENGTH (-102)
#define HWAVC_ENC_ERR_NO_SLOT (-103)
#define HWAVC_ENC_ERR_NO_SURFACE (-200)
#define HWAVC_ENC_ERR_BUSY (-201)
#define HWAVC_ENC_ERR_BAD_FRAME (-300)
#define HWAVC_ENC_ERR_BAD_CALL (-301)
// The runtime's statuses after which the device cannot go on
// (MFX_ERR_DEVICE_LOST, MFX_ERR_DEVICE_FAILED, MFX_ERR_GPU_HANG): they end
// the handle.
#define HWAVC_ENC_ERR_DEVICE_LOST (-13)
#define HWAVC_ENC_ERR_DEVICE_FAILED (-17)
#define HWAVC_ENC_ERR_GPU_HANG (-21)

// The records as this library lays them out, whatever packing the caller set.
#pragma pack(push, 8)

// The caller's settings; read only during hwavc_enc_open, strings not kept.
//
// Limits: hwavc_enc_open refuses with -1 (the message names the field and its
// range) settings outside
//   width, height   1 to 65520 pixels; the surfaces are padded to multiples of
//                   16, and such a padded picture must stay below 2 GiB in
//                   4:2:0 (65520x21840 is accepted, 65520x21841 is not)
//   fps_num/fps_den both above 0, rounding to 1 to 65535 whole frames per
//                   second (1/2 and 65535/1 are accepted, 1/3 and 131071/2
//                   are not)
//   bitrate         2 to 7158278 kbit/s (a coded-frame slot holds 2.4 s of it)
//   buf_num         1 to 9
// Within them the hardware has limits of its own (most Intel encoders take at
// most 4096x4096): open then fails with "failed to query encoding param -15".
//
// Picture structure: closed groups of pictures of round(fps_num / fps_den)
// frames, that is one second of video, each starting with an I picture that
// is always an IDR picture; one B picture between reference pictures (display
// order I B P B P ... P), with buf_num 1 too, where the runtime confirms it.
// It does not for a "baseline" profile, nor on encoders that have only their
// low-power engine (Jasper Lake and Elkhart Lake: Celeron N4500, N5105,
// J6412, Pentium N6005...), which have no B pictures. The open log gives the
// structure confirmed: "encoder ... ref_dist:N ..." (2 with B pictures, 1
// without), and "runtime corrected ref_dist from 2 to 1" when the runtime
// dropped them. With B pictures the encoder holds one picture back for the
// B picture's later reference and the ring then fills, so the first coded
// frame comes back from encode call number buf_num + ref_dist, and each later
// call hands one back:
//   buf_num           1  2  3  4  5  6  7  8  9
//   call, ref_dist 2  3  4  5  6  7  8  9 10 11
//   call, ref_dist 1  2  3  4  5  6  7  8  9 10
typedef struct hwavc_enc_settings {
  const char *profile;  // "baseline", "main" or "high"; others let the encoder choose
  const char *preset;   // "ultrafast", "veryfast" or "slow"; others: the encoder's default
  const void *reserved_16;
  int32_t width;   // pixels, 1 to 65520; odd sizes are taken (see quarn_frame)
  int32_t height;  // pixels, 1 to 65520
  int32_t fps_num;  // frame rate fps_num / fps_den, both above 0, 0.5 to 65535 frames/s
  int32_t fps_den;
  int32_t reserved_40;
  int32_t bitrate;  // kbit/s, 2 to 7158278; the encoder runs at 80% of it, CBR
  uint8_t reserved_48[20];
  uint16_t buf_num;  // encode operations kept in flight, 1 to 9
} hwavc_enc_settings;

// One record for raw and coded frames, 192 bytes, 16-byte aligned.
//
// A raw frame (the `frame` of hwavc_enc_encode) is read only in its fields
// marked "raw:" below, during the call; every other field is ignored and may
// hold anything. The rules, each refused with HWAVC_ENC_ERR_BAD_FRAME before
// anything is copied or submitted:
//   - format is QUARN_FORMAT_YUV420P; width and height are the settings';
//   - plane[0], plane[1] and plane[2] are not null;
//   - pitch[0], the bytes from one luma row to the next, is at least the width
//     and at most the width rounded up to a multiple of 16 (for a width that
//     is a multiple of 16: exactly the width); `pitch[0]` bytes of each row
//     are read;
//   - plane[1] starts right after the luma rows: plane[0] + pitch[0] * height.
// Not checked, and the caller's to keep: the chroma planes plane[1] (Cb) and
// plane[2] (Cr) each hold (width / 2) x (height / 2) samples, both rounded
// down, in rows width / 2 bytes apart (pitch[1] and pitch[2] are not read);
// plane[2] may be anywhere. Odd widths and heights are taken: the last
// picture column or row, which has no chroma of its own then, gets the chroma
// of the one before it. H.264 crops 4:2:0 pictures in steps of two, so an odd
// side comes out one larger, its last column or row repeated: a 33x17
// picture decodes as 34x18.
//
// Timestamps count frames: pts n is the n-th frame period of the rounded
// frame rate (any start, negative too). The encoder's 90 kHz clock gets
// pts * (90000 / round(fps_num / fps_den)); coded frames carry pts and dts in
// the caller's count again. With another unit pts comes back as given, but
// dts, which the encoder derives from its clock, does not fit it.
//
// A coded frame (handed back in *out) is filled by the library in the fields
// marked "coded:"; the others are 0.
typedef struct HWAVC_ALIGN16 quarn_frame {
  int32_t reserved_0;  // coded: 0
  int32_t format;      // raw: QUARN_FORMAT_YUV420P; coded: QUARN_FORMAT_H264
  int32_t frame_type;  // coded: QUARN_FRAME_*
  int32_t reserved_12;
  int64_t dts;  // coded: decoding time, in frames like pts
  int64_t pts;  // raw: presentation time, in frames; coded: the pts of its raw frame
  uint8_t reserved_32[16];
  int32_t width;   // raw: must be the settings' width; coded: the settings' width
  int32_t height;  // raw: must be the settings' height; coded: the settings' height
  double fps;      // coded: fps_num / fps_den
  int32_t fps_num;  // coded: the settings'
  int32_t fps_den;
  int32_t pixel_format;  // not read; coded: 0
  uint8_t reserved_76[36];
  int32_t own_data;  // coded: 0 (the library frees it, at the next encode or close call)
  int32_t reserved_116;
  uint8_t *data;  // coded: the H.264 data, 16-byte aligned
  int32_t size;   // coded: length of the H.264 data
  int32_t capacity;  // coded: bytes the buffer at data holds
  uint8_t *plane[3];  // raw: luma, Cb, Cr; coded: plane[0] is data
  uint8_t reserved_160[8];
  int32_t pitch[3];  // raw: pitch[0], bytes per luma row; pitch[1] and pitch[2] are not read
  int32_t reserved_180;
  int32_t plane_count;
  int32_t reserved_188;
} quarn_frame;

#pragma pack(pop)

typedef struct hwavc_enc_data hwavc_enc_data;

// Receives one information line at a time during hwavc_enc_open, such as
// "hwavc_enc(123): Intel Media SDK 1.35" and "hwavc_enc(140): mode
// MFX_IMPL_HARDWARE via D3D11" (the interface the session got: D3D11, D3D9,
// VAAPI or 0x<hex>). Open asks for Direct3D 11 first; when the runtime
// refuses any step of that, it logs "D3D11 open failed at <step> with
// <status>, trying D3D9" and opens once more, letting the dispatcher choose
// (Direct3D 9 where it sees the adapter). Each field of the settings the
// runtime changed is logged as "runtime corrected <field> from <asked> to
// <got>" (profile, gop, ref_dist, async_depth, bitrate). Each line is
// NUL-terminated, without a newline at its end (a caller that prints lines
// adds one), shorter than HWAVC_ENC_MSG_SIZE, valid only during the call. The
// result is ignored. May be null: the lines then go nowhere. Whatever the
// callback, the library prints a line to standard output (inside the media
// server: the tray's log) when the driver runs part of the encoder in
// software at open, "Encoder will work with partial HW acceleration", when an
// encode call's wait fails (HWAVC_ENC_ERR_SYNC), "failed to
// MFXVideoCORE_SyncOperation, ..." as in its message, and for a picture type
// the runtime does not name, "UNKNOW frame type:N".
typedef int (*hwavc_enc_log_func)(const char *line);

// Opens a hardware encoder. 0 with the handle in *out; -1 with the reason in
// the message slot and *out untouched. Only a hardware implementation of the
// Media SDK is accepted. The message is "hwavc_enc(N): " and a text; where the
// Media SDK gave a status, it is the text's last number (of the last attempt
// when Direct3D 11 failed first). What each failure
// means for the person who sees it (the README's troubleshooting says the same):
//   "failed initializing an internal MFX session -3"
//       no Intel Quick Sync hardware found: the machine has no Intel graphics
//       with a hardware encoder, it is switched off in the firmware (it must
//       be on beside a discrete card too), or the Intel graphics driver that
//       brings its runtime (libmfxhw64.dll) is not installed.
//       Install or update the Intel graphics driver; on a machine without
//       Intel graphics this library cannot encode. Another negative status
//       here: the runtime was found and failed to start (update the driver).
//   "only software qsv encoder, quit", "unknow qsv encoder N",
//   "failed to query version N"
//       the runtime that answered is not a usable hardware one: update or
//       reinstall the Intel graphics driver.
//   "failed to query encoding param -15" (or -3)
//       the hardware refuses these settings (most often a picture larger than
//       it encodes) or has no H.264 encoder: smaller settings, newer hardware.
//       Other statuses with this text (-17: device failed) come from the
//       driver: update it.
//   "NumFrameMin N are over of 10"
//       the runtime needs more surfaces than the library keeps: a smaller
//       buf_num.
//   "bitstream buffer of N bytes asked, over 2147483647"
//       the runtime asks for a coded-frame buffer over 2 GiB: a lower bitrate.
//   "failed to get encoding param N"
//       the driver failed after the encoder started: update it.
//   "buf_num ...", "frame rate ...", "picture size ...", "bitrate ..."
//       settings outside the limits above: the caller's to fix.
//   "open needs a handle slot and settings: ...", "failed calloc ...",
//   "failed to calloc frame"
//       a null argument, or out of memory.
HWAVC_ENC_API int hwavc_enc_open(hwavc_enc_data **out, const hwavc_enc_settings *settings,
                                 hwavc_enc_log_func log_func);

// Copies `frame` (or, when null, asks the encoder to drain) and submits it
// without waiting. *out receives a coded frame, the oldest one in flight,
// once every slot of the ring is busy, or null. A call without a frame hands
// back the oldest frame still held while there is one, so draining until *out
// comes back null yields every frame taken, after refused frames too; once
// drained, every further call without a frame returns 0 and a null *out. The
// coded frame lives in the handle until the next encode or close call.
//
// The handle has as many input surfaces as the runtime suggests, at most 10.
// Open refuses a runtime only when the fewest it can work with is above 10
// ("NumFrameMin %d are over of %d"): fewer surfaces than suggested make a
// call wait for the oldest frame sooner, nothing else.
//
// A call may wait: for the oldest frame in flight when the ring is full, no
// surface is free or the device answers busy (as long as the device takes,
// at most 1500 s). With none of its frames running and no surface free it
// waits up to 300 s while the runtime still holds frames of this handle
// (kept back for B pictures, which it may be working on), and 100 ms when it
// holds none: then only a surface the runtime is about to unlock at the end
// of an operation can come free, which takes far less, and any other stays
// locked for good (a failed device). A busy device with nothing in flight is
// asked again 2000 times, 1 ms apart. After a device failure no call waits.
//
// Returns 0, or a negative code with the reason in the message slot; with any
// code but 0 the frame was not taken. What holds and what to do, per code
// (retry: the handle is usable, call again with the same frame, or again
// without one; drop: the handle is usable, go on with the next frame; close:
// the handle is ended):
//   HWAVC_ENC_ERR_SYNC         retry. Waiting for the oldest coded frame
//                              failed (the status is in the message). With a
//                              Media SDK warning (still in execution) it stays
//                              in flight and the next call tries again; with an
//                              error it is dropped and later calls go on with
//                              the others; with a device code the device
//                              failed: this call returns HWAVC_ENC_ERR_SYNC,
//                              the later ones the device code (below)
//   HWAVC_ENC_ERR_DATA_LENGTH  retry. The oldest coded frame filled its whole
//                              buffer; it is dropped
//   HWAVC_ENC_ERR_BUSY         retry. The device answered busy 2000 times in a
//                              row, 1 ms apart, with none of this handle's
//                              frames in flight to wait for
//   HWAVC_ENC_ERR_BAD_FRAME    drop. The frame does not match the settings
//                              (format other than 12, another width or height,
//                              a null plane, a luma pitch below the width or
//                              above the surface's, or plane 1 not right after
//                              the luma rows); nothing was copied or submitted
//   a negative Media SDK status other than the device codes
//                              drop. The encoder refused the frame. From a call
//                              without a frame: nothing was collected, the next
//                              call asks again
//   HWAVC_ENC_ERR_DEVICE_LOST, HWAVC_ENC_ERR_DEVICE_FAILED, HWAVC_ENC_ERR_GPU_HANG
//                              close. The device failed (when a wait saw it
//                              first, that call returned HWAVC_ENC_ERR_SYNC).
//                              Every later call with a frame returns the same
//                              code at once; calls without a frame first hand
//                              back the coded frames finished before the
//                              failure, each once with 0, then return the code
//   HWAVC_ENC_ERR_NO_SURFACE   close. No input surface came free in time: the
//                              runtime keeps them all
//   HWAVC_ENC_ERR_NO_SLOT      close. The ring is broken (a fault of the library)
//   HWAVC_ENC_ERR_BAD_CALL     nothing was done: a null handle or a null `out`
//                              (fix the call), or a frame after the drain (the
//                              stream is over: close)
// HWAVC_ENC_ERR_NO_SYNC_POINT is no longer returned. Except with
// HWAVC_ENC_ERR_BAD_FRAME and HWAVC_ENC_ERR_BAD_CALL, *out may still hold a
// frame collected before the failure: use it, it does not come back again.
HWAVC_ENC_API int hwavc_enc_encode(hwavc_enc_data *enc, const quarn_frame *frame, quarn_frame **out);

// Ends the session and frees everything, whatever the encode calls returned
// (after a device failure too: what is still in flight is dropped); -1 for a
// null handle.
HWAVC_ENC_API int hwavc_enc_close(hwavc_enc_data *enc);

// The next frame's pts seeds the fallback decoding-timestamp counter again
// (the encoder itself is not reset). 0; -1 for a null handle.
HWAVC_ENC_API int hwavc_enc_reset(hwavc_enc_data *enc);

// Does nothing; returns 0.
HWAVC_ENC_API int hwavc_enc_done(void *ignored);

// Copies the last failure message into `buf` (HWAVC_ENC_MSG_SIZE bytes) and
// returns its length: an empty text and 0 before any failure, -1 for a null
// buffer. Success never clears the message. Like the log lines, a message
// never ends in a newline: a caller that prints it adds one.
HWAVC_ENC_API int hwavc_enc_get_msg(char *buf);

// Pointer types of the six exports, for a caller that loads the library at
// run time (LoadLibrary, then GetProcAddress by these plain names).
typedef int (*hwavc_enc_open_func)(hwavc_enc_data **out, const hwavc_enc_settings *settings,
                                   hwavc_enc_log_func log_func);
typedef int (*hwavc_enc_encode_func)(hwavc_enc_data *enc, const quarn_frame *frame, quarn_frame **out);
typedef int (*hwavc_enc_close_func)(hwavc_enc_data *enc);
typedef int (*hwavc_enc_reset_func)(hwavc_enc_data *enc);
typedef int (*hwavc_enc_done_func)(void *ignored);
typedef int (*hwavc_enc_get_msg_func)(char *buf);

#ifdef __cplusplus
}  // extern "C"
#endif

// The layout checks: C++11 static_assert, C11 _Static_assert, and in C99 a
// typedef of an array whose size is -1 when a check fails.
#if defined(__cplusplus)
#define HWAVC_ENC_CHECK(cond, what) static_assert(cond, what)
#define HWAVC_ENC_ALIGNOF(type) alignof(type)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define HWAVC_ENC_CHECK(cond, what) _Static_assert(cond, what)
#define HWAVC_ENC_ALIGNOF(type) _Alignof(type)
#else
#define HWAVC_ENC_CHECK_NAME2(line) hwavc_enc_layout_check_##line
#define HWAVC_ENC_CHECK_NAME(line) HWAVC_ENC_CHECK_NAME2(line)
#define HWAVC_ENC_CHECK(cond, what) typedef char HWAVC_ENC_CHECK_NAME(__LINE__)[(cond) ? 1 : -1]
#if defined(__GNUC__)
#define HWAVC_ENC_ALIGNOF(type) __alignof__(type)
#endif
#endif

#define HWAVC_ENC_CHECK_OFFSET(record, field, offset) \
  HWAVC_ENC_CHECK(offsetof(record, field) == (offset), #record "." #field " moved")

HWAVC_ENC_CHECK(sizeof(hwavc_enc_settings) == 72, "hwavc_enc_settings size");
HWAVC_ENC_CHECK_OFFSET(hwavc_enc_settings, profile, 0);
HWAVC_ENC_CHECK_OFFSET(hwavc_enc_settings, preset, 8);
HWAVC_ENC_CHECK_OFFSET(hwavc_enc_settings, reserved_16, 16);
HWAVC_ENC_CHECK_OFFSET(hwavc_enc_settings, width, 24);
HWAVC_ENC_CHECK_OFFSET(hwavc_enc_settings, height, 28);
HWAVC_ENC_CHECK_OFFSET(hwavc_enc_settings, fps_num, 32);
HWAVC_ENC_CHECK_OFFSET(hwavc_enc_settings, fps_den, 36);
HWAVC_ENC_CHECK_OFFSET(hwavc_enc_settings, reserved_40, 40);
HWAVC_ENC_CHECK_OFFSET(hwavc_enc_settings, bitrate, 44);
HWAVC_ENC_CHECK_OFFSET(hwavc_enc_settings, reserved_48, 48);
HWAVC_ENC_CHECK_OFFSET(hwavc_enc_settings, buf_num, 68);

HWAVC_ENC_CHECK(sizeof(quarn_frame) == 192, "quarn_frame size");
#ifdef HWAVC_ENC_ALIGNOF
HWAVC_ENC_CHECK(HWAVC_ENC_ALIGNOF(quarn_frame) == 16, "quarn_frame alignment");
#endif
HWAVC_ENC_CHECK_OFFSET(quarn_frame, reserved_0, 0);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, format, 4);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, frame_type, 8);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, reserved_12, 12);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, dts, 16);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, pts, 24);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, reserved_32, 32);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, width, 48);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, height, 52);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, fps, 56);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, fps_num, 64);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, fps_den, 68);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, pixel_format, 72);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, reserved_76, 76);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, own_data, 112);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, reserved_116, 116);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, data, 120);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, size, 128);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, capacity, 132);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, plane, 136);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, reserved_160, 160);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, pitch, 168);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, reserved_180, 180);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, plane_count, 184);
HWAVC_ENC_CHECK_OFFSET(quarn_frame, reserved_188, 188);

#undef HWAVC_ENC_CHECK_OFFSET
#undef HWAVC_ENC_CHECK
#undef HWAVC_ENC_CHECK_NAME
#undef HWAVC_ENC_CHECK_NAME2
#undef HWAVC_ENC_ALIGNOF

#endif
