#include "shared/md5.h"

#include <cstdio>
#include <cstring>


namespace {

const DWORD kInitialState[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

const BYTE kPadding[64] = {0x80};

// Large reads keep the number of system calls low on big packages.
const DWORD kFileBlockSize = 64 * 1024;

void Md5Init(Md5Context* context) {
  std::memcpy(context->state, kInitialState, sizeof(kInitialState));
  context->bitCount[0] = 0;
  context->bitCount[1] = 0;
}

inline DWORD RotateLeft(DWORD x, int n) { return (x << n) | (x >> (32 - n)); }

inline DWORD F(DWORD x, DWORD y, DWORD z) { return (x & y) | (~x & z); }
inline DWORD G(DWORD x, DWORD y, DWORD z) { return (x & z) | (y & ~z); }
inline DWORD H(DWORD x, DWORD y, DWORD z) { return x ^ y ^ z; }
inline DWORD I(DWORD x, DWORD y, DWORD z) { return y ^ (x | ~z); }

#define MD5_STEP(f, a, b, c, d, x, s, ac) \
  (a) += f((b), (c), (d)) + (x) + (DWORD)(ac); \
  (a) = RotateLeft((a), (s)) + (b)

void Encode(BYTE* output, const DWORD* input, size_t length) {
  for (size_t i = 0, j = 0; j < length; ++i, j += 4) {
    output[j] = (BYTE)(input[i] & 0xff);
    output[j + 1] = (BYTE)((input[i] >> 8) & 0xff);
    output[j + 2] = (BYTE)((input[i] >> 16) & 0xff);
    output[j + 3] = (BYTE)((input[i] >> 24) & 0xff);
  }
}

void Decode(DWORD* output, const BYTE* input, size_t length) {
  for (size_t i = 0, j = 0; j < length; ++i, j += 4) {
    output[i] = ((DWORD)input[j]) | (((DWORD)input[j + 1]) << 8) |
                (((DWORD)input[j + 2]) << 16) | (((DWORD)input[j + 3]) << 24);
  }
}

void WriteHex(const BYTE digest[16], char* hex) {
  for (int i = 0; i < 16; ++i) {
    std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  }
  hex[32] = '\0';
}

}  // namespace

void Md5Transform(Md5Context* context, const BYTE block[64]) {
  DWORD a = context->state[0];
  DWORD b = context->state[1];
  DWORD c = context->state[2];
  DWORD d = context->state[3];
  DWORD x[16];
  Decode(x, block, 64);

  // Round 1
  MD5_STEP(F, a, b, c, d, x[0], 7, 0xd76aa478);
  MD5_STEP(F, d, a, b, c, x[1], 12, 0xe8c7b756);
  MD5_STEP(F, c, d, a, b, x[2], 17, 0x242070db);
  MD5_STEP(F, b, c, d, a, x[3], 22, 0xc1bdceee);
  MD5_STEP(F, a, b, c, d, x[4], 7, 0xf57c0faf);
  MD5_STEP(F, d, a, b, c, x[5], 12, 0x4787c62a);
  MD5_STEP(F, c, d, a, b, x[6], 17, 0xa8304613);
  MD5_STEP(F, b, c, d, a, x[7], 22, 0xfd469501);
  MD5_STEP(F, a, b, c, d, x[8], 7, 0x698098d8);
  MD5_STEP(F, d, a, b, c, x[9], 12, 0x8b44f7af);
  MD5_STEP(F, c, d, a, b, x[10], 17, 0xffff5bb1);
  MD5_STEP(F, b, c, d, a, x[11], 22, 0x895cd7be);
  MD5_STEP(F, a, b, c, d, x[12], 7, 0x6b901122);
  MD5_STEP(F, d, a, b, c, x[13], 12, 0xfd987193);
  MD5_STEP(F, c, d, a, b, x[14], 17, 0xa679438e);
  MD5_STEP(F, b, c, d, a, x[15], 22, 0x49b40821);

  // Round 2
  MD5_STEP(G, a, b, c, d, x[1], 5, 0xf61e2562);
  MD5_STEP(G, d, a, b, c, x[6], 9, 0xc040b340);
  MD5_STEP(G, c, d, a, b, x[11], 14, 0x265e5a51);
  MD5_STEP(G, b, c, d, a, x[0], 20, 0xe9b6c7aa);
  MD5_STEP(G, a, b, c, d, x[5], 5, 0xd62f105d);
  MD5_STEP(G, d, a, b, c, x[10], 9, 0x02441453);
  MD5_STEP(G, c, d, a, b, x[15], 14, 0xd8a1e681);
  MD5_STEP(G, b, c, d, a, x[4], 20, 0xe7d3fbc8);
  MD5_STEP(G, a, b, c, d, x[9], 5, 0x21e1cde6);
  MD5_STEP(G, d, a, b, c, x[14], 9, 0xc33707d6);
  MD5_STEP(G, c, d, a, b, x[3], 14, 0xf4d50d87);
  MD5_STEP(G, b, c, d, a, x[8], 20, 0x455a14ed);
  MD5_STEP(G, a, b, c, d, x[13], 5, 0xa9e3e905);
  MD5_STEP(G, d, a, b, c, x[2], 9, 0xfcefa3f8);
  MD5_STEP(G, c, d, a, b, x[7], 14, 0x676f02d9);
  MD5_STEP(G, b, c, d, a, x[12], 20, 0x8d2a4c8a);

  // Round 3
  MD5_STEP(H, a, b, c, d, x[5], 4, 0xfffa3942);
  MD5_STEP(H, d, a, b, c, x[8], 11, 0x8771f681);
  MD5_STEP(H, c, d, a, b, x[11], 16, 0x6d9d6122);
  MD5_STEP(H, b, c, d, a, x[14], 23, 0xfde5380c);
  MD5_STEP(H, a, b, c, d, x[1], 4, 0xa4beea44);
  MD5_STEP(H, d, a, b, c, x[4], 11, 0x4bdecfa9);
  MD5_STEP(H, c, d, a, b, x[7], 16, 0xf6bb4b60);
  MD5_STEP(H, b, c, d, a, x[10], 23, 0xbebfbc70);
  MD5_STEP(H, a, b, c, d, x[13], 4, 0x289b7ec6);
  MD5_STEP(H, d, a, b, c, x[0], 11, 0xeaa127fa);
  MD5_STEP(H, c, d, a, b, x[3], 16, 0xd4ef3085);
  MD5_STEP(H, b, c, d, a, x[6], 23, 0x04881d05);
  MD5_STEP(H, a, b, c, d, x[9], 4, 0xd9d4d039);
  MD5_STEP(H, d, a, b, c, x[12], 11, 0xe6db99e5);
  MD5_STEP(H, c, d, a, b, x[15], 16, 0x1fa27cf8);
  MD5_STEP(H, b, c, d, a, x[2], 23, 0xc4ac5665);

  // Round 4
  MD5_STEP(I, a, b, c, d, x[0], 6, 0xf4292244);
  MD5_STEP(I, d, a, b, c, x[7], 10, 0x432aff97);
  MD5_STEP(I, c, d, a, b, x[14], 15, 0xab9423a7);
  MD5_STEP(I, b, c, d, a, x[5], 21, 0xfc93a039);
  MD5_STEP(I, a, b, c, d, x[12], 6, 0x655b59c3);
  MD5_STEP(I, d, a, b, c, x[3], 10, 0x8f0ccc92);
  MD5_STEP(I, c, d, a, b, x[10], 15, 0xffeff47d);
  MD5_STEP(I, b, c, d, a, x[1], 21, 0x85845dd1);
  MD5_STEP(I, a, b, c, d, x[8], 6, 0x6fa87e4f);
  MD5_STEP(I, d, a, b, c, x[15], 10, 0xfe2ce6e0);
  MD5_STEP(I, c, d, a, b, x[6], 15, 0xa3014314);
  MD5_STEP(I, b, c, d, a, x[13], 21, 0x4e0811a1);
  MD5_STEP(I, a, b, c, d, x[4], 6, 0xf7537e82);
  MD5_STEP(I, d, a, b, c, x[11], 10, 0xbd3af235);
  MD5_STEP(I, c, d, a, b, x[2], 15, 0x2ad7d2bb);
  MD5_STEP(I, b, c, d, a, x[9], 21, 0xeb86d391);

  context->state[0] += a;
  context->state[1] += b;
  context->state[2] += c;
  context->state[3] += d;
}

#undef MD5_STEP

void Md5Update(Md5Context* context, const BYTE* input, DWORD length) {
  DWORD index = (context->bitCount[0] >> 3) & 0x3F;

  context->bitCount[0] += length << 3;
  if (context->bitCount[0] < (length << 3)) {
    context->bitCount[1]++;
  }
  context->bitCount[1] += length >> 29;

  DWORD partLength = 64 - index;
  DWORD i = 0;
  if (length >= partLength) {
    std::memcpy(&context->buffer[index], input, partLength);
    Md5Transform(context, context->buffer);
    for (i = partLength; i + 63 < length; i += 64) {
      Md5Transform(context, &input[i]);
    }
    index = 0;
  }
  if (length > i) {
    std::memcpy(&context->buffer[index], &input[i], length - i);
  }
}

void Md5Final(Md5Context* context, BYTE digest[16]) {
  BYTE bits[8];
  Encode(bits, context->bitCount, 8);

  DWORD index = (context->bitCount[0] >> 3) & 0x3f;
  DWORD padLength = (index < 56) ? (56 - index) : (120 - index);
  Md5Update(context, kPadding, padLength);
  Md5Update(context, bits, 8);

  Encode(digest, context->state, 16);
  std::memset(context, 0, sizeof(*context));
}

bool Md5Digest(const void* input, DWORD length, BYTE digest[16]) {
  if (input == NULL || length == 0) {
    return false;
  }
  Md5Context context;
  Md5Init(&context);
  Md5Update(&context, static_cast<const BYTE*>(input), length);
  Md5Final(&context, digest);
  return true;
}

bool Md5Hex(const void* input, DWORD length, char* hex) {
  hex[0] = '\0';
  BYTE digest[16];
  if (!Md5Digest(input, length, digest)) {
    return false;
  }
  WriteHex(digest, hex);
  return true;
}

bool Md5File(const char* path, char* hex) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "fopen %s failed\n", path);
    return false;
  }

  Md5Context context;
  Md5Init(&context);
  BYTE block[kFileBlockSize];
  DWORD got = 0;
  // A read error ends the loop like the end of the file.
  while (ReadFile(file, block, sizeof(block), &got, NULL) && got > 0) {
    Md5Update(&context, block, got);
  }
  BYTE digest[16];
  Md5Final(&context, digest);
  WriteHex(digest, hex);
  CloseHandle(file);
  return true;
}
