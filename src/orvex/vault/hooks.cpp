// Private hooks through which tests hold each hex codec against bytes.hex
// and bytes.fromhex, whichever the processor would choose, and see whether
// the in-place sealing was found to agree with the literal calls. Not part of
// the vault.
#include "runtime/hex.hpp"
#include "vault/messages.hpp"
#include "vault/methods.hpp"

#include <cstring>

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

Ref native_hex(Function&, Args args) {
  PyObject* data = args[0];
  HexCodec kind;
  if (!codec_named(args[1], kind)) return {};
  const Py_ssize_t size = PyBytes_GET_SIZE(data);
  Ref text = Ref::steal(PyUnicode_New(2 * size, 127));
  if (!text) return {};
  hex_encode_with(kind, reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data)),
                  static_cast<size_t>(size),
                  reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get())));
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
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, length / 2));
  if (!out) return {};
  const bool read = hex_decode_with(kind, PyBytes_AS_STRING(text), static_cast<size_t>(length / 2),
                                    reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get())));
  return read ? out : Ref::borrow(Py_None);
}

Ref in_place_verdict(Function& fn, Args) {
  static constexpr const char* kNames[] = {"unknown", "agrees", "differs"};
  return Ref::steal(
      PyUnicode_FromString(kNames[static_cast<int>(fn.state<State>().genuine.verdict)]));
}

}  // namespace orvex::vault
