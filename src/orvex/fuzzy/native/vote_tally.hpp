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
// slots, and each slot keeps 24 more bits of its candidate's hash beside
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

// Counts the candidates of lockers 0, 1, 2, ... in that order. Their bytes
// and sizes stay where the caller put them, one per locker: the table keeps
// no copies, only, per locker, its votes (0 where an earlier locker produced
// the same candidate), so that a vote of 10^6 mostly distinct candidates
// writes 4 bytes per locker beside the slot it takes.
class VoteTally {
 public:
  // A candidate's hash, and under which of the two hashes it was taken.
  struct Hashed {
    uint64_t value;
    bool sip;
  };
  static constexpr size_t kNone = std::numeric_limits<size_t>::max();

  // `bytes` and `sizes` hold (at least) one entry per locker counted, and
  // stay put while the tally counts.
  VoteTally(size_t lockers, const SipKey& key, const CandidateBytes* bytes, const uint8_t* sizes)
      : key_(key), bytes_(bytes), sizes_(sizes) {
    // Indices are kept in 32 bits (no list holds that many lockers).
    if (lockers >= kIndexMask) throw std::bad_alloc();
    size_t slots = 16;
    while (slots < 2 * lockers) slots *= 2;
    table_ = std::move(spare_table());
    spare_table() = SlotTable{};
    if (table_.slots.size() != slots) table_.generation = kLastGeneration;
    table_.slots.resize(slots);
    next_generation();
    votes_->reserve(lockers);
  }
  VoteTally(const VoteTally&) = delete;
  VoteTally& operator=(const VoteTally&) = delete;
  ~VoteTally() {
    if (table_.slots.capacity() * sizeof(uint64_t) <= kScratchKeepBytes) {
      spare_table() = std::move(table_);
    }
  }

  Hashed hashed(size_t locker) const { return {hash(locker), sip_}; }

  void prefetch(const Hashed& h) const {
    __builtin_prefetch(table_.slots.data() + (h.value & (table_.slots.size() - 1)));
  }

  // Counts the next locker's candidate; `h` from hashed(), taken before or
  // after other candidates were counted.
  void add(Hashed h) {
    const size_t locker = votes_->size();
    if (h.sip != sip_) h = hashed(locker);
    count(locker, h.value);
    if (!sip_ && probes_ > kProbesPerVote * votes_->size() + kProbeSlack) rehash_with_sip();
  }
  void add() { add(hashed(votes_->size())); }

  // The locker that first produced the candidate with most votes, the first
  // produced among equals (Counter.most_common(1)); kNone without votes.
  size_t winner() const {
    size_t best = kNone;
    uint32_t most = 0;
    for (size_t i = 0; i < votes_->size(); ++i) {
      if ((*votes_)[i] > most) {
        most = (*votes_)[i];
        best = i;
      }
    }
    return best;
  }
  size_t votes(size_t locker) const { return (*votes_)[locker]; }

  // Slots looked at so far, and whether the table went over to SipHash: for
  // tests of the probing.
  size_t probes() const { return probes_; }
  bool rehashed() const { return sip_; }

 private:
  // A slot holds the vote's generation in its top byte, then 24 more bits
  // of its candidate's hash, then the locker that first produced it. A slot
  // of an older generation is free: the slots are kept from vote to vote on
  // each thread and cleared only once every 255 votes (a table of 10^5
  // lockers spans 2 MiB: clearing it took 0.2 ms a vote).
  static constexpr uint64_t kIndexMask = 0xFFFFFFFFull;
  static constexpr uint64_t kTagMask = 0x00FFFFFF00000000ull;
  static constexpr int kGenerationShift = 56;
  static constexpr uint64_t kLastGeneration = 0xFF;

  struct SlotTable {
    std::vector<uint64_t> slots;
    uint64_t generation = kLastGeneration;
  };
  // This thread's table between votes (a vote within a vote finds it taken,
  // and starts a table of its own).
  static SlotTable& spare_table() {
    thread_local SlotTable kept;
    return kept;
  }

  // Frees every slot at once.
  void next_generation() {
    if (table_.generation == kLastGeneration) {
      std::fill(table_.slots.begin(), table_.slots.end(), 0);
      table_.generation = 0;
    }
    ++table_.generation;
  }
  bool is_free(uint64_t slot) const { return slot >> kGenerationShift != table_.generation; }
  uint64_t taken_by(uint64_t hash, size_t locker) const {
    return table_.generation << kGenerationShift | (hash & kTagMask) | locker;
  }
  // At most half the slots are used, where a vote of random candidates
  // probes about two slots per vote; far more means collisions made on
  // purpose.
  static constexpr size_t kProbesPerVote = 4;
  static constexpr size_t kProbeSlack = 64;

  bool same(size_t a, size_t b) const { return sizes_[a] == sizes_[b] && bytes_[a] == bytes_[b]; }

  void count(size_t locker, uint64_t hash) {
    const size_t mask = table_.slots.size() - 1;
    const uint64_t tag = taken_by(hash, 0);
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      ++probes_;
      uint64_t& taken = table_.slots[slot];
      if (is_free(taken)) {
        taken = tag | locker;
        votes_->push_back(1);
        return;
      }
      if ((taken & ~kIndexMask) != tag) continue;
      const size_t first = taken & kIndexMask;
      if (same(first, locker)) {
        ++(*votes_)[first];
        votes_->push_back(0);
        return;
      }
    }
  }

  // Every candidate again, in the order produced, under SipHash; they are
  // all distinct.
  void rehash_with_sip() {
    sip_ = true;
    const size_t mask = table_.slots.size() - 1;
    next_generation();
    for (size_t i = 0; i < votes_->size(); ++i) {
      if (!(*votes_)[i]) continue;
      const uint64_t h = hash(i);
      size_t slot = h & mask;
      for (++probes_; !is_free(table_.slots[slot]); ++probes_) slot = (slot + 1) & mask;
      table_.slots[slot] = taken_by(h, i);
    }
  }

  // Only the words that hold the candidate's bytes: the rest are zero, and
  // the size tells how many there were.
  uint64_t hash(size_t locker) const {
    const size_t size = sizes_[locker];
    uint64_t w[kPadSize / 8];
    std::memcpy(w, bytes_[locker].data(), sizeof w);
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
  const CandidateBytes* bytes_;
  const uint8_t* sizes_;
  bool sip_ = false;
  size_t probes_ = 0;
  Scratch<uint32_t, struct VoteCounts> votes_;
  SlotTable table_;
};

}  // namespace orvex::fuzzy
