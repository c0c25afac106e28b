// The module's own patterns, in the order their substitutions run:
//
//   connect  zelto_ct_[A-Za-z0-9_-]+
//   tc       tc_[A-Za-z0-9_-]{8,}
//   cs       cs_[A-Za-z0-9_-]{8,}
//   bearer   Bearer\s+[A-Za-z0-9._~+/=-]+      (ignoring case)
//
// Each substitution replaces the leftmost matches, without overlap, in the
// text the previous one left. No pattern matches a character of the marker,
// and '<' and '>' end every run of a pattern, so a later pattern sees the text
// between two earlier matches as a piece of its own, cut off where the next
// earlier match began. Matching each pattern only within the gaps that the
// earlier ones leave therefore gives the sequential result exactly, in one
// pass, also where an earlier token swallowed the start of a later one or cut
// a later one short.
//
// Ignoring case, the regular-expression engine compares characters by their
// simple lower case and adds the letters that fold together with an ASCII
// letter, so the bearer token class also holds U+0130, U+0131, U+017F and
// U+212A; no character but the ASCII letters themselves folds to a letter of
// "bearer". \s is Unicode whitespace.
#include "zelto_cloud/redaction/token_match.hpp"

#include "zelto_cloud/redaction/prefix_scan.hpp"

#include <algorithm>
#include <memory>
#include <string_view>

namespace zelto::redaction {
namespace {

constexpr size_t marker_length = sizeof(marker_text) - 1;

using AsciiSet = std::array<bool, 128>;

constexpr AsciiSet ascii_set(std::string_view members, std::string_view more = "") {
    AsciiSet set{};
    for (std::string_view part : {members, more}) {
        for (char c : part) {
            set[(unsigned char)c] = true;
        }
    }
    return set;
}

constexpr std::string_view letters_and_digits =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// [A-Za-z0-9_-]
struct WordChar {
    static constexpr AsciiSet ascii = ascii_set(letters_and_digits, "_-");
    bool operator()(Py_UCS4 c) const { return c < 128 && ascii[c]; }
};

// [A-Za-z0-9._~+/=-], ignoring case.
struct BearerChar {
    static constexpr AsciiSet ascii = ascii_set(letters_and_digits, "._~+/=-");
    bool operator()(Py_UCS4 c) const {
        if (c < 128) {
            return ascii[c];
        }
        return c == 0x130 || c == 0x131 || c == 0x17F || c == 0x212A;
    }
};

// \s
struct Whitespace {
    static constexpr AsciiSet ascii = ascii_set("\t\n\v\f\r\x1c\x1d\x1e\x1f ");
    bool operator()(Py_UCS4 c) const {
        if (c < 128) {
            return ascii[c];
        }
        return c == 0x85 || c == 0xA0 || c == 0x1680 || (0x2000 <= c && c <= 0x200A) ||
               c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
    }
};

constexpr size_t prefix_length(Token token) {
    switch (token) {
    case Token::connect:
        return 9; // zelto_ct_
    case Token::tc:
    case Token::cs:
        return 3;
    case Token::bearer:
        return 6;
    }
    return 0;
}

// A matched token: characters [start, end) of the text.
struct Span {
    size_t start;
    size_t end;
};
using Spans = ShortList<Span>;

template <typename Char>
class TokenMatcher {
public:
    TokenMatcher(const Char* text, size_t length, const Anchors& anchors)
        : text_(text), length_(length), anchors_(anchors) {}

    void run() { match_within(0, 0, length_); }
    const Spans& spans() const { return spans_; }
    // Whether a removed token held a character beyond ASCII (only a bearer
    // token can): the result may then need a narrower kind than the text.
    bool removed_non_ascii() const { return removed_non_ascii_; }

private:
    // Matches pattern `token` within [from, to), and the later patterns in
    // the gaps that its matches leave.
    void match_within(unsigned token, size_t from, size_t to) {
        if (token == token_count) {
            return;
        }
        size_t at = from;
        size_t& next = cursors_[token];
        for (; next < anchors_.size() && anchors_[next].start < to; ++next) {
            const Anchor& anchor = anchors_[next];
            if (unsigned(anchor.token) != token || anchor.start < at) {
                continue;
            }
            size_t end = match_end(anchor, to);
            if (end == 0) {
                continue;
            }
            match_within(token + 1, at, anchor.start);
            spans_.push({anchor.start, end});
            at = end;
        }
        match_within(token + 1, at, to);
    }

    // Where the match that starts at the anchor ends, the text ending at
    // `to`; 0 when there is none.
    size_t match_end(const Anchor& anchor, size_t to) {
        size_t body = anchor.start + prefix_length(anchor.token);
        if (body > to) {
            return 0;
        }
        switch (anchor.token) {
        case Token::connect:
            return run_of_at_least(body, to, 1, WordChar{});
        case Token::tc:
        case Token::cs:
            return run_of_at_least(body, to, 8, WordChar{});
        case Token::bearer:
            return bearer_end(body, to);
        }
        return 0;
    }

    size_t bearer_end(size_t body, size_t to) {
        size_t token = run_end(body, to, Whitespace{});
        size_t end = token > body ? run_end(token, to, BearerChar{}) : token;
        if (end == token) {
            return 0;
        }
        for (size_t i = body; i < end; ++i) {
            removed_non_ascii_ |= text_[i] >= 128;
        }
        return end;
    }

    template <typename Member>
    size_t run_end(size_t at, size_t to, Member member) const {
        while (at < to && member(text_[at])) {
            ++at;
        }
        return at;
    }

    template <typename Member>
    size_t run_of_at_least(size_t at, size_t to, size_t shortest, Member member) const {
        size_t end = run_end(at, to, member);
        return end - at >= shortest ? end : 0;
    }

    const Char* text_;
    size_t length_;
    const Anchors& anchors_;
    std::array<size_t, token_count> cursors_{};
    Spans spans_;
    bool removed_non_ascii_ = false;
};

// The text with each span replaced by the marker, written to `out`.
template <typename Char>
void write_redacted(const Char* text, size_t length, const Spans& spans, Char* out) {
    size_t at = 0;
    for (size_t i = 0; i < spans.size(); ++i) {
        const Span& span = spans[i];
        out = std::copy(text + at, text + span.start, out);
        out = std::copy(marker_text, marker_text + marker_length, out);
        at = span.end;
    }
    std::copy(text + at, text + length, out);
}

template <typename Char>
Ref redacted_text(Handle text, const Char* chars, size_t length, const Spans& spans,
                  bool narrower) {
    size_t removed = 0;
    for (size_t i = 0; i < spans.size(); ++i) {
        removed += spans[i].end - spans[i].start;
    }
    size_t result_length = length - removed + spans.size() * marker_length;
    if (!narrower) {
        // Every character beyond ASCII stays, so the text's kind is the result's.
        Ref result =
            Ref::steal(PyUnicode_New((Py_ssize_t)result_length, PyUnicode_MAX_CHAR_VALUE(text)));
        write_redacted(chars, length, spans, static_cast<Char*>(PyUnicode_DATA(result.get())));
        return result;
    }
    std::unique_ptr<Char[]> buffer(new Char[result_length]);
    write_redacted(chars, length, spans, buffer.get());
    return Ref::steal(
        PyUnicode_FromKindAndData(int(sizeof(Char)), buffer.get(), (Py_ssize_t)result_length));
}

// text[:]: the same object for an exact str, as the substitutions give back.
Ref unchanged(Handle text) {
    return Ref::steal(PyUnicode_Substring(text, 0, PyUnicode_GET_LENGTH(text)));
}

template <typename Char>
Ref redact_tokens(Handle text, const Char* chars, size_t length) {
    Anchors anchors;
    find_anchors(chars, length, anchors);
    if (anchors.empty()) {
        return unchanged(text);
    }
    TokenMatcher<Char> matcher(chars, length, anchors);
    matcher.run();
    if (matcher.spans().empty()) {
        return unchanged(text);
    }
    bool narrower = matcher.removed_non_ascii() && !PyUnicode_IS_ASCII(text);
    return redacted_text(text, chars, length, matcher.spans(), narrower);
}

} // namespace

Ref redact_own_tokens(PyObject* text) {
    const void* data = PyUnicode_DATA(text);
    size_t length = (size_t)PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return redact_tokens(text, static_cast<const Py_UCS1*>(data), length);
    case PyUnicode_2BYTE_KIND:
        return redact_tokens(text, static_cast<const Py_UCS2*>(data), length);
    default:
        return redact_tokens(text, static_cast<const Py_UCS4*>(data), length);
    }
}

} // namespace zelto::redaction
