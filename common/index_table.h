// Lookup tables for runs of a hundred thousand files, where a node-based map
// costs more per file than the file's own record.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "disk.h"

namespace kv {

// Indices into a list the caller holds, found by a hash of each one's key:
// the caller says whether an index's key is the one looked for, and gives
// the hash of an index's key when the table grows. Open addressing, at most
// half full; 4 bytes a slot.
class IndexTable {
 public:
  static constexpr size_t npos = SIZE_MAX;

  // The first index added under `hash` for which `matches(index)` holds, or
  // npos.
  template <typename Matches>
  size_t Find(uint64_t hash, Matches&& matches) const {
    if (slots_.empty()) return npos;
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      if (slots_[i] == 0) return npos;
      if (matches(size_t{slots_[i]} - 1)) return size_t{slots_[i]} - 1;
    }
  }

  // Adds `index` under `hash`; indices already held are not looked at.
  // `hashOf(i)` is the hash of index i's key.
  template <typename HashOf>
  void Insert(uint64_t hash, size_t index, HashOf&& hashOf) {
    // More files than a slot can count: the run stops as when memory runs
    // out, and rolls back.
    if (index >= UINT32_MAX) throw std::bad_alloc();
    if ((count_ + 1) * 2 > slots_.size()) {
      std::vector<uint32_t> old = std::move(slots_);
      slots_.assign(old.empty() ? 16 : old.size() * 2, 0);
      for (const uint32_t s : old) {
        if (s != 0) Place(s, hashOf(size_t{s} - 1));
      }
    }
    Place(static_cast<uint32_t>(index + 1), hash);
    ++count_;
  }

 private:
  void Place(uint32_t slot, uint64_t hash) {
    const size_t mask = slots_.size() - 1;
    size_t i = hash & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = slot;
  }

  std::vector<uint32_t> slots_;  // the caller's index + 1; 0 for an empty slot
  size_t count_ = 0;
};

// A hash of a file's identity, its bits well mixed.
inline uint64_t HashKey(const FileKey& key) {
  auto mix = [](uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9u;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebu;
    return x ^ (x >> 31);
  };
  return mix(key.inode ^ mix(key.device));
}

// A set of file identities.
class FileKeySet {
 public:
  // False when `key` was in the set already.
  bool Insert(const FileKey& key) {
    const uint64_t hash = HashKey(key);
    if (table_.Find(hash, [&](size_t i) { return keys_[i] == key; }) != IndexTable::npos)
      return false;
    table_.Insert(hash, keys_.size(), [&](size_t i) { return HashKey(keys_[i]); });
    keys_.push_back(key);
    return true;
  }

 private:
  std::vector<FileKey> keys_;
  IndexTable table_;
};

// Texts kept for as long as the store lives, each where it was first put:
// the views it hands out stay valid. Blocks of 64 KiB, one allocation each.
class TextStore {
 public:
  std::string_view Keep(std::string_view text) {
    if (blocks_.empty() || text.size() > blockSize_ - used_) {
      blockSize_ = std::max(kBlock, text.size());
      blocks_.push_back(std::make_unique<char[]>(blockSize_));
      used_ = 0;
    }
    char* const at = blocks_.back().get() + used_;
    std::copy(text.begin(), text.end(), at);
    used_ += text.size();
    return std::string_view(at, text.size());
  }

 private:
  static constexpr size_t kBlock = size_t{64} << 10;
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t blockSize_ = 0;  // of the last block
  size_t used_ = 0;       // bytes of the last block in use
};

}  // namespace kv
