// A bounded ring (double-ended queue with a maximum length): appending to a full ring drops the
// oldest element. Storage grows on demand up to the capacity, so a ring with a large capacity that
// holds few elements stays small.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace tally {

template <typename T> class Ring {
public:
    explicit Ring(size_t capacity = 0) : cap_(capacity) {}

    size_t capacity() const { return cap_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // i = 0 is the oldest element.
    const T &operator[](size_t i) const { return buf_[wrap(head_ + i)]; }

    void push_back(T value) {
        if (cap_ == 0)
            return;
        if (size_ == cap_) {  // full: overwrite the oldest
            buf_[head_] = std::move(value);
            head_ = wrap(head_ + 1);
            return;
        }
        if (size_ == buf_.size())
            grow();
        buf_[wrap(head_ + size_)] = std::move(value);
        ++size_;
    }

    void clear() {
        std::vector<T>().swap(buf_);
        head_ = size_ = 0;
    }

private:
    std::vector<T> buf_;
    size_t head_ = 0, size_ = 0, cap_;

    // i < 2 * buf_.size()
    size_t wrap(size_t i) const { return i >= buf_.size() ? i - buf_.size() : i; }

    void grow() {
        size_t n = buf_.empty() ? 8 : buf_.size() * 2;
        if (n > cap_)
            n = cap_;
        std::vector<T> next;
        next.reserve(n);
        for (size_t i = 0; i < size_; ++i)
            next.push_back(std::move(buf_[(head_ + i) % buf_.size()]));
        next.resize(n);
        buf_.swap(next);
        head_ = 0;
    }
};

}  // namespace tally
