// Private hooks through which tests hold each hex codec against bytes.hex
// and bytes.fromhex, whichever the processor would choose, and see whether
// the in-place sealing was found to agree with the literal calls. Not part of
// the vault.
#include "runtime/hex.hpp"
#include "vault/messages.hpp"
#include "vault/methods.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace orvex::vault {
namespace {

constexpr struct {
  const char* name;
  HexCodec kind;
} kCodecs[] = {
    {"portable", HexCodec::portable},
    {"ssse3", HexCodec::ssse3},
    {"avx2", HexCodec::avx2},
    {"avx512vbmi", HexCodec::avx512vbmi},
};

// The codec named by `name` (an exact str), if this processor has it.
bool codec_named(PyObject* name, HexCodec& kind) {
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8(name) : nullptr;
  if (!text) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, msg::kCodecName);
    return false;
  }
  for (const auto& codec : kCodecs) {
    if (std::strcmp(codec.name, text) != 0) continue;
    if (!hex_codec_usable(codec.kind)) break;
    kind = codec.kind;
    return true;
  }
  PyErr_Format(PyExc_ValueError, msg::kCodecUnusable, name);
  return false;
}

}  // namespace

// The codecs write the first few bytes apart, so that their vector stores
// fill whole cache lines: what they give must not depend on where the output
// starts. Each hook converts into its result, then again at every offset from
// a cache line's start, and returns the result if they all agree and none
// wrote outside its own bytes.
constexpr size_t kLine = 64;

// Memory for `size` bytes at every offset below kLine from a line's start,
// which can tell whether anything was written outside them.
struct Shifted {
  static constexpr uint8_t kUntouched = 0xEE;
  std::vector<uint8_t> memory;
  uint8_t* line;
  size_t size;
  explicit Shifted(size_t n) : memory(n + 3 * kLine), size(n) {
    const auto address = reinterpret_cast<uintptr_t>(memory.data());
    line = memory.data() + (kLine - address % kLine) % kLine;
  }
  uint8_t* at(size_t offset) {
    std::fill(memory.begin(), memory.end(), kUntouched);
    return line + offset;
  }
  bool only_inside(const uint8_t* out) const {
    auto untouched = [](const uint8_t* from, const uint8_t* to) {
      return std::all_of(from, to, [](uint8_t b) { return b == kUntouched; });
    };
    return untouched(memory.data(), out) && untouched(out + size, memory.data() + memory.size());
  }
};

Ref native_hex(Function&, Args args) {
  PyObject* data = args[0];
  HexCodec kind;
  if (!codec_named(args[1], kind)) return {};
  const Py_ssize_t size = PyBytes_GET_SIZE(data);
  const auto* in = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data));
  const auto n = static_cast<size_t>(size);
  Ref text = Ref::steal(PyUnicode_New(2 * size, 127));
  if (!text) return {};
  auto* first = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
  hex_encode_with(kind, in, n, first);
  Shifted out(2 * n);
  for (size_t offset = 0; offset < kLine; ++offset) {
    char* at = reinterpret_cast<char*>(out.at(offset));
    hex_encode_with(kind, in, n, at);
    if (std::memcmp(first, at, 2 * n) != 0 || !out.only_inside(out.line + offset)) {
      PyErr_SetString(PyExc_AssertionError, msg::kAlignmentMatters);
      return {};
    }
  }
  return text;
}

Ref native_unhex(Function&, Args args) {
  PyObject* text = args[0];
  HexCodec kind;
  if (!codec_named(args[1], kind)) return {};
  const Py_ssize_t length = PyBytes_GET_SIZE(text);
  if (length % 2) {
    PyErr_SetString(PyExc_ValueError, msg::kOddHexLength);
    return {};
  }
  const auto n = static_cast<size_t>(length / 2);
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, length / 2));
  if (!out) return {};
  auto* first = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get()));
  const bool first_read = hex_decode_with(kind, PyBytes_AS_STRING(text), n, first);
  Shifted shifted(n);
  for (size_t offset = 0; offset < kLine; ++offset) {
    uint8_t* at = shifted.at(offset);
    const bool read = hex_decode_with(kind, PyBytes_AS_STRING(text), n, at);
    // Partial results of a refused text are unspecified.
    if (read != first_read || (read && std::memcmp(first, at, n) != 0) ||
        !shifted.only_inside(at)) {
      PyErr_SetString(PyExc_AssertionError, msg::kAlignmentMatters);
      return {};
    }
  }
  return first_read ? out : Ref::borrow(Py_None);
}

Ref in_place_verdict(Function& fn, Args) {
  static constexpr const char* kNames[] = {"unknown", "agrees", "differs"};
  return Ref::steal(
      PyUnicode_FromString(kNames[static_cast<int>(fn.state<State>().genuine.verdict)]));
}

}  // namespace orvex::vault
