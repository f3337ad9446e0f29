// lzfse: decoders for LZFSE streams (the block-framed format of decmpfs
// compression types 11/12) and raw LZVN streams (decmpfs types 7/8).
//
// Every input byte is treated as hostile: the decoders never read before or
// past the source buffer, never write past dst + dst_size, and never throw.
// Bytes of dst past the produced length may have been overwritten with
// scratch data.
//
// Two styles of call are offered:
//
// * lzfse_decode_buffer / lzvn_decode_buffer return a plain byte count with
//   the conventions of the usual LZFSE library call:
//     - success: the number of bytes written (0..dst_size);
//     - output does not fit: dst holds exactly the first dst_size bytes of the
//       output and the result is dst_size. Decoding stops there, so damage
//       further on in the stream goes unnoticed. This is indistinguishable
//       from an output of exactly dst_size bytes: a caller that wants to know
//       passes a buffer one byte larger than the length it expects and treats
//       "result == dst_size" as "too long";
//     - corrupt or truncated input, or no memory: 0. A valid stream with an
//       empty output also gives 0 (and dst_size == 0 always gives 0).
//   Unlike that library, errors inside LZVN data are always reported as 0
//   (never as dst_size).
//
// * lzfse_decode / lzvn_decode return an explicit status and store the number
//   of bytes produced in *produced (also on failure: the length of the prefix
//   decoded before the problem was found). For decmpfs, decode each chunk into
//   a buffer of the expected size and require LZFSE_STATUS_OK with
//   *produced equal to the expected size.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum lzfse_status {
    LZFSE_STATUS_OK = 0,            // end of stream reached, everything fitted
    LZFSE_STATUS_DST_TOO_SMALL = 1, // dst filled completely, more output would follow
    LZFSE_STATUS_TRUNCATED = 2,     // input ended before the end-of-stream marker
    LZFSE_STATUS_CORRUPT = 3,       // invalid data
    LZFSE_STATUS_NO_MEMORY = 4,     // scratch was null and its allocation failed
} lzfse_status;

// Size in bytes of the working memory lzfse_decode_buffer may be handed.
size_t lzfse_decode_scratch_size(void);

// Decodes the LZFSE stream src[0..src_size) into dst[0..dst_size).
// scratch: null, or lzfse_decode_scratch_size() bytes aligned like a pointer
// (a null or misaligned scratch makes the call allocate its own, ~50 KB).
// Results as described above. Bytes after the end-of-stream block are ignored.
size_t lzfse_decode_buffer(uint8_t* dst, size_t dst_size, const uint8_t* src, size_t src_size,
                           void* scratch);

// Decodes a raw LZVN instruction stream (no block header) ending with the
// LZVN end-of-stream instruction; bytes after that instruction are ignored.
// Needs no scratch. Results as lzfse_decode_buffer: bytes written on success,
// dst_size when the output would not fit (dst then holds its first dst_size
// bytes), 0 on corrupt or truncated input (and for an empty output).
size_t lzvn_decode_buffer(uint8_t* dst, size_t dst_size, const uint8_t* src, size_t src_size);

// Status-returning forms of the two calls above. produced may be null; a
// null dst counts as a buffer of 0 bytes, a null src as an empty input.
lzfse_status lzfse_decode(uint8_t* dst, size_t dst_size, const uint8_t* src, size_t src_size,
                          void* scratch, size_t* produced);
lzfse_status lzvn_decode(uint8_t* dst, size_t dst_size, const uint8_t* src, size_t src_size,
                         size_t* produced);

// A short English name of a status ("ok", "destination too small", ...).
const char* lzfse_status_name(lzfse_status status);

#ifdef __cplusplus
}
#endif
