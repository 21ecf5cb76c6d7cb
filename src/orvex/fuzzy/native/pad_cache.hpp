// The pads of one call's lockers.
//
// A locker's pad is the SHA-256 of the "0"/"1" text of its sampled bits. With
// k bits there are at most 2**k texts, so for small k the pads repeat across
// lockers (k = 8: at most 256 among 1024 lockers): each distinct text is
// hashed once, into a table indexed by the bit pattern, and the texts wanted
// are hashed together, several side by side. Larger k hashes every locker.
// Nothing outlives the call.
//
// The hashing is native: the native path only runs while the module's
// hashlib.sha256 is the genuine one, whose digests it repeats.
#pragma once

#include "fuzzy/lockers.hpp"
#include "fuzzy/native/sha256.hpp"
#include "runtime/scratch.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvex::fuzzy {

class PadCache {
 public:
  using Pad = std::array<uint8_t, kPadSize>;
  // Up to this many bits per locker the pads go into a table of 2**k entries.
  static constexpr int64_t kMaxTabledSize = 12;

  explicit PadCache(int64_t size);

  // Room for the pads of `count` lockers, made ahead.
  void reserve(size_t count);

  // Notes the pad of the bits at `positions` (size of them, each below
  // bits.size()); returns the key under which pad() gives it after compute().
  size_t want(const std::vector<uint8_t>& bits, const int64_t* positions);

  // Hashes the pads wanted since the last call.
  void compute();

  const uint8_t* pad(size_t key) const {
    return tabled() ? table_[key].data() : (*pads_)[key].data();
  }

 private:
  bool tabled() const { return table_ != nullptr; }

  std::string text_;
  // Tabled: one pad per bit pattern; wanted_[pattern] once it is queued.
  std::unique_ptr<Pad[]> table_;  // filled as patterns turn up, so left uninitialised
  std::vector<uint8_t> wanted_;
  std::vector<size_t> queue_;
  // Otherwise: one pad per locker. Texts that fit SHA-256's one block are
  // written straight into blocks_, padded once per call, and hashed
  // kSha256PaddedLanes at a time (queued_ of them wait); longer ones two at
  // a time (the text of the first of a pair waits in pending_).
  void hash_queued();

  Scratch<Pad> pads_;
  std::string pending_;
  bool has_pending_ = false;
  bool one_block_ = false;
  size_t queued_ = 0;
  alignas(16) uint8_t blocks_[kSha256PaddedLanes][64];
};

}  // namespace orvex::fuzzy
