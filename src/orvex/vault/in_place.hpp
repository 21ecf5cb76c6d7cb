// The cipher working in memory the vault keeps: a bytearray per thread, which
// the captured GCM methods read and write in place (their `output`
// parameter), instead of new megabyte-sized objects on every call. A
// ciphertext is opened in the new bytes its hex was read into.
//
// A bytearray is the cheapest buffer to hand PyCryptodome, and its lifetime
// is Python's: whatever still holds it when the call is over keeps it, and
// the thread takes a new one.
#pragma once

#include "vault/genuine.hpp"

#include <cstddef>
#include <cstdint>

namespace orvex::vault {

// Payloads from this size up are sealed and opened in place; below it the
// cipher's own output is cheap.
inline constexpr size_t kInPlaceFrom = 64 * 1024;

// A bytearray kept in the thread's state dict is not kept beyond this size,
// so that a rare huge payload leaves nothing behind.
inline constexpr size_t kKeepBufferBytes = size_t{4} << 20;

// Bytes the cipher works on: a bytes object, or this thread's bytearray
// holding them (what the bytes object would hold, without making it).
struct CipherBytes {
  Ref bytes;
  Ref buffer;
  size_t size = 0;

  uint8_t* data() const;
  // The bytes object, made from the buffer where there is none yet.
  PyObject* object();
  // Takes this thread's bytearray (or a new one) and sizes it to `n` bytes.
  // Only its holder can reach it until give_back: nothing else can change
  // it, with or without the interpreter lock.
  [[nodiscard]] bool take_buffer(const Genuine& g, size_t n);
  // Keeps the bytearray for the thread's next call, unless anything else
  // still holds it (then it is theirs) or it is too large. Call it with no
  // exception set.
  void give_back(const Genuine& g);
};

// cipher.encrypt_and_digest(plaintext, output=buffer) through the captured
// method: the buffer sealed where it lies when it holds the plaintext,
// otherwise the bytes sealed into it. The result is the method's (None, tag).
Ref seal_into_buffer(const Genuine& g, PyObject* cipher, CipherBytes& text);

// cipher.decrypt_and_verify(view, tag, output=view) through the captured
// method, where `view` is a writable view of `ciphertext`: new bytes (exact,
// held by the caller alone) that the ciphertext's hex was just read into. The
// plaintext is opened where the ciphertext lies, and those bytes are the
// result, with no copy: no one else has seen them. Should anything still
// reach them through the view after the call, a copy of them is the result
// instead, and the view keeps the originals alive for its holder.
Ref open_in_bytes(const Genuine& g, PyObject* cipher, Ref ciphertext, PyObject* tag);

// The type of the views open_in_bytes makes (for capture_genuine).
Ref make_writable_bytes_type();

}  // namespace orvex::vault
