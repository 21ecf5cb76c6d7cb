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
#pragma once

#include "fuzzy/lockers.hpp"
#include "fuzzy/native/siphash.hpp"
#include "runtime/scratch.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
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

  VoteTally(size_t lockers, const SipKey& key) : key_(key) {
    size_t slots = 16;
    while (slots < 2 * lockers) slots *= 2;
    slots_->assign(slots, kFree);
    candidates_.reserve(std::min<size_t>(lockers, 1024));
  }

  void add(const CandidateBytes& bytes, size_t size) {
    count(bytes, size);
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
  static constexpr size_t kFree = std::numeric_limits<size_t>::max();
  // At most half the slots are used, where a vote of random candidates
  // probes about two slots per vote; far more means collisions made on
  // purpose.
  static constexpr size_t kProbesPerVote = 4;
  static constexpr size_t kProbeSlack = 64;

  void count(const CandidateBytes& bytes, size_t size) {
    const size_t mask = slots_->size() - 1;
    for (size_t slot = hash(bytes, size) & mask;; slot = (slot + 1) & mask) {
      ++probes_;
      size_t& taken = (*slots_)[slot];
      if (taken == kFree) {
        taken = candidates_.size();
        candidates_.push_back({bytes, size, 1});
        return;
      }
      Candidate& c = candidates_[taken];
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
      size_t slot = hash(candidates_[i].bytes, candidates_[i].size) & mask;
      for (++probes_; (*slots_)[slot] != kFree; ++probes_) slot = (slot + 1) & mask;
      (*slots_)[slot] = i;
    }
  }

  // Only the words that hold the candidate's bytes: the rest are zero, and
  // the size tells how many there were.
  size_t hash(const CandidateBytes& bytes, size_t size) const {
    uint64_t w[kPadSize / 8];
    std::memcpy(w, bytes.data(), sizeof w);
    if (sip_) return static_cast<size_t>(siphash13(key_, w, (size + 7) / 8, uint64_t{size} << 56));
    // The four words multiplied independently, then mixed: one short
    // dependency chain instead of one per byte.
    uint64_t h = ((w[0] ^ key_.k0) * 0x9E3779B97F4A7C15ull) ^
                 ((w[1] ^ key_.k1) * 0xC2B2AE3D27D4EB4Full) ^
                 ((w[2] ^ sip::rotl(key_.k0, 32)) * 0x165667B19E3779F9ull) ^
                 ((w[3] ^ sip::rotl(key_.k1, 32)) * 0xD6E8FEB86659FD93ull) ^ size;
    h ^= h >> 32;
    h *= 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h ^ h >> 29);
  }

  SipKey key_;
  bool sip_ = false;
  size_t added_ = 0;
  size_t probes_ = 0;
  std::vector<Candidate> candidates_;
  Scratch<size_t, struct VoteSlots> slots_;
};

}  // namespace orvex::fuzzy
