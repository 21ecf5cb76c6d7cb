// The native vote's table: what the Counter of the literal loop would hold.
//
// Open addressing with linear probing. Candidates come from helper data,
// which whoever stores it can write, and under a hash they could compute they
// could make every candidate collide and the vote quadratic. So the table
// hashes with a key drawn once per module (a multiply-xor hash, cheap enough
// for the usual vote), and should the probing still grow beyond what any
// honest vote needs, it rehashes everything with SipHash under that key, as
// Python's dict (which the literal loop counts in) hashes bytes: the work
// stays linear whatever the candidates.
//
// With many lockers the slots span megabytes and every candidate lands in a
// random one: callers may hash a few candidates ahead and prefetch their
// slots, and each slot keeps the high half of its candidate's hash beside
// the index, so that a slot taken by another candidate is passed over
// without reading that candidate.
#pragma once

#include "fuzzy/lockers.hpp"
#include "fuzzy/native/siphash.hpp"
#include "runtime/scratch.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

namespace orvex::fuzzy {

// A candidate is a cipher with the pad taken off: at most one pad long. Its
// bytes, zero beyond its size so that whole buffers compare.
using CandidateBytes = std::array<uint8_t, kPadSize>;

class VoteTally {
 public:
  struct Candidate {
    CandidateBytes bytes;
    size_t size;
    size_t votes;
  };

  // A candidate's hash, and under which of the two hashes it was taken.
  struct Hashed {
    uint64_t value;
    bool sip;
  };

  VoteTally(size_t lockers, const SipKey& key) : key_(key) {
    // Indices are kept in 32 bits (no list holds that many lockers).
    if (lockers >= kIndexMask) throw std::bad_alloc();
    size_t slots = 16;
    while (slots < 2 * lockers) slots *= 2;
    slots_->assign(slots, kFree);
    // Room for every locker's candidate at once (long lockers make nearly
    // all of them distinct): growing by copies cost a tenth of a vote of
    // 10^5 lockers, and the pages never touched are never faulted in.
    candidates_.reserve(lockers);
  }

  Hashed hashed(const CandidateBytes& bytes, size_t size) const {
    return {hash(bytes, size), sip_};
  }

  void prefetch(const Hashed& h) const {
    __builtin_prefetch(slots_->data() + (h.value & (slots_->size() - 1)));
  }

  void add(const CandidateBytes& bytes, size_t size) { add(bytes, size, hashed(bytes, size)); }

  // `h` from hashed(), taken before or after other candidates were added.
  void add(const CandidateBytes& bytes, size_t size, Hashed h) {
    if (h.sip != sip_) h = hashed(bytes, size);
    count(bytes, size, h.value);
    ++added_;
    if (!sip_ && probes_ > kProbesPerVote * added_ + kProbeSlack) rehash_with_sip();
  }

  // Most votes, the first produced among equals: Counter.most_common(1).
  // nullptr without votes.
  const Candidate* winner() const {
    const Candidate* best = nullptr;
    for (const Candidate& c : candidates_) {
      if (!best || c.votes > best->votes) best = &c;
    }
    return best;
  }

  // Slots looked at so far, and whether the table went over to SipHash: for
  // tests of the probing.
  size_t probes() const { return probes_; }
  bool rehashed() const { return sip_; }

 private:
  // A slot holds the high half of its candidate's hash and its index; free
  // slots hold an index no candidate has.
  static constexpr uint64_t kIndexMask = 0xFFFFFFFFull;
  static constexpr uint64_t kFree = std::numeric_limits<uint64_t>::max();
  // At most half the slots are used, where a vote of random candidates
  // probes about two slots per vote; far more means collisions made on
  // purpose.
  static constexpr size_t kProbesPerVote = 4;
  static constexpr size_t kProbeSlack = 64;

  void count(const CandidateBytes& bytes, size_t size, uint64_t hash) {
    const size_t mask = slots_->size() - 1;
    const uint64_t tag = hash & ~kIndexMask;
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      ++probes_;
      uint64_t& taken = (*slots_)[slot];
      if (taken == kFree) {
        taken = tag | candidates_.size();
        candidates_.push_back({bytes, size, 1});
        return;
      }
      if ((taken & ~kIndexMask) != tag) continue;
      Candidate& c = candidates_[taken & kIndexMask];
      if (c.size == size && c.bytes == bytes) {
        ++c.votes;
        return;
      }
    }
  }

  // Every candidate again, under SipHash; they are all distinct.
  void rehash_with_sip() {
    sip_ = true;
    const size_t mask = slots_->size() - 1;
    slots_->assign(slots_->size(), kFree);
    for (size_t i = 0; i < candidates_.size(); ++i) {
      const uint64_t h = hash(candidates_[i].bytes, candidates_[i].size);
      size_t slot = h & mask;
      for (++probes_; (*slots_)[slot] != kFree; ++probes_) slot = (slot + 1) & mask;
      (*slots_)[slot] = (h & ~kIndexMask) | i;
    }
  }

  // Only the words that hold the candidate's bytes: the rest are zero, and
  // the size tells how many there were.
  uint64_t hash(const CandidateBytes& bytes, size_t size) const {
    uint64_t w[kPadSize / 8];
    std::memcpy(w, bytes.data(), sizeof w);
    if (sip_) return siphash13(key_, w, (size + 7) / 8, uint64_t{size} << 56);
    // The four words multiplied independently, then mixed: one short
    // dependency chain instead of one per byte.
    uint64_t h = ((w[0] ^ key_.k0) * 0x9E3779B97F4A7C15ull) ^
                 ((w[1] ^ key_.k1) * 0xC2B2AE3D27D4EB4Full) ^
                 ((w[2] ^ sip::rotl(key_.k0, 32)) * 0x165667B19E3779F9ull) ^
                 ((w[3] ^ sip::rotl(key_.k1, 32)) * 0xD6E8FEB86659FD93ull) ^ size;
    h ^= h >> 32;
    h *= 0x9E3779B97F4A7C15ull;
    return h ^ h >> 29;
  }

  SipKey key_;
  bool sip_ = false;
  size_t added_ = 0;
  size_t probes_ = 0;
  std::vector<Candidate> candidates_;
  Scratch<uint64_t, struct VoteSlots> slots_;
};

}  // namespace orvex::fuzzy
