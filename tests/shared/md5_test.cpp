#include "shared/md5.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "server/update_service.h"
#include "support/temp_machine.h"

namespace {

using testing_support::ServiceMd5;
using testing_support::TempMachine;
using testing_support::WriteHostFile;

std::string Hex(const std::string& bytes) {
  char hex[33];
  EXPECT_TRUE(Md5Hex(bytes.data(), static_cast<DWORD>(bytes.size()), hex));
  return hex;
}

std::string FileHex(const std::string& windowsPath) {
  char hex[33] = "";
  EXPECT_TRUE(Md5File(windowsPath.c_str(), hex));
  return hex;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

struct Rfc1321Case {
  const char* input;
  const char* digest;
};

const Rfc1321Case kRfc1321Suite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"1234567890" "1234567890" "1234567890" "1234567890" "1234567890" "1234567890"
     "1234567890" "1234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Md5, Rfc1321SuiteFromBuffersAndFiles) {
  TempMachine machine;
  int n = 0;
  for (const auto& c : kRfc1321Suite) {
    const std::string input = c.input;
    if (!input.empty()) {
      EXPECT_EQ(Hex(input), c.digest) << input;
    }
    const std::string name = "rfc" + std::to_string(n++) + ".txt";
    WriteHostFile(machine.c() + "/" + name, input);
    EXPECT_EQ(FileHex("C:\\" + name), c.digest) << input;
  }
}

TEST(Md5, EmptyBufferIsRefusedAndLeavesEmptyText) {
  char hex[33] = "something";
  EXPECT_FALSE(Md5Hex("abc", 0, hex));
  EXPECT_STREQ(hex, "");
  strcpy(hex, "something");
  EXPECT_FALSE(Md5Hex(nullptr, 3, hex));
  EXPECT_STREQ(hex, "");
  BYTE digest[16] = {7};
  EXPECT_FALSE(Md5Digest(nullptr, 5, digest));
  EXPECT_EQ(digest[0], 7);
}

// Lengths around the point where the bit count needs a block of its own, and
// around whole blocks.
TEST(Md5, LengthsAroundThePaddingBoundary) {
  for (size_t length : {1u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 127u, 128u, 1000u}) {
    const std::string input = RandomBytes(length, static_cast<unsigned>(length));
    EXPECT_EQ(Hex(input), ServiceMd5(input)) << length;
    EXPECT_EQ(Hex(std::string(length, 'a')), ServiceMd5(std::string(length, 'a'))) << length;
  }
}

TEST(Md5, UpdateInPiecesEqualsOneShotAndFinalClearsTheContext) {
  const std::string input = RandomBytes(300, 42);
  const std::string expected = ServiceMd5(input);
  for (size_t split = 0; split <= input.size(); split += 7) {
    Md5Context context;
    // Md5Digest does the initialisation; start from a finished context's
    // zeros plus the RFC's initial words.
    context.state[0] = 0x67452301u;
    context.state[1] = 0xefcdab89u;
    context.state[2] = 0x98badcfeu;
    context.state[3] = 0x10325476u;
    context.bitCount[0] = context.bitCount[1] = 0;
    const BYTE* bytes = reinterpret_cast<const BYTE*>(input.data());
    Md5Update(&context, bytes, static_cast<DWORD>(split));
    Md5Update(&context, bytes + split, static_cast<DWORD>(input.size() - split));
    BYTE digest[16];
    Md5Final(&context, digest);
    char hex[33];
    for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    EXPECT_EQ(hex, expected) << split;

    const BYTE* raw = reinterpret_cast<const BYTE*>(&context);
    for (size_t i = 0; i < sizeof(context); ++i) ASSERT_EQ(raw[i], 0) << "byte " << i;
  }
}

TEST(Md5, FilesOfWholeAndPartBlocksMatchTheBuffer) {
  TempMachine machine;
  for (size_t length : {1024u, 1025u, 4096u, 4097u, 65536u, 65537u, 1048576u, 1048577u}) {
    const std::string bytes = RandomBytes(length, static_cast<unsigned>(length) + 1);
    WriteHostFile(machine.c() + "/pkg/block.bin", bytes);
    EXPECT_EQ(FileHex("C:\\pkg\\block.bin"), Hex(bytes)) << length;
    EXPECT_EQ(Hex(bytes), ServiceMd5(bytes)) << length;
  }
}

TEST(Md5, FilePathInTheAnsiCodePage) {
  TempMachine machine;
  WriteHostFile(machine.c() + "/数据/包.7z", "abc");
  // "C:\数据\包.7z" in GBK, the machine's default ANSI code page.
  const std::string gbkPath = "C:\\\xCA\xFD\xBE\xDD\\\xB0\xFC.7z";
  EXPECT_EQ(FileHex(gbkPath), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, MissingFileFailsLoudlyAndLeavesTheOutput) {
  TempMachine machine;
  char hex[33] = "unchanged";
  testing::internal::CaptureStderr();
  EXPECT_FALSE(Md5File("C:\\nowhere\\none.7z", hex));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "fopen C:\\nowhere\\none.7z failed\n");
  EXPECT_STREQ(hex, "unchanged");
}

}  // namespace
