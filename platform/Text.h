// A growable string that never throws, for code that runs inside a host's
// process: its memory comes from malloc, and an allocation that fails leaves
// the text marked failed (its contents as they were) instead of raising an
// exception. Every step that may allocate returns false when it did not
// happen, and later steps on a failed text do nothing, so a chain of appends
// can be checked once, at its end, through failed().
//
// Copies allocate, so there is no copy constructor: assign() copies and says
// whether it could. Moves never allocate.
#ifndef PCX_PLATFORM_TEXT_H
#define PCX_PLATFORM_TEXT_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace pcx {

template <typename Char>
class BasicText {
public:
    BasicText() = default;
    ~BasicText() { std::free(data_); }
    BasicText(const BasicText&) = delete;
    BasicText& operator=(const BasicText&) = delete;
    BasicText(BasicText&& other) noexcept
        : data_(other.data_),
          size_(other.size_),
          capacity_(other.capacity_),
          failed_(other.failed_) {
        other.release();
    }
    BasicText& operator=(BasicText&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = other.data_;
            size_ = other.size_;
            capacity_ = other.capacity_;
            failed_ = other.failed_;
            other.release();
        }
        return *this;
    }

    // A text holding count characters from chars; failed() when it could not.
    static BasicText of(const Char* chars, size_t count) {
        BasicText text;
        text.append(chars, count);
        return text;
    }
    static BasicText of(const Char* chars) { return of(chars, lengthOf(chars)); }
    // A text that is failed(), for a function that has none to give.
    static BasicText failure() {
        BasicText text;
        text.failed_ = true;
        return text;
    }

    // Replaces the contents, forgetting an earlier failure; false (and
    // failed) when the memory could not be had.
    bool assign(const Char* chars, size_t count) {
        clear();
        return append(chars, count);
    }
    bool assign(const BasicText& other) {
        if (other.failed_) {
            failed_ = true;
            return false;
        }
        return assign(other.data(), other.size_);
    }

    bool append(const Char* chars, size_t count) {
        if (!reserve(size_ + count)) return false;
        if (count > 0) std::memmove(data_ + size_, chars, count * sizeof(Char));
        size_ += count;
        data_[size_] = Char();
        return true;
    }
    bool append(const Char* chars) { return append(chars, lengthOf(chars)); }
    bool append(const BasicText& other) {
        if (other.failed_) failed_ = true;
        return !failed_ && append(other.data(), other.size_);
    }
    bool append(Char c) { return append(&c, 1); }
    // Room for count characters and the terminating zero.
    bool reserve(size_t count) {
        if (failed_) return false;
        if (count < capacity_) return true;
        // Doubling keeps a long run of appends linear; the bound keeps the
        // byte count from wrapping.
        if (count >= SIZE_MAX / sizeof(Char) / 2) return fail();
        size_t capacity = capacity_ < 16 ? 16 : capacity_;
        while (capacity <= count) capacity *= 2;
        Char* grown = static_cast<Char*>(std::realloc(data_, capacity * sizeof(Char)));
        if (grown == nullptr) return fail();
        data_ = grown;
        capacity_ = capacity;
        return true;
    }

    // Makes the text count characters long, for a caller that fills data()
    // itself: characters past the old end are zero.
    bool resize(size_t count) {
        if (count <= size_) {
            truncate(count);
            return !failed_;
        }
        if (!reserve(count)) return false;
        std::memset(data_ + size_, 0, (count - size_ + 1) * sizeof(Char));
        size_ = count;
        return true;
    }

    // Keeps the first count characters (count at most size()).
    void truncate(size_t count) {
        if (count < size_) {
            size_ = count;
            data_[size_] = Char();
        }
    }
    // Empties the text and forgets an earlier failure: it starts over.
    void clear() {
        truncate(0);
        failed_ = false;
    }

    // Never null: an empty text with no memory yet is the empty string.
    const Char* c_str() const { return data_ ? data_ : emptyText(); }
    const Char* data() const { return c_str(); }
    Char* data() { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    Char operator[](size_t index) const { return data_[index]; }
    Char& operator[](size_t index) { return data_[index]; }
    Char back() const { return data_[size_ - 1]; }
    // True once an allocation failed; the contents are then incomplete.
    bool failed() const { return failed_; }
    std::basic_string_view<Char> view() const { return {c_str(), size_}; }

    static constexpr size_t lengthOf(const Char* chars) {
        size_t length = 0;
        while (chars[length] != Char()) ++length;
        return length;
    }

private:
    static const Char* emptyText() {
        static const Char empty[1] = {};
        return empty;
    }
    bool fail() {
        failed_ = true;
        return false;
    }
    void release() {
        data_ = nullptr;
        size_ = capacity_ = 0;
        failed_ = false;
    }

    Char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool failed_ = false;
};

using Text = BasicText<char>;

}  // namespace pcx

#endif  // PCX_PLATFORM_TEXT_H
