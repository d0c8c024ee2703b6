// The byte buffer that result builders write ASCII text into, and the one
// way a thread keeps working memory between calls: a spare lent to one user
// at a time, given back after the call, and freed then if it has grown past
// kSpareKeepMax. A thread that builds prompt after prompt reuses its spares
// without allocating; a thread that built one large prompt keeps no more
// than a few tens of KiB for the rest of its life.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

// Large buffers come straight from mmap on Linux, except under AddressSanitizer,
// which checks only what malloc hands out.
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(QV_NO_MAP_LARGE_BUFFERS)
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_NO_MAP_LARGE_BUFFERS 1
#endif
#endif
#endif
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(QV_NO_MAP_LARGE_BUFFERS)
#define QV_MAP_LARGE_BUFFERS 1
#include <sys/mman.h>
#include <unistd.h>
#else
#define QV_MAP_LARGE_BUFFERS 0
#endif

namespace qv {

// The most one buffer of a spare keeps between calls. A builder's spare has
// three buffers and a JSON writer's three more, so a thread keeps at most
// about 100 KiB per module even after the largest build, and a few KiB after
// a typical batch (which still fits, so it is built without allocating).
inline constexpr std::size_t kSpareKeepMax = std::size_t{16} << 10;

#if QV_MAP_LARGE_BUFFERS
// A mapped block of memory.
struct MappedBlock {
  void* data = nullptr;
  std::size_t bytes = 0;
};

// The process keeps at most kMappedPoolSlots large blocks of at most
// kMappedPoolBlockMax bytes for the next large build on any thread: a
// process that builds large prompts one after another reuses pages already
// faulted in, while any number of threads together keep no more than this.
inline constexpr std::size_t kMappedPoolSlots = 2;
inline constexpr std::size_t kMappedPoolBlockMax = std::size_t{4} << 20;

// The pool is guarded by a flag that is only ever tried, never waited for:
// a thread that finds it taken maps or unmaps on its own. So no thread
// blocks on another, and a child forked while some thread held the flag
// merely never pools (a lock held across fork() would deadlock it).
struct MappedPool {
  std::atomic<bool> busy{false};
  MappedBlock slots[kMappedPoolSlots];

  bool try_enter() noexcept { return !busy.exchange(true, std::memory_order_acquire); }
  void leave() noexcept { busy.store(false, std::memory_order_release); }
};

inline MappedPool& mapped_pool() noexcept {
  static MappedPool pool;
  return pool;
}

// The largest pooled block, or an empty one.
inline MappedBlock mapped_pool_take() noexcept {
  MappedPool& pool = mapped_pool();
  if (!pool.try_enter()) return {};
  MappedBlock* best = nullptr;
  for (MappedBlock& b : pool.slots)
    if (b.data && (!best || b.bytes > best->bytes)) best = &b;
  MappedBlock taken;
  if (best) {
    taken = *best;
    *best = {};
  }
  pool.leave();
  return taken;
}

// Keeps `block` in the pool when there is room, else unmaps it (or the
// smaller pooled block it replaces).
inline void mapped_pool_give(MappedBlock block) noexcept {
  if (block.bytes <= kMappedPoolBlockMax) {
    MappedPool& pool = mapped_pool();
    if (pool.try_enter()) {
      MappedBlock* smallest = &pool.slots[0];
      for (MappedBlock& b : pool.slots)
        if (!b.data || b.bytes < smallest->bytes) smallest = &b;
      if (!smallest->data || smallest->bytes < block.bytes)
        std::swap(*smallest, block);  // block is now the one left over, if any
      pool.leave();
    }
  }
  if (block.data) munmap(block.data, block.bytes);
}
#endif

// A growable array of a trivially copyable T. Growing keeps the items
// written so far and leaves the new room uninitialised (the writers fill
// every item they claim).
template <class T>
class PodBuffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  PodBuffer() noexcept = default;
  ~PodBuffer() { free_data(); }
  PodBuffer(const PodBuffer&) = delete;
  PodBuffer& operator=(const PodBuffer&) = delete;

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }
  // Items written so far.
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return cap_; }
  bool empty() const noexcept { return size_ == 0; }
  T& back() noexcept { return data_[size_ - 1]; }

  // Room for n more items after the written ones; claim what was written
  // there with advance() or set_end(). The pointer is valid until the next
  // room().
  T* room(std::size_t n) {
    if (cap_ - size_ < n) grow(n);
    return data_ + size_;
  }
  void advance(std::size_t n) noexcept { size_ += n; }
  void set_size(std::size_t n) noexcept { size_ = n; }
  void set_end(const T* end) noexcept { size_ = static_cast<std::size_t>(end - data_); }

  void append(const T* s, std::size_t n) {
    if (n == 0) return;
    std::memcpy(room(n), s, n * sizeof(T));
    size_ += n;
  }
  void push_back(const T& v) {
    *room(1) = v;
    ++size_;
  }

  void clear() noexcept { size_ = 0; }

  // Empties the buffer for its next user, giving the memory back when it has
  // grown past what a thread keeps (see Spare).
  void recycle() noexcept {
    if (cap_ * sizeof(T) > kSpareKeepMax) {
      free_data();
      data_ = nullptr;
      cap_ = 0;
    }
    size_ = 0;
  }

 private:
  static constexpr std::size_t kMinBytes = 4096;
  static constexpr std::size_t kMinCapacity = (kMinBytes + sizeof(T) - 1) / sizeof(T);

  void grow(std::size_t n) {
    constexpr std::size_t kMaxItems = static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T);
    if (n > kMaxItems - size_) throw std::bad_alloc();
    std::size_t cap = cap_ < kMinCapacity ? kMinCapacity : cap_ * 2;
    if (cap > kMaxItems || cap - size_ < n) cap = size_ + n;
#if QV_MAP_LARGE_BUFFERS
    if (cap * sizeof(T) >= kMapMin) {
      grow_mapped(cap * sizeof(T));
      return;
    }
#endif
    void* p = std::realloc(data_, cap * sizeof(T));
    if (!p) throw std::bad_alloc();
    data_ = static_cast<T*>(p);
    cap_ = cap;
  }

  void free_data() noexcept {
#if QV_MAP_LARGE_BUFFERS
    if (mapped_) {
      mapped_pool_give({data_, mapped_bytes_});
      mapped_ = false;
      mapped_bytes_ = 0;
      return;
    }
#endif
    std::free(data_);
  }

#if QV_MAP_LARGE_BUFFERS
  // Large buffers are mapped from the system rather than taken from malloc,
  // and given back to a small pool for the whole process (see
  // mapped_pool_give), so a thread never keeps one: freeing a large malloc
  // block would raise glibc's mmap threshold to its size, after which blocks
  // that large come from per-thread arenas that keep freed memory.
  static constexpr std::size_t kMapMin = std::size_t{128} << 10;

  void grow_mapped(std::size_t bytes) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    bytes = (bytes + page - 1) / page * page;
    MappedBlock block{data_, mapped_bytes_};
    if (!mapped_) {
      block = mapped_pool_take();
      if (block.data && block.bytes < bytes) {
        void* q = mremap(block.data, block.bytes, bytes, MREMAP_MAYMOVE);
        if (q == MAP_FAILED) {
          munmap(block.data, block.bytes);
          block = {};
        } else {
          block = {q, bytes};
        }
      }
      if (!block.data) {
        void* q = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (q == MAP_FAILED) throw std::bad_alloc();
        block = {q, bytes};
      }
      if (size_) std::memcpy(block.data, data_, size_ * sizeof(T));
      std::free(data_);
    } else {
      void* q = mremap(data_, mapped_bytes_, bytes, MREMAP_MAYMOVE);
      if (q == MAP_FAILED) throw std::bad_alloc();
      block = {q, bytes};
    }
    data_ = static_cast<T*>(block.data);
    mapped_bytes_ = block.bytes;
    cap_ = block.bytes / sizeof(T);
    mapped_ = true;
  }
  bool mapped_ = false;
  std::size_t mapped_bytes_ = 0;
#endif

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
};

// Empties a vector for its next user, giving its memory back when it has
// grown past what a thread keeps.
template <class V>
void trim(V& v) noexcept {
  v.clear();
  if (v.capacity() * sizeof(typename V::value_type) > kSpareKeepMax) V().swap(v);
}

// A T for the life of this object: the thread's spare T when no one else on
// the thread holds it, else a private one (a builder started from Python code
// that runs inside another build on the same thread, through a __str__, gets
// its own). T is default constructible and has `void recycle() noexcept`,
// which empties it and frees whatever has grown past kSpareKeepMax; the spare
// is recycled when it is given back.
template <class T>
class Spare {
 public:
  Spare() noexcept {
    Slot& s = slot();
    if (!s.busy) {
      s.busy = true;
      p_ = &s.value;
    } else {
      p_ = &own_;
    }
  }
  ~Spare() {
    if (p_ == &own_) return;
    p_->recycle();
    slot().busy = false;
  }
  Spare(const Spare&) = delete;
  Spare& operator=(const Spare&) = delete;

  T& operator*() const noexcept { return *p_; }
  T* operator->() const noexcept { return p_; }

 private:
  struct Slot {
    T value;
    bool busy = false;
  };
  static Slot& slot() noexcept {
    static thread_local Slot s;
    return s;
  }

  T* p_;
  T own_;
};

}  // namespace qv
