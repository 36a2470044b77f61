// Where the writer keeps things: the output buffer (which streams into the hash), the
// per-call stacks of members and keys of the objects being written, and the bound on
// nesting.
//
// A part of _jcs.cpp's one translation unit; see text_kernels.hpp.
#pragma once

#include "common/compat.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "common/py_ref.hpp"
#include "kestrim_substrate/sha256.hpp"
#include "kestrim_substrate/stack_room.hpp"

namespace kestrim {
namespace {

constexpr std::size_t kInlineBytes = 4096;
constexpr std::size_t kInlineMembers = 16;

// Output buffer: starts on the stack and moves to the heap only when it outgrows it. With a
// hash attached it never grows for long: full buffers are fed to the hash instead. Nothing
// in it is initialised before it is written.
//
// The write position is not kept here: writers hold it in a local and pass it on, so it stays
// in a register. Stored and reloaded around every write, it would chain all the writes of a
// document one after another through memory.
class Sink {
public:
    // With a hash, full buffers stream into it. Without one, a text that outgrows the stack
    // buffer is written into a bytes object (see take_bytes()), or into a plain heap block
    // for callers that want the text and not an object.
    enum class Spill { Heap, Bytes };
    explicit Sink(Sha256* hash, Spill spill = Spill::Heap) noexcept : hash_(hash), spill_(spill) {}
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    // Where writing starts.
    char* start() noexcept { return begin_; }
    // Room for n bytes at the position p: p itself, or where the text before p continues
    // after it has gone to the hash or moved to a larger buffer.
    char* room(char* p, std::size_t n) {
        if (!fits(p, n)) p = spill(p, n);
        return p;
    }
    bool fits(const char* p, std::size_t n) const noexcept {
        return static_cast<std::size_t>(end_ - p) >= n;
    }
    const char* data() const noexcept { return begin_; }

    // Everything written, p being the end, as a bytes object; nullptr with an exception set.
    // A text that stayed on the stack is copied; one that spilled already is the object.
    PyObject* take_bytes(char* p) {
        const auto size = static_cast<Py_ssize_t>(p - begin_);
        if (!bytes_) return PyBytes_FromStringAndSize(begin_, size);
        // A little over, so that the same document again fits at once, with the room its
        // last writes ask for.
        size_hint().store(static_cast<std::size_t>(size) + kHintSlack, std::memory_order_relaxed);
        PyObject* bytes = bytes_.release();
        const auto capacity = static_cast<std::size_t>(end_ - begin_);
        const std::size_t spare = capacity - static_cast<std::size_t>(size);
        if (spare <= 2 * kHintSlack && spare <= static_cast<std::size_t>(size) / 8) {
            // Sized by the hint: the block is kept as it is, its few spare pages with it. Shrunk,
            // it would be handed back smaller than the next call asks for, and the allocator
            // would map a fresh one (and fault in every page of it) at every call; kept, it
            // is reused from the heap as it was given back. Only a large text's block, with
            // little to spare for its size: a short one is shrunk, as its block is no mapping.
            if (keep_block(bytes, size)) {
                begin_ = end_ = hashed_ = inline_;
                return bytes;
            }
        }
        // Shrinking a large block gives its tail back in place (mremap), with no copy.
        if (compat::resize_bytes(&bytes, size) < 0) return nullptr;
        begin_ = end_ = hashed_ = inline_;
        return bytes;
    }

    // The hash of everything written, p being the end; false if the hash failed.
    bool finish(char* p, unsigned char digest[Sha256::kDigestBytes]) {
        p = room(p, Sha256::kMaxPadBytes);
        return hash_->finish(hashed_, static_cast<std::size_t>(p - hashed_), digest);
    }

    // Hands the whole blocks written before p to the hash now rather than at the end, so
    // that hashing a block can run while the next is written. Called between members.
    void feed(const char* p) noexcept {
        if (hash_ != nullptr && p - hashed_ >= static_cast<std::ptrdiff_t>(Sha256::kBlockBytes))
            feed_blocks(p);
    }

private:
    [[gnu::noinline]] void feed_blocks(const char* p) noexcept {
        const std::size_t n = static_cast<std::size_t>(p - hashed_) & ~(Sha256::kBlockBytes - 1);
        hash_->update(hashed_, n);
        hashed_ += n;
    }

    [[gnu::noinline]] char* spill(char* p, std::size_t n) {
        std::size_t used = static_cast<std::size_t>(p - begin_);
        if (hash_ != nullptr) {
            // Whole blocks to the hash; the part of a block left over moves to the start, so
            // the hash is only ever given whole blocks until finish().
            const auto pending = static_cast<std::size_t>(p - hashed_);
            const std::size_t whole = pending & ~(Sha256::kBlockBytes - 1);
            hash_->update(hashed_, whole);
            used = pending - whole;
            std::memmove(begin_, hashed_ + whole, used);
            hashed_ = begin_;
            if (static_cast<std::size_t>(end_ - begin_) - used >= n) return begin_ + used;
        }
        const std::size_t capacity =
            std::max(2 * static_cast<std::size_t>(end_ - begin_), used + n);
        if (spill_ == Spill::Bytes) return spill_to_bytes(used, capacity);
        // realloc rather than a new buffer and a copy: a large block grows where it is (the
        // C library remaps its pages), so a long document is neither copied at every
        // doubling nor faulted in again page by page.
        char* grown;
        if (heap_) {
            grown = static_cast<char*>(std::realloc(heap_.get(), capacity));
            if (grown == nullptr) throw std::bad_alloc();
            (void)heap_.release();
        } else {
            grown = static_cast<char*>(std::malloc(capacity));
            if (grown == nullptr) throw std::bad_alloc();
            std::memcpy(grown, begin_, used);
        }
        heap_.reset(grown);
        begin_ = grown;
        hashed_ = begin_;
        end_ = begin_ + capacity;
        return begin_ + used;
    }

    // canonicalize() returns the text as bytes: written there from the first spill on, a
    // long text is neither copied once more at the end nor has a second megabyte of fresh
    // pages faulted in for the copy. The object grows by realloc, which moves a large block's
    // pages rather than copying them.
    //
    // Documents come in runs of like sizes, so a text that has reached a good part of the
    // size of the last one that spilled (see size_hint()) grows to that size at once: doubling
    // all the way, a megabyte is copied about once over in reallocs below the allocator's
    // mapping threshold, and the block that ends up mapped is faulted in afresh at every
    // call. A text far short of the hint grows by doubling as ever, so that a short text after
    // a huge one does not ask for (and map, and unmap) the huge one's size.
    char* spill_to_bytes(std::size_t used, std::size_t capacity) {
        const std::size_t hint = size_hint().load(std::memory_order_relaxed);
        if (hint > capacity && used >= hint / kHintReach) capacity = hint;
        if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
        if (!bytes_) {
            bytes_.reset(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
            if (!bytes_) throw std::bad_alloc();
            std::memcpy(PyBytes_AS_STRING(bytes_.get()), begin_, used);
        } else {
            PyObject* bytes = bytes_.release();
            // On failure the object is freed and bytes set to null.
            if (compat::resize_bytes(&bytes, static_cast<Py_ssize_t>(capacity)) < 0)
                throw std::bad_alloc();
            bytes_.reset(bytes);
        }
        begin_ = PyBytes_AS_STRING(bytes_.get());
        hashed_ = begin_;
        end_ = begin_ + capacity;
        return begin_ + used;
    }

    // The part of the hint a text must have reached to grow to it; what the hint adds to the
    // last size.
    static constexpr std::size_t kHintReach = 16;
    static constexpr std::size_t kHintSlack = 4096;

    // Ends the fresh bytes object at size within its block, as _PyBytes_Resize would after
    // the realloc: only where the layout is the interpreter's own (3.11-3.13); elsewhere
    // false, and the caller resizes.
    static bool keep_block(PyObject* bytes, Py_ssize_t size) noexcept {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(KESTRIM_PUBLIC_API_ONLY)
        Py_SET_SIZE(bytes, size);
        PyBytes_AS_STRING(bytes)[size] = '\0';
        return true;
#else
        (void)bytes;
        (void)size;
        return false;
#endif
    }

    // The size (a little over) of the last text that spilled into bytes; 0 before any has.
    // Shared by all calls and threads: a stale or torn-free relaxed value only sizes a buffer.
    static std::atomic<std::size_t>& size_hint() noexcept {
        static std::atomic<std::size_t> hint{0};
        return hint;
    }

    struct Free {
        void operator()(char* p) const noexcept { std::free(p); }
    };

    Sha256* hash_;
    Spill spill_;
    PyRef bytes_;
    char* begin_ = inline_;
    char* end_ = inline_ + kInlineBytes;
    // Where the text not yet given to the hash starts.
    char* hashed_ = inline_;
    std::unique_ptr<char, Free> heap_;
    // On a line boundary: moved by the members before it, the buffer once started part-way
    // into a line, and every small object's writes and sorted keys cost 3-9% more (measured
    // with bench/compare_builds.py, for no change in instructions).
    alignas(64) char inline_[kInlineBytes];
};

// Members (or keys) of every object being written, nested ones above their parents. One stack
// per call keeps C frames small for deep nesting and needs no allocation for small documents.
template <typename T>
class FrameStack {
public:
    FrameStack() noexcept = default;
    FrameStack(const FrameStack&) = delete;
    FrameStack& operator=(const FrameStack&) = delete;

    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) noexcept { return items_[i]; }
    // n more items, not yet set: the first of them.
    T* extend(std::size_t n) {
        if (capacity_ - size_ < n) grow(n);
        T* const first = items_ + size_;
        size_ += n;
        return first;
    }
    void truncate(std::size_t n) noexcept { size_ = n; }

private:
    void grow(std::size_t n) {
        const std::size_t capacity = std::max(2 * capacity_, size_ + n);
        std::unique_ptr<T[]> fresh(new T[capacity]);
        std::memcpy(fresh.get(), items_, size_ * sizeof(T));
        heap_ = std::move(fresh);
        items_ = heap_.get();
        capacity_ = capacity;
    }

    T* items_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = kInlineMembers;
    std::unique_ptr<T[]> heap_;
    T inline_[kInlineMembers];
};

// Pops an object's items on every way out, exceptions included.
template <typename T>
class StackFrame {
public:
    explicit StackFrame(FrameStack<T>& stack) noexcept : stack_(stack), base_(stack.size()) {}
    StackFrame(const StackFrame&) = delete;
    StackFrame& operator=(const StackFrame&) = delete;
    ~StackFrame() { stack_.truncate(base_); }
    std::size_t base() const noexcept { return base_; }
    std::size_t count() const noexcept { return stack_.size() - base_; }

private:
    FrameStack<T>& stack_;
    std::size_t base_;
};

// Bounds nesting by the interpreter's recursion limit, and by a fixed depth as well: a raised
// recursion limit must not let a deep document overflow the C stack. A level costs up to
// about 300 bytes of stack in a release build and 700 bytes under AddressSanitizer (an
// object: object() and write_members()); no document we hash comes near this depth.
constexpr int kMaxDepth = 2000;
// From this depth on, each level also asks whether the thread's stack has room for more (see
// stack_room.hpp): the few levels before it fit in any stack the interpreter can run on, and
// the usual documents, which are shallower, never pay for asking. Under AddressSanitizer from
// the first level: there the first ask, a thread-local read that the C library may meet with
// an allocation through the sanitizer's deep malloc, made sixteen of its wide levels down,
// ran off the end of a 32 KiB thread's stack.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kStackCheckDepth = 0;
#else
constexpr int kStackCheckDepth = 16;
#endif

// How deep the writer is, and where its thread's stack ends once a document is deep enough
// to ask (see stack_room.hpp). One object, so that each level's guard holds one reference.
struct Nesting {
    int depth = 0;
    std::uintptr_t stack_limit = kStackLimitNotAsked;
    // The thread state whose recursion count the levels take, asked for at the first level
    // that counts (a flat document never asks): the GIL is held throughout, so it stays.
    PyThreadState* thread = nullptr;
};

class DepthGuard {
public:
    explicit DepthGuard(Nesting& nesting) noexcept : nesting_(nesting) {}
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    bool enter() noexcept {
        if (nesting_.depth >= kMaxDepth) {
            PyErr_Format(PyExc_RecursionError,
                         "nesting deeper than %d levels while encoding canonical JSON", kMaxDepth);
            return false;
        }
        // Above the limit, the usual case, is a comparison; at or below it (or before the
        // limit is known) the check runs out of line.
        if (nesting_.depth >= kStackCheckDepth && stack_pointer() <= nesting_.stack_limit &&
            stack_refused())
            return false;
        // The outermost container takes no level of the interpreter's: the call that brought
        // us here has taken one already. That spares flat documents, the usual ones, two
        // calls into the interpreter.
        if (nesting_.depth > 0) {
            if (nesting_.thread == nullptr) nesting_.thread = PyThreadState_Get();
            if (compat::enter_python_level(nesting_.thread, " while encoding canonical JSON") != 0)
                return false;
            counted_ = true;
        }
        entered_ = true;
        ++nesting_.depth;
        return true;
    }
    ~DepthGuard() {
        if (entered_) {
            --nesting_.depth;
            if (counted_) compat::leave_python_level(nesting_.thread);
        }
    }

private:
    // Out of line, so that the writer's levels keep their small frames.
    [[gnu::noinline]] bool stack_refused() noexcept {
        if (nesting_.stack_limit == kStackLimitNotAsked)
            nesting_.stack_limit = thread_stack_limit();
        if (!stack_nearly_full(nesting_.stack_limit)) return false;
        PyErr_SetString(PyExc_RecursionError,
                        "nesting too deep for the thread's stack while encoding canonical JSON");
        return true;
    }

    Nesting& nesting_;
    bool entered_ = false;
    bool counted_ = false;
};

}  // namespace
}  // namespace kestrim
