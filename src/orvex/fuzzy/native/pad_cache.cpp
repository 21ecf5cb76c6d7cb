#include "fuzzy/native/pad_cache.hpp"

#include <algorithm>

namespace orvex::fuzzy {

PadCache::PadCache(int64_t size) : text_(static_cast<size_t>(size), '0') {
  if (size <= kMaxTabledSize) {
    table_.reset(new Pad[size_t{1} << size]);
    wanted_.assign(size_t{1} << size, 0);
    return;
  }
  one_block_ = static_cast<size_t>(size) <= kSha256MaxLaneSize;
  if (!one_block_) return;
  for (auto& block : blocks_) sha256_pad_block(static_cast<size_t>(size), block);
}

void PadCache::reserve(size_t count) {
  if (!tabled()) pads_->reserve(count);
}

size_t PadCache::want(const std::vector<uint8_t>& all_bits, const int64_t* positions) {
  const size_t size = text_.size();
  // Read through a local pointer: the text written is bytes too, which might
  // alias the vector's own pointer, reloaded after every byte otherwise.
  const uint8_t* const bits = all_bits.data();
  if (one_block_) {
    uint8_t* text = blocks_[queued_];
    for (size_t i = 0; i < size; ++i) text[i] = static_cast<uint8_t>('0' + bits[positions[i]]);
    pads_->emplace_back();
    if (++queued_ == kSha256PaddedLanes) hash_queued();
    return pads_->size() - 1;
  }
  if (!tabled()) {
    std::string& text = has_pending_ ? text_ : pending_;
    text.resize(size);
    for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('0' + bits[positions[i]]);
    pads_->emplace_back();
    if (has_pending_) {
      sha256_pair(reinterpret_cast<const uint8_t*>(pending_.data()),
                  reinterpret_cast<const uint8_t*>(text_.data()), size,
                  (*pads_)[pads_->size() - 2].data(), pads_->back().data());
    }
    has_pending_ = !has_pending_;
    return pads_->size() - 1;
  }
  size_t pattern = 0;
  for (size_t i = 0; i < size; ++i) pattern = pattern << 1 | bits[positions[i]];
  if (!wanted_[pattern]) {
    wanted_[pattern] = 1;
    queue_.push_back(pattern);
  }
  return pattern;
}

// The pads of the last queued_ lockers, from their texts in blocks_.
void PadCache::hash_queued() {
  const uint8_t* blocks[kSha256PaddedLanes];
  uint8_t* out[kSha256PaddedLanes];
  const size_t first = pads_->size() - queued_;
  for (size_t l = 0; l < queued_; ++l) {
    blocks[l] = blocks_[l];
    out[l] = (*pads_)[first + l].data();
  }
  sha256_padded_lanes(blocks, out, queued_);
  queued_ = 0;
}

void PadCache::compute() {
  const size_t size = text_.size();
  if (queued_) {
    hash_queued();
  } else if (has_pending_) {
    sha256(reinterpret_cast<const uint8_t*>(pending_.data()), size, pads_->back().data());
  }
  has_pending_ = false;
  uint8_t texts[kSha256Lanes][kMaxTabledSize];
  const uint8_t* data[kSha256Lanes];
  uint8_t* out[kSha256Lanes];
  for (size_t first = 0; first < queue_.size(); first += kSha256Lanes) {
    const size_t count = std::min(kSha256Lanes, queue_.size() - first);
    for (size_t l = 0; l < count; ++l) {
      const size_t pattern = queue_[first + l];
      for (size_t i = 0; i < size; ++i) {
        texts[l][i] = static_cast<uint8_t>('0' + (pattern >> (size - 1 - i) & 1));
      }
      data[l] = texts[l];
      out[l] = table_[pattern].data();
    }
    sha256_lanes(data, size, count, out);
  }
  queue_.clear();
}

}  // namespace orvex::fuzzy
