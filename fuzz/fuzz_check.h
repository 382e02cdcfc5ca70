// fuzz_check.h -- what the fuzz targets share: a check that stops the run
// (libFuzzer then keeps the input as a crash) and a reader that cuts the
// input into pieces.
#ifndef FUZZ_FUZZ_CHECK_H
#define FUZZ_FUZZ_CHECK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace fuzz {

// Takes bytes from the front of the input; past the end every read gives 0
// or the empty string.
class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size)
        : data_(reinterpret_cast<const char*>(data)), size_(size) {}

    std::uint8_t byte() { return pos_ < size_ ? static_cast<std::uint8_t>(data_[pos_++]) : 0; }
    // Up to the next `sep` byte (consumed, not returned) or the end.
    std::string until(char sep) {
        std::string out;
        while (pos_ < size_ && data_[pos_] != sep) out += data_[pos_++];
        if (pos_ < size_) ++pos_;
        return out;
    }
    std::string rest() {
        std::string out(data_ + pos_, size_ - pos_);
        pos_ = size_;
        return out;
    }
    bool empty() const { return pos_ >= size_; }

  private:
    const char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace fuzz

#endif  // FUZZ_FUZZ_CHECK_H
