// MD5 message digest (RFC 1321): the reference shape (context, update, final,
// block transform) and the three helpers the programs use on top of it.
#pragma once
#include <windows.h>

struct Md5Context {
  DWORD state[4];     // A, B, C, D
  DWORD bitCount[2];  // message length in bits, low word first
  BYTE buffer[64];    // input block being collected
};

// Adds `length` bytes to the digest.
void Md5Update(Md5Context* context, const BYTE* input, DWORD length);
// Pads, appends the bit count, writes the 16-byte digest and clears the context.
void Md5Final(Md5Context* context, BYTE digest[16]);
// One 64-byte block into the state.
void Md5Transform(Md5Context* context, const BYTE block[64]);

// Digest of a buffer. False (nothing written) for a null or empty input.
bool Md5Digest(const void* input, DWORD length, BYTE digest[16]);
// Lower-case hex digest into `hex` (at least 33 bytes, NUL-terminated).
// `hex` is made empty first; false for a null or empty input.
bool Md5Hex(const void* input, DWORD length, char* hex);
// Lower-case hex digest of a file; the path is in the ANSI code page. False,
// with `hex` untouched, when the file cannot be opened.
bool Md5File(const char* path, char* hex);
