// The native vote's table: what the Counter of the literal loop would hold.
//
// Open addressing with linear probing, hashed with SipHash under a key drawn
// once per module: candidates come from helper data, which whoever stores it
// can write, and under a hash they can compute they could make every
// candidate collide and the vote quadratic. Python's dict, which the literal
// loop counts in, is keyed the same way.
#pragma once

#include "fuzzy/siphash.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace orvex::fuzzy {

// A candidate is a cipher with the pad taken off: at most one digest long.
constexpr size_t kMaxCandidate = 32;

// A candidate's bytes, zero beyond its size so that whole buffers compare.
using CandidateBytes = std::array<uint8_t, kMaxCandidate>;

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
    slots_.assign(slots, kFree);
    candidates_.reserve(std::min<size_t>(lockers, 1024));
  }

  void add(const CandidateBytes& bytes, size_t size) {
    const size_t mask = slots_.size() - 1;
    for (size_t slot = hash(bytes, size) & mask;; slot = (slot + 1) & mask) {
      ++probes_;
      if (slots_[slot] == kFree) {
        slots_[slot] = candidates_.size();
        candidates_.push_back({bytes, size, 1});
        return;
      }
      Candidate& c = candidates_[slots_[slot]];
      if (c.size == size && c.bytes == bytes) {
        ++c.votes;
        return;
      }
    }
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

  // Slots looked at so far, for tests of the probing.
  size_t probes() const { return probes_; }

 private:
  static constexpr size_t kFree = std::numeric_limits<size_t>::max();

  // Only the words that hold the candidate's bytes: the rest are zero, and
  // the size, in the last word, tells how many there were.
  size_t hash(const CandidateBytes& bytes, size_t size) const {
    uint64_t words[kMaxCandidate / 8];
    std::memcpy(words, bytes.data(), sizeof words);
    return static_cast<size_t>(siphash13(key_, words, (size + 7) / 8, uint64_t{size} << 56));
  }

  SipKey key_;
  size_t probes_ = 0;
  std::vector<Candidate> candidates_;
  std::vector<size_t> slots_;
};

}  // namespace orvex::fuzzy
