// Finding where a token can start: every match of the module's own four
// patterns begins with "zelto_ct_", "tc_", "cs_" or "bearer" in any case, so
// the text is searched for those prefixes alone, many characters at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelto::redaction {

// The four token patterns, in the order their substitutions run.
enum class Token : std::uint8_t { connect, tc, cs, bearer };
inline constexpr unsigned token_count = 4;

// A place where a token's whole prefix stands.
struct Anchor {
    size_t start;
    Token token;
};

// An append-only list that stays inline while short: most texts hold few
// tokens, and a heap allocation would cost more than matching them.
template <typename T, size_t Inline = 16>
class ShortList {
public:
    void push(const T& item) {
        if (size_ < Inline) {
            inline_[size_] = item;
        } else {
            if (spill_.empty()) {
                spill_.assign(inline_.begin(), inline_.end());
            }
            spill_.push_back(item);
        }
        ++size_;
    }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T& operator[](size_t index) const {
        return size_ <= Inline ? inline_[index] : spill_[index];
    }

private:
    std::array<T, Inline> inline_;
    size_t size_ = 0;
    std::vector<T> spill_;
};

using Anchors = ShortList<Anchor>;

// Appends, in order of position, every place where a token prefix stands.
template <typename Char>
void find_anchors(const Char* text, size_t length, Anchors& anchors);

} // namespace zelto::redaction
