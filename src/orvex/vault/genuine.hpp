// What the vault's in-place sealing and opening stand in for, as it was when
// the module was imported.
//
// For a large payload the literal steps make a new megabyte-sized object at
// every turn: tobytes() copies the array, the cipher returns its output as new
// bytes, bytes.fromhex makes the ciphertext, and the system faults each one in
// again on every call. With NumPy's own arrays and PyCryptodome's own GCM
// cipher the vault copies the array's bytes (or reads the ciphertext's hex)
// into a bytearray it keeps per thread, and has the cipher work there (the
// `output` parameter of its methods). That is equivalent only while every
// object involved is the one captured here; anything else goes the literal
// way.
#pragma once

#include "runtime/ref.hpp"

namespace orvex::vault {

// Whether the cipher, given `output`, writes what it returns without it;
// settled on first need by sealing and opening a fixed message both ways,
// then kept for the life of the module.
enum class InPlaceVerdict : unsigned char { unknown, agrees, differs };

// The methods the in-place calls go through, in the order of CipherMethods.
enum Method : int { kEncryptAndDigest, kEncrypt, kDigest, kDecryptAndVerify, kDecrypt, kVerify };
inline constexpr int kMethods = 6;

struct Genuine {
  bool complete = false;  // every capture succeeded; otherwise only the literal path runs
  InPlaceVerdict verdict = InPlaceVerdict::unknown;

  Ref numpy;
  Ref ndarray;   // numpy.ndarray
  Ref aes;       // Crypto.Cipher.AES
  Ref aes_new;   // AES.new
  Ref mode_gcm;  // AES.MODE_GCM
  Ref gcm_type;  // the class of the ciphers AES.new makes in that mode
  Ref names[kMethods];
  Ref methods[kMethods];  // the functions under `names` in gcm_type
  Ref kw_output;          // ("output",)
  Ref buffer_key;         // the bytearray's key in each thread's state dict
  Ref writable_type;      // writable views of new bytes, for the cipher's output

  int traverse(visitproc visit, void* arg) const;
};

// Fills `g` from the module's freshly bound `np` and `AES`. A failure leaves
// the in-place path off and no exception set: the module works without it.
void capture_genuine(PyObject* numpy, PyObject* aes, Genuine& g);

// Whether `cipher`, just made by `aes_new(key, mode...)` with `aes`, `aes_new`
// and `mode` as the call looked them up, is PyCryptodome's own GCM cipher, on
// which the methods `first` to `last` are the captured functions, found
// without running any code.
bool is_genuine_cipher(const Genuine& g, PyObject* aes, PyObject* aes_new, PyObject* mode,
                       PyObject* cipher, Method first, Method last);

// Whether the in-place calls may be used (1, 0, or -1 with an exception):
// settles the verdict on first need. The cipher releases the interpreter lock
// meanwhile, so two threads may both check, to the same end.
int in_place_agrees(Genuine& g);

}  // namespace orvex::vault
