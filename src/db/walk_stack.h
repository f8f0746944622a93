#pragma once
// A LIFO stack for walking the multiplexing tree without recursion. The first kInline entries live
// inside the object (on the caller's stack), so walks of ordinary messages allocate nothing; deeper
// trees spill into a heap vector, so a chain of any depth costs heap, never call stack.

#include <cstddef>
#include <vector>

namespace loglathe {

template <typename T, std::size_t kInline = 16> class WalkStack {
public:
    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }

    void push(const T& item) {
        if (size_ < kInline)
            inline_[size_] = item;
        else
            spill_.push_back(item);
        ++size_;
    }

    T& top() { return size_ <= kInline ? inline_[size_ - 1] : spill_.back(); }

    void pop() {
        if (size_ > kInline)
            spill_.pop_back();
        --size_;
    }

private:
    T inline_[kInline]{};
    std::vector<T> spill_;
    std::size_t size_ = 0;
};

} // namespace loglathe
