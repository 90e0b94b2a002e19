#include "platform/Anonymise.h"

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>

namespace qvfw::platform {
namespace {

constexpr size_t kMinSerial = 6;   // shorter serials are kept
constexpr size_t kMinPrefix = 8;   // the shortest leading part replaced on its own

// SipHash-2-4: a keyed function whose outputs tell nothing of its inputs without the key.
uint64_t Rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

uint64_t SipHash(const std::array<uint64_t, 2>& key, std::string_view data) {
  uint64_t v0 = 0x736f6d6570736575ull ^ key[0], v1 = 0x646f72616e646f6dull ^ key[1];
  uint64_t v2 = 0x6c7967656e657261ull ^ key[0], v3 = 0x7465646279746573ull ^ key[1];
  auto round = [&] {
    v0 += v1; v1 = Rotl(v1, 13); v1 ^= v0; v0 = Rotl(v0, 32);
    v2 += v3; v3 = Rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = Rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = Rotl(v1, 17); v1 ^= v2; v2 = Rotl(v2, 32);
  };
  const size_t n = data.size();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t m = 0;
    for (int b = 0; b < 8; ++b) m |= uint64_t{static_cast<uint8_t>(data[i + b])} << (8 * b);
    v3 ^= m;
    round();
    round();
    v0 ^= m;
  }
  uint64_t m = uint64_t{n & 0xFF} << 56;
  for (int b = 0; i + b < n; ++b) m |= uint64_t{static_cast<uint8_t>(data[i + b])} << (8 * b);
  v3 ^= m;
  round();
  round();
  v0 ^= m;
  v2 ^= 0xFF;
  for (int r = 0; r < 4; ++r) round();
  return v0 ^ v1 ^ v2 ^ v3;
}

char Fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Folded(std::string_view s) {
  std::string f(s);
  for (char& c : f) c = Fold(c);
  return f;
}

bool Printable(uint8_t c) { return c >= 0x21 && c <= 0x7E; }

std::string Trim(std::string_view s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\0')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\0')) --b;
  return std::string(s.substr(a, b - a));
}

class Anonymiser {
 public:
  explicit Anonymiser(const std::array<uint64_t, 2>& key) : key_(key) {}

  // A text that identifies a unit, and its leading parts.
  void Register(std::string_view text) {
    const std::string t = Trim(text);
    if (t.size() < kMinSerial) return;
    if (!std::all_of(t.begin(), t.end(), [](char c) { return c == ' ' || Printable(static_cast<uint8_t>(c)); })) return;
    const std::string f = Folded(t);
    known_.insert(f);
    for (size_t n = kMinPrefix; n < f.size(); ++n) known_.insert(f.substr(0, n));
  }

  void Prepare() {
    patterns_.assign(known_.begin(), known_.end());
    std::sort(patterns_.begin(), patterns_.end(), [](const std::string& a, const std::string& b) {
      return a.size() != b.size() ? a.size() > b.size() : a < b;
    });
    first_.fill(false);
    for (const std::string& p : patterns_) first_[static_cast<uint8_t>(p[0])] = true;
  }

  // The replacement of a matched text: each letter or digit shifted within its class by an
  // amount keyed by everything before it (in one letter case), which keeps the case and makes
  // texts that begin alike begin alike after.
  std::string Replace(std::string_view text) const {
    static constexpr std::string_view kDigits = "0123456789", kLower = "abcdefghijklmnopqrstuvwxyz";
    std::string out(text);
    std::string prefix;
    for (size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      const uint64_t shift = SipHash(key_, prefix + '\x01' + std::to_string(i));
      if (c >= '0' && c <= '9') {
        out[i] = kDigits[(static_cast<size_t>(c - '0') + shift % 10) % 10];
      } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
        const bool upper = c <= 'Z';
        const char r = kLower[(static_cast<size_t>(Fold(c) - 'a') + shift % 26) % 26];
        out[i] = upper ? static_cast<char>(r - 'a' + 'A') : r;
      }
      prefix += Fold(c);
    }
    return out;
  }

  // Replaces every known text in the bytes, as plain text and as UTF-16 (little-endian).
  void Apply(std::vector<uint8_t>& bytes) const {
    if (patterns_.empty()) return;
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (!first_[static_cast<uint8_t>(Fold(static_cast<char>(bytes[i])))]) continue;
      for (const size_t stride : {size_t{1}, size_t{2}}) {
        const std::string* hit = nullptr;
        for (const std::string& p : patterns_) {
          if (i + (p.size() - 1) * stride + (stride - 1) >= bytes.size()) continue;
          bool same = true;
          for (size_t k = 0; k < p.size() && same; ++k) {
            same = Fold(static_cast<char>(bytes[i + k * stride])) == p[k] && (stride == 1 || bytes[i + k * stride + 1] == 0);
          }
          if (same) {
            hit = &p;
            break;
          }
        }
        if (!hit) continue;
        std::string matched(hit->size(), ' ');
        for (size_t k = 0; k < hit->size(); ++k) matched[k] = static_cast<char>(bytes[i + k * stride]);
        const std::string r = Replace(matched);
        for (size_t k = 0; k < r.size(); ++k) bytes[i + k * stride] = static_cast<uint8_t>(r[k]);
        i += hit->size() * stride - 1;
        break;
      }
    }
  }

  void Apply(std::string& text) const {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    Apply(bytes);
    text.assign(bytes.begin(), bytes.end());
  }

  // Eight bytes of a world wide name: keyed, with its format nibble kept.
  void ReplaceWwn(uint8_t* wwn) const {
    const uint64_t h = SipHash(key_, std::string("wwn\x01") + std::string(reinterpret_cast<const char*>(wwn), 8));
    for (int b = 0; b < 8; ++b) {
      uint8_t v = static_cast<uint8_t>(h >> (8 * b));
      if (b == 1) v = static_cast<uint8_t>((wwn[1] & 0xF0) | (v & 0x0F));  // word 108's high nibble (NAA)
      wwn[b] = v;
    }
  }

 private:
  std::array<uint64_t, 2> key_;
  std::set<std::string> known_;
  std::vector<std::string> patterns_;
  std::array<bool, 256> first_{};
};

bool IsVpdSerial(const RecordedCall& c) {
  return c.cdb.size() >= 3 && c.cdb[0] == 0x12 && (c.cdb[1] & 1) && c.cdb[2] == 0x80;
}
bool IsAtaIdentify(const RecordedCall& c) {
  return (c.cdb.size() >= 10 && c.cdb[0] == 0xA1 && c.cdb[9] == 0xEC) ||
         (c.cdb.size() >= 15 && c.cdb[0] == 0x85 && c.cdb[14] == 0xEC);
}
bool IsIdentityWrite(const RecordedCall& c) { return !c.cdb.empty() && c.cdb[0] == 0xC3; }

// ATA strings hold two characters per word, the first in the high byte.
std::string AtaString(const std::vector<uint8_t>& in, size_t from, size_t words) {
  std::string s;
  for (size_t w = 0; w < words; ++w) {
    const size_t at = from + 2 * w;
    s += at + 1 < in.size() ? static_cast<char>(in[at + 1]) : '\0';
    s += at < in.size() ? static_cast<char>(in[at]) : '\0';
  }
  return s;
}

void PutAtaString(std::vector<uint8_t>& in, size_t from, const std::string& s) {
  for (size_t k = 0; k + 1 < s.size(); k += 2) {
    if (from + k + 1 < in.size()) in[from + k + 1] = static_cast<uint8_t>(s[k]);
    if (from + k < in.size()) in[from + k] = static_cast<uint8_t>(s[k + 1]);
  }
}

// The instance part of an interface path such as "\\?\usbstor#disk&ven_x&prod_y&rev_1#0123456789&0#{…}".
std::string PathInstance(const std::string& path) {
  const size_t a = path.find('#');
  if (a == std::string::npos) return {};
  const size_t b = path.find('#', a + 1);
  if (b == std::string::npos) return {};
  const size_t c = path.find('#', b + 1);
  std::string instance = path.substr(b + 1, c == std::string::npos ? std::string::npos : c - b - 1);
  return instance.substr(0, instance.find('&'));
}

std::string KeepFileName(const std::string& arg) {
  const size_t slash = arg.find_last_of("/\\");
  if (slash == std::string::npos) return arg;
  const size_t eq = arg.rfind('=', slash);
  const std::string option = arg.rfind("--", 0) == 0 && eq != std::string::npos ? arg.substr(0, eq + 1) : "";
  return option + arg.substr(slash + 1);
}

}  // namespace

void AnonymiseRecording(SessionRecording& recording) {
  std::random_device random;
  const std::array<uint64_t, 2> key{(uint64_t{random()} << 32) ^ random(), (uint64_t{random()} << 32) ^ random()};
  AnonymiseRecording(recording, key);
}

void AnonymiseRecording(SessionRecording& recording, const std::array<uint64_t, 2>& key) {
  Anonymiser a(key);
  auto paths = [&](auto&& each) {
    for (RecordedCall& c : recording.calls) {
      each(c.path);
      for (DiskInterface& d : c.disks) each(d.path);
      for (Volume& v : c.volumes) each(v.path);
    }
  };
  // What identifies, from wherever it shows.
  for (const RecordedCall& c : recording.calls) {
    if (c.kind != RecordedCall::Kind::Request) continue;
    if (IsVpdSerial(c) && c.in.size() > 4)
      a.Register(std::string(c.in.begin() + 4, c.in.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(c.in.size(), 4u + c.in[3]))));
    if (IsAtaIdentify(c)) a.Register(AtaString(c.in, 20, 10));
    if (IsIdentityWrite(c) && c.out.size() > 52)
      a.Register(std::string(c.out.begin() + 52, c.out.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(c.out.size(), 72))));
  }
  paths([&](std::string& p) { a.Register(PathInstance(p)); });
  a.Prepare();

  std::map<std::string, std::string> mounts;
  for (RecordedCall& c : recording.calls) {
    if (c.kind == RecordedCall::Kind::Request && IsAtaIdentify(c)) {
      std::string serial = AtaString(c.in, 20, 10);
      a.Apply(serial);
      PutAtaString(c.in, 20, serial);
      if (c.in.size() >= 224) a.ReplaceWwn(c.in.data() + 216);
    }
    a.Apply(c.in);
    a.Apply(c.out);
    for (Volume& v : c.volumes) {
      if (v.mountPoint.empty() || v.mountPoint == "/") continue;
      auto [it, fresh] = mounts.emplace(v.mountPoint, "");
      if (fresh) it->second = "/media/volume" + std::to_string(mounts.size());
      v.mountPoint = it->second;
    }
  }
  paths([&](std::string& p) { a.Apply(p); });
  for (RecordedInput& in : recording.inputs) {
    a.Apply(in.bytes);
    in.path = KeepFileName(in.path);
  }
  for (std::string& arg : recording.args) arg = KeepFileName(arg);
  recording.anonymous = true;
}

}  // namespace qvfw::platform
