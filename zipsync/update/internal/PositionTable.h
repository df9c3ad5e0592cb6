// A hash index of manifest positions for the planner, and look-ups that hide memory latency.
//
// PositionTable is an open-addressing table (linear probing, power-of-two size, at most half
// full) whose slots hold a position and the upper 32 bits of its 64-bit hash. It owns no keys:
// the caller decides equality by looking at the entries the positions refer to, so building it
// allocates one array and nothing per entry. It is sized once for a known number of positions
// and never grows.
//
// With a million entries of a few hundred bytes each and their names on the heap, a look-up is
// a chain of cache misses (the key's names, the slot, the entry found, that entry's names).
// PipelinedLookups walks many items and requests each link of the chain several items before
// it is needed, so the misses of different items overlap instead of adding up.
//
// Engine-internal; used by UpdateProcess only.
#pragma once

#include <algorithm>
#include <stdint.h>
#include <vector>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace ZipSync {

inline void PrefetchLine(const void* address) {
    __builtin_prefetch(address, 0, 3);
}

// Every cache line of an object.
template <class T> inline void PrefetchObject(const T& object) {
    const char* begin = reinterpret_cast<const char*>(&object);
    for (size_t offset = 0; offset < sizeof(T); offset += 64) PrefetchLine(begin + offset);
    PrefetchLine(begin + sizeof(T) - 1);
}

// Makes room for count elements in an empty vector and asks the system to back the new storage
// with huge pages where it can: tables of several megabytes read at random positions otherwise
// spend much of their time in page faults and TLB misses. Only a hint; nothing depends on it.
template <class T> void ReserveLarge(std::vector<T>& vector, size_t count) {
    if (vector.capacity() >= count) return;
    std::vector<T>().swap(vector);
    vector.reserve(count);
#ifdef __linux__
    const uintptr_t HUGE_PAGE = 2 << 20;
    uintptr_t begin = (reinterpret_cast<uintptr_t>(vector.data()) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(vector.data() + count)) & ~(HUGE_PAGE - 1);
    if (begin < end) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

class PositionTable {
public:
    // Empties the table and sizes it for count positions, reusing its memory when the size
    // stays the same.
    void Reset(size_t count) {
        size_t capacity = 16;
        while (capacity < 2 * count) capacity *= 2;
        if (_slots.size() == capacity) {
            std::fill(_slots.begin(), _slots.end(), 0);
        } else {
            _slots.clear();
            ReserveLarge(_slots, capacity);
            _slots.resize(capacity, 0);
        }
        _mask = capacity - 1;
    }

    // The slot holding a position p stored under hash for which same(p) holds, or else the
    // empty slot where such a position belongs. Store into an empty slot with Make.
    template <class Same> uint64_t& Lookup(uint64_t hash, Same&& same) {
        uint64_t tag = hash >> 32;
        for (size_t i = hash & _mask;; i = (i + 1) & _mask) {
            uint64_t& slot = _slots[i];
            if (slot == 0 || ((slot >> 32) == tag && same(Position(slot)))) return slot;
        }
    }

    void PrefetchHome(uint64_t hash) const { PrefetchLine(&_slots[hash & _mask]); }
    // The position in the first slot probed for hash when its tag fits, else -1. Only a guess
    // of what Lookup will find, good for prefetching.
    int PeekHome(uint64_t hash) const {
        uint64_t slot = _slots[hash & _mask];
        return slot != 0 && (slot >> 32) == (hash >> 32) ? Position(slot) : -1;
    }

    static bool IsEmpty(uint64_t slot) { return slot == 0; }
    static int Position(uint64_t slot) { return (int)(uint32_t)slot - 1; }
    static uint64_t Make(uint64_t hash, int position) {
        return (hash >> 32 << 32) | (uint64_t)(uint32_t)(position + 1);
    }

private:
    std::vector<uint64_t> _slots;
    size_t _mask = 0;
};

// Visits the items 0 .. count-1 in order, each with its hash, after prefetching what visiting
// it will read. For item i, several items ahead of its visit:
//   1. prepare(i) returns whether the item takes part, and prefetches what hashOf(i) reads;
//   2. hashOf(i) computes its hash, whose home slot is then prefetched;
//   3. the position guessed from that slot (PeekHome) goes to prefetchFound(p, 0), which
//      prefetches the entry at p;
//   4. then prefetchFound(p, 1), which prefetches what that entry points to;
//   5. visit(i, hash) does the real work, and may change the table.
// Items for which prepare returned false are not hashed or visited.
template <class Prepare, class HashOf, class PrefetchFound, class Visit>
void PipelinedLookups(const PositionTable& table, int count, Prepare&& prepare, HashOf&& hashOf,
                      PrefetchFound&& prefetchFound, Visit&& visit) {
    // Items between two steps, and the ring of per-item state covering the four steps ahead.
    const int DISTANCE = 6;
    const int RING = 32;
    static_assert(RING > 4 * DISTANCE, "ring too small");
    bool active[RING];
    uint64_t hashes[RING];
    int found[RING];
    for (int step = 0; step < count + 4 * DISTANCE; step++) {
        int i = step;
        if (i < count) active[i % RING] = prepare(i);
        i = step - DISTANCE;
        if (i >= 0 && i < count && active[i % RING]) {
            hashes[i % RING] = hashOf(i);
            table.PrefetchHome(hashes[i % RING]);
        }
        i = step - 2 * DISTANCE;
        if (i >= 0 && i < count && active[i % RING]) {
            found[i % RING] = table.PeekHome(hashes[i % RING]);
            if (found[i % RING] >= 0) prefetchFound(found[i % RING], 0);
        }
        i = step - 3 * DISTANCE;
        if (i >= 0 && i < count && active[i % RING] && found[i % RING] >= 0)
            prefetchFound(found[i % RING], 1);
        i = step - 4 * DISTANCE;
        if (i >= 0 && i < count && active[i % RING]) visit(i, hashes[i % RING]);
    }
}

} // namespace ZipSync
