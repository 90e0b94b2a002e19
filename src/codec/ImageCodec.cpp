#include "codec/ImageCodec.h"

#include <array>

namespace qvfw::codec {
namespace {

constexpr uint32_t kPoly = 0x04C11DB7;
constexpr uint32_t kScrambleSeed = 0x57334B37;
// Output bit k of a scrambled word takes state bit kTap[k].
constexpr std::array<int, 32> kTap = {11, 31, 13, 21, 7,  16, 0, 19, 4,  26, 6, 15, 24, 2,  14, 28,
                                      12, 5,  20, 10, 22, 1,  17, 9, 29, 3,  25, 8, 18, 23, 30, 27};

// The check value is the reflected CRC (polynomial 0xEDB88320) of the bytes in the order the
// check feeds them (each group of four back to front), with the register read bit-reversed:
// feeding a byte least significant bit first into a left-shifting register is exactly the
// reflected update of the mirrored register. That form runs eight bytes per step through eight
// tables (slicing-by-8).
constexpr uint32_t kReflectedPoly = 0xEDB88320;

struct Tables {
  std::array<uint32_t, 256> crc{};       // one byte through the left-shifting register
  std::array<std::array<uint32_t, 256>, 8> slice{};  // the reflected register, 0..7 bytes ahead
  std::array<uint8_t, 256> reversed{};   // byte with its bit order reversed
  std::array<std::array<uint32_t, 256>, 4> key{};  // keystream bits contributed by state byte j
};

constexpr Tables MakeTables() {
  Tables t;
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i << 24;
    for (int b = 0; b < 8; ++b) r = (r & 0x80000000u) ? (r << 1) ^ kPoly : r << 1;
    t.crc[i] = r;
    uint8_t rev = 0;
    for (int b = 0; b < 8; ++b)
      if (i & (1u << b)) rev = static_cast<uint8_t>(rev | (0x80u >> b));
    t.reversed[i] = rev;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i;
    for (int b = 0; b < 8; ++b) r = (r & 1u) ? (r >> 1) ^ kReflectedPoly : r >> 1;
    t.slice[0][i] = r;
  }
  for (int k = 1; k < 8; ++k)
    for (uint32_t i = 0; i < 256; ++i) t.slice[k][i] = (t.slice[k - 1][i] >> 8) ^ t.slice[0][t.slice[k - 1][i] & 0xFF];
  for (int j = 0; j < 4; ++j)
    for (uint32_t v = 0; v < 256; ++v) {
      const uint32_t state = v << (8 * j);
      uint32_t key = 0;
      for (int k = 0; k < 32; ++k)
        if (state >> kTap[k] & 1u) key |= 1u << k;
      t.key[j][v] = key;
    }
  return t;
}

constexpr Tables kTables = MakeTables();

uint32_t LoadLe(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void StoreLe(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

uint32_t ImageCrcBitwise(std::span<const uint8_t> bytes) {
  uint32_t r = 0xFFFFFFFFu;
  for (size_t g = 0; g + 4 <= bytes.size(); g += 4) {
    for (int i = 3; i >= 0; --i) {
      const uint8_t byte = bytes[g + static_cast<size_t>(i)];
      for (int b = 0; b < 8; ++b) {
        const uint32_t fed = byte >> b & 1u;
        const uint32_t out = r >> 31;
        r <<= 1;
        if (fed != out) r ^= kPoly;
      }
    }
  }
  return r;
}

uint32_t Reverse32(uint32_t v) {
  v = ((v >> 1) & 0x55555555u) | ((v & 0x55555555u) << 1);
  v = ((v >> 2) & 0x33333333u) | ((v & 0x33333333u) << 2);
  v = ((v >> 4) & 0x0F0F0F0Fu) | ((v & 0x0F0F0F0Fu) << 4);
  return __builtin_bswap32(v);
}

uint32_t ImageCrc(std::span<const uint8_t> bytes) {
  const auto& t = kTables.slice;
  uint32_t r = 0xFFFFFFFFu;  // the mirrored register; all ones either way
  const uint8_t* p = bytes.data();
  size_t groups = bytes.size() / 4;
  // A group's bytes are fed fourth first: the group read most significant byte first is the
  // next four bytes of the reflected stream.
  auto next = [&p] {
    const uint32_t v = static_cast<uint32_t>(p[3]) | static_cast<uint32_t>(p[2]) << 8 |
                       static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[0]) << 24;
    p += 4;
    return v;
  };
  for (; groups >= 2; groups -= 2) {
    const uint32_t a = r ^ next();
    const uint32_t b = next();
    r = t[7][a & 0xFF] ^ t[6][a >> 8 & 0xFF] ^ t[5][a >> 16 & 0xFF] ^ t[4][a >> 24] ^ t[3][b & 0xFF] ^
        t[2][b >> 8 & 0xFF] ^ t[1][b >> 16 & 0xFF] ^ t[0][b >> 24];
  }
  if (groups) {
    const uint32_t a = r ^ next();
    r = t[3][a & 0xFF] ^ t[2][a >> 8 & 0xFF] ^ t[1][a >> 16 & 0xFF] ^ t[0][a >> 24];
  }
  return Reverse32(r);
}

uint32_t ImageCrcBytewise(std::span<const uint8_t> bytes) {
  uint32_t r = 0xFFFFFFFFu;
  const uint8_t* p = bytes.data();
  for (size_t g = 0; g + 4 <= bytes.size(); g += 4, p += 4) {
    r = (r << 8) ^ kTables.crc[(r >> 24) ^ kTables.reversed[p[3]]];
    r = (r << 8) ^ kTables.crc[(r >> 24) ^ kTables.reversed[p[2]]];
    r = (r << 8) ^ kTables.crc[(r >> 24) ^ kTables.reversed[p[1]]];
    r = (r << 8) ^ kTables.crc[(r >> 24) ^ kTables.reversed[p[0]]];
  }
  return r;
}

void ScrambleBlockBitwise(const uint8_t* in, uint8_t* out, size_t count) {
  uint32_t state = kScrambleSeed;
  for (size_t w = 0; w + 4 <= count; w += 4) {
    const uint32_t word = LoadLe(in + w);
    uint32_t result = 0;
    for (int k = 0; k < 32; ++k) result |= ((word >> k & 1u) ^ (state >> kTap[k] & 1u)) << k;
    StoreLe(out + w, result);
    for (int s = 0; s < 32; ++s) state = (state & 0x80000000u) ? (state << 1) ^ kPoly : state << 1;
  }
}

void ScrambleBlock(const uint8_t* in, uint8_t* out, size_t count) {
  uint32_t state = kScrambleSeed;
  for (size_t w = 0; w + 4 <= count; w += 4) {
    const uint32_t key = kTables.key[0][state & 0xFF] ^ kTables.key[1][state >> 8 & 0xFF] ^
                         kTables.key[2][state >> 16 & 0xFF] ^ kTables.key[3][state >> 24];
    StoreLe(out + w, LoadLe(in + w) ^ key);
    // 32 steps of the register with no input: four zero bytes through the table.
    for (int b = 0; b < 4; ++b) state = (state << 8) ^ kTables.crc[state >> 24];
  }
}

void StoreCheckValue(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 24);
  at[1] = static_cast<uint8_t>(value >> 16);
  at[2] = static_cast<uint8_t>(value >> 8);
  at[3] = static_cast<uint8_t>(value);
}

uint32_t LoadCheckValue(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 | static_cast<uint32_t>(at[2]) << 8 |
         at[3];
}

void SealBank(std::span<uint8_t> bank) {
  StoreCheckValue(&bank[0x7FC], ImageCrc(bank.subspan(0x400, 0x3FC)));
  StoreCheckValue(&bank[kBankSize - 4], ImageCrc(bank.first(kBankSize - 4)));
}

bool BankSealed(std::span<const uint8_t> bank) {
  return bank.size() >= kBankSize && LoadCheckValue(&bank[0x7FC]) == ImageCrc(bank.subspan(0x400, 0x3FC)) &&
         LoadCheckValue(&bank[kBankSize - 4]) == ImageCrc(bank.first(kBankSize - 4));
}

}  // namespace qvfw::codec
