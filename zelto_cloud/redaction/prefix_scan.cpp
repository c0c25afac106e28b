// The prefix search runs over blocks of 32 bytes (AVX2, chosen at run time)
// or 16 bytes, for text of 1, 2 and 4 bytes per character alike. Each window
// of the block is tested on two of its characters at once: '_' two places
// after a 't' or a 'c' ("tc_", "cs_", and "ct_" that ends "zelto_ct_"), or a
// 'b' and an 'r' five places on, in any case ("bearer"). Ordinary text rarely
// has such a window, so nearly every block costs a handful of vector
// operations; the few windows that pass are then checked in full.
#include "zelto_cloud/redaction/prefix_scan.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <algorithm>
#include <string_view>

namespace zelto::redaction {
namespace {

// True for c when it is the ASCII letter `lower` in either case: setting
// bit 5 maps 'A'..'Z' onto 'a'..'z', and no other character onto a letter
// of "bearer".
template <typename Char>
bool folds_to(Char c, char lower) {
    return Char(c | 0x20) == Char(lower);
}

template <typename Char>
bool equals(const Char* text, std::string_view word) {
    for (size_t i = 0; i < word.size(); ++i) {
        if (text[i] != Char(word[i])) {
            return false;
        }
    }
    return true;
}

template <typename Char>
bool equals_folded(const Char* text, std::string_view lower_word) {
    for (size_t i = 0; i < lower_word.size(); ++i) {
        if (!folds_to(text[i], lower_word[i])) {
            return false;
        }
    }
    return true;
}

// Records the prefix that the window at `at` begins (or, for "zelto_ct_",
// ends), if it is one.
template <typename Char>
void add_anchor(const Char* text, size_t length, size_t at, Anchors& anchors) {
    const Char* window = text + at;
    if (window[2] == '_') {
        if (equals(window, "tc")) {
            anchors.push({at, Token::tc});
        } else if (equals(window, "cs")) {
            anchors.push({at, Token::cs});
        } else if (equals(window, "ct") && at >= 6 && equals(window - 6, "zelto_")) {
            anchors.push({at - 6, Token::connect});
        }
    } else if (length - at >= 6 && equals_folded(window, "bearer")) {
        anchors.push({at, Token::bearer});
    }
}

// One bit per byte of a comparison result: its lanes are all ones or all zeros.
template <typename Mask>
[[gnu::always_inline]] inline unsigned lane_bits(const Mask& mask) {
    unsigned bits = 0;
    for (size_t part = 0; part < sizeof(Mask) / 16; ++part) {
#if defined(__SSE2__)
        __m128i chunk;
        std::memcpy(&chunk, reinterpret_cast<const char*>(&mask) + 16 * part, 16);
        bits |= unsigned(_mm_movemask_epi8(chunk)) << (16 * part);
#else
        unsigned char bytes[16];
        std::memcpy(bytes, reinterpret_cast<const char*>(&mask) + 16 * part, 16);
        for (unsigned i = 0; i < 16; ++i) {
            bits |= unsigned(bytes[i] >> 7) << (16 * part + i);
        }
#endif
    }
    return bits;
}

// Checks in full the windows whose bits are set, the block starting at `at`.
template <typename Char>
[[gnu::noinline]] void add_anchors_in_block(const Char* text, size_t length, size_t at,
                                            unsigned bits, Anchors& anchors) {
    // A window's lane sets one bit per byte of its character: keep the first.
    constexpr unsigned first_bits = sizeof(Char) == 1   ? ~0u
                                    : sizeof(Char) == 2 ? 0x55555555u
                                                        : 0x11111111u;
    for (bits &= first_bits; bits; bits &= bits - 1) {
        add_anchor(text, length, at + unsigned(__builtin_ctz(bits)) / sizeof(Char), anchors);
    }
}

template <typename Char, size_t Bytes>
struct Block {
    typedef Char Chars __attribute__((vector_size(Bytes)));
    static constexpr size_t width = Bytes / sizeof(Char);

    // An out-parameter: a 32-byte vector returned by value would change the
    // ABI of a function built without AVX.
    static void load(Chars& chars, const Char* text) { std::memcpy(&chars, text, Bytes); }
};

// The windows of one block that may begin a prefix, one bit per byte.
template <typename Char, size_t Bytes>
[[gnu::always_inline]] inline unsigned block_bits(const Char* block) {
    using B = Block<Char, Bytes>;
    typename B::Chars first, third, sixth;
    B::load(first, block);
    B::load(third, block + 2);
    B::load(sixth, block + 5);
    auto joined = (third == '_') & ((first == 't') | (first == 'c'));
    auto bearer = ((first | 0x20) == 'b') & ((sixth | 0x20) == 'r');
    return lane_bits(joined | bearer);
}

// Scans the text from `at` on in blocks, while a block's windows have their
// six characters inside the text: whole blocks, then one last block that
// ends with the text and overlaps the windows already scanned. Returns where
// the blocks stopped: from there on, fewer than six characters remain.
template <typename Char, size_t Bytes>
[[gnu::always_inline]] inline size_t scan_blocks(const Char* text, size_t at, size_t length,
                                                 Anchors& anchors) {
    constexpr size_t width = Block<Char, Bytes>::width;
    if (length < width + 5) {
        return at;
    }
    for (; at + width + 5 <= length; at += width) {
        if (unsigned bits = block_bits<Char, Bytes>(text + at)) [[unlikely]] {
            add_anchors_in_block(text, length, at, bits, anchors);
        }
    }
    size_t last = length - width - 5;
    if (at - last < width) {
        unsigned seen = unsigned((1ull << ((at - last) * sizeof(Char))) - 1);
        if (unsigned bits = block_bits<Char, Bytes>(text + last) & ~seen) [[unlikely]] {
            add_anchors_in_block(text, length, last, bits, anchors);
        }
    }
    return last + width;
}

template <typename Char>
size_t scan_blocks_16(const Char* text, size_t length, Anchors& anchors) {
    return scan_blocks<Char, 16>(text, 0, length, anchors);
}

#if defined(__x86_64__)
template <typename Char>
[[gnu::target("avx2")]] size_t scan_blocks_32(const Char* text, size_t length, Anchors& anchors) {
    if (length < Block<Char, 32>::width + 5) {
        return scan_blocks<Char, 16>(text, 0, length, anchors);
    }
    return scan_blocks<Char, 32>(text, 0, length, anchors);
}

bool has_avx2() {
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return supported;
}

// Text of 2 or 4 bytes per character is first narrowed to one byte per
// character, a chunk at a time, and the chunk is scanned as 1-byte text:
// packing takes fewer vector operations than testing wide characters, so the
// scan of wide text costs about what the scan of the same number of
// characters of 1-byte text does. Every character above 255 becomes 0 or 255
// (saturation), which no prefix contains, so the narrowed text has exactly
// the anchors of the original, at the same places.
template <typename Char>
[[gnu::target("avx2")]] void narrow(const Char* text, size_t count, unsigned char* out) {
    size_t i = 0;
    if constexpr (sizeof(Char) == 4) {
        const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
        for (; i + 32 <= count; i += 32) {
            const __m256i* in = reinterpret_cast<const __m256i*>(text + i);
            __m256i low = _mm256_packus_epi32(_mm256_loadu_si256(in), _mm256_loadu_si256(in + 1));
            __m256i high =
                _mm256_packus_epi32(_mm256_loadu_si256(in + 2), _mm256_loadu_si256(in + 3));
            __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(low, high), order);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), bytes);
        }
    } else {
        for (; i + 32 <= count; i += 32) {
            const __m256i* in = reinterpret_cast<const __m256i*>(text + i);
            __m256i bytes = _mm256_packus_epi16(_mm256_loadu_si256(in), _mm256_loadu_si256(in + 1));
            bytes = _mm256_permute4x64_epi64(bytes, 0xD8); // lanes 0, 2, 1, 3
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), bytes);
        }
    }
    for (; i < count; ++i) {
        out[i] = text[i] > 0xFF ? 0 : (unsigned char)text[i];
    }
}

template <typename Char>
[[gnu::target("avx2")]] void find_anchors_narrowed(const Char* text, size_t length,
                                                   Anchors& anchors) {
    // A chunk's windows start in [start, start + chunk); its buffer also holds
    // the 6 characters before ("zelto_" ends just before "ct_") and the 5
    // after (a window's last character).
    constexpr size_t chunk = 4096, behind = 6, ahead = 5;
    unsigned char buffer[behind + chunk + ahead];
    for (size_t start = 0; start < length; start += chunk) {
        size_t from = start < behind ? 0 : start - behind;
        size_t to = std::min(length, start + chunk + ahead);
        size_t own = start - from;
        narrow(text + from, to - from, buffer);
        Anchors found;
        size_t at = scan_blocks<unsigned char, 32>(buffer, own, to - from, found);
        for (; at + 2 < to - from; ++at) {
            add_anchor(buffer, to - from, at, found);
        }
        for (size_t i = 0; i < found.size(); ++i) {
            Anchor anchor = found[i];
            size_t window = anchor.start + (anchor.token == Token::connect ? 6 : 0);
            if (window >= own && window < own + chunk) {
                anchors.push({from + anchor.start, anchor.token});
            }
        }
    }
}
#endif

} // namespace

template <typename Char>
void find_anchors(const Char* text, size_t length, Anchors& anchors) {
#if defined(__x86_64__)
    if (sizeof(Char) > 1 && has_avx2()) {
        find_anchors_narrowed(text, length, anchors);
        return;
    }
    size_t at =
        has_avx2() ? scan_blocks_32(text, length, anchors) : scan_blocks_16(text, length, anchors);
#else
    size_t at = scan_blocks_16(text, length, anchors);
#endif
    for (; at + 2 < length; ++at) {
        add_anchor(text, length, at, anchors);
    }
}

template void find_anchors<Py_UCS1>(const Py_UCS1*, size_t, Anchors&);
template void find_anchors<Py_UCS2>(const Py_UCS2*, size_t, Anchors&);
template void find_anchors<Py_UCS4>(const Py_UCS4*, size_t, Anchors&);

} // namespace zelto::redaction
