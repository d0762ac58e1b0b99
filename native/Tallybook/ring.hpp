// A bounded ring (double-ended queue with a maximum length): appending to a full ring drops the
// oldest element, which is handed back to the caller (so that releasing it, which may run Python
// code, can wait until the caller's state is consistent). Storage grows on demand up to the
// capacity, so a ring with a large capacity that holds few elements stays small.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace tally {

template <typename T> class Ring {
public:
    explicit Ring(size_t capacity = 0) : cap_(capacity > UINT32_MAX ? UINT32_MAX : capacity) {}
    Ring(Ring &&o) noexcept
        : buf_(std::move(o.buf_)), cap_(o.cap_), head_(o.head_), size_(o.size_), bufcap_(o.bufcap_) {
        o.head_ = o.size_ = o.bufcap_ = 0;
    }
    Ring &operator=(Ring &&o) noexcept {
        buf_ = std::move(o.buf_);
        cap_ = o.cap_;
        head_ = o.head_;
        size_ = o.size_;
        bufcap_ = o.bufcap_;
        o.head_ = o.size_ = o.bufcap_ = 0;
        return *this;
    }

    size_t capacity() const { return cap_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    bool full() const { return size_ == cap_; }

    // i = 0 is the oldest element.
    const T &operator[](size_t i) const { return buf_[wrap(head_ + i)]; }
    const T &back() const { return (*this)[size_ - 1]; }

    // Appends `value`; returns the element it pushed out (an empty T when none).
    T push_back(T value) {
        if (cap_ == 0)
            return value;
        if (size_ == cap_) {  // full: overwrite the oldest
            T out = std::exchange(buf_[head_], std::move(value));
            head_ = wrap(head_ + 1);
            return out;
        }
        if (size_ == bufcap_)
            grow();
        buf_[wrap(head_ + size_)] = std::move(value);
        ++size_;
        return T();
    }

    // Moves every element out (oldest first) into `out`, leaving the ring empty.
    template <typename Out> void drain_into(Out &out) {
        for (size_t i = 0; i < size_; ++i)
            out.push_back(std::move(buf_[wrap(head_ + i)]));
        buf_.reset();
        head_ = size_ = bufcap_ = 0;
    }

private:
    std::unique_ptr<T[]> buf_;
    size_t cap_;
    uint32_t head_ = 0, size_ = 0, bufcap_ = 0;

    // i < 2 * bufcap_
    size_t wrap(size_t i) const { return i >= bufcap_ ? i - bufcap_ : i; }

    void grow() {
        size_t n = bufcap_ == 0 ? 1 : size_t{bufcap_} * 2;
        if (n > cap_)
            n = cap_;
        if (n > UINT32_MAX)
            n = UINT32_MAX;
        std::unique_ptr<T[]> next(new T[n]);
        for (size_t i = 0; i < size_; ++i)
            next[i] = std::move(buf_[wrap(head_ + i)]);
        buf_ = std::move(next);
        bufcap_ = static_cast<uint32_t>(n);
        head_ = 0;
    }
};

}  // namespace tally
