// The inline parser: a single forward scan over one block's text. At each byte that can open a construct
// the matching closer is searched for; found, the construct becomes a node (its content parsed by a fresh
// parser over the content slice); not found, the byte is ordinary text. Text between constructs is gathered
// into Text nodes, so the top-level spans tile the text without gap or overlap.
#include "quillet/inline_parser.hpp"

#include <array>
#include <cstring>

namespace quillet {

namespace {

// A closer search stops at the first suitable closer, so a construct never directly holds one of its own
// kind and nesting cannot go deeper than three (`**~~*a*~~**`). This guard therefore never changes the
// output; it only bounds the recursion should that reasoning ever be broken by a change.
constexpr int kMaxInlineDepth = 8;

constexpr size_t kNone = static_cast<size_t>(-1);

constexpr std::array<bool, 256> make_opener_table() {
    std::array<bool, 256> table{};
    table[static_cast<unsigned char>('*')] = true;
    table[static_cast<unsigned char>('`')] = true;
    table[static_cast<unsigned char>('[')] = true;
    table[static_cast<unsigned char>('~')] = true;
    table[static_cast<unsigned char>('<')] = true;
    return table;
}
constexpr std::array<bool, 256> kOpener = make_opener_table();

class InlineParser {
public:
    InlineParser(std::string_view text, uint32_t base, int depth)
        : t_(text), n_(text.size()), base_(base), depth_(depth) {}

    Inlines parse();

private:
    struct Match {
        Inline node;
        size_t end = 0;  // index just past the construct
    };

    bool is(size_t i, char c) const { return i < n_ && t_[i] == c; }
    Span span(size_t from, size_t to) const {
        return Span{static_cast<uint32_t>(base_ + from), static_cast<uint32_t>(base_ + to)};
    }
    // Index of the first byte c at or after `from`, or kNone.
    size_t find(char c, size_t from) const {
        if (from >= n_) return kNone;
        const void* hit = std::memchr(t_.data() + from, c, n_ - from);
        return hit ? static_cast<size_t>(static_cast<const char*>(hit) - t_.data()) : kNone;
    }
    size_t next_opener(size_t from) const {
        for (size_t i = from; i < n_; ++i) {
            if (kOpener[static_cast<unsigned char>(t_[i])]) return i;
        }
        return kNone;
    }

    // Closer searches, one per construct; each returns the index of the closer or kNone.
    size_t find_code_span_close(size_t p) const { return find('`', p + 1); }
    size_t find_double_close(char c, size_t content_start) const;
    size_t find_emphasis_close(size_t content_start) const;
    size_t find_link_close(size_t content_start) const;
    size_t find_footnote_close(size_t p) const { return find(']', p + 2); }
    size_t find_autolink_close(size_t p) const { return find('>', p + 1); }

    bool recognise(size_t p, Match& m) const;
    bool code_span(size_t p, Match& m) const;
    bool paired(size_t p, size_t delim_len, size_t close, InlineKind kind, Match& m) const;
    bool strong(size_t p, Match& m) const;
    bool emphasis(size_t p, Match& m) const;
    bool strikethrough(size_t p, Match& m) const;
    bool footnote_ref(size_t p, Match& m) const;
    bool link(size_t p, Match& m) const;
    bool autolink(size_t p, Match& m) const;

    std::string_view t_;
    size_t n_;
    uint32_t base_;
    int depth_;
};

Inlines InlineParser::parse() {
    Inlines out;
    size_t s = 0;
    size_t pos = 0;
    while (pos < n_) {
        const size_t p = next_opener(pos);
        if (p == kNone) break;
        Match m;
        if (!recognise(p, m)) {
            // The opener stays inside the pending text run.
            pos = p + 1;
            continue;
        }
        if (s < p) out.push_back(Inline{InlineKind::Text, span(s, p), t_.substr(s, p - s), {}, {}});
        out.push_back(std::move(m.node));
        pos = s = m.end;
    }
    if (s < n_) out.push_back(Inline{InlineKind::Text, span(s, n_), t_.substr(s), {}, {}});
    return out;
}

bool InlineParser::recognise(size_t p, Match& m) const {
    switch (t_[p]) {
        case '`':
            return code_span(p, m);
        case '*':
            if (p + 1 == n_ || t_[p + 1] == ' ') return false;
            // When strong declines, emphasis is not tried at the same byte.
            if (t_[p + 1] == '*') return strong(p, m);
            return emphasis(p, m);
        case '~':
            return strikethrough(p, m);
        case '[':
            if (is(p + 1, '^')) return footnote_ref(p, m);
            if (is(p + 1, '[')) return link(p, m);
            return false;
        case '<':
            return autolink(p, m);
        default:
            return false;
    }
}

bool InlineParser::code_span(size_t p, Match& m) const {
    const size_t k = find_code_span_close(p);
    if (k == kNone) return false;
    m.node = Inline{InlineKind::CodeSpan, span(p, k + 1), t_.substr(p + 1, k - p - 1), {}, {}};
    m.end = k + 1;
    return true;
}

// The first c at k >= content_start with another c after it, k > content_start, and no space before it.
size_t InlineParser::find_double_close(char c, size_t content_start) const {
    for (size_t k = find(c, content_start); k != kNone; k = find(c, k + 1)) {
        if (k + 1 < n_ && t_[k + 1] == c && k > content_start && t_[k - 1] != ' ') return k;
    }
    return kNone;
}

// The first single "*" with no space before it; pairs "**" are passed over whole.
size_t InlineParser::find_emphasis_close(size_t content_start) const {
    size_t k = find('*', content_start);
    while (k != kNone) {
        if (k + 1 < n_ && t_[k + 1] == '*') {
            k = find('*', k + 2);
        } else if (t_[k - 1] == ' ') {
            k = find('*', k + 1);
        } else {
            return k;
        }
    }
    return kNone;
}

// Emphasis, strong and strikethrough: the content between the delimiters is parsed by a nested parser.
bool InlineParser::paired(size_t p, size_t delim_len, size_t close, InlineKind kind, Match& m) const {
    if (close == kNone || depth_ >= kMaxInlineDepth) return false;
    const size_t c = p + delim_len;
    Inline node{kind, span(p, close + delim_len), {}, {}, {}};
    node.children = InlineParser(t_.substr(c, close - c), static_cast<uint32_t>(base_ + c), depth_ + 1).parse();
    m.node = std::move(node);
    m.end = close + delim_len;
    return true;
}

bool InlineParser::strong(size_t p, Match& m) const {
    if (!(p + 2 < n_) || t_[p + 2] == ' ') return false;
    return paired(p, 2, find_double_close('*', p + 2), InlineKind::Strong, m);
}

bool InlineParser::emphasis(size_t p, Match& m) const {
    return paired(p, 1, find_emphasis_close(p + 1), InlineKind::Emphasis, m);
}

bool InlineParser::strikethrough(size_t p, Match& m) const {
    // A single tilde is always text.
    if (!is(p + 1, '~') || !(p + 2 < n_) || t_[p + 2] == ' ') return false;
    return paired(p, 2, find_double_close('~', p + 2), InlineKind::Strikethrough, m);
}

bool InlineParser::footnote_ref(size_t p, Match& m) const {
    const size_t k = find_footnote_close(p);
    if (k == kNone) return false;
    m.node = Inline{InlineKind::FootnoteRef, span(p, k + 1), t_.substr(p + 2, k - p - 2), {}, {}};
    m.end = k + 1;
    return true;
}

// The first "]" that is followed by another "]".
size_t InlineParser::find_link_close(size_t content_start) const {
    for (size_t k = find(']', content_start); k != kNone; k = find(']', k + 1)) {
        if (k + 1 < n_ && t_[k + 1] == ']') return k;
    }
    return kNone;
}

// [[label|url]] or [[target]]; the label is not parsed and is always one Text node, even when empty.
bool InlineParser::link(size_t p, Match& m) const {
    const size_t c = p + 2;
    const size_t k = find_link_close(c);
    if (k == kNone) return false;
    const std::string_view content = t_.substr(c, k - c);
    const size_t bar = content.find('|');
    const std::string_view label = bar == std::string_view::npos ? content : content.substr(0, bar);
    const std::string_view url = bar == std::string_view::npos ? content : content.substr(bar + 1);
    Inline node{InlineKind::Link, span(p, k + 2), url, std::nullopt, {}};
    node.children.push_back(Inline{InlineKind::Text, span(c, c + label.size()), label, {}, {}});
    m.node = std::move(node);
    m.end = k + 2;
    return true;
}

// <url>: up to the first ">", holding "://" or beginning with "mailto:", and no space or line feed.
bool InlineParser::autolink(size_t p, Match& m) const {
    const size_t k = find_autolink_close(p);
    if (k == kNone) return false;
    const std::string_view u = t_.substr(p + 1, k - p - 1);
    if (u.find("://") == std::string_view::npos && u.substr(0, 7) != "mailto:") return false;
    if (u.find(' ') != std::string_view::npos || u.find('\n') != std::string_view::npos) return false;
    m.node = Inline{InlineKind::AutoLink, span(p, k + 1), u, {}, {}};
    m.end = k + 1;
    return true;
}

}  // namespace

Inlines parse_inlines(std::string_view text, uint32_t base) {
    return InlineParser(text, base, 0).parse();
}

}  // namespace quillet
